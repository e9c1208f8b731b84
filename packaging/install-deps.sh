#!/usr/bin/env bash
# Installs, with apt-get, each Debian package that the build and the tests
# need and that is not installed yet; with --bench also what only the
# benchmarks need. Works as root and with sudo.
# Arguments: --bench, or further package names (make deb: lintian).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  qt6-translations-l10n  # Qt's own dialogs and buttons in Russian
  libusb-1.0-0-dev libudev-dev libsystemd-dev libjpeg62-turbo-dev
  libavcodec-dev libavformat-dev libswscale-dev libavutil-dev ffmpeg
  libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev chromium
  xvfb xauth fonts-dejavu-core fonts-liberation
  desktop-file-utils appstream
  python3  # the check of the folders' floors
  librsvg2-bin  # the icon's PNG files are checked against its SVG
  # The PipeWire camera: its module, and a private daemon, session manager,
  # session bus and GStreamer consumer for its tests.
  libpipewire-0.3-dev pipewire pipewire-bin wireplumber dbus
  gstreamer1.0-pipewire gstreamer1.0-tools
  nodejs  # an HTTP client nobody here wrote reads the picture server
  # More of them, with a password outside ASCII: Python's requests and
  # aiohttp, GStreamer's souphttpsrc on libsoup 3, and curl.
  python3-requests python3-aiohttp gstreamer1.0-plugins-good libsoup-3.0-0 curl
)
# The picture server's benchmark compares it with nginx under wrk's load.
bench_packages=(nginx-light wrk)
for argument in "$@"; do
  if [ "$argument" = "--bench" ]; then
    packages+=("${bench_packages[@]}")
  else
    packages+=("$argument")
  fi
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq

# nginx is installed for the benchmark only, which starts its own private
# process: the system's service is neither started by the installation (a
# policy that refuses service starts while it runs) nor enabled for the next
# boot, so nothing is left listening on port 80.
nginx_missing=0
for p in "${missing[@]}"; do
  case "$p" in nginx*) nginx_missing=1 ;; esac
done
policy=/usr/sbin/policy-rc.d
if [ $nginx_missing -eq 1 ] && [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  trap '$sudo rm -f "$policy"' EXIT
fi
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [ $nginx_missing -eq 1 ]; then
  if command -v systemctl >/dev/null; then
    $sudo systemctl disable --now nginx.service >/dev/null 2>&1 || true
  fi
  if command -v update-rc.d >/dev/null; then
    $sudo update-rc.d nginx disable >/dev/null 2>&1 || true
  fi
fi
