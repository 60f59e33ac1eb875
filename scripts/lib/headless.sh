# One identification on the headless backend with a sound file as the
# microphone, and reading back the song it stored. Sourced by scripts/run and
# tools/make-screenshots, which set $build.

# Splash 3 s, "ID song!", 3 s before the recording starts, 11 s of recording:
# the search starts 14 s after the key.
identification_wait_ms=14100

# Runs the client headless on the script from standard input, in the data
# folder HOME with SETTINGS, MIC as the microphone and SIZE; its output goes
# to LOG. It gets a runtime folder of its own, so that a melodex already open
# elsewhere is not the one asked.
run_headless() {
  local home=$1 settings=$2 mic=$3 size=$4 log=$5
  mkdir -p "$home"
  XDG_RUNTIME_DIR=$home "$build/melodex" --backend headless --size "$size" --home "$home" --settings "$settings" \
    --mic-file "$mic" --script - > "$log" 2>&1
}

# "ID song!", then the result page a few seconds later, saved as SHOT (the
# arguments otherwise as for run_headless, at 240 x 320). Prints the page it
# ended on.
identify_headless() {
  local home=$1 settings=$2 mic=$3 shot=$4 log=$5
  printf 'wait 3000\nkey Enter\nwait %d\nwait 3000\nscreen\nshot %s\n' "$identification_wait_ms" "$shot" |
    run_headless "$home" "$settings" "$mic" 240x320 "$log" || true
  sed -n 's/^screen //p' "$log" | tail -1
}

# Prints "Artist - Title (Album)" of the newest tag in the data folder HOME;
# fails when it holds none.
newest_song() {
  python3 - "$1" <<'PY'
import pathlib, sys
tags = sorted(pathlib.Path(sys.argv[1]).glob("*.dat"), key=lambda p: int(p.stem) if p.stem.isdigit() else -1)
if not tags:
    sys.exit(1)
data = tags[-1].read_bytes()
fields = []
for _ in range(3):  # album, artist, title: UTF-16LE, each ending in a zero unit
    end = next((i for i in range(0, len(data) - 1, 2) if data[i] == 0 and data[i + 1] == 0), len(data))
    fields.append(data[:end].decode("utf-16-le", "replace"))
    data = data[end + 2:]
album, artist, title = (f if f != "null" else "" for f in fields)
print(f"{artist or 'unknown artist'} - {title or 'untitled'}" + (f" ({album})" if album else ""))
PY
}
