#!/usr/bin/env bash
# Builds the evaluation corpus from Debian's free music packages without installing them:
# `apt-get download` then `dpkg -x` into a cache folder. The music is split by package, so that
# the held-out part is other composers' and other games' music than the tuning part:
#   catalogue/tuning     wesnoth-1.16-music, supertux-data, asc-music, frozen-bubble-data, fb-music-high
#   catalogue/held-out   ufoai-music, warzone2100-music, planetblupi-music-ogg, freedroidrpg-data
#   outside/tuning       drascula-music, singularity-music           (never in the catalogue)
#   outside/held-out     hedgewars-data, lincity-ng-data             (never in the catalogue)
# Both catalogue parts are indexed together; parameters are chosen on the tuning part only.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# sox makes the GSM degradation of the evaluation; unzip opens ufoai's music archive.
"$root/scripts/setup" "$root/bench/server/packages.txt" >&2
cache=${MELODEX_EVAL_CACHE:-$HOME/.cache/melodex-eval}
mkdir -p "$cache/debs" "$cache/extract"
cd "$cache/debs"
packages=(wesnoth-1.16-music supertux-data asc-music frozen-bubble-data fb-music-high
          ufoai-music warzone2100-music planetblupi-music-ogg freedroidrpg-data
          drascula-music singularity-music hedgewars-data lincity-ng-data)
missing=()
for p in "${packages[@]}"; do
  ls "${p}"_*.deb > /dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get download "${missing[@]}" >&2
fi
for p in "${packages[@]}"; do
  [ -d "$cache/extract/$p" ] || dpkg -x "$(ls "${p}"_*.deb | head -1)" "$cache/extract/$p"
done
# ufoai ships its music inside a zip archive.
ufoai=$cache/extract/ufoai-music-ogg
[ -d "$ufoai" ] || unzip -q -o "$cache/extract/ufoai-music/usr/share/games/ufoai/base/0music.pk3" -d "$ufoai"

# Gather the audio files by role, as links, so that each folder holds music only.
link_audio() {  # destination, source folders...
  local dest=$1; shift
  rm -rf "$dest"; mkdir -p "$dest"
  find "$@" -type f \( -iname '*.ogg' -o -iname '*.mp3' -o -iname '*.flac' -o -iname '*.wav' -o -iname '*.opus' \
        -o -iname '*.mod' -o -iname '*.it' -o -iname '*.s3m' -o -iname '*.xm' \) -size +200k -print0 |
    while IFS= read -r -d '' f; do ln -s "$f" "$dest/$(echo "${f#$cache/extract/}" | tr '/' '_')"; done
}
x=$cache/extract
rm -rf "$cache/catalogue" "$cache/outside"
link_audio "$cache/catalogue/tuning" "$x/wesnoth-1.16-music" "$x/supertux-data/usr/share/games/supertux2/music" \
  "$x/asc-music" "$x/frozen-bubble-data" "$x/fb-music-high"
link_audio "$cache/catalogue/held-out" "$ufoai" "$x/warzone2100-music" "$x/planetblupi-music-ogg" \
  "$x/freedroidrpg-data/usr/share/freedroidrpg/data/sound/music"
link_audio "$cache/outside/tuning" "$x/drascula-music" "$x/singularity-music"
link_audio "$cache/outside/held-out" "$x/hedgewars-data/usr/share/games/hedgewars/Data/Music" \
  "$x/lincity-ng-data/usr/share/games/lincity-ng/music"
for part in catalogue/tuning catalogue/held-out outside/tuning outside/held-out; do
  echo "$part: $cache/$part ($(ls "$cache/$part" | wc -l) files)"
done
