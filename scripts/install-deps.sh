#!/usr/bin/env bash
# Installs the Debian packages Pelmora needs to build and test, if missing.
set -euo pipefail

packages=(
  g++ cmake make pkg-config          # toolchain
  libshp-dev                         # shapelib: shapefile and dBASE headers
  libproj-dev proj-data              # PROJ and its database: the .prj
  googletest libgtest-dev            # unit and end-to-end tests
  clang libclang-rt-14-dev           # libFuzzer and the sanitizer runtimes for clang: fuzzing
  valgrind                           # leak and file-descriptor check of a conversion
  gdal-bin shapelib python3-pyshp    # independent shapefile readers for conformance tests
  python3
  python3-gdal python3-fiona python3-numpy  # readers osgeo.ogr and Fiona; numpy for the large test
  parallel dpkg-dev groff-base       # tile batches; the Debian package (dpkg-shlibdeps); man page check
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
