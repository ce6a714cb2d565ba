# Shared by the scripts that run the program in a throw-away home.

# write_settings_including_every_speaker APP STATE_DIR
# Writes a settings file that includes every output of the built-in simulated room, so that a
# self-check or a screenshot tour has a whole group to work with.
write_settings_including_every_speaker() {
  local app=$1 state=$2 sep="" uid
  mkdir -p "$state"
  {
    printf '{"include": {'
    while read -r uid; do
      printf '%s"%s": true' "$sep" "$uid"
      sep=", "
    done < <("$app" --print-room-uids)
    printf '}, "offsets": {}, "names": {}, "measured": {}}\n'
  } >"$state/offsets.json"
}

# run_selftest_in_pipewire_room APP [ARGS...]
# Starts a virtual room on a private PipeWire graph, runs the auto-tune self-check through the
# PipeWire backend with every room speaker included, in a temporary home, and prints the log, the
# settings and the room's delays beside the offsets found. The room is stopped and
# the home removed however the run ends.
run_selftest_in_pipewire_room() {
  local app=$1 home room state status=0
  shift
  home=$(mktemp -d)
  room="$home/room"
  trap "bash scripts/pipewire-room.sh stop '$room'; rm -rf '$home'" EXIT
  echo "Starting a virtual room on a private PipeWire graph..."
  bash scripts/pipewire-room.sh start "$room"
  state="$home/.local/state/vuzeda"
  mkdir -p "$state"
  jq '{include: ([.speakers[].node | {(.): true}] | add), offsets: {}, names: {}, measured: {}}' \
    "$room/room.json" >"$state/offsets.json"

  echo "Running the auto-tune self-check through PipeWire..."
  (
    source "$room/env"
    HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_STATE_HOME="$home/.local/state" \
      QT_QPA_PLATFORM=offscreen "$app" --autotune-selftest --backend pipewire "$@"
  ) 2>"$home/stderr.txt" || status=$?
  if ((status != 0)); then
    cat "$home/stderr.txt" >&2
    [[ -f $state/app-autotune-selftest.log ]] && cat "$state/app-autotune-selftest.log" >&2
    return "$status"
  fi
  echo
  echo "== $state/app-autotune-selftest.log"
  cat "$state/app-autotune-selftest.log"
  echo
  echo
  echo "== $state/offsets.json"
  cat "$state/offsets.json"
  echo
  echo "== the room's delays beside what the self-check found (ms; the slowest speaker gets offset 0)"
  jq -r --slurpfile s "$state/offsets.json" '
    ([.speakers[].delayMs] | max) as $slowest
    | ["speaker", "room delay", "offset", "room: slowest - delay"],
      (.speakers[] | [.description, .delayMs, ($s[0].offsets[.node] // "-"),
                      ($slowest - .delayMs)])
    | @tsv' "$room/room.json" |
    awk -F'\t' '{ printf "%-22s %11s %9s %22s\n", $1, $2, $3, $4 }'
}
