#!/usr/bin/env bash
# Measures aligned mode in a real PipeWire graph: a virtual room (scripts/pipewire-room.sh) per
# scenario, a real client playing a 1 kHz sine, and housetone-room-probe recording the client's
# own output and every speaker's monitor in one filter, sample-aligned. For each scenario it
# reports
#   - the CPU (% of one core, utime+stime over the recorded span) of the program doing the work:
#     Housetone in aligned mode, or the host process of PipeWire's combine-stream module;
#     the graph daemon's beside it;
#   - the lag from the client to each speaker (ms, on the graph's clock), and how much of it is
#     beyond the offset the speaker was given;
#   - the breaks in the sine at every speaker that were not already in the client's own output,
#     apart from those where the whole graph skipped time or in the cycle after (counted on their
#     own: every channel breaks there at once, whatever its lag, a callback may answer the skip a
#     cycle late, and a real device would underrun there whichever path fed it);
#   - the machine's load (/proc/loadavg at the end of the span).
# Scenarios: every combination of the speaker counts, modes and loads asked for, the low loads
# first (the load average takes a minute to fall back):
#   single    the client on the default speaker, nothing else
#   aligned   Housetone --backend pipewire, every speaker included, started in aligned mode
#   combine   libpipewire-module-combine-stream over every speaker, hosted by `pipewire -c FILE`,
#             as the default output
#   low/high  the machine as it is / with busy loops besides (--busy N of them)
# A benchmark of the real graph, never run by the tests. The machine's other work shows in its
# figures: read them beside the load.
#
#   scripts/measure-aligned.sh [--seconds D] [--out DIR] [--speakers 4,16]
#                              [--modes single,aligned,combine] [--loads low,high] [--busy N]
#                              [--client pw-play|paplay] [--offsets room|zero] [--desktop-quantum]
#                              [--keep-recordings]
#
#   --seconds D        length of the sine (default 120)
#   --out DIR          keeps the raw numbers there: per scenario the room, the recorder's and the
#                      analyser's JSON and the CPU figures; results.jsonl and table.md for all
#   --client           pw-play (default) or paplay through pipewire-pulse
#   --offsets          room (default): each speaker held back by the slowest speaker's delay less
#                      its own, as the room calls for; zero: none
#   --desktop-quantum  leaves the graph's cycle to its clients (HOUSETONE_ROOM_QUANTUM=desktop)
#   --keep-recordings  keeps each scenario's recording (float WAV, channel 0 the client) in --out
#
# Builds housetone and housetone-room-probe in BUILD_DIR (default build). Prints the table on
# stdout and its progress on stderr. Every process it starts is stopped by its PID, and every
# room by its own stop, however the run ends.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

seconds=120
out=
speaker_counts=4,16
modes=single,aligned,combine
loads=low,high
busy=4
client=pw-play
offsets=room
quantum=
keep=
sine_hz=1000
lead_s=1   # silence before the sine, while the recorder links the client's new ports
tail_s=1.5 # recorded after the sine, for the speakers that play it later

die() {
  echo "measure-aligned: $*" >&2
  exit 1
}
usage() {
  sed -n '/^#   scripts\/measure-aligned.sh/,/^#   --keep-recordings/p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

while (($#)); do
  case $1 in
    --seconds) seconds=${2:-} && shift ;;
    --out) out=${2:-} && shift ;;
    --speakers) speaker_counts=${2:-} && shift ;;
    --modes) modes=${2:-} && shift ;;
    --loads) loads=${2:-} && shift ;;
    --busy) busy=${2:-} && shift ;;
    --client) client=${2:-} && shift ;;
    --offsets) offsets=${2:-} && shift ;;
    --desktop-quantum) quantum=desktop ;;
    --keep-recordings) keep=1 ;;
    *) usage ;;
  esac
  shift
done
[[ $seconds =~ ^[0-9]+$ ]] && ((seconds >= 1)) || die "--seconds needs a whole number of seconds"
[[ $busy =~ ^[0-9]+$ ]] && ((busy >= 1 && busy <= 64)) || die "--busy needs a number from 1 to 64"
[[ $client == pw-play || $client == paplay ]] || die "--client is pw-play or paplay"
[[ $offsets == room || $offsets == zero ]] || die "--offsets is room or zero"
IFS=, read -ra speaker_list <<<"$speaker_counts"
IFS=, read -ra mode_list <<<"$modes"
IFS=, read -ra load_list <<<"$loads"
for n in "${speaker_list[@]}"; do
  [[ $n =~ ^[0-9]+$ ]] && ((n >= 4 && n <= 32)) || die "--speakers takes counts from 4 to 32"
done
for m in "${mode_list[@]}"; do
  [[ $m == single || $m == aligned || $m == combine ]] || die "unknown mode \"$m\""
done
for l in "${load_list[@]}"; do
  [[ $l == low || $l == high ]] || die "unknown load \"$l\""
done
[[ -z $keep || -n $out ]] || die "--keep-recordings needs --out"
if [[ -n $out ]]; then
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
fi

for tool in pipewire wireplumber pipewire-pulse pw-play pw-link pw-metadata paplay sox jq \
  dbus-daemon; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps.sh installs it)"
done

build=${BUILD_DIR:-build}
[[ -f $build/CMakeCache.txt ]] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
cmake --build "$build" -j"$(nproc)" --target housetone housetone-room-probe >&2
app=$repo/$build/src/housetone
probe=$repo/$build/bench/room/housetone-room-probe
[[ -x $probe ]] || die "housetone-room-probe was not built (is libpipewire-0.3-dev installed?)"

tick=$(getconf CLK_TCK)
work=$(mktemp -d)
started=$work/pids # "PID START-TIME NAME" of everything started here but the rooms
rooms=$work/rooms  # the room folders, stopped by their own script
: >"$started"
: >"$rooms"

# start_time PID: the process's start time in clock ticks since boot; empty once it has gone. A
# PID with another start time is another process that reused the number.
start_time() {
  local stat fields
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) }
  read -ra fields <<<"$stat"
  [[ ${fields[0]} == Z ]] || echo "${fields[19]}"
}

# track PID NAME: remembers a process started in the background, to stop it by PID later.
track() {
  echo "$1 $(start_time "$1") $2" >>"$started"
}

# stop_pid PID START: TERM, then KILL after five seconds, if it is still the process recorded.
stop_pid() {
  local pid=$1 start=$2 i
  [[ -n $start && $(start_time "$pid") == "$start" ]] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 250; i++)); do
    [[ $(start_time "$pid") == "$start" ]] || return 0
    sleep 0.02
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# stop_tracked [NAME...]: stops the tracked processes (of those names), last started first.
stop_tracked() {
  local pid start name kept
  kept=$(mktemp "$work/kept.XXXXXX")
  tac "$started" | while read -r pid start name; do
    if (($# == 0)) || [[ " $* " == *" $name "* ]]; then
      stop_pid "$pid" "$start"
    else
      echo "$pid $start $name" >>"$kept"
    fi
  done
  tac "$kept" >"$started"
  rm -f "$kept"
}

cleanup() {
  local room
  trap - EXIT INT TERM
  stop_tracked
  while read -r room; do
    bash "$repo/scripts/pipewire-room.sh" stop "$room" || true
  done <"$rooms"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# cpu_ticks PID: utime + stime so far.
cpu_ticks() {
  local stat fields
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || {
    echo 0
    return
  }
  stat=${stat##*) }
  read -ra fields <<<"$stat"
  echo $((fields[11] + fields[12]))
}

now() { date +%s.%N; }

# wait_until SECONDS WHAT CMD...: runs CMD until it succeeds; dies after SECONDS.
wait_until() {
  local limit=$1 what=$2 deadline
  shift 2
  deadline=$((SECONDS + limit))
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || die "timed out waiting for $what"
    sleep 0.1
  done
}

default_sink_is() {
  pw-metadata -n default 0 default.audio.sink | grep -qF "\"name\":\"$1"
}

# Every speaker's first channel is fed by something.
every_speaker_fed() {
  local links node
  links=$(pw-link -l)
  for node in "${speakers[@]}"; do
    grep -A1 -xF -- "$node:playback_FL" <<<"$links" | grep -q '|<-' || return 1
  done
}

# The sine the client plays: stereo float at the room's rate, after a stretch of silence.
sine=$work/client.wav
sox -q -n -r 48000 -c 2 -b 32 -e floating-point "$sine" synth "$seconds" sine "$sine_hz" vol 0.5 \
  pad "$lead_s" 0

# start_busy: the loops that make the high load.
start_busy() {
  local i
  for ((i = 0; i < busy; i++)); do
    bash -c 'while :; do :; done' </dev/null >/dev/null 2>&1 &
    track $! busy
  done
}

# Housetone in aligned mode: a settings folder with every speaker included, the last mode
# aligned and resumed at start.
start_housetone() {
  local dir=$1 home=$1/home
  mkdir -p "$home/.config/housetone" "$home/.local/state/vuzeda"
  printf '[General]\nresumeLastMode=true\nlastMode=@ByteArray(Aligned)\n' \
    >"$home/.config/housetone/housetone.conf"
  jq --argjson offsets "$(cat "$dir/offsets.json")" \
    '{include: ([.speakers[].node | {(.): true}] | add), offsets: $offsets, names: {},
      measured: {}}' "$dir/room/room.json" >"$home/.local/state/vuzeda/offsets.json"
  HOME=$home XDG_CONFIG_HOME=$home/.config XDG_STATE_HOME=$home/.local/state \
    XDG_DATA_HOME=$home/.local/share XDG_CACHE_HOME=$home/.cache QT_QPA_PLATFORM=offscreen \
    "$app" --backend pipewire </dev/null >"$dir/housetone.log" 2>&1 &
  program_pid=$!
  track "$program_pid" housetone
  # Programs are moved to the tap only once it feeds the speakers.
  wait_until 60 "Housetone's aligned mode (see $dir/housetone.log)" default_sink_is housetone.tap.
  wait_until 10 "Housetone to feed every speaker" every_speaker_fed
}

# PipeWire's own combine-stream sink over every speaker, as the default output.
start_combine() {
  local dir=$1
  cat >"$dir/combine.conf" <<'EOF'
context.properties = { core.daemon = false core.name = measure-combine-host }
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-combine-stream
      args = {
        combine.mode = sink
        node.name = "measure-combine"
        node.description = "Every room speaker"
        combine.props = { audio.position = [ FL FR ] }
        stream.rules = [
          { matches = [ { media.class = "Audio/Sink" node.name = "~room-.*" } ]
            actions = { create-stream = { } } }
        ]
      }
    }
]
EOF
  pipewire -c "$dir/combine.conf" </dev/null >"$dir/combine.log" 2>&1 &
  program_pid=$!
  track "$program_pid" combine
  wait_until 15 "the combine sink" every_speaker_fed
  pw-metadata -n default 0 default.configured.audio.sink '{"name":"measure-combine"}' \
    Spa:String:JSON >/dev/null
  wait_until 10 "the combine sink to be the default" default_sink_is measure-combine
}

start_client() {
  if [[ $client == pw-play ]]; then
    pw-play -P '{ node.name = measure-client }' "$sine" </dev/null >"$1/client.log" 2>&1 &
  else
    paplay --property=node.name=measure-client "$sine" </dev/null >"$1/client.log" 2>&1 &
  fi
  track $! client
}

# run_scenario N MODE LOAD INDEX TOTAL: one room, one recording, one line of results.
run_scenario() {
  local n=$1 mode=$2 load=$3 index=$4 total=$5
  local dir=$work/$n-$mode-$load room ports daemon_pid t0 t1 p0 p1 d0 d1 node status=0
  room=$dir/room
  mkdir -p "$dir"
  program_pid=
  echo "[$index/$total] $n speakers, $mode, $load load: starting the room..." >&2
  [[ $load == high ]] && start_busy
  echo "$room" >>"$rooms"
  HOUSETONE_ROOM_PULSE=1 HOUSETONE_ROOM_EXTRA_SPEAKERS=$((n - 4)) HOUSETONE_ROOM_QUANTUM=$quantum \
    bash scripts/pipewire-room.sh start "$room" >&2
  daemon_pid=$(awk '$3 == "pipewire" { print $1 }' "$room/pids")
  (
    source "$room/env"
    mapfile -t speakers < <(jq -r '.speakers[].node' "$room/room.json")
    if [[ $mode == aligned && $offsets == room ]]; then
      jq '([.speakers[].delayMs] | max) as $slowest
          | [.speakers[] | {(.node): ($slowest - .delayMs)}] | add' "$room/room.json"
    else
      jq '[.speakers[] | {(.node): 0}] | add' "$room/room.json"
    fi >"$dir/offsets.json"
    case $mode in
      single)
        node=$(pw-metadata -n default 0 default.audio.sink |
          sed -n "s/.*key:'default.audio.sink' value:'{\"name\":\"\([^\"]*\)\"}'.*/\1/p")
        [[ -n $node ]] || die "the room has no default output"
        speakers=("$node")
        ;;
      aligned) start_housetone "$dir" ;;
      combine) start_combine "$dir" ;;
    esac
    ports=(--port measure-client:output_FL)
    for node in "${speakers[@]}"; do ports+=(--port "$node:monitor_FL"); done

    echo "[$index/$total] $n speakers, $mode, $load load: recording $((lead_s + seconds)) s..." >&2
    p0=$([[ -n $program_pid ]] && cpu_ticks "$program_pid" || echo 0)
    d0=$(cpu_ticks "$daemon_pid")
    t0=$(now)
    "$probe" record "${ports[@]}" --seconds "$(awk "BEGIN { print $lead_s + $seconds + $tail_s }")" \
      --wait 30 --out "$dir/recording.wav" >"$dir/recorder.json" 2>"$dir/recorder.log" &
    local recorder=$!
    track "$recorder" recorder
    start_client "$dir"
    wait "$recorder" || status=$?
    t1=$(now)
    p1=$([[ -n $program_pid ]] && cpu_ticks "$program_pid" || echo 0)
    d1=$(cpu_ticks "$daemon_pid")
    cut -d' ' -f1-3 /proc/loadavg >"$dir/loadavg"
    ((status == 0)) || die "the recorder failed: $(cat "$dir/recorder.log")"
    jq -n --arg t0 "$t0" --arg t1 "$t1" --argjson tick "$tick" --argjson p0 "$p0" \
      --argjson p1 "$p1" --argjson d0 "$d0" --argjson d1 "$d1" --argjson program \
      "$([[ -n $program_pid ]] && echo true || echo false)" \
      '(($t1 | tonumber) - ($t0 | tonumber)) as $span
       | {spanSeconds: $span,
          programCpu: (if $program then ($p1 - $p0) / $tick / $span * 100 else null end),
          daemonCpu: (($d1 - $d0) / $tick / $span * 100)}' >"$dir/cpu.json"
    stop_tracked client housetone combine
  ) || status=$?
  stop_tracked busy recorder client housetone combine
  bash scripts/pipewire-room.sh stop "$room" >&2 || true
  ((status == 0)) || die "scenario $n speakers, $mode, $load load failed (see above)"

  echo "[$index/$total] $n speakers, $mode, $load load: analysing..." >&2
  "$probe" analyse "$dir/recording.wav" --sine "$sine_hz" --recorder "$dir/recorder.json" \
    >"$dir/analysis.json"
  jq -c --argjson n "$n" --arg mode "$mode" --arg load "$load" --argjson busy \
    "$([[ $load == high ]] && echo "$busy" || echo 0)" --arg loadavg "$(cat "$dir/loadavg")" \
    --slurpfile cpu "$dir/cpu.json" --slurpfile offsets "$dir/offsets.json" \
    --slurpfile rec "$dir/recorder.json" '
    .channels[0] as $client
    | [.channels[1:][] | . + {node: (.port | sub(":[^:]*$"; ""))}
       | . + {offsetMs: ($offsets[0][.node] // 0)}
       | . + {beyondMs: (if .lagMs == null then null else .lagMs - .offsetMs end)}] as $sp
    | [$sp[] | select(.sound)] as $heard
    | {speakers: $n, mode: $mode, load: $load, busyLoops: $busy, loadavg: $loadavg,
       programCpu: $cpu[0].programCpu, daemonCpu: $cpu[0].daemonCpu,
       spanSeconds: $cpu[0].spanSeconds, positionJumps: $rec[0].positionJumps,
       clientSound: $client.sound, clientBreaks: ($client.breaks // 0),
       clientAtJumps: ($client.atGraphJumps // 0),
       atJumps: ([$heard[].atGraphJumps] | add // 0),
       recorded: ($sp | length), silent: ([$sp[] | select(.sound | not)] | length),
       lagMinMs: ([$heard[].lagMs] | min), lagMaxMs: ([$heard[].lagMs] | max),
       beyondMinMs: ([$heard[].beyondMs] | min), beyondMaxMs: ([$heard[].beyondMs] | max),
       addedBreaks: ([$heard[].addedBreaks] | add // 0),
       worstAdded: ([$heard[].addedBreaks] | max // 0),
       perSpeaker: [$sp[] | {node, sound, lagMs, offsetMs, beyondMs, breaks, fromReference,
                             atGraphJumps, addedBreaks}]}' \
    "$dir/analysis.json" >>"$work/results.jsonl"
  if [[ -n $out ]]; then
    mkdir -p "$out/$n-$mode-$load"
    cp "$room/room.json" "$dir"/{offsets,recorder,analysis,cpu}.json "$dir/loadavg" \
      "$out/$n-$mode-$load/"
    [[ -z $keep ]] || mv "$dir/recording.wav" "$out/$n-$mode-$load/"
  fi
  rm -f "$dir/recording.wav"
}

total=$((${#speaker_list[@]} * ${#mode_list[@]} * ${#load_list[@]}))
index=0
for load in "${load_list[@]}"; do
  for n in "${speaker_list[@]}"; do
    for mode in "${mode_list[@]}"; do
      index=$((index + 1))
      run_scenario "$n" "$mode" "$load" "$index" "$total"
    done
  done
done

table() {
  local high=
  [[ " ${load_list[*]} " == *" high "* ]] && high=" High load: $busy busy loops besides the machine's own work."
  echo "Sine of ${seconds} s at ${sine_hz} Hz from $client; offsets: $offsets; $(nproc) cores.$high"
  echo "Breaks at skips: where the whole graph skipped time, or in the cycle after."
  echo
  echo "| speakers | mode | load | program CPU % | daemon CPU % | lag ms (min–max) |" \
    "beyond offset ms (min–max) | client breaks (at skips) | speaker breaks at skips |" \
    "added breaks (all / worst speaker) | silent speakers | graph skips | loadavg (1 5 15 min) |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|"
  jq -r '
    def f: if . == null then "–" else (. * 10 | round / 10 | tostring) end;
    "| \(.speakers) | \(.mode) | \(.load) | \(.programCpu | f) | \(.daemonCpu | f) | " +
    "\(.lagMinMs | f)–\(.lagMaxMs | f) | \(.beyondMinMs | f)–\(.beyondMaxMs | f) | " +
    "\(.clientBreaks) (\(.clientAtJumps)) | \(.atJumps) | \(.addedBreaks) / \(.worstAdded) | " +
    "\(.silent) of \(.recorded) | \(.positionJumps) | \(.loadavg) |"' "$work/results.jsonl"
}
table >"$work/table.md"
if [[ -n $out ]]; then cp "$work/results.jsonl" "$work/table.md" "$out/"; fi
cat "$work/table.md"
