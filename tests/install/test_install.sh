#!/usr/bin/env bash
# Installs the build tree into a temporary prefix as any user would
# (cmake --install BUILD --prefix DIR), then checks what an outsider gets:
#   - the file set: Pelmora, the library and its links, the header, the
#     pkg-config file, the CMake package, the man pages, pelmora-convert and
#     pelmora-laz (a link to it), the LAZ decoder with its codec, the tile
#     scripts, the bash completions, the package documents;
#   - the installed Pelmora converts a generated file exactly as the build
#     tree's does;
#   - after moving the installed tree elsewhere (both package files must be
#     relocatable), a small C program builds against it with pkg-config and
#     with find_package(Ostrine_LiDAR), using only the installed files, and
#     runs;
#   - the moved pelmora-convert (finding its decoder in share/ of its own
#     prefix) converts a real LAZ file exactly as the build tree's converts
#     its uncompressed twin (whose geometry is Pelmora's), and so does
#     pelmora-laz;
#   - the man pages render without a warning and have their sections.
# Usage: test_install.sh BUILD_DIR SOURCE_DIR WORK_DIR LASGEN
set -euo pipefail
build=$1 source=$2 work=$3 lasgen=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
# shellcheck source=laz_twin.sh
. "$here/laz_twin.sh"

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/first" >"$work/install.log"

# Where GNUInstallDirs put the library: lib, or lib/<multiarch> under /usr.
libdir=$(cd "$work/first" && dirname "$(find . -name 'libOstrine_LiDAR.so' -print -quit)")
libdir=${libdir#./}
[ -n "$libdir" ] || fail "libOstrine_LiDAR.so not installed"
version=$(sed -n 's/^project(Pelmora VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
major=${version%%.*}
expected=(
  bin/Pelmora
  include/Ostrine_LiDAR.h
  "$libdir/libOstrine_LiDAR.so"
  "$libdir/libOstrine_LiDAR.so.$major"
  "$libdir/libOstrine_LiDAR.so.$version"
  "$libdir/pkgconfig/ostrine_lidar.pc"
  "$libdir/cmake/Ostrine_LiDAR/Ostrine_LiDARConfig.cmake"
  "$libdir/cmake/Ostrine_LiDAR/Ostrine_LiDARConfigVersion.cmake"
  "$libdir/cmake/Ostrine_LiDAR/Ostrine_LiDARTargets.cmake"
  "$libdir/cmake/Ostrine_LiDAR/Ostrine_LiDARTargets-BUILDTYPE.cmake"
  share/man/man1/Pelmora.1.gz
  share/man/man1/pelmora-convert.1.gz
  share/man/man1/pelmora-laz.1.gz
  bin/pelmora-convert
  bin/pelmora-laz
  share/pelmora/decoder/laz-decoder.js
  share/pelmora/decoder/package.json
  share/pelmora/decoder/wire.json
  share/pelmora/decoder/node_modules/laz-perf/package.json
  share/pelmora/decoder/node_modules/laz-perf/lib/node/index.js
  share/pelmora/decoder/node_modules/laz-perf/lib/node/laz-perf.js
  share/pelmora/decoder/node_modules/laz-perf/lib/node/laz-perf.wasm
  share/pelmora/scripts/convert-tiles.sh
  share/pelmora/scripts/find-converter.sh
  share/pelmora/scripts/quicklook.sh
  share/bash-completion/completions/pelmora-convert
  share/bash-completion/completions/pelmora-laz
)
for package in "libostrine-lidar$major" libostrine-lidar-dev pelmora; do
  expected+=("share/doc/$package/copyright" "share/doc/$package/changelog.gz")
done
(cd "$work/first" && find . \( -type f -o -type l \) | sed -e 's|^\./||' -e 's|Targets-[a-z]*\.cmake$|Targets-BUILDTYPE.cmake|' | sort) \
  >"$work/installed.txt"
printf '%s\n' "${expected[@]}" | sort >"$work/expected.txt"
diff -u "$work/expected.txt" "$work/installed.txt" || fail "installed files differ from the list above (- expected, + installed)"
[ "$(readlink "$work/first/$libdir/libOstrine_LiDAR.so")" = "libOstrine_LiDAR.so.$major" ] || fail "libOstrine_LiDAR.so is not a link to the soname"
objdump -p "$work/first/$libdir/libOstrine_LiDAR.so.$version" | grep "SONAME *libOstrine_LiDAR.so.$major\$" >/dev/null \
  || fail "soname is not libOstrine_LiDAR.so.$major"
cmp -s "$source/src/lidar/Ostrine_LiDAR.h" "$work/first/include/Ostrine_LiDAR.h" || fail "installed header differs from the source"

# The installed converter against the build tree's, byte for byte.
mkdir -p "$work/run/installed" "$work/run/built"
"$lasgen" --version 1.2 --format 3 --points 2500 --values edge "$work/run/installed/t.las" >/dev/null
cp "$work/run/installed/t.las" "$work/run/built/t.las"
"$work/first/bin/Pelmora" "$work/run/installed/t.las" >"$work/run/installed.out" || fail "installed Pelmora failed: $(tail -3 "$work/run/installed.out")"
"$build/Pelmora" "$work/run/built/t.las" >/dev/null
for s in shp shx dbf; do
  [ -s "$work/run/installed/t.$s" ] || fail "installed Pelmora wrote no .$s"
  cmp "$work/run/built/t.$s" "$work/run/installed/t.$s" || fail "installed Pelmora's .$s differs"
done

# Move the installed tree: nothing may point back to where it was put.
mv "$work/first" "$work/moved"
prefix=$work/moved
cc=${CC:-cc}

# pkg-config, seeing only the installed tree.
export PKG_CONFIG_LIBDIR=$prefix/$libdir/pkgconfig PKG_CONFIG_PATH=
[ "$(pkg-config --modversion ostrine_lidar)" = "$version" ] || fail "pkg-config version is not $version"
flags=$(pkg-config --cflags --libs ostrine_lidar)
echo "pkg-config --cflags --libs ostrine_lidar: $flags"
# shellcheck disable=SC2086
"$cc" -std=c11 -Wall -Werror "$here/consumer.c" -o "$work/consumer-pkgconfig" $flags \
  || fail "consumer does not build with pkg-config"
LD_LIBRARY_PATH=$prefix/$libdir "$work/consumer-pkgconfig" >"$work/consumer-pkgconfig.out" \
  || fail "consumer (pkg-config) failed: $(cat "$work/consumer-pkgconfig.out")"
# ldd's output is captured first: with pipefail, grep -q closing the pipe early
# would fail the pipeline by chance.
loaded=$(LD_LIBRARY_PATH=$prefix/$libdir ldd "$work/consumer-pkgconfig")
grep -q "libOstrine_LiDAR.so.$major => $prefix/" <<<"$loaded" \
  || fail "consumer (pkg-config) does not load the installed library"
grep -q "Ostrine LiDAR Utilities" "$work/consumer-pkgconfig.out" || fail "consumer printed no banner"

# find_package, seeing only the installed tree.
cmake -S "$here/consumer" -B "$work/consumer-cmake" -DCMAKE_BUILD_TYPE=Release \
  -DOstrine_LiDAR_DIR="$prefix/$libdir/cmake/Ostrine_LiDAR" -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
  -DCMAKE_C_FLAGS="-Wall -Werror" >"$work/consumer-cmake.log" 2>&1 \
  || fail "find_package(Ostrine_LiDAR) failed: $(tail -20 "$work/consumer-cmake.log")"
cmake --build "$work/consumer-cmake" >>"$work/consumer-cmake.log" 2>&1 \
  || fail "consumer does not build with find_package: $(tail -20 "$work/consumer-cmake.log")"
"$work/consumer-cmake/consumer" >"$work/consumer-cmake.out" || fail "consumer (CMake) failed: $(cat "$work/consumer-cmake.out")"
loaded=$(ldd "$work/consumer-cmake/consumer")
grep -q "libOstrine_LiDAR.so.$major => $prefix/" <<<"$loaded" \
  || fail "consumer (CMake) does not load the installed library"
# A newer major version must not be accepted.
cmake -S "$here/consumer" -B "$work/consumer-cmake-v9" -DOstrine_LiDAR_DIR="$prefix/$libdir/cmake/Ostrine_LiDAR" \
  -DOSTRINE_VERSION_WANTED=9 >"$work/consumer-cmake-v9.log" 2>&1 \
  && fail "find_package(Ostrine_LiDAR 9) accepted version $version"

# pelmora-convert of the moved tree finds its decoder in its own prefix;
# pelmora-laz is a relative link to it.
[ "$(readlink "$prefix/bin/pelmora-laz")" = pelmora-convert ] \
  || fail "bin/pelmora-laz links to $(readlink "$prefix/bin/pelmora-laz")"
mkdir -p "$work/laz/installed" "$work/laz/built"
cp "$source/tests/data/liblas_1.2-with-color.laz" "$work/laz/installed/t.laz"
cp "$source/tests/data/liblas_1.2-with-color.laz" "$work/laz/installed/u.laz"
cp "$source/tests/data/pdal_1.2-with-color.las" "$work/laz/built/t.las"
chmod u+w "$work/laz"/*/*.*
(cd "$work/laz/installed" && PATH=/usr/bin:/bin "$prefix/bin/pelmora-convert" t.laz >../installed.out 2>&1) \
  || fail "installed pelmora-convert failed: $(cat "$work/laz/installed.out")"
(cd "$work/laz/installed" && PATH=/usr/bin:/bin "$prefix/bin/pelmora-laz" -q u.laz >>../installed.out 2>&1) \
  || fail "installed pelmora-laz failed: $(cat "$work/laz/installed.out")"
grep -q "^t.laz: 1065 points written to t.shp" "$work/laz/installed.out" \
  || fail "installed pelmora-convert console: $(cat "$work/laz/installed.out")"
compare_with_twin "$work/laz" "$build" "installed "

# The man pages: render without warnings, document what they must.
check_page() { # NAME SECTION...
  local page=$work/$1.1 section
  gzip -dc "$prefix/share/man/man1/$1.1.gz" >"$page"
  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || true
  [ -z "$warnings" ] || fail "man page $1 warnings: $warnings"
  shift
  for section in "$@"; do
    grep -q "^\.SH \"\?$section\"\?\$" "$page" || fail "man page has no $section section"
  done
}
check_page Pelmora NAME SYNOPSIS DESCRIPTION 'OUTPUT FILES' FIELDS 'EXIT STATUS' DIAGNOSTICS
check_page pelmora-convert NAME SYNOPSIS DESCRIPTION OPTIONS 'OUTPUT FILES' FIELDS 'EXIT STATUS' DIAGNOSTICS
check_page pelmora-laz NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' DIAGNOSTICS
echo "install test passed: ${#expected[@]} files under $libdir, consumers built both ways"
