#!/usr/bin/env bash
# Builds the Debian package pelmora_<version>_<arch>.deb with CPack.
#
#   scripts/package-deb.sh [BUILD_DIR]      (default: build-deb)
#
# Configures BUILD_DIR for an install under /usr (so the library goes to
# Debian's multiarch directory, e.g. /usr/lib/x86_64-linux-gnu), builds only
# what the package holds, runs cpack and prints the path of the .deb.
# Install it with `dpkg -i` (or `apt install ./pelmora_*.deb`, which also
# fetches its dependencies), remove it with `dpkg -r pelmora`.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$source_dir/build-deb}
cmake -S "$source_dir" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DBUILD_TESTING=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target Pelmora Ostrine_LiDAR manpage >/dev/null
rm -f "$build"/pelmora_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/pelmora_*.deb
