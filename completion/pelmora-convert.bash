# bash completion for pelmora-convert and pelmora-laz: their options,
# directories after -o/--output-dir, the words of --returns and --max-size,
# .prj and .wkt files after @ in a CRS, and lidar files (*.las and *.laz in
# any letter case; pelmora-laz: *.laz) with the directories on the way to
# them.
_pelmora_convert() {
  local cur prev command
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  command=${COMP_WORDS[0]##*/}
  case $prev in
    -o | --output-dir)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -d -- "$cur"))
      return
      ;;
    --returns)
      COMPREPLY=($(compgen -W 'first last single' -- "$cur"))
      return
      ;;
    --max-size)
      COMPREPLY=($(compgen -W 'none 2G 1G 512M' -- "$cur"))
      return
      ;;
    --t_srs | --s_srs | --a_srs)
      if [[ $cur == @* ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(shopt -s extglob; compgen -f -X '!*.@(prj|wkt)' -P @ -- "${cur#@}") $(compgen -d -P @ -- "${cur#@}"))
      else
        COMPREPLY=($(compgen -W 'EPSG: ESRI: @' -- "$cur"))
        compopt -o nospace 2>/dev/null
      fi
      return
      ;;
    --class | --drop-class | --bounds | --thin-grid | --every | --fields | --drop-fields)
      return
      ;;
  esac
  if [[ $cur == -* ]]; then
    local options='-o --output-dir -n --no-clobber -q --quiet -h --help -V --version'
    if [[ $command == pelmora-laz ]]; then
      options+=' -k --keep-las'
    else
      options+=' --index --class --drop-class --returns --drop-withheld --bounds --thin-grid --every'
      options+=' --max-size --fields --drop-fields --dry-run -v --verbose --t_srs --s_srs --a_srs'
    fi
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  compopt -o filenames 2>/dev/null
  local pattern='!*.@([lL][aA][sSzZ])'
  [[ $command == pelmora-laz ]] && pattern='!*.[lL][aA][zZ]'
  COMPREPLY=($(shopt -s extglob; compgen -f -X "$pattern" -- "$cur") $(compgen -d -- "$cur"))
}
complete -F _pelmora_convert pelmora-convert pelmora-laz
