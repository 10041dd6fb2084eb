#!/usr/bin/env bash
# Builds the Debian package docmill_VERSION-REVISION_ARCH.deb from a Release build of its own
# (build-package/, so the developers' build/ is left alone) installed under /usr, and prints
# the folder that holds it. Private libraries go to /usr/lib/docmill (not the multiarch
# folder: nothing else links them). Uses ccache when CMAKE_CXX_COMPILER_LAUNCHER says so.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${DOCMILL_PACKAGE_BUILD:-build-package}

# Debian's hardening flags (stack protector, fortified calls, read-only relocations) at
# Debian's -O2, with the source folder mapped away so no build path is left in the
# binaries. No -g: the package's binaries are stripped. Given on the command line, so they
# replace what an earlier configuration cached.
nodebug() { local f=" $* "; f=${f// -g / }; echo "${f# }"; }
cxxflags=$(nodebug "$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)")
cflags=$(nodebug "$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)")
ldflags=$(dpkg-buildflags --get LDFLAGS)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_LIBDIR=lib \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_C_FLAGS="$cflags" \
  -DCMAKE_CXX_FLAGS_RELEASE="-DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-DNDEBUG" \
  -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
  -DDOCMILL_PACKAGE=ON -DDOCMILL_BUILD_TESTS=OFF -DDOCMILL_BUILD_BENCH=OFF >/dev/null
ninja -C "$build" >&2
rm -f "$build"/docmill_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/docmill_*.deb)
echo "built $deb" >&2
realpath "$build"
