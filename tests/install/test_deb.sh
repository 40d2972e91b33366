#!/usr/bin/env bash
# The Debian packages, end to end, on this machine (needs root):
#   - scripts/package-deb.sh builds libostrine-lidar0 (the library),
#     libostrine-lidar-dev (its development files) and pelmora (the programs);
#   - lintian finds no error and no warning in them;
#   - their control fields: name, version, maintainer, description, and
#     dependencies computed from the binaries (libc, shapelib, PROJ); the
#     library's shlibs file and ldconfig trigger, and no maintainer script;
#   - each holds its files and its copyright and changelog;
#   - dpkg -i installs them; the installed /usr/bin/Pelmora converts a
#     generated file exactly as the build tree's does, /usr/bin/pelmora-convert
#     (and pelmora-laz) a real LAZ file exactly as the build tree's
#     pelmora-convert its uncompressed twin, whose geometry is Pelmora's; the
#     library is
#     in the linker cache; a C program builds against the system install with
#     pkg-config and with find_package; man finds both pages;
#   - dpkg -r removes them and leaves none of their files behind; dpkg -P
#     then drops their records.
# It installs system-wide, so CTest runs it under a resource lock. It
# refuses to run if one of the packages is already installed, and removes
# what it installed on any exit.
# Usage: test_deb.sh SOURCE_DIR WORK_DIR BUILD_DIR LASGEN
# Exit status 77 (skipped) when not root or dpkg is missing.
set -euo pipefail
source=$1 work=$2 build=$3 lasgen=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
# shellcheck source=laz_twin.sh
. "$here/laz_twin.sh"

[ "$(id -u)" -eq 0 ] || { echo "SKIP: installing a package needs root"; exit 77; }
command -v dpkg-shlibdeps >/dev/null || fail "dpkg-shlibdeps not found: install dpkg-dev"
command -v lintian >/dev/null || fail "lintian not found: run scripts/install-deps.sh"
# dpkg with its lock: another apt or dpkg run on the machine makes it wait
# (up to two minutes) rather than fail.
dpkg_waiting() {
  local out
  for _ in $(seq 60); do
    if out=$(dpkg "$@" 2>&1); then return 0; fi
    grep -q 'lock' <<<"$out" || { echo "$out"; return 1; }
    sleep 2
  done
  echo "$out"
  return 1
}
version=$(sed -n 's/^project(Pelmora VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
major=${version%%.*}
library=libostrine-lidar$major
packages=("$library" libostrine-lidar-dev pelmora)
state() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true; }
for p in "${packages[@]}"; do
  [ "$(state "$p")" != installed ] || fail "$p is already installed; remove it first (dpkg -r $p)"
done

rm -rf "$work"
mkdir -p "$work"
built=$("$source/scripts/package-deb.sh" "$work/build")
declare -A deb
for p in "${packages[@]}"; do
  deb[$p]=$work/build/${p}_${version}_$(dpkg --print-architecture).deb
  [ -f "${deb[$p]}" ] || fail "package $p not built; package-deb.sh printed: $built"
done
[ "$(wc -l <<<"$built")" -eq ${#packages[@]} ] || fail "package-deb.sh built other packages: $built"
echo "built: $(tr '\n' ' ' <<<"$built")"

# lintian: no error, no warning (informational tags are shown, not failed).
lint=$(lintian --tag-display-limit 0 "${deb[@]}" 2>&1) || true
echo "lintian: ${lint:-clean}"
if grep -E '^[EW]: ' <<<"$lint" >/dev/null; then fail "lintian reports errors or warnings"; fi

field() { dpkg-deb -f "${deb[$1]}" "$2"; }
for p in "${packages[@]}"; do
  [ "$(field "$p" Package)" = "$p" ] || fail "Package: $(field "$p" Package)"
  [ "$(field "$p" Version)" = "$version" ] || fail "$p Version: $(field "$p" Version), expected $version"
  [ "$(field "$p" Architecture)" = "$(dpkg --print-architecture)" ] || fail "$p Architecture: $(field "$p" Architecture)"
  maintainer=$(field "$p" Maintainer)
  [[ $maintainer =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ && $maintainer != *example.* ]] || fail "$p Maintainer: $maintainer"
  # Captured first: under pipefail, a reader that stops early (head, grep -q)
  # can fail the pipeline by SIGPIPE.
  description=$(field "$p" Description)
  [[ ${description%%$'\n'*} == *LAS* || ${description%%$'\n'*} == *lidar* ]] || fail "$p Description: ${description%%$'\n'*}"
  dpkg-deb -c "${deb[$p]}" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents-$p.txt"
  for f in /usr/share/doc/$p/copyright /usr/share/doc/$p/changelog.gz; do
    grep -qx "$f" "$work/contents-$p.txt" || fail "$p lacks $f"
  done
  control=$(dpkg-deb --ctrl-tarfile "${deb[$p]}" | tar -t)
  if grep -E 'postinst|postrm|preinst|prerm' <<<"$control" >/dev/null; then fail "$p has maintainer scripts: $control"; fi
done
depends=$(field pelmora Depends)
echo "pelmora Depends: $depends"
# What the binaries link, each as a dependency with a version bound; and Node.
for dependency in libshp libproj libc6 'libstdc\+\+6' nodejs; do
  grep -Eq "(^|, )${dependency}[0-9a-z.+-]* \(>= [^)]+\)" <<<"$depends" || fail "pelmora Depends lacks $dependency: $depends"
done
grep -Eq "(^|, )libc6 \(>= " <<<"$(field "$library" Depends)" || fail "$library Depends: $(field "$library" Depends)"
[ "$(field libostrine-lidar-dev Depends)" = "$library (= $version)" ] \
  || fail "libostrine-lidar-dev Depends: $(field libostrine-lidar-dev Depends)"
# The library's control files: shlibs naming its package, the ldconfig trigger.
mkdir -p "$work/control"
dpkg-deb -e "${deb[$library]}" "$work/control"
grep -qx "libOstrine_LiDAR $major $library (>= $version)" "$work/control/shlibs" || fail "shlibs: $(cat "$work/control/shlibs")"
grep -qx "activate-noawait ldconfig" "$work/control/triggers" || fail "no ldconfig trigger in $library"

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$multiarch
in_package() { # PACKAGE FILE...
  local p=$1 f
  shift
  for f in "$@"; do grep -qx "$f" "$work/contents-$p.txt" || fail "$p lacks $f"; done
}
in_package "$library" "$lib/libOstrine_LiDAR.so.$version" "$lib/libOstrine_LiDAR.so.$major"
in_package libostrine-lidar-dev /usr/include/Ostrine_LiDAR.h "$lib/libOstrine_LiDAR.so" \
  "$lib/pkgconfig/ostrine_lidar.pc" "$lib/cmake/Ostrine_LiDAR/Ostrine_LiDARConfig.cmake"
in_package pelmora /usr/bin/Pelmora /usr/bin/pelmora-convert /usr/bin/pelmora-laz /usr/share/man/man1/Pelmora.1.gz \
  /usr/share/man/man1/pelmora-convert.1.gz /usr/share/man/man1/pelmora-laz.1.gz \
  /usr/share/bash-completion/completions/pelmora-convert /usr/share/bash-completion/completions/pelmora-laz \
  /usr/share/pelmora/scripts/convert-tiles.sh /usr/share/pelmora/scripts/quicklook.sh \
  /usr/share/pelmora/decoder/wire.json \
  /usr/share/pelmora/decoder/laz-decoder.js /usr/share/pelmora/decoder/node_modules/laz-perf/lib/node/laz-perf.wasm
if grep -E 'libOstrine' "$work/contents-pelmora.txt" >/dev/null; then fail "pelmora holds library files"; fi
cat "$work"/contents-*.txt >"$work/contents.txt"

cleanup() {
  for p in pelmora libostrine-lidar-dev "$library"; do
    case "$(state "$p")" in '' | not-installed) ;; *) dpkg_waiting -P "$p" >/dev/null || true ;; esac
  done
}
trap cleanup EXIT
dpkg_waiting -i "${deb[@]}" >"$work/dpkg-i.log" 2>&1 || fail "dpkg -i failed: $(tail -5 "$work/dpkg-i.log")"
for p in "${packages[@]}"; do [ "$(state "$p")" = installed ] || fail "$p not installed after dpkg -i"; done

# The installed converter against the build tree's, byte for byte.
mkdir -p "$work/run/installed" "$work/run/built"
"$lasgen" --version 1.1 --format 1 --points 2500 --values edge "$work/run/installed/t.las" >/dev/null
cp "$work/run/installed/t.las" "$work/run/built/t.las"
(cd "$work/run/installed" && /usr/bin/Pelmora t.las >../installed.out) || fail "/usr/bin/Pelmora failed: $(tail -3 "$work/run/installed.out")"
"$build/Pelmora" "$work/run/built/t.las" >/dev/null
for s in shp shx dbf; do
  [ -s "$work/run/installed/t.$s" ] || fail "/usr/bin/Pelmora wrote no .$s"
  cmp "$work/run/built/t.$s" "$work/run/installed/t.$s" || fail "/usr/bin/Pelmora's .$s differs"
done

ldconfig -p | grep "libOstrine_LiDAR.so.${version%%.*} " >/dev/null || fail "libOstrine_LiDAR.so not in the linker cache"
# shellcheck disable=SC2046 # the flags are words
cc -std=c11 -Wall -Werror "$here/consumer.c" -o "$work/consumer-pkgconfig" $(pkg-config --cflags --libs ostrine_lidar) \
  || fail "consumer does not build with the system pkg-config file"
"$work/consumer-pkgconfig" >/dev/null || fail "consumer (pkg-config, system) failed"
cmake -S "$here/consumer" -B "$work/consumer-cmake" >"$work/consumer-cmake.log" 2>&1 \
  && cmake --build "$work/consumer-cmake" >>"$work/consumer-cmake.log" 2>&1 \
  || fail "consumer does not build with find_package from /usr: $(tail -20 "$work/consumer-cmake.log")"
"$work/consumer-cmake/consumer" >/dev/null || fail "consumer (CMake, system) failed"
if command -v man >/dev/null; then
  for page in Pelmora pelmora-convert pelmora-laz; do
    [ "$(man -w $page)" = /usr/share/man/man1/$page.1.gz ] || fail "man -w $page: $(man -w $page 2>&1)"
  done
fi

# The installed pelmora-convert and pelmora-laz (from the PATH, finding the
# decoder in /usr/share/pelmora) on a real LAZ file, against the build
# tree's converters on its twin.
mkdir -p "$work/laz/installed" "$work/laz/built"
cp "$source/tests/data/liblas_1.2-with-color.laz" "$work/laz/installed/t.laz"
cp "$source/tests/data/liblas_1.2-with-color.laz" "$work/laz/installed/u.laz"
cp "$source/tests/data/pdal_1.2-with-color.las" "$work/laz/built/t.las"
chmod u+w "$work/laz"/*/*.*
(cd "$work/laz/installed" && pelmora-convert -q t.laz && pelmora-laz -q u.laz) || fail "/usr/bin/pelmora-convert failed"
compare_with_twin "$work/laz" "$build" /usr/bin/
[ "$(ls -A "$work/laz/installed" | wc -l)" -eq 8 ] || fail "the LAZ conversions left other files: $(ls -A "$work/laz/installed")"

dpkg_waiting -r pelmora libostrine-lidar-dev "$library" >"$work/dpkg-r.log" 2>&1 \
  || fail "dpkg -r failed: $(tail -5 "$work/dpkg-r.log")"
for p in "${packages[@]}"; do
  # Without maintainer scripts or conffiles nothing is kept until a purge.
  case "$(state "$p")" in
    not-installed | '' | config-files) ;;
    *) fail "$p state after dpkg -r: $(state "$p")" ;;
  esac
  [ -z "$(dpkg-query -W -f='${Conffiles}' "$p" 2>/dev/null)" ] || fail "$p conffiles left after dpkg -r"
done
left=$(while read -r f; do
  if [ -n "$f" ] && [ ! -d "$f" ] && { [ -e "$f" ] || [ -L "$f" ]; }; then echo "$f"; fi
done <"$work/contents.txt")
[ -z "$left" ] || fail "files left after dpkg -r: $left"
[ ! -e /usr/lib/"$multiarch"/cmake/Ostrine_LiDAR ] || fail "/usr/lib/$multiarch/cmake/Ostrine_LiDAR left after dpkg -r"
ldconfig -p | grep libOstrine_LiDAR >/dev/null && fail "libOstrine_LiDAR.so still in the linker cache after dpkg -r"
dpkg_waiting -P pelmora libostrine-lidar-dev "$library" >/dev/null || fail "dpkg -P failed"
for p in "${packages[@]}"; do
  case "$(state "$p")" in not-installed | '') ;; *) fail "$p state after dpkg -P: $(state "$p")" ;; esac
done
echo "Debian package test passed: ${packages[*]} installed, used and removed"
