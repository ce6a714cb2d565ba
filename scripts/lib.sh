# Shared by the scripts that run the program in a throw-away home.

# print_text FILE...
# Prints text files the way the program writes its logs (core/printable.h): bytes that are not
# UTF-8 become U+FFFD and every control character but the line feed is written out as "\x1b", so
# a device name in a log cannot retitle, recolour or clear the terminal it is shown on.
print_text() {
  perl -0777 -pe '
    s{((?:[\xC2-\xDF]|\xE0[\xA0-\xBF]|[\xE1-\xEC\xEE\xEF][\x80-\xBF]|\xED[\x80-\x9F]
          |\xF0[\x90-\xBF][\x80-\xBF]|[\xF1-\xF3][\x80-\xBF]{2}|\xF4[\x80-\x8F][\x80-\xBF])[\x80-\xBF])
      |([\x00-\x09\x0B-\x1F\x7F])
      |(?:\xE0[\xA0-\xBF]|[\xE1-\xEC\xEE\xEF][\x80-\xBF]|\xED[\x80-\x9F]|\xF0[\x90-\xBF][\x80-\xBF]?
          |[\xF1-\xF3][\x80-\xBF]{1,2}|\xF4[\x80-\x8F][\x80-\xBF]?|[\x80-\xFF])}{
      my ($sequence, $control) = ($1, $2);
      defined $control ? sprintf("\\x%02x", ord $control)
        : !defined $sequence ? "\xEF\xBF\xBD"
        : $sequence =~ /^\xC2[\x80-\x9F]$/ ? sprintf("\\x%02x", ord substr($sequence, 1))
        : $sequence
    }gex' -- "$@"
}

# write_settings_including_every_speaker APP STATE_DIR [PROGRAM OPTIONS]
# Writes a settings file that includes every output of the simulated room (the built-in one, or
# the one --sim-room names among the options), so that a self-check or a screenshot tour has a
# whole group to work with.
write_settings_including_every_speaker() {
  local app=$1 state=$2 sep="" uid
  shift 2
  mkdir -p "$state"
  {
    printf '{"include": {'
    while read -r uid; do
      printf '%s"%s": true' "$sep" "$uid"
      sep=", "
    done < <("$app" --print-room-uids "$@")
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
    print_text "$home/stderr.txt" >&2
    [[ -f $state/app-autotune-selftest.log ]] && print_text "$state/app-autotune-selftest.log" >&2
    return "$status"
  fi
  echo
  echo "== $state/app-autotune-selftest.log"
  print_text "$state/app-autotune-selftest.log"
  echo
  echo
  echo "== $state/offsets.json"
  print_text "$state/offsets.json"
  echo
  if [[ -n ${HOUSETONE_ROOM_NETWORK:-} ]]; then
    print_measured_arrivals "$room" "$state/offsets.json"
    return
  fi
  echo "== the room's delays beside what the self-check found (ms; the slowest speaker gets offset 0)"
  jq -r --slurpfile s "$state/offsets.json" '
    ([.speakers[].delayMs] | max) as $slowest
    | ["speaker", "room delay", "offset", "room: slowest - delay"],
      (.speakers[] | [.description, .delayMs, ($s[0].offsets[.node] // "-"),
                      ($slowest - .delayMs)])
    | @tsv' "$room/room.json" |
    awk -F'\t' '{ printf "%-22s %11s %9s %22s\n", $1, $2, $3, $4 }'
}

# print_measured_arrivals ROOM OFFSETS_JSON
# For a room whose network speaker's delay is unknown: measures when the microphone hears each
# speaker with the room probe ($HOUSETONE_ROOM_PROBE), independently of the program, and prints
# the arrivals beside the offsets the self-check found and the offsets the arrivals call for.
print_measured_arrivals() {
  local room=$1 offsets=$2 arrivals
  local -a sinks=()
  arrivals=$(mktemp)
  while read -r node; do sinks+=(--sink "$node"); done < <(jq -r '.speakers[].node' "$room/room.json")
  if ! (source "$room/env" && "$HOUSETONE_ROOM_PROBE" arrivals \
    --microphone "$(jq -r .microphone.node "$room/room.json")" "${sinks[@]}" --repeats 3) >"$arrivals"; then
    rm -f "$arrivals"
    echo "the room probe could not measure the arrivals" >&2
    return 1
  fi
  echo "== when the microphone hears each speaker (room probe, after the self-check) beside what the"
  echo "   self-check found (ms; of the network speaker the room knows only its air, not its path)"
  jq -r --slurpfile s "$offsets" --slurpfile a "$arrivals" '
    ($a[0].sinks | map({(.node): .arrivalMs}) | add) as $arrival
    | ([$arrival[]] | max) as $latest
    | ["speaker", "room delay", "arrival", "offset", "latest - arrival"],
      (.speakers[] | [.description, (.delayMs // "\(.airMs)+network"), ($arrival[.node] * 100 | round / 100),
                      ($s[0].offsets[.node] // "-"), (($latest - $arrival[.node]) * 100 | round / 100)])
    | @tsv' "$room/room.json" |
    awk -F'\t' '{ printf "%-22s %11s %9s %9s %18s\n", $1, $2, $3, $4, $5 }'
  rm -f "$arrivals"
}
