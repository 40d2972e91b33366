# Sourced by the tile scripts: sets PELMORA_CONVERT, unless the user has,
# to pelmora-convert on the PATH, else the one in bin/ of the prefix the
# scripts are installed in (<prefix>/share/pelmora/scripts), else the source
# tree's build/. $here is the sourcing script's directory, $prog its name.
if [ -z "${PELMORA_CONVERT:-}" ]; then
  [ -z "${PELMORA:-}${PELMORA_LAZ:-}" ] ||
    echo "$prog: warning: PELMORA and PELMORA_LAZ are no longer used: pelmora-convert converts .las and .laz (set PELMORA_CONVERT to choose it)" >&2
  PELMORA_CONVERT=$(command -v pelmora-convert || true)
  [ -n "$PELMORA_CONVERT" ] || { [ -x "$here/../../../bin/pelmora-convert" ] && PELMORA_CONVERT=$here/../../../bin/pelmora-convert; }
  [ -n "$PELMORA_CONVERT" ] || PELMORA_CONVERT=$here/../build/pelmora-convert
fi
