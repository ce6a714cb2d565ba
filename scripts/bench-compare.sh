#!/usr/bin/env bash
# Runs housetone-bench and, in the same run, sox and scipy on the same work, and prints each pair
# with its ratio. Ratios are the result: absolute times move with the machine and its load.
#
#   scripts/bench-compare.sh            (BUILD_DIR=build by default; builds housetone-bench)
#   BENCH=path/to/housetone-bench scripts/bench-compare.sh    (another build, e.g. an older one)
#
# Render: our render cycle (512 frames, every effect on: bass boost, crisp, volume boost, limiter)
# against sox running a simpler chain (six biquads and a gain) over the same number of channels,
# both in CPU nanoseconds per output sample. sox's figure includes reading its input file, ours
# the tap's ring and meter. Correlation: crossCorrelate against scipy.signal.correlate (FFT,
# "valid") on the same lengths: 2, 5 and 15 s at 16 kHz against a 0.8 s template, CPU time per call.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

# The system interpreter: scipy comes from Debian's python3-scipy, not from a private Python.
py=/usr/bin/python3
need=()
command -v sox >/dev/null || need+=(sox)
"$py" -c 'import scipy.signal' 2>/dev/null || need+=(python3-scipy)
if ((${#need[@]})); then
  echo "installing ${need[*]}" >&2
  if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

bench=${BENCH:-}
if [ -z "$bench" ]; then
  [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$build" -j"$(nproc)" --target housetone-bench >/dev/null
  bench=$build/bench/housetone-bench
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "machine: $(nproc) cores, $(uptime | sed 's/.*load/load/')"
"$bench" --benchmark_filter='BM_RenderCycle|BM_CrossCorrelateFft' \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_format=json >"$work/ours.json"

"$py" - "$work" <<'PY'
import json, os, resource, subprocess, sys, time

import numpy as np
from scipy import signal

work = sys.argv[1]
ours = {}
for b in json.load(open(os.path.join(work, "ours.json")))["benchmarks"]:
    if b.get("aggregate_name") == "median":
        ours[b["run_name"]] = b

def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime

# sox: 10 s of noise at 48 kHz per channel, six biquads and a gain, best of three.
rate, seconds = 48000, 10
rng = np.random.default_rng(1)
print("\nRender, CPU ns per output sample (every effect on vs sox's simpler chain)")
print(f"{'speakers':>8} {'channels':>8} {'housetone':>10} {'sox':>10} {'sox/ours':>9}")
for speakers in (1, 4, 8, 16):
    channels = 2 * speakers
    raw = os.path.join(work, f"in{channels}.f32")
    (rng.uniform(-0.25, 0.25, rate * seconds * channels)).astype(np.float32).tofile(raw)
    chain = ["highpass", "90", "bass", "+6", "220", "equalizer", "1800", "1.6q", "-4",
             "equalizer", "3800", "1.1q", "+3", "treble", "+5", "7000", "lowpass", "18000",
             "vol", "2"]
    best = float("inf")
    for _ in range(3):
        before = child_cpu()
        subprocess.run(["sox", "-V1", "-t", "f32", "-r", str(rate), "-c", str(channels), raw,
                        "-n"] + chain, check=True)
        best = min(best, child_cpu() - before)
    sox_ns = best * 1e9 / (rate * seconds * channels)
    mine = ours[f"BM_RenderCycle/effects:3/speakers:{speakers}"]["ns_per_sample"]
    print(f"{speakers:8d} {channels:8d} {mine:10.2f} {sox_ns:10.2f} {sox_ns / mine:8.2f}x")

print("\nOther effect combinations, CPU ns per output sample")
print(f"{'speakers':>8} {'off':>8} {'bass':>8} {'crisp':>8} {'all':>8}")
for speakers in (1, 4, 8, 16):
    row = [ours[f"BM_RenderCycle/effects:{e}/speakers:{speakers}"]["ns_per_sample"]
           for e in range(4)]
    print(f"{speakers:8d} " + " ".join(f"{v:8.2f}" for v in row))

# scipy: the same lengths as the benchmark, float32, best of five runs of five calls.
print("\nCorrelation against a 0.8 s template at 16 kHz, CPU ms per call")
print(f"{'seconds':>8} {'housetone':>10} {'scipy':>10} {'ours/scipy':>11}")
tpl = rng.uniform(-0.6, 0.6, 12800).astype(np.float32)
for secs in (2, 5, 15):
    rec = rng.uniform(-0.05, 0.05, secs * 16000).astype(np.float32)
    signal.correlate(rec, tpl, mode="valid", method="fft")
    best = float("inf")
    for _ in range(5):
        t = time.process_time()
        for _ in range(5):
            signal.correlate(rec, tpl, mode="valid", method="fft")
        best = min(best, (time.process_time() - t) / 5)
    b = ours[f"BM_CrossCorrelateFft/seconds:{secs}"]
    mine = b["cpu_time"] * {"ms": 1, "us": 1e-3, "ns": 1e-6}[b["time_unit"]]
    print(f"{secs:8d} {mine:10.2f} {best * 1e3:10.2f} {mine / (best * 1e3):10.2f}x")
PY
echo "machine after: $(uptime | sed 's/.*load/load/')"
