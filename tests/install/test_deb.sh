#!/usr/bin/env bash
# The Debian package, end to end, on this machine (needs root):
#   - scripts/package-deb.sh builds pelmora_<version>_<arch>.deb;
#   - its control fields: name, version, maintainer, description, and
#     dependencies computed from the binaries (libc, shapelib, PROJ);
#   - dpkg -i installs it; the installed /usr/bin/Pelmora converts a
#     generated file exactly as the build tree's does; the library is in
#     the linker cache; a C program builds against the system install with
#     pkg-config and with find_package; man finds Pelmora(1);
#   - dpkg -r removes it and leaves none of its files behind; dpkg -P
#     then drops its record.
# It installs system-wide, so CTest runs it under a resource lock. It
# refuses to run if pelmora is already installed, and removes what it
# installed on any exit.
# Usage: test_deb.sh SOURCE_DIR WORK_DIR BUILD_DIR LASGEN
# Exit status 77 (skipped) when not root or dpkg is missing.
set -euo pipefail
source=$1 work=$2 build=$3 lasgen=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }

[ "$(id -u)" -eq 0 ] || { echo "SKIP: installing a package needs root"; exit 77; }
command -v dpkg-shlibdeps >/dev/null || fail "dpkg-shlibdeps not found: install dpkg-dev"
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
installed() { dpkg-query -W -f='${db:Status-Status}' pelmora 2>/dev/null | grep -x installed >/dev/null; }
installed && fail "pelmora is already installed; remove it first (dpkg -r pelmora)"

rm -rf "$work"
mkdir -p "$work"
deb=$("$source/scripts/package-deb.sh" "$work/build" | tail -1)
[ -f "$deb" ] || fail "no package built"
echo "built $deb"

field() { dpkg-deb -f "$deb" "$1"; }
version=$(sed -n 's/^project(Pelmora VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
[ "$(field Package)" = pelmora ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
# Captured first: under pipefail, a reader that stops early (head, grep -q)
# can fail the pipeline by SIGPIPE.
description=$(field Description)
[[ ${description%%$'\n'*} == *LAS* ]] || fail "Description: ${description%%$'\n'*}"
depends=$(field Depends)
echo "Depends: $depends"
# What the binaries link, each as a dependency with a version bound.
for library in libshp libproj libc6 'libstdc\+\+6'; do
  grep -Eq "(^|, )${library}[0-9a-z.+-]* \(>= [^)]+\)" <<<"$depends" || fail "Depends lacks $library: $depends"
done

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents.txt"
for f in /usr/bin/Pelmora /usr/include/Ostrine_LiDAR.h /usr/share/man/man1/Pelmora.1.gz; do
  grep -qx "$f" "$work/contents.txt" || fail "package lacks $f"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
grep -qx "/usr/lib/$multiarch/libOstrine_LiDAR.so.$version" "$work/contents.txt" \
  || fail "library not in /usr/lib/$multiarch"
grep -qx "/usr/lib/$multiarch/pkgconfig/ostrine_lidar.pc" "$work/contents.txt" || fail "package lacks ostrine_lidar.pc"
grep -qx "/usr/lib/$multiarch/cmake/Ostrine_LiDAR/Ostrine_LiDARConfig.cmake" "$work/contents.txt" \
  || fail "package lacks the CMake package"

state() { dpkg-query -W -f='${db:Status-Status}' pelmora 2>/dev/null || true; }
trap '[ -z "$(state)" ] || [ "$(state)" = not-installed ] || dpkg_waiting -P pelmora >/dev/null || true' EXIT
dpkg_waiting -i "$deb" >"$work/dpkg-i.log" 2>&1 || fail "dpkg -i failed: $(tail -5 "$work/dpkg-i.log")"
installed || fail "pelmora not installed after dpkg -i"

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
  [ "$(man -w Pelmora)" = /usr/share/man/man1/Pelmora.1.gz ] || fail "man -w Pelmora: $(man -w Pelmora 2>&1)"
fi

dpkg_waiting -r pelmora >"$work/dpkg-r.log" 2>&1 || fail "dpkg -r failed: $(tail -5 "$work/dpkg-r.log")"
installed && fail "pelmora still installed after dpkg -r"
# dpkg keeps the record of a removed package that has a postrm script (here:
# ldconfig) until it is purged; it must hold no file and no conffile.
case "$(state)" in
  not-installed | '' | config-files) ;;
  *) fail "package state after dpkg -r: $(state)" ;;
esac
[ -z "$(dpkg-query -W -f='${Conffiles}' pelmora 2>/dev/null)" ] || fail "conffiles left after dpkg -r"
left=$(while read -r f; do
  if [ -n "$f" ] && [ ! -d "$f" ] && { [ -e "$f" ] || [ -L "$f" ]; }; then echo "$f"; fi
done <"$work/contents.txt")
[ -z "$left" ] || fail "files left after dpkg -r: $left"
[ ! -e /usr/lib/"$multiarch"/cmake/Ostrine_LiDAR ] || fail "/usr/lib/$multiarch/cmake/Ostrine_LiDAR left after dpkg -r"
ldconfig -p | grep libOstrine_LiDAR >/dev/null && fail "libOstrine_LiDAR.so still in the linker cache after dpkg -r"
dpkg_waiting -P pelmora >/dev/null || fail "dpkg -P failed"
case "$(state)" in not-installed | '') ;; *) fail "package state after dpkg -P: $(state)" ;; esac
echo "Debian package test passed: $(basename "$deb") installed, used and removed"
