#!/usr/bin/env bash
# Builds the Debian packages with CPack: libostrine-lidar0 (the library),
# libostrine-lidar-dev (its development files) and pelmora (the programs).
#
#   scripts/package-deb.sh [BUILD_DIR]      (default: build-deb)
#
# Configures BUILD_DIR for an install under /usr (so the library goes to
# Debian's multiarch directory, e.g. /usr/lib/x86_64-linux-gnu), builds only
# what the packages hold, runs cpack and prints the path of each .deb, one a
# line. Install them with `apt install ./build-deb/*.deb` (which also fetches
# their dependencies) or `dpkg -i`, remove them with
# `dpkg -r pelmora libostrine-lidar-dev libostrine-lidar0`.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source_dir/build-deb}
[ -f "$source_dir/decoder/node_modules/laz-perf/package.json" ] \
  || { echo "The LAZ codec is not installed in decoder/node_modules: run scripts/install-deps.sh first" >&2; exit 1; }
# Debian's hardening flags (stack protector, fortified functions, full RELRO
# with immediate binding), as dpkg-buildflags gives them to every package.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DBUILD_TESTING=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target Pelmora pelmora-convert Ostrine_LiDAR manpage debian_changelog >/dev/null
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
ls "$build"/*.deb
