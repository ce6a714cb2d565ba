#!/bin/bash
# A private headless PipeWire graph for the backend's tests: four virtual speakers with the
# properties real devices carry, and a virtual microphone that hears each speaker after its own
# delay. Usage: private_graph.sh start|stop DIR. Only the processes started here are stopped.
set -eu
cmd=$1 dir=$2
if [ "$cmd" = stop ]; then
    for p in wireplumber pipewire dbus; do
        [ -f "$dir/$p.pid" ] && kill "$(cat "$dir/$p.pid")" 2>/dev/null || true
    done
    for p in wireplumber pipewire dbus; do
        [ -f "$dir/$p.pid" ] || continue
        for _ in $(seq 50); do kill -0 "$(cat "$dir/$p.pid")" 2>/dev/null || break; sleep 0.05; done
    done
    exit 0
fi

mkdir -p "$dir/run" "$dir/state" "$dir/config/pipewire/pipewire.conf.d" \
    "$dir/config/wireplumber/main.lua.d" "$dir/config/wireplumber/policy.lua.d"
export XDG_RUNTIME_DIR=$dir/run PIPEWIRE_RUNTIME_DIR=$dir/run XDG_CONFIG_HOME=$dir/config \
    XDG_STATE_HOME=$dir/state
unset PIPEWIRE_REMOTE DBUS_SESSION_BUS_ADDRESS

cat >"$dir/config/wireplumber/main.lua.d/51-no-hardware.lua" <<'L'
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
device_defaults.properties["use-persistent-storage"] = false
L
cat >"$dir/config/wireplumber/policy.lua.d/51-no-hardware.lua" <<'L'
default_policy.policy["use-persistent-storage"] = false
L

# name, description, channels, positions, device properties, delay to the microphone (s)
speakers=(
    "room.bt|Room Bluetooth|2|FL FR|device.bus = bluetooth device.api = bluez5|0.010"
    "room.usb|Room USB|2|FL FR|device.bus = usb|0.020"
    "room.hdmi|Room HDMI|6|FL FR FC LFE RL RR|device.form-factor = hdmi|0.030"
    "room.builtin|Room Speakers|2|FL FR|device.form-factor = internal device.bus = pci|0.005"
)
{
    echo "context.objects = ["
    for s in "${speakers[@]}"; do
        IFS='|' read -r name desc ch pos props _ <<<"$s"
        echo "  { factory = adapter args = { factory.name = support.null-audio-sink"
        echo "    node.name = \"$name\" node.description = \"$desc\" media.class = Audio/Sink"
        echo "    audio.channels = $ch audio.position = [ $pos ] $props"
        echo "    monitor.channel-volumes = true object.linger = true } }"
    done
    # The microphone drives the graph, so every speaker plays at the frame it was given.
    echo "  { factory = adapter args = { factory.name = support.null-audio-sink"
    echo "    node.name = \"room.mic\" node.description = \"Room Microphone\""
    echo "    media.class = Audio/Source/Virtual audio.channels = 1 audio.position = [ MONO ]"
    echo "    device.form-factor = internal priority.driver = 2000 object.linger = true } }"
    echo "]"
    echo "context.modules = ["
    for s in "${speakers[@]}"; do
        IFS='|' read -r name _ _ _ _ delay <<<"$s"
        echo "  { name = libpipewire-module-loopback args = { audio.position = [ MONO ]"
        echo "    target.delay.sec = $delay"
        echo "    capture.props = { node.name = \"$name.air\" stream.capture.sink = true"
        echo "      target.object = \"$name\" node.passive = true node.latency = 1024/48000 }"
        echo "    playback.props = { node.name = \"$name.air.out\" node.autoconnect = false"
        echo "      node.latency = 1024/48000 } } }"
    done
    echo "]"
} >"$dir/config/pipewire/pipewire.conf.d/50-room.conf"

dbus-daemon --session --address="unix:path=$dir/run/bus" --nofork --nopidfile \
    >"$dir/dbus.log" 2>&1 &
echo $! >"$dir/dbus.pid"
export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/run/bus
for _ in $(seq 100); do [ -S "$dir/run/bus" ] && break; sleep 0.02; done
pipewire >"$dir/pipewire.log" 2>&1 &
echo $! >"$dir/pipewire.pid"
for _ in $(seq 100); do [ -S "$dir/run/pipewire-0" ] && break; sleep 0.02; done
wireplumber >"$dir/wireplumber.log" 2>&1 &
echo $! >"$dir/wireplumber.pid"

for _ in $(seq 100); do
    # WirePlumber has chosen both defaults: its first pass over the graph is through.
    pw-metadata 0 2>/dev/null | grep -q "key:'default.audio.source'" && break
    sleep 0.05
done
# WirePlumber does not link a playback stream into a virtual source; the air paths are linked here.
for s in "${speakers[@]}"; do
    IFS='|' read -r name _ <<<"$s"
    for _ in $(seq 100); do
        pw-link "$name.air.out:output_MONO" "room.mic:input_MONO" 2>/dev/null && break
        sleep 0.05
    done
done
pw-link -l | grep -q "room.mic:input_MONO" || { echo "room not linked" >&2; exit 1; }
