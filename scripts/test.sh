#!/usr/bin/env bash
# Installs what is needed, checks the formatting and that the folders include downwards only,
# builds, runs every test, then runs the unit tests once more under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the tests of the office pool and the batch command under
# ThreadSanitizer. Under CI=true (or DOCMILL_PACKAGE_TEST=1) it then builds the Debian package,
# installs, uses and removes it (scripts/package-test.sh; it needs root or sudo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/check-format.sh
# The layers include downwards only: a cycle among the folders fails here.
scripts/include-graph.py >/dev/null
scripts/build.sh
scripts/start-cups.sh
ctest --test-dir build --output-on-failure -j2 --timeout 900

cmake -S . -B build-asan -G Ninja -DDOCMILL_SANITIZE=ON -DDOCMILL_BUILD_BENCH=OFF -DDOCMILL_WITH_OFFICE=OFF \
  -DDOCMILL_WITH_PYTHON=OFF \
  -DCMAKE_BUILD_TYPE=Debug >/dev/null
ninja -C build-asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -L unit --output-on-failure -j2 --timeout 900

cmake -S . -B build-tsan -G Ninja -DDOCMILL_TSAN=ON -DDOCMILL_BUILD_BENCH=OFF -DDOCMILL_WITH_PYTHON=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build-tsan
TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp second_deadlock_stack=1" \
  ctest --test-dir build-tsan -R '^(OfficePool|ConvertRunTest|ConvertPlanTest)[.]' \
  --output-on-failure -j2 --timeout 900

# Installing a package changes the machine: CI machines only, or on request.
if [ "${CI:-}" = true ] || [ "${DOCMILL_PACKAGE_TEST:-}" = 1 ]; then
  scripts/package-test.sh
fi
