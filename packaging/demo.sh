#!/usr/bin/env bash
# make demo: Orvello doing its main job against the simulated phone. The web
# camera starts as soon as the phone connects, records into a temporary
# folder and serves the latest picture, and the live MJPEG stream, on a free
# local port. Everything the
# demo writes (settings, lock, messages, the AVI) stays in that folder, so a
# user's own settings are never touched. Without a display the program runs
# offscreen; with one, its window shows as well. Ctrl+C (SIGINT) or SIGTERM
# ends the recording, completes the AVI and ends the demo.
#
#   packaging/demo.sh [BUILD [PORT]]    (ORVELLO_DEMO_DIR: the folder to use)
set -uo pipefail
build=${1:-build}
port=${2:-}
program=$build/orvello
[ -x "$program" ] || { echo "demo: no program at $program (make build)" >&2; exit 1; }

# A port on which nothing listens, in the range the options dialog offers.
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
if [ -z "$port" ]; then
  for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 12000))
    if ! port_in_use "$candidate"; then
      port=$candidate
      break
    fi
  done
  [ -n "$port" ] || { echo "demo: no free port found" >&2; exit 1; }
elif port_in_use "$port"; then
  echo "demo: port $port is in use" >&2
  exit 1
fi

demo_dir=${ORVELLO_DEMO_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/orvello-demo.XXXXXX")}
mkdir -p "$demo_dir"
demo_dir=$(cd "$demo_dir" && pwd)
avi=$demo_dir/demo.avi
settings=$demo_dir/settings.reg
# The simulated phone answers at once: short waits after switching the camera
# on and after each shot keep the frames coming every fraction of a second.
cat >"$settings" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]
"ShowSplash"=dword:00000000
"AutoPhoneConnect"=dword:00000001
"AutoRestart"=dword:00000000
"ServerEnabled"=dword:00000001
"ServerStream"=dword:00000001
"ServerPort"=dword:$(printf '%08x' "$port")
"AutoAviFileName"=dword:00000000
"AviTempName"="$avi"
"Timeout"=dword:00000064
"CameraInitTime"=dword:000000c8
EOF

export ORVELLO_SETTINGS_FILE=$settings
export ORVELLO_LOCK_DIR=$demo_dir
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM=offscreen
  # No one could close a message box offscreen: messages go to a file.
  export ORVELLO_DIALOG_LOG=$demo_dir/messages.log
  where="offscreen (no display)"
else
  where="in a window"
fi

cat <<EOF
Orvello with the simulated phone, $where.
  Open in a browser:   http://127.0.0.1:$port/   (the picture alone: /CURRENT.JPG)
  Live MJPEG stream:   http://127.0.0.1:$port/stream.mjpg   (VLC, ffplay, a browser)
  Recording into:      $avi
  Settings and logs:   $demo_dir
Ctrl+C stops the recording, completes the AVI and ends the demo.
EOF

# Ctrl+C reaches the program from the terminal (the demo's whole process
# group gets it, as SIGTERM from a service manager reaches the program too):
# the program ends the recording and exits normally. The script only waits
# for that, to say what was recorded.
trap ':' INT TERM
"$program" --simulate-phone -s
status=$?
trap - INT TERM

echo
if [ -s "$avi" ]; then
  if command -v ffprobe >/dev/null; then
    frames=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
      -of default=nokey=1:noprint_wrappers=1 "$avi" 2>/dev/null)
    echo "The recording: $avi (${frames:-?} frames)"
  else
    echo "The recording: $avi"
  fi
else
  echo "No recording was made (see $demo_dir/messages.log)."
fi
exit "$status"
