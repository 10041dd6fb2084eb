#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what the committed .clang-format makes of it,
# listing the places; `clang-format -i FILE` fixes them.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror
