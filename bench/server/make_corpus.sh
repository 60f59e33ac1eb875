#!/usr/bin/env bash
# Builds the evaluation corpus from Debian's music packages without installing them:
# `apt-get download` then `dpkg -x` into a cache folder. Prints the two folders it fills.
#   catalogue:          wesnoth-1.16-music, supertux-data (its music only)
#   out-of-catalogue:   drascula-music, singularity-music
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# sox makes the GSM degradation of the evaluation.
"$root/scripts/setup" "$root/bench/server/packages.txt" >&2
cache=${MELODEX_EVAL_CACHE:-$HOME/.cache/melodex-eval}
mkdir -p "$cache/debs" "$cache/extract"
cd "$cache/debs"
packages=(wesnoth-1.16-music supertux-data drascula-music singularity-music)
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

# Gather the audio files by role, as links, so that the catalogue holds music only.
link_audio() {  # destination, source folders...
  local dest=$1; shift
  rm -rf "$dest"; mkdir -p "$dest"
  find "$@" -type f \( -iname '*.ogg' -o -iname '*.mp3' -o -iname '*.flac' -o -iname '*.wav' -o -iname '*.opus' \
        -o -iname '*.mod' -o -iname '*.it' -o -iname '*.s3m' -o -iname '*.xm' \) -size +200k -print0 |
    while IFS= read -r -d '' f; do ln -s "$f" "$dest/$(echo "${f#$cache/extract/}" | tr '/' '_')"; done
}
link_audio "$cache/catalogue" "$cache/extract/wesnoth-1.16-music" "$cache/extract/supertux-data/usr/share/games/supertux2/music"
link_audio "$cache/outside" "$cache/extract/drascula-music" "$cache/extract/singularity-music"
echo "catalogue: $cache/catalogue ($(ls "$cache/catalogue" | wc -l) files)"
echo "outside:   $cache/outside ($(ls "$cache/outside" | wc -l) files)"
