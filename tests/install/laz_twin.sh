# Sourced by the installation tests. compare_with_twin LAZ_DIR BUILD WHOSE:
# LAZ_DIR/installed holds t.laz and u.laz, converted by the installed
# pelmora-convert and pelmora-laz, and LAZ_DIR/built t.las, the LAS file t.laz
# compresses. The build tree's pelmora-convert converts t.las; both installed
# commands must have written its .shp, .shx and .dbf byte for byte, and the
# .shp and .shx must be Pelmora's. WHOSE ("installed ", "/usr/bin/") goes
# before the commands' names in messages. Needs fail().
compare_with_twin() {
  local laz=$1 build=$2 whose=$3 s
  "$build/pelmora-convert" -q "$laz/built/t.las"
  for s in shp shx dbf; do
    cmp "$laz/built/t.$s" "$laz/installed/t.$s" || fail "${whose}pelmora-convert's .$s differs on the twin"
    cmp "$laz/built/t.$s" "$laz/installed/u.$s" || fail "${whose}pelmora-laz's .$s differs on the twin"
  done
  mkdir -p "$laz/pelmora" && cp "$laz/built/t.las" "$laz/pelmora/"
  "$build/Pelmora" "$laz/pelmora/t.las" >/dev/null
  for s in shp shx; do
    cmp "$laz/pelmora/t.$s" "$laz/installed/t.$s" || fail "${whose}pelmora-convert's .$s differs from Pelmora's"
  done
}
