#!/usr/bin/env bash
# A virtual room on a private, headless PipeWire graph: several virtual speakers and a microphone
# that hears each of them after that speaker's own delay, over a low noise floor.
#
#   pipewire-room.sh start DIR   starts a session bus, pipewire and wireplumber under DIR, waits
#                                until the graph is ready, writes DIR/env and DIR/room.json
#   pipewire-room.sh stop DIR    stops exactly the processes start recorded in DIR/pids
#   pipewire-room.sh restart-pipewire DIR
#                                starts the graph again as a desktop's service manager would after
#                                pipewire went away (crashed, killed or updated): stops what is left
#                                of pipewire, wireplumber and the noise, then starts them as start
#                                does; the session bus stays
#   pipewire-room.sh restart-wireplumber DIR
#                                stops wireplumber and starts a new one; pipewire stays
#   pipewire-room.sh set-delay DIR NODE MS
#                                moves the echo of speaker NODE to MS in the running room at once,
#                                as a speaker whose latency jumps would (its delay line is set live;
#                                nothing is made again), and writes the new delay wherever the room
#                                keeps it: room.json, DIR/delays and the graph's configuration (a
#                                restart brings it back as set)
#
# A client joins the graph with `source DIR/env`. Nothing outside DIR is written or stopped.
#
# Delays (ms from a sample written to a speaker to the microphone hearing it, apart from one
# graph cycle that every echo adds alike; exact to the frame, as they are rounded to whole frames
# at the graph's rate) default to about the built-in simulated room's; they can be set
# per speaker node name in DIR/delays (one "node=ms" a line, read by start if present) or in
# HOUSETONE_ROOM_DELAYS ("node=ms,node=ms"; overrides the file), e.g.
#   HOUSETONE_ROOM_DELAYS="room-kitchen-speaker=120,room-living-room-tv=40"
#
# Further choices, read by start:
#   HOUSETONE_ROOM_PULSE=1           also runs pipewire-pulse, so PulseAudio clients (paplay, pactl,
#                                    browsers) play into the room; DIR/env then names its socket
#   HOUSETONE_ROOM_EXTRA_SPEAKERS=N  adds N plain USB speakers, room-extra-speaker-1 .. -N (N <= 28)
#   HOUSETONE_ROOM_RATES="node=44100,..."      a speaker's own sample rate (the graph converts)
#   HOUSETONE_ROOM_POSITIONS="node=MONO,..."   a speaker's channel positions (space-separated
#                                    within one value: "node=FL FR FC")
#   HOUSETONE_ROOM_QUANTUM=desktop   leaves the graph's cycle to clients, as a desktop's default
#                                    configuration does, instead of fixing it (room.json then says
#                                    "quantum": null)
#   HOUSETONE_ROOM_NETWORK=rtp|tunnel|rtp,tunnel
#                                    adds a speaker on another machine per module named: a second
#                                    private graph under DIR/far (its own bus, pipewire, wireplumber
#                                    and, for the tunnel, pipewire-pulse) with a sink per module,
#                                    room-far-rtp / room-far-tunnel, reached over the loopback
#                                    address by PipeWire's own network modules: an RTP sender here
#                                    and receiver there, or a PulseAudio tunnel here to the far
#                                    graph's pipewire-pulse. In this graph they are the sinks
#                                    room-network-rtp and room-network-tunnel. What a far sink plays
#                                    comes back to the microphone through the air like any speaker's
#                                    sound (the room probe carries it from the far graph to this one).
#                                    Its delay is the network path's plus its air; the room does not
#                                    know the first, so room.json gives "delayMs": null and "airMs".
#   HOUSETONE_ROOM_NETWORK_AIR_MS=MS the network speaker's air delay (default 50; at least 40, as the
#                                    air waits for a cycle of each graph)
#   HOUSETONE_ROOM_PROBE=PATH        the built housetone-room-probe, which carries that air (default:
#                                    build/bench/room/ of this checkout)
#   HOUSETONE_ROOM_NETWORK_LATENCY_MS=MS
#                                    the latency the network module is asked to keep (the RTP
#                                    receiver's sess.latency.msec, the tunnel's pulse.latency;
#                                    default 60); the path takes that and more, and moves by a
#                                    cycle whenever either graph loses one (see write_far_config).
#                                    Start returns once every network speaker's path holds still
#                                    (see wait_for_still_network), which takes up to a minute and a
#                                    half for the tunnel.
#                                    PIPEWIRE_DEBUG="2,mod.rtp-source:4" (or mod.pulse-tunnel:4) in
#                                    start's environment logs the receiver's buffer every cycle in
#                                    DIR/log/far-rtp-receiver.log (DIR/log/pipewire.log for the
#                                    tunnel)
set -euo pipefail

# node name | description | transport | channel positions | delay ms | session priority
# The built-in speakers carry the highest priority so they become the default output, as in the
# simulated room. The HDMI output sits on the PCI bus like the built-in one, as real cards do, so
# its form factor has to tell them apart.
speakers=(
  "room-builtin-speakers|Built-in Speakers|builtin|FL FR|11|1100"
  "room-kitchen-speaker|Kitchen Speaker|bluetooth|FL FR|190|1000"
  "room-living-room-tv|Living Room TV|hdmi|FL FR|54|1000"
  "room-surround-interface|Surround Interface|usb|FL FR FC LFE RL RR|26|1000"
)
mic_node=room-microphone
mic_description="Room Microphone"
rate=48000
# Frames per graph cycle, fixed so that the one cycle every echo adds is known (room.json says
# it); smaller cycles miss their deadlines on a busy shared machine, and a missed cycle loses sound.
# A client asking for a longer cycle (a player's default 100 ms) must not stretch it either.
quantum=1024
case ${HOUSETONE_ROOM_QUANTUM:-} in
  "") ;;
  desktop) quantum= ;;
  *) echo "pipewire-room: HOUSETONE_ROOM_QUANTUM must be empty or desktop" >&2 && exit 1 ;;
esac
extra=${HOUSETONE_ROOM_EXTRA_SPEAKERS:-0}
if ! [[ $extra =~ ^[0-9]{1,2}$ ]] || ((extra > 28)); then
  echo "pipewire-room: HOUSETONE_ROOM_EXTRA_SPEAKERS must be a number from 0 to 28" >&2
  exit 1
fi
for ((i = 1; i <= extra; i++)); do
  speakers+=("room-extra-speaker-$i|Extra Speaker $i|usb|FL FR|$((20 + 7 * i))|900")
done
max_delay_ms=2000
read -ra networks <<<"$(tr ',' ' ' <<<"${HOUSETONE_ROOM_NETWORK:-}")"
network_air_ms=${HOUSETONE_ROOM_NETWORK_AIR_MS:-50}
probe=${HOUSETONE_ROOM_PROBE:-$(cd "$(dirname "$0")/.." && pwd)/build/bench/room/housetone-room-probe}
network_latency_ms=${HOUSETONE_ROOM_NETWORK_LATENCY_MS:-60}
max_delay_s=2.1 # the echoes' delay lines, a little over the longest delay
# Peak of the white noise the microphone hears besides the echoes (-60 dBFS), as a real one in a
# quiet room would: a microphone that returns digital silence is one the tuner takes as blocked.
noise_peak=0.001
ready_timeout_s=15
stop_timeout_s=5

die() {
  echo "pipewire-room: $*" >&2
  exit 1
}

usage() {
  echo "usage: $0 start|stop|restart-pipewire|restart-wireplumber DIR" >&2
  echo "       $0 set-delay DIR NODE MS" >&2
  exit 2
}

for kind in "${networks[@]}"; do
  [[ $kind == rtp || $kind == tunnel ]] ||
    die "HOUSETONE_ROOM_NETWORK must name rtp, tunnel or both, not \"$kind\""
done
# The room reads the probe's arrivals of its network speakers with jq (see network_arrivals).
((${#networks[@]} == 0)) || command -v jq >/dev/null || die "a network speaker needs jq on PATH"

has_network() {
  [[ " ${networks[*]} " == *" $1 "* ]]
}

# The network speaker of one module: its sink here, and the far machine's sink it plays on.
network_node() { echo "room-network-$1"; }
far_sink() { echo "room-far-$1"; }
network_description() {
  case $1 in
    rtp) echo "Network Speaker (RTP)" ;;
    tunnel) echo "Network Speaker (tunnel)" ;;
  esac
}
[[ $network_air_ms =~ ^[0-9]{1,4}(\.[0-9]+)?$ ]] &&
  awk -v ms="$network_air_ms" -v max="$max_delay_ms" 'BEGIN { exit !(ms >= 40 && ms <= max) }' ||
  die "HOUSETONE_ROOM_NETWORK_AIR_MS must be a number of ms from 40 to $max_delay_ms"
[[ $network_latency_ms =~ ^[0-9]{1,4}$ ]] && ((network_latency_ms >= 1)) ||
  die "HOUSETONE_ROOM_NETWORK_LATENCY_MS must be a whole number of ms from 1 to 9999"

device_props() {
  case $1 in
    builtin) echo 'device.bus = "pci" device.form-factor = "internal"' ;;
    bluetooth) echo 'device.bus = "bluetooth" device.api = "bluez5" device.form-factor = "speaker"' ;;
    hdmi) echo 'device.bus = "pci" device.form-factor = "hdmi"' ;;
    usb) echo 'device.bus = "usb" device.form-factor = "speaker"' ;;
    *) die "unknown transport $1" ;;
  esac
}

# set_field NODE FIELD VALUE: sets field FIELD (from 0: 3 the positions, 4 the delay) of the
# speaker called NODE; fails when there is none.
set_field() {
  local node=$1 field=$2 value=$3 i found=
  local -a f
  for i in "${!speakers[@]}"; do
    IFS='|' read -ra f <<<"${speakers[$i]}"
    [[ ${f[0]} == "$node" ]] || continue
    f[field]=$value
    speakers[i]=$(IFS='|' && echo "${f[*]}")
    found=1
  done
  [[ -n $found ]]
}

# apply_delays PAIRS: "node=ms" pairs separated by commas, spaces or new lines.
apply_delays() {
  local pair node ms
  local -a pairs
  read -ra pairs <<<"$(tr ',\n' '  ' <<<"$1")"
  for pair in "${pairs[@]}"; do
    [[ $pair == *=* ]] || die "delay \"$pair\" is not node=ms"
    node=${pair%%=*} ms=${pair#*=}
    [[ $ms =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "delay of $node: \"$ms\" is not a number of ms"
    awk -v ms="$ms" -v max="$max_delay_ms" 'BEGIN { exit !(ms <= max) }' ||
      die "delay of $node: $ms ms is over $max_delay_ms ms"
    set_field "$node" 4 "$ms" || die "delay for \"$node\": no speaker has that node name"
  done
}

declare -A speaker_rate=()

# apply_format rate|positions PAIRS: "node=value" pairs separated by commas.
apply_format() {
  local kind=$1 pair node value
  local -a pairs
  IFS=',' read -ra pairs <<<"$2"
  for pair in "${pairs[@]}"; do
    node=${pair%%=*} value=${pair#*=}
    if [[ $kind == rate ]]; then
      [[ $value =~ ^[0-9]{4,6}$ ]] || die "rate of $node: \"$value\" is not a sample rate"
      speaker_rate[$node]=$value
      value=$node # the field itself stays
    else
      [[ $value =~ ^[A-Z0-9]+( [A-Z0-9]+)*$ ]] ||
        die "positions of $node: \"$value\" are not channel names"
    fi
    set_field "$node" "$([[ $kind == rate ]] && echo 0 || echo 3)" "$value" ||
      die "$kind for \"$node\": no speaker has that node name"
  done
}

write_pipewire_config() {
  local conf=$1 n d t p ms prio
  {
    if [[ -n $quantum ]]; then
      echo "context.properties = { default.clock.rate = $rate default.clock.quantum = $quantum"
      echo "  default.clock.min-quantum = $quantum default.clock.max-quantum = $quantum }"
    else
      echo "context.properties = { default.clock.rate = $rate }"
    fi
    echo "context.objects = ["
    for s in "${speakers[@]}"; do
      IFS='|' read -r n d t p ms prio <<<"$s"
      cat <<EOF
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "$n"
      node.description = "$d"
      media.class = "Audio/Sink"
      audio.position = [ $p ]
      ${speaker_rate[$n]:+audio.rate = ${speaker_rate[$n]}}
      $(device_props "$t")
      priority.session = $prio
      monitor.channel-volumes = true
      object.linger = true
    }
  }
EOF
    done
    # The microphone drives the graph: with a speaker as the driver its own monitor runs two
    # quanta behind the other speakers', and the delays would no longer be the room's alone.
    cat <<EOF
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "$mic_node"
      node.description = "$mic_description"
      media.class = "Audio/Source/Virtual"
      audio.position = [ MONO ]
      device.bus = "pci" device.form-factor = "internal"
      priority.driver = 2000
      priority.session = 2000
      object.linger = true
    }
  }
]
context.modules = [
EOF
    # One echo per speaker: it records the speaker's monitor (mixed down to one channel), holds it
    # back by the delay and plays it into the microphone. The delay is a plain delay line in a
    # filter chain: a loopback's own delay is recomputed from the streams' reported latencies
    # whenever a link to the speaker changes, and then skips or repeats a stretch of sound. The
    # delay in seconds is a quarter frame above the whole frame count, as the line truncates it.
    # WirePlumber would route the playback side to the default sink (a feedback loop), so it stays
    # unconnected and start links it.
    for s in "${speakers[@]}"; do
      IFS='|' read -r n d t p ms prio <<<"$s"
      echo_module "$n" "$d" "$ms" "stream.capture.sink = true target.object = \"$n\""
    done
    # The network speaker's echo hears what comes back from the far machine through the air, which
    # holds it back itself (start links it).
    for kind in "${networks[@]}"; do
      echo_module "$(network_node "$kind")" "$(network_description "$kind")" 0 \
        "node.autoconnect = false"
      network_module "$kind"
    done
    echo "]"
  } >"$conf"
}

# delay_seconds MS: the echo's delay line setting for MS, whole frames at the graph's rate.
delay_seconds() {
  awk -v ms="$1" -v rate="$rate" 'BEGIN { printf "%.9f", (int(ms * rate / 1000 + 0.5) + 0.25) / rate }'
}

# echo_module NODE DESCRIPTION MS CAPTURE_PROPS: the filter chain that delays what it records by MS
# and plays it, unconnected, as NODE.echo; it records as NODE.echo-in with CAPTURE_PROPS.
echo_module() {
  cat <<EOF
  { name = libpipewire-module-filter-chain
    args = {
      node.description = "Room echo of $2"
      audio.channels = 1
      audio.position = [ MONO ]
      filter.graph = {
        nodes = [
          { type = builtin name = delay label = delay
            config = { max-delay = $max_delay_s }
            control = { "Delay (s)" = $(delay_seconds "$3") }
          }
        ]
      }
      capture.props = {
        node.name = "$1.echo-in"
        $4
        node.dont-reconnect = true
      }
      playback.props = {
        node.name = "$1.echo"
        node.autoconnect = false
        node.dont-reconnect = true
      }
    }
  }
EOF
}

# The sending side of the network speaker, as a desktop would configure it: an RTP sender made a
# sink (the module makes a recording stream unless told), or a tunnel to the far pulse server's
# sink. The far side keeps its buffer at network_latency_ms.
network_module() {
  local kind=$1 node description
  node=$(network_node "$kind") description=$(network_description "$kind")
  # A sender that stops with its last player makes the far side find its buffer again at the next
  # sound, each time a different part of a cycle late; a streaming speaker sends on, silence or
  # not, and its far side stays settled.
  local keep_streaming="node.always-process = true session.suspend-timeout-seconds = 0"
  # RTP packets of 256 frames (net.mtu = 1024 bytes of 16-bit stereo): a cycle of this graph is a
  # whole number of them, so the receiver finds the same fill at each of its cycles. With the
  # default 288 the fill ran through a nine-cycle pattern wider than the error its rate control
  # takes, and the path hunted by about 2 ms either way.
  case $kind in
    rtp)
      cat <<EOF
  { name = libpipewire-module-rtp-sink
    args = {
      destination.ip = "127.0.0.1"
      destination.port = $rtp_port
      sap.ip = "127.0.0.1"
      sap.port = $((rtp_port + 2))
      sess.name = "$node"
      net.mtu = 1024
      audio.channels = 2
      audio.position = [ FL FR ]
      stream.props = {
        media.class = "Audio/Sink"
        node.name = "$node"
        node.description = "$description"
        $keep_streaming
      }
    }
  }
EOF
      ;;
    tunnel)
      cat <<EOF
  { name = libpipewire-module-pulse-tunnel
    args = {
      tunnel.mode = sink
      pulse.server.address = "unix:$dir/far/run/pulse/native"
      pulse.latency = $network_latency_ms
      audio.channels = 2
      audio.position = [ FL FR ]
      stream.props = {
        node.name = "$node"
        node.description = "$description"
        $keep_streaming
      }
    }
  }
EOF
      ;;
  esac
}

# The far machine's graph: a speaker per module driving itself at the room's rate and cycle (the
# RTP receiver, which plays every session it hears announced into its speaker, joins it later as a
# client of its own: see start_rtp_receiver); the tunnel plays to the far server's default sink
# (its node.target was not followed), so the tunnel's speaker is the one chosen first.
# Both graphs run on dummy drivers timed by the one monotonic clock, so their rates match exactly
# and the path's delay is fixed as long as neither graph loses a cycle. Both modules count samples,
# not clock time: a cycle the room's graph does not run the sender in (the machine stalled past
# the cycle's deadline, or a node feeding the sender left the graph mid-cycle) makes everything
# after it play one cycle earlier there, and a cycle the far graph loses makes it play one later.
# The modules' rate control then pulls the buffer back to the latency asked at about a ms a second
# (it clamps its error at 2 ms for RTP, 256 frames for the tunnel, and is tuned for 128-frame
# cycles), overshooting, or the receiver re-buffers from scratch when it runs dry.
# A 256-frame cycle here suits that control better but lost a cycle to every stall over 5 ms,
# every few seconds on a busy machine, and the path drifted by tens of ms; 1024 frames outlast
# the common stalls of 10 to 20 ms.
far_quantum=1024
write_far_config() {
  local conf=$1
  {
    echo "context.properties = { default.clock.rate = $rate default.clock.quantum = $far_quantum"
    echo "  default.clock.min-quantum = $far_quantum default.clock.max-quantum = $far_quantum }"
    echo "context.objects = ["
    for kind in "${networks[@]}"; do
      cat <<EOF
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = "$(far_sink "$kind")"
      node.description = "Far Speaker ($kind)"
      media.class = "Audio/Sink"
      audio.position = [ FL FR ]
      device.bus = "usb" device.form-factor = "speaker"
      priority.driver = 1000
      priority.session = $([[ $kind == tunnel ]] && echo 2100 || echo 2000)
      monitor.channel-volumes = true
      object.linger = true
    }
  }
EOF
    done
    echo "]"
  } >"$conf"
}

# The far machine's RTP receiver, a client of the far graph of its own, started once this graph
# has settled (see start_rtp_receiver).
write_rtp_receiver_config() {
  cat >"$1" <<EOF
context.properties = { core.daemon = false core.name = room-rtp-receiver }
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
  { name = libpipewire-module-rt args = { nice.level = -11 } flags = [ ifexists nofail ] }
  { name = libpipewire-module-protocol-native }
  { name = libpipewire-module-client-node }
  { name = libpipewire-module-adapter }
  { name = libpipewire-module-rtp-source
    args = {
      sap.ip = "127.0.0.1"
      sap.port = $(($2 + 2))
      sess.latency.msec = $network_latency_ms
      stream.props = {
        target.object = "$(far_sink rtp)"
        node.dont-reconnect = true
      }
    }
  }
]
EOF
}

write_wireplumber_config() {
  local home=$1
  mkdir -p "$home/main.lua.d" "$home/policy.lua.d" "$home/bluetooth.lua.d"
  cat >"$home/main.lua.d/51-room.lua" <<'EOF'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
device_defaults.properties["use-persistent-storage"] = false
EOF
  echo 'default_policy.policy["use-persistent-storage"] = false' >"$home/policy.lua.d/51-room.lua"
  echo 'bluez_monitor.enabled = false' >"$home/bluetooth.lua.d/51-room.lua"
}

write_room_json() {
  local out=$1 sep="" n d t p ms prio
  {
    printf '{\n  "rate": %s,\n  "quantum": %s,\n  "microphone": {"node": "%s", "description": "%s"},\n  "speakers": [' \
      "$rate" "${quantum:-null}" "$mic_node" "$mic_description"
    for s in "${speakers[@]}"; do
      IFS='|' read -r n d t p ms prio <<<"$s"
      read -ra positions <<<"$p"
      printf '%s\n    {"node": "%s", "description": "%s", "transport": "%s", "channels": %d, "delayMs": %s}' \
        "$sep" "$n" "$d" "$t" "${#positions[@]}" "$ms"
      sep=","
    done
    for kind in "${networks[@]}"; do
      printf '%s\n    {"node": "%s", "description": "%s", "transport": "network", "channels": 2, "delayMs": null, "airMs": %s}' \
        "$sep" "$(network_node "$kind")" "$(network_description "$kind")" "$network_air_ms"
      sep=","
    done
    printf '\n  ]\n}\n'
  } >"$out"
}

# free_udp_ports: the first of three UDP ports on the loopback address that nothing listens on
# (RTP, its control port and the announcements), so that rooms side by side keep their sessions.
free_udp_ports() {
  local used p i
  used=" $(ss -Hlun | awk '{ n = split($4, a, ":"); printf "%s ", a[n] }') "
  for ((i = 0; i < 100; i++)); do
    p=$((20000 + 3 * (RANDOM % 10000)))
    [[ $used != *" $p "* && $used != *" $((p + 1)) "* && $used != *" $((p + 2)) "* ]] &&
      echo "$p" && return 0
  done
  die "no free UDP ports for RTP"
}

# start_time PID: the process's start time in clock ticks since boot; empty once it has gone.
# A PID with a different start time is another process that reused the number.
start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) } # the fields after the command name, which may hold spaces
  read -r -a fields <<<"$stat"
  # A zombie has exited; it only waits for whoever adopted it to collect it.
  [[ ${fields[0]} == Z ]] || echo "${fields[19]}"
}

# alive PID START: the recorded process still runs.
alive() {
  [[ -n $2 && $(start_time "$1") == "$2" ]]
}

# Runs one daemon in the background with the room's environment; records its PID.
spawn() {
  local name=$1
  shift
  # What the caller's environment says about its own PipeWire clients (a config such as
  # client-rt.conf, another graph) must not bend the room's daemons.
  env -u DBUS_SESSION_BUS_ADDRESS -u PIPEWIRE_REMOTE -u PIPEWIRE_CORE -u PIPEWIRE_CONFIG_NAME \
    -u PIPEWIRE_CONFIG_DIR -u PIPEWIRE_CONFIG_PREFIX -u WIREPLUMBER_CONFIG_DIR -u DISPLAY \
    -u WAYLAND_DISPLAY "${room_env[@]}" "$@" </dev/null >"$dir/log/$name.log" 2>&1 &
  # One that has already exited has no start time; "-" keeps its name in the third field.
  local started
  started=$(start_time $!)
  echo "$! ${started:--} $name" >>"$dir/pids"
}

recorded_alive() {
  local pid start name
  [[ -f $dir/pids ]] || return 1
  while read -r pid start name; do
    alive "$pid" "$start" && return 0
  done <"$dir/pids"
  return 1
}

in_room() {
  env -u PIPEWIRE_REMOTE "${room_env[@]}" "$@"
}

# wait_for WHAT CMD...: runs CMD until it succeeds; fails after the ready timeout, or at once
# when a daemon has died.
wait_for() {
  local what=$1 deadline=$((SECONDS + ready_timeout_s)) pid start name
  shift
  until "$@" >/dev/null 2>&1; do
    while read -r pid start name; do
      alive "$pid" "$start" || die "$name exited while waiting for $what (see $dir/log/$name.log)"
    done <"$dir/pids"
    ((SECONDS < deadline)) || die "timed out waiting for $what"
    sleep 0.02
  done
}

# wait_for_default_sink WHAT SPAWN IN: waits, as wait_for does, until the session manager that
# SPAWN (spawn or spawn_far) started and IN (in_room or in_far) reaches names a default output.
# One pw-metadata follows the "default" object from before it exists. Run again and again instead,
# a pw-metadata now and then sees the object appear just as it leaves: it binds it on its way out,
# and the daemon (0.3.65 to 1.4) then counts it as waiting for its copy for good, so that no client
# that follows the object hears another change of it. The follower leaves only after another
# reader has had its copy, long after its own.
wait_for_default_sink() {
  local what=$1 spawner=$2 runner=$3 name=default-follower
  [[ $spawner == spawn_far ]] && name=far-$name
  "$spawner" "$name" stdbuf -oL pw-metadata -m -n default 0 default.audio.sink
  wait_for "$what" grep -q "key:'default.audio.sink'" "$dir/log/$name.log"
  "$runner" pw-metadata -n default 0 default.audio.sink >/dev/null 2>&1 || true
  stop_named "$name"
}

has_port() {
  in_room pw-link -o | grep -qx "$1"
}

# The nodes whose sound has an echo: every speaker's, the network speaker's included.
echo_nodes() {
  local n d t p ms prio
  for s in "${speakers[@]}"; do
    IFS='|' read -r n d t p ms prio <<<"$s"
    echo "$n"
  done
  for kind in "${networks[@]}"; do network_node "$kind"; done
}

all_echoes_hear() {
  local links n
  links=$(in_room pw-link -l)
  for n in $(echo_nodes); do
    grep -qF -- "|-> $n.echo-in:" <<<"$links" || return 1
  done
}

# stop_one PID START NAME: TERM, then KILL after stop_timeout_s, for a recorded process that still
# runs as the one recorded (same start time).
stop_one() {
  local pid=$1 start=$2 name=$3 deadline
  alive "$pid" "$start" || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  deadline=$((SECONDS + stop_timeout_s))
  while alive "$pid" "$start" && ((SECONDS < deadline)); do sleep 0.02; done
  if alive "$pid" "$start"; then
    echo "pipewire-room: $name ($pid) ignored TERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
}

stop_room() {
  local pid start name
  [[ -f $dir/pids ]] || return 0
  # Stop the clients of the bus before the bus, in reverse order of starting.
  tac "$dir/pids" | while read -r pid start name; do
    stop_one "$pid" "$start" "$name"
  done
  rm -f "$dir/pids"
}

room_environment() {
  local bus="unix:path=$dir/run/bus"
  room_env=(XDG_RUNTIME_DIR="$dir/run" PIPEWIRE_RUNTIME_DIR="$dir/run"
    XDG_CONFIG_HOME="$dir/config" XDG_STATE_HOME="$dir/state" DBUS_SESSION_BUS_ADDRESS="$bus")
}

# stop_named NAME...: stops the recorded processes of those names that still run, and forgets
# every record of them (a daemon that died by itself is forgotten too).
stop_named() {
  local pid start name kept
  kept=$(mktemp "$dir/pids.XXXXXX")
  while read -r pid start name; do
    if [[ " $* " != *" $name "* ]]; then
      echo "$pid $start $name" >>"$kept"
      continue
    fi
    stop_one "$pid" "$start" "$name"
  done <"$dir/pids"
  mv "$kept" "$dir/pids"
}

# Links every echo into the microphone and waits until the session manager has linked each
# speaker's monitor to its echo.
link_echoes() {
  local n links
  for n in $(echo_nodes); do
    wait_for "the echo of $n" has_port "$n.echo:output_MONO"
    # A link that survived a restart of the session manager is already there.
    links=$(in_room pw-link -l)
    grep -qxF -- "  |<- $n.echo:output_MONO" <<<"$links" ||
      in_room pw-link "$n.echo:output_MONO" "$mic_node:input_MONO" >/dev/null ||
      die "cannot link the echo of $n to the microphone"
  done
  wait_for "the links from the speakers to their echoes" all_echoes_hear
}

start_noise() {
  # The noise generator writes raw samples into a pipe that only the player reads, so it ends with
  # the player.
  spawn noise bash -c "exec pw-cat --playback --target 0 --format f32 --rate $rate --channels 1 \
    -P '{ node.name = \"$mic_node.noise\" node.autoconnect = false node.dont-reconnect = true }' \
    - < <(exec sox -q -n -t raw -e floating-point -b 32 -L -r $rate -c 1 - \
      synth whitenoise vol $noise_peak)"
  wait_for "the microphone's noise" has_port "$mic_node.noise:output_MONO"
  in_room pw-link "$mic_node.noise:output_MONO" "$mic_node:input_MONO" >/dev/null ||
    die "cannot link the noise to the microphone"
}

far_environment() {
  far_env=(XDG_RUNTIME_DIR="$dir/far/run" PIPEWIRE_RUNTIME_DIR="$dir/far/run"
    XDG_CONFIG_HOME="$dir/far/config" XDG_STATE_HOME="$dir/far/state"
    DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/far/run/bus")
}

# Runs one daemon of the far machine, recorded as spawn records the room's own.
spawn_far() {
  local -a near=("${room_env[@]}")
  room_env=("${far_env[@]}")
  spawn "$@"
  room_env=("${near[@]}")
}

in_far() {
  env -u PIPEWIRE_REMOTE "${far_env[@]}" "$@"
}

# Something from this machine plays into each far speaker: the RTP receiver's session, or the
# tunnel's stream on the far pulse server.
far_speakers_fed() {
  local links kind
  links=$(in_far pw-link -l)
  for kind in "${networks[@]}"; do
    grep -A1 -- "^$(far_sink "$kind"):playback_FL\$" <<<"$links" | grep -q -- "|<-" || return 1
  done
}

# The other machine: its own bus and daemons under DIR/far, recorded with the room's as far-*.
start_far() {
  local rtp_port=$1
  rm -rf "$dir/far"
  mkdir -p "$dir/far/run" "$dir/far/config/pipewire/pipewire.conf.d" "$dir/far/config/wireplumber" \
    "$dir/far/state"
  chmod 700 "$dir/far/run"
  write_far_config "$dir/far/config/pipewire/pipewire.conf.d/far.conf"
  write_wireplumber_config "$dir/far/config/wireplumber"
  far_environment
  {
    echo "export PIPEWIRE_RUNTIME_DIR='$dir/far/run'"
    echo "export XDG_RUNTIME_DIR='$dir/far/run'"
    echo "export DBUS_SESSION_BUS_ADDRESS='unix:path=$dir/far/run/bus'"
    echo "unset PIPEWIRE_REMOTE"
    ! has_network tunnel || echo "export PULSE_SERVER='unix:$dir/far/run/pulse/native'"
  } >"$dir/far/env"
  spawn_far far-dbus-daemon dbus-daemon --session --address="unix:path=$dir/far/run/bus" \
    --nofork --nopidfile
  wait_for "the far machine's session bus" test -S "$dir/far/run/bus"
  spawn_far far-pipewire pipewire
  wait_for "the far machine's pipewire" test -S "$dir/far/run/pipewire-0"
  spawn_far far-wireplumber wireplumber
  wait_for_default_sink "the far machine's default output" spawn_far in_far
  if has_network tunnel; then
    spawn_far far-pipewire-pulse pipewire-pulse
    wait_for "the far machine's pipewire-pulse" test -S "$dir/far/run/pulse/native"
  fi
}

# The air between the far speaker and the microphone: the room probe hears the far speaker on
# the far graph and plays it here, network_air_ms later by the clock both graphs share, into the
# network speaker's echo. A pipe between a recorder there and a player here held back a varying
# amount: whatever it had gathered while one side waited, plus every cycle either graph skipped.
start_air() {
  local kind=$1 node
  node=$(network_node "$kind")
  [[ -x $probe ]] || die "no room probe at $probe (build housetone-room-probe, or set HOUSETONE_ROOM_PROBE)"
  spawn "air-$kind" "$probe" air --from "$dir/far/run/pipewire-0" --speaker "$(far_sink "$kind")" \
    --to "$dir/run/pipewire-0" --name "$node.air" --delay-ms "$network_air_ms"
  wait_for "the air from the far speaker" has_port "$node.air:output_MONO"
  link_air "$kind"
  wait_for "the far speaker's sound to leave for the air" far_heard "$kind"
}

far_heard() {
  in_far pw-link -l | grep -qF -- "|-> $(network_node "$1").air.hear:"
}

link_air() {
  local node
  node=$(network_node "$1")
  in_room pw-link -l | grep -qxF -- "  |<- $node.air:output_MONO" ||
    in_room pw-link "$node.air:output_MONO" "$node.echo-in:input_MONO" >/dev/null ||
    die "cannot link the air from the far speaker to its echo"
}

# pipewire, wireplumber, the echoes' links and the noise, on a running session bus.
start_graph() {
  spawn pipewire pipewire
  wait_for "pipewire" test -S "$dir/run/pipewire-0"
  spawn wireplumber wireplumber
  wait_for_default_sink "a default output" spawn in_room
  for kind in "${networks[@]}"; do start_air "$kind"; done
  link_echoes
  start_noise
  if [[ ${HOUSETONE_ROOM_PULSE:-} == 1 ]]; then
    spawn pipewire-pulse pipewire-pulse
    wait_for "pipewire-pulse" test -S "$dir/run/pulse/native"
  fi
}

# The receiver counts what it is sent, not the time it came: a cycle the sender misses while
# this graph is still taking shape (the air, the echoes and the noise joining) stays missing from
# its buffer, and its rate control takes half a minute to find its latency again. It starts
# listening once they have all joined.
start_rtp_receiver() {
  write_rtp_receiver_config "$dir/far/rtp-receiver.conf" "$1"
  spawn_far far-rtp-receiver pipewire -c "$dir/far/rtp-receiver.conf"
}

wait_for_far_speakers() {
  ((${#networks[@]} == 0)) ||
    wait_for "the network speakers to reach the far machine" far_speakers_fed
}

# The network speakers' arrivals at the microphone now, by the room probe: "node ms" a line.
network_arrivals() {
  local -a sinks=()
  for kind in "${networks[@]}"; do sinks+=(--sink "$(network_node "$kind")"); done
  in_room "$probe" arrivals --microphone "$mic_node" "${sinks[@]}" --lead-ms 300 2>/dev/null |
    jq -r '.sinks[] | select(.arrivalMs != null) | "\(.node) \(.arrivalMs)"'
}

# A module's rate control brings a path it found off its latency back at about a ms a second, and
# at start it finds it tens of ms off (the tunnel's first reading of the far server's latency; a
# cycle the sender misses while this graph takes shape). A tune in that time measures a moving
# speaker, so the room is ready once every network speaker's last three arrivals, taken
# network_still_gap_s apart, lie within network_still_ms; after network_settle_s it goes on with a
# warning. (Right after start the tunnel's path holds still for some seconds before its control
# first moves it.)
network_still_ms=1
network_still_gap_s=4
network_settle_s=150
wait_for_still_network() {
  ((${#networks[@]} > 0)) || return 0
  local deadline=$((SECONDS + network_settle_s)) history="" now first=1
  while ((SECONDS < deadline)); do
    ((first)) || sleep "$network_still_gap_s"
    first=0
    now=$(network_arrivals) || now=""
    history=$(printf '%s\n%s\n' "$history" "$now" | { grep . || true; } |
      tail -n $((3 * ${#networks[@]})))
    if awk -v n=${#networks[@]} -v still="$network_still_ms" '
        $2 != "" {
          c[$1]++
          if (!($1 in lo) || $2 < lo[$1]) lo[$1] = $2
          if (!($1 in hi) || $2 > hi[$1]) hi[$1] = $2
        }
        END {
          k = 0
          for (s in c) { if (c[s] < 3 || hi[s] - lo[s] > still) exit 1; k++ }
          exit !(k == n)
        }' <<<"$history"; then
      return 0
    fi
  done
  echo "pipewire-room: the network speakers' paths did not hold still (or were not heard) in" \
    "${network_settle_s} s; their last arrivals: $(tr '\n' ' ' <<<"$history")" >&2
}

start_room() {
  if recorded_alive; then die "a room is already running in $dir (stop it first)"; fi
  rm -rf "$dir/run" "$dir/config" "$dir/state" "$dir/log"
  mkdir -p "$dir/run" "$dir/config/pipewire/pipewire.conf.d" "$dir/config/wireplumber" \
    "$dir/state" "$dir/log"
  chmod 700 "$dir/run"
  : >"$dir/pids"
  if [[ -f $dir/delays ]]; then apply_delays "$(<"$dir/delays")"; fi
  if [[ -n ${HOUSETONE_ROOM_DELAYS:-} ]]; then apply_delays "$HOUSETONE_ROOM_DELAYS"; fi
  if [[ -n ${HOUSETONE_ROOM_RATES:-} ]]; then apply_format rate "$HOUSETONE_ROOM_RATES"; fi
  if [[ -n ${HOUSETONE_ROOM_POSITIONS:-} ]]; then
    apply_format positions "$HOUSETONE_ROOM_POSITIONS"
  fi

  local rtp_port=
  if has_network rtp; then rtp_port=$(free_udp_ports) || exit 1; fi
  write_pipewire_config "$dir/config/pipewire/pipewire.conf.d/room.conf"
  write_wireplumber_config "$dir/config/wireplumber"
  write_room_json "$dir/room.json"

  room_environment
  # What a client needs to join this graph, and no more: its own config and state stay its own.
  {
    echo "export PIPEWIRE_RUNTIME_DIR='$dir/run'"
    echo "export XDG_RUNTIME_DIR='$dir/run'"
    echo "export DBUS_SESSION_BUS_ADDRESS='unix:path=$dir/run/bus'"
    echo "unset PIPEWIRE_REMOTE"
    if [[ ${HOUSETONE_ROOM_PULSE:-} == 1 ]]; then
      echo "export PULSE_SERVER='unix:$dir/run/pulse/native'"
      echo "export PULSE_RUNTIME_PATH='$dir/run/pulse'"
    fi
  } >"$dir/env"

  # Any failure from here on leaves nothing running.
  trap 'stop_room' EXIT
  spawn dbus-daemon dbus-daemon --session --address="unix:path=$dir/run/bus" --nofork --nopidfile
  wait_for "the session bus" test -S "$dir/run/bus"
  # The tunnel reaches the far pulse server when it loads: the far machine comes first.
  ((${#networks[@]} == 0)) || start_far "$rtp_port"
  start_graph
  if has_network rtp; then start_rtp_receiver "$rtp_port"; fi
  wait_for_far_speakers
  wait_for_still_network
  trap - EXIT
}

# The room's own files (delays, config) stay as start wrote them: the graph comes back the same.
restart_pipewire() {
  [[ -f $dir/pids ]] || die "no room runs in $dir"
  room_environment
  stop_named air-rtp air-tunnel pipewire-pulse noise wireplumber pipewire
  far_environment
  # A killed daemon leaves its socket and lock behind; the new one must not take them for a
  # running daemon's.
  rm -f "$dir/run/pipewire-0" "$dir/run/pipewire-0.lock" "$dir/run/pipewire-0-manager" \
    "$dir/run/pipewire-0-manager.lock" "$dir/run/pulse/native" "$dir/run/pulse/pid"
  if [[ -f $dir/delays ]]; then apply_delays "$(<"$dir/delays")"; fi
  if [[ -n ${HOUSETONE_ROOM_DELAYS:-} ]]; then apply_delays "$HOUSETONE_ROOM_DELAYS"; fi
  start_graph
  wait_for_far_speakers
}

# A new session manager does not link again what the old one had linked for streams that asked
# not to be moved (the echoes' recording sides): their speakers' monitors are linked here.
relink_echo_inputs() {
  local n d t p ms prio links pos
  links=$(in_room pw-link -l)
  for s in "${speakers[@]}"; do
    IFS='|' read -r n d t p ms prio <<<"$s"
    for pos in $p; do
      grep -qxF -- "  |-> $n.echo-in:input_$pos" <<<"$links" ||
        in_room pw-link "$n:monitor_$pos" "$n.echo-in:input_$pos" >/dev/null ||
        die "cannot link $n to its echo"
    done
  done
}

restart_wireplumber() {
  [[ -f $dir/pids ]] || die "no room runs in $dir"
  room_environment
  stop_named wireplumber
  spawn wireplumber wireplumber
  wait_for_default_sink "a default output" spawn in_room
  relink_echo_inputs
  for kind in "${networks[@]}"; do link_air "$kind"; done
  link_echoes
}

# The delay line's setting as the graph reports it now; empty when the node has no such control.
echo_setting() {
  in_room pw-dump "$1.echo-in" 2>/dev/null |
    awk 'found { gsub(/[ ,]/, ""); print; exit } /^ *"delay:Delay \(s\)",$/ { found = 1 }'
}

# set_delay NODE MS: the echo of a listed speaker (not a network one, whose delay the room does not
# set) moves at once; the new delay is written only once the graph reports it.
set_delay() {
  local node=$1 ms=$2 seconds deadline setting
  recorded_alive || die "no room runs in $dir"
  [[ $ms =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "delay of $node: \"$ms\" is not a number of ms"
  awk -v ms="$ms" -v max="$max_delay_ms" 'BEGIN { exit !(ms <= max) }' ||
    die "delay of $node: $ms ms is over $max_delay_ms ms"
  NODE=$node awk 'index($0, "{\"node\": \"" ENVIRON["NODE"] "\",") &&
    $0 ~ /"delayMs": [0-9.]+}/ { found = 1 } END { exit !found }' "$dir/room.json" ||
    die "delay for \"$node\": the room has no speaker of that node name whose delay it sets"
  room_environment
  seconds=$(delay_seconds "$ms")
  in_room pw-cli set-param "$node.echo-in" Props \
    "{ params = [ \"delay:Delay (s)\" $seconds ] }" >/dev/null ||
    die "cannot set the delay of the echo of $node"
  deadline=$((SECONDS + ready_timeout_s))
  until setting=$(echo_setting "$node") &&
    awk -v a="$setting" -v b="$seconds" 'BEGIN { exit !(a != "" && (a - b) ^ 2 < 1e-12) }'; do
    ((SECONDS < deadline)) || die "the echo of $node did not take $seconds s (it says \"$setting\")"
    sleep 0.02
  done

  local conf=$dir/config/pipewire/pipewire.conf.d/room.conf tmp
  tmp=$(mktemp "$dir/set-delay.XXXXXX")
  NODE=$node SECONDS_SET=$seconds awk '
    { line[NR] = $0 }
    /"Delay \(s\)" = / { control = NR }
    $0 == "        node.name = \"" ENVIRON["NODE"] ".echo-in\"" {
      sub(/"Delay \(s\)" = [0-9.]+/, "\"Delay (s)\" = " ENVIRON["SECONDS_SET"], line[control])
    }
    END { for (i = 1; i <= NR; i++) print line[i] }' "$conf" >"$tmp" && mv "$tmp" "$conf" ||
    die "cannot write the delay of $node into $conf"
  NODE=$node MS=$ms awk '
    index($0, "{\"node\": \"" ENVIRON["NODE"] "\",") { sub(/"delayMs": [0-9.]+}/, "\"delayMs\": " ENVIRON["MS"] "}") }
    { print }' "$dir/room.json" >"$tmp" && mv "$tmp" "$dir/room.json" ||
    die "cannot write the delay of $node into $dir/room.json"
  {
    if [[ -f $dir/delays ]]; then
      tr -s ', \t' '\n' <"$dir/delays" | NODE=$node awk 'NF && index($0, ENVIRON["NODE"] "=") != 1'
    fi
    echo "$node=$ms"
  } >"$tmp" && mv "$tmp" "$dir/delays" || die "cannot write the delay of $node into $dir/delays"
}

case ${1:-} in
  set-delay) if (($# != 4)) || [[ ! -d $2 ]]; then usage; fi ;;
  *) (($# == 2)) || usage ;;
esac
mkdir -p "$2"
dir=$(cd "$2" && pwd)
case $1 in
  start) start_room ;;
  stop) stop_room ;;
  restart-pipewire) restart_pipewire ;;
  restart-wireplumber) restart_wireplumber ;;
  set-delay) set_delay "$3" "$4" ;;
  *) usage ;;
esac
