# Sourced by the Wine scripts: one place for the loader and the settings
# every prefix of ours runs with.
WINE_LOADER=${WINE_LOADER:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver64)}
export WINEDEBUG=-all
# Keeps a new prefix from trying to install Mono and Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# new_prefix_folder TEMPLATE TAG: an empty folder for a throwaway prefix,
# beside the template so that its Windows folder can be hard-linked. Its
# path is absolute whatever TEMPLATE is: Wine takes no other WINEPREFIX.
new_prefix_folder() {
  local runs
  runs=$(mkdir -p "$1.runs" && cd "$1.runs" && pwd) || return 1
  mktemp -d "$runs/$2.XXXXXX"
}

# copy_prefix TEMPLATE DEST: a throwaway copy of the template. The Windows
# folder (some 700 MB of DLLs nobody writes to) is hard-linked; everything
# a run may change, the registry and the other folders, is copied.
copy_prefix() {
  local template=$1 dest=$2 entry
  mkdir -p "$dest/drive_c" || return 1
  for entry in "$template"/.[!.]* "$template"/*; do
    [ -e "$entry" ] || continue
    case "${entry##*/}" in drive_c|wineserver) ;; *) cp -a "$entry" "$dest/" || return 1 ;; esac
  done
  for entry in "$template"/drive_c/*; do
    if [ "${entry##*/}" = windows ]; then
      # Hard links need one file system; elsewhere a plain copy does.
      cp -al "$entry" "$dest/drive_c/" 2>/dev/null || { rm -rf "$dest/drive_c/windows"; cp -a "$entry" "$dest/drive_c/"; } || return 1
    else
      cp -a "$entry" "$dest/drive_c/" || return 1
    fi
  done
}

stop_prefix() {
  WINEPREFIX=$1 "$WINESERVER" -k >/dev/null 2>&1 || true
  WINEPREFIX=$1 "$WINESERVER" -w >/dev/null 2>&1 || true
}
