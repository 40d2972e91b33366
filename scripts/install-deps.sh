#!/usr/bin/env bash
# Installs what Pelmora needs to build and test, if missing: Debian packages
# with apt-get, Node.js and npm among them (any Node.js of version 18 or
# later already on the machine will do), then the LAZ codec, the npm package
# laz-perf at the version locked in decoder/package-lock.json, with `npm ci`.
# This is the only step that downloads anything.
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
  lintian                            # checks of the Debian packages
)
source_dir=$(cd "$(dirname "$0")/.." && pwd)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null || missing+=("$p")
done
# Node.js and npm by their commands: a Node.js from elsewhere (which brings
# its own npm) is as good as Debian's nodejs and npm packages.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

node_major=$(node -p 'process.versions.node.split(".")[0]')
[ "$node_major" -ge 18 ] || { echo "Node.js $(node --version) is too old: the LAZ decoder needs 18 or later" >&2; exit 1; }

# The LAZ codec, exactly as locked (npm ci checks each package's integrity
# hash), for the decoder pelmora-convert runs (decoder/), unless
# decoder/node_modules already holds that version.
locked=$(node -p 'require(process.argv[1]).packages["node_modules/laz-perf"].version' \
  "$source_dir/decoder/package-lock.json")
installed=$(node -p 'try { require(process.argv[1]).version } catch (e) { "" }' \
  "$source_dir/decoder/node_modules/laz-perf/package.json")
if [ "$installed" != "$locked" ]; then
  echo "Installing the LAZ codec laz-perf $locked (npm ci in decoder/)"
  (cd "$source_dir/decoder" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi
