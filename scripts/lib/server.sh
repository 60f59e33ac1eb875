# Finding music and making sure a melodex-server answers the client. Sourced
# by scripts/run and tools/make-screenshots, which set $build.

melodex_server_pid=""
audio_pattern=(\( -iname '*.mp3' -o -iname '*.ogg' -o -iname '*.oga' -o -iname '*.opus' -o -iname '*.flac'
               -o -iname '*.wav' -o -iname '*.m4a' -o -iname '*.aac' -o -iname '*.wma' \))

# The reply of the server's health check at HOST:PORT ("ok tracks=N"); fails when none answers.
server_health() { curl -fsS --max-time 2 "http://$1/health" 2>/dev/null; }

holds_audio() {
  [ -d "$1" ] && [ -n "$(find -L "$1" -type f "${audio_pattern[@]}" -print -quit 2>/dev/null)" ]
}

# The user's music folder as the XDG user directories name it, else ~/Music.
xdg_music_folder() {
  local dirs=${XDG_CONFIG_HOME:-$HOME/.config}/user-dirs.dirs folder=""
  if [ -f "$dirs" ]; then
    folder=$(sed -n 's/^XDG_MUSIC_DIR="\(.*\)"$/\1/p' "$dirs" | tail -1)
    folder=${folder//\$HOME/$HOME}
  fi
  # A music folder that is the home folder itself is no music folder.
  [ -n "$folder" ] && [ "$folder" != "$HOME" ] && [ "$folder" != "$HOME/" ] || folder=$HOME/Music
  echo "$folder"
}

# A file from FOLDER that the client can use as its microphone (a format
# libsndfile reads, long enough to hold a recording); empty when there is none.
microphone_track_in() {
  find -L "$1" -type f \( -iname '*.mp3' -o -iname '*.ogg' -o -iname '*.oga' -o -iname '*.opus' -o -iname '*.flac' \
       -o -iname '*.wav' \) -size +200k 2>/dev/null | LC_ALL=C sort | head -1
}

# Indexes FOLDER into the store DB (unchanged files are skipped; a store of an
# earlier version is rebuilt first), then starts `serve` on ADDRESS in the
# background with its output in LOG, and waits until it answers. Sets
# melodex_server_pid.
start_server() {
  local db=$1 address=$2 folder=$3 log=$4
  # A store indexed by an earlier version is rebuilt from its files first. `stats`
  # fails on such a store, so its output is kept whatever its status (under
  # pipefail, a pipe from it into grep would fail too).
  local stats
  stats=$("$build/server/melodex-server" --db "$db" stats 2>&1 || true)
  if grep -q "melodex-server reindex" <<< "$stats"; then
    "$build/server/melodex-server" --db "$db" reindex || return 1
  fi
  "$build/server/melodex-server" --db "$db" index "$folder" || return 1
  "$build/server/melodex-server" --db "$db" serve --listen "$address" > "$log" 2>&1 &
  melodex_server_pid=$!
  local i
  for i in $(seq 100); do
    server_health "$address" > /dev/null && return 0
    kill -0 "$melodex_server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "melodex: melodex-server did not start on $address; its output:" >&2
  cat "$log" >&2
  stop_server
  return 1
}

stop_server() {
  [ -n "$melodex_server_pid" ] || return 0
  kill "$melodex_server_pid" 2>/dev/null
  wait "$melodex_server_pid" 2>/dev/null
  melodex_server_pid=""
}
