# The demo collection: three free pieces (GPL-2+) by Michael Kievernagel from
# Debian's asc-music package, fetched with `apt-get download` and unpacked with
# `dpkg-deb -x`, never installed. Cached under $XDG_CACHE_HOME/melodex/demo-music.
# Sourced by scripts/run and tools/make-screenshots.

demo_music_cache=${XDG_CACHE_HOME:-$HOME/.cache}/melodex/demo-music
demo_music_package=asc-music
# file in the package, then the name that gives the catalogue its artist and title
demo_music_tracks=(
  "frontiers.mp3|Michael Kievernagel - Frontiers.mp3"
  "machine_wars.mp3|Michael Kievernagel - Machine Wars.mp3"
  "time_to_strike.mp3|Michael Kievernagel - Time to Strike.mp3"
)

# Prints the folder that holds the demo collection, fetching it first if needed.
demo_music_folder() {
  local folder=$demo_music_cache/music
  if [ -d "$folder" ] && [ "$(ls "$folder" | wc -l)" -eq ${#demo_music_tracks[@]} ]; then
    echo "$folder"
    return 0
  fi
  mkdir -p "$demo_music_cache"
  echo "melodex: fetching the demo music ($demo_music_package, 10 MB) from Debian, without installing it" >&2
  demo_music_download || return 1
  local deb
  deb=$(ls "$demo_music_cache"/${demo_music_package}_*.deb | head -1)
  rm -rf "$demo_music_cache/extract" "$folder"
  dpkg-deb -x "$deb" "$demo_music_cache/extract" || return 1
  mkdir -p "$folder"
  local entry source
  for entry in "${demo_music_tracks[@]}"; do
    source=$(find "$demo_music_cache/extract" -name "${entry%%|*}" -print -quit)
    [ -n "$source" ] || { echo "melodex: $deb holds no ${entry%%|*}" >&2; return 1; }
    mv "$source" "$folder/${entry#*|}"
  done
  find "$demo_music_cache/extract" -name copyright -exec cp {} "$demo_music_cache/copyright" \;
  rm -rf "$demo_music_cache/extract" "$deb"
  echo "$folder"
}

# apt-get download into the cache, reading the package lists first where they
# do not know the package yet.
demo_music_download() {
  # apt's download user must be able to write there.
  local incoming
  incoming=$(mktemp -d)
  chmod 777 "$incoming"
  if ! (cd "$incoming" && apt-get download -q "$demo_music_package" > /dev/null 2>&1); then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq > /dev/null 2>&1
    if ! (cd "$incoming" && apt-get download -q "$demo_music_package" > /dev/null); then
      rm -rf "$incoming"
      echo "melodex: could not download $demo_music_package from Debian" >&2
      return 1
    fi
  fi
  mv "$incoming"/*.deb "$demo_music_cache/"
  rm -rf "$incoming"
}
