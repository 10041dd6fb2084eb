#!/usr/bin/env bash
# Configures and builds docmill into build/ (Release with debug info).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja "$@" >/dev/null
ninja -C build
