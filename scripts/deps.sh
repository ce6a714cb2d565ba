#!/usr/bin/env bash
# Installs what building and testing Housetone needs on Debian 12 (run as root), and any further
# packages named as arguments (scripts/package-check.sh adds its checkers).
set -euo pipefail
pkgs=(cmake g++ make qt6-base-dev qt6-image-formats-plugins libqt6svg6 nlohmann-json3-dev
      libkissfft-dev libgtest-dev libbenchmark-dev pkg-config libsndfile1-dev jq
      pipewire pipewire-bin wireplumber libpipewire-0.3-dev libspa-0.2-dev libspa-0.2-modules
      dbus-daemon sox pipewire-pulse pulseaudio-utils
      clang-14 libclang-rt-14-dev)  # the fuzz targets (scripts/fuzz.sh): libFuzzer comes with clang
pkgs+=("$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
