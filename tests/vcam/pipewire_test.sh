#!/usr/bin/env bash
# The PipeWire camera against a private PipeWire: a session bus, pipewire and
# wireplumber of its own in a runtime folder of its own, nothing of the
# user's. GStreamer's pipewiresrc reads the node as any camera program does.
# Skipped (the word SKIP on the last line) only where the daemon cannot
# start at all; nothing is left running afterwards.
# Arguments: the build folder.
set -uo pipefail
bin=$1
work=$(mktemp -d)
pids=()
fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log; do
    [ -s "$log" ] && { echo "--- $log" >&2; tail -n 15 "$log" >&2; }
  done
  exit 1
}
skip() {
  echo "SKIP: $*"
  exit 0
}
cleanup() {
  for pid in "${pids[@]}"; do
    kill -CONT "$pid" 2>/dev/null
    kill "$pid" 2>/dev/null
  done
  for pid in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  done
  [ -n "${bus_pid:-}" ] && kill "$bus_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

for tool in dbus-daemon pipewire wireplumber gst-launch-1.0 pw-dump python3; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (packaging/install-deps.sh installs it)"
done
[ -f "$bin/orvello-pipewire.so" ] || fail "the PipeWire module was not built"

# --- the private PipeWire ---
export XDG_RUNTIME_DIR=$work/run PIPEWIRE_RUNTIME_DIR=$work/run HOME=$work/home
export XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state XDG_DATA_HOME=$work/data
mkdir -m 700 -p "$XDG_RUNTIME_DIR" "$HOME" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" "$XDG_DATA_HOME"
unset PIPEWIRE_REMOTE DISPLAY WAYLAND_DISPLAY
bus_pid=$(dbus-daemon --session --fork --address="unix:path=$work/bus" --print-pid) || skip "no session bus can be started"
export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/bus

daemon_pids=()
start_daemon() {
  pipewire >"$work/pipewire.log" 2>&1 &
  daemon_pids=($!)
  pids+=($!)
  for _ in $(seq 200); do
    [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break
    kill -0 "${daemon_pids[0]}" 2>/dev/null || return 1
    sleep 0.1
  done
  [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] || return 1
  wireplumber >"$work/wireplumber.log" 2>&1 &
  daemon_pids+=($!)
  pids+=($!)
  return 0
}
stop_daemon() {
  kill -KILL "${daemon_pids[@]}" 2>/dev/null
  for pid in "${daemon_pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -f "$XDG_RUNTIME_DIR"/pipewire-0 "$XDG_RUNTIME_DIR"/pipewire-0.lock \
    "$XDG_RUNTIME_DIR"/pipewire-0-manager "$XDG_RUNTIME_DIR"/pipewire-0-manager.lock
}
start_daemon || skip "the PipeWire daemon cannot start here: $(tail -n 1 "$work/pipewire.log")"

# The orvello node's properties as pw-dump lists them, one "key=value" a
# line; nothing when there is no such node.
node_props() {
  pw-dump 2>/dev/null | python3 -c '
import json, sys
try:
    objects = json.load(sys.stdin)
except ValueError:
    sys.exit(0)
for o in objects:
    props = ((o.get("info") or {}).get("props") or {})
    if o.get("type", "").endswith(":Node") and props.get("node.name") == "orvello":
        for key in ("media.class", "media.role", "node.description"):
            print(f"{key}={props.get(key)}")
'
}
wait_node() {  # present|absent, seconds
  for _ in $(seq $(($2 * 10))); do
    if [ -n "$(node_props)" ]; then [ "$1" = present ] && return 0; else [ "$1" = absent ] && return 0; fi
    sleep 0.1
  done
  return 1
}

# --- the program, serving the simulated phone's camera ---
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
settings=$work/settings.reg
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"CameraInitTime"=dword:00000000\n"Timeout"=dword:000000c8\n"JpgType"=dword:00000002\n"VirtualCamera"=dword:00000001\n"ServerEnabled"=dword:00000001\n"ServerPort"=dword:%08x\n"AviTempName"="%s/never.avi"\n' \
  "$port" "$work" >"$settings"
# The simulated phone comes up switched: no discovery pause before the camera.
export ORVELLO_SETTINGS_FILE=$settings ORVELLO_LOCK_DIR=$work QT_QPA_PLATFORM=offscreen ORVELLO_SIM_SWITCHED=1
"$bin/orvello" --serve --simulate-phone --wait 60 >"$work/orvello.log" 2>&1 &
orvello=$!
pids+=($orvello)
wait_node present 60 || fail "no node orvello within 60 s"

# Its properties.
props=$(node_props)
for expected in "media.class=Video/Source" "media.role=Camera" "node.description=Orvello: Motorola V3x"; do
  grep -qxF "$expected" <<<"$props" || fail "node property $expected not in: $props"
done

# Frames: their size, the latest repeated between camera frames, and a new
# camera frame replacing it. 30 buffers are 3 s at 10 a second; the phone
# gives a new frame every half second or so.
frames=$work/frames
mkdir "$frames"
timeout 60 gst-launch-1.0 -v pipewiresrc target-object=orvello num-buffers=30 ! \
  'video/x-raw,format=YUY2' ! filesink location="$frames/yuy2" >"$work/gst.log" 2>&1 ||
  fail "pipewiresrc could not read 30 YUY2 frames"
grep -q 'width=(int)160, height=(int)120' "$work/gst.log" || fail "the stream was not negotiated at 160 x 120"
python3 - "$frames/yuy2" <<'PY' || fail "the frames read are not right"
import hashlib, sys
data = open(sys.argv[1], "rb").read()
size = 160 * 120 * 2
assert len(data) == 30 * size, f"{len(data)} bytes, not 30 frames of 160 x 120 YUY2"
sums = [hashlib.sha1(data[i:i + size]).hexdigest() for i in range(0, len(data), size)]
distinct = len(set(sums))
repeats = sum(1 for a, b in zip(sums, sums[1:]) if a == b)
assert distinct >= 2, "the frame never changed with the camera's"
assert repeats >= 5, f"only {repeats} repeated frames: the latest frame is not repeated"
PY

# I420 is offered too.
timeout 60 gst-launch-1.0 -q pipewiresrc target-object=orvello num-buffers=2 ! 'video/x-raw,format=I420' ! \
  filesink location="$frames/i420" >>"$work/gst.log" 2>&1 || fail "pipewiresrc could not read I420"
[ "$(stat -c %s "$frames/i420")" -eq $((2 * 160 * 120 * 3 / 2)) ] || fail "the I420 frames are not 160 x 120"

# A consumer that stops reading blocks neither the camera nor the program:
# the picture server's frame keeps changing, and memory stays bounded.
picture() { python3 -c "import urllib.request,hashlib; print(hashlib.sha1(urllib.request.urlopen('http://127.0.0.1:$port/current.jpg', timeout=10).read()).hexdigest())"; }
gst-launch-1.0 -q pipewiresrc target-object=orvello ! video/x-raw ! fakesink >"$work/stalled.log" 2>&1 &
stalled=$!
pids+=($stalled)
sleep 2
kill -STOP "$stalled"
rss_before=$(awk '/^VmRSS/ {print $2}' "/proc/$orvello/status")
first=$(picture) || fail "no picture from the server"
changed=0
for _ in $(seq 100); do
  sleep 0.2
  [ "$(picture)" != "$first" ] && { changed=1; break; }
done
[ $changed -eq 1 ] || fail "the camera stood still while a consumer was stalled"
sleep 3
rss_after=$(awk '/^VmRSS/ {print $2}' "/proc/$orvello/status")
[ $((rss_after - rss_before)) -lt 20000 ] || fail "memory grew from $rss_before kB to $rss_after kB under a stalled consumer"
kill -CONT "$stalled"
kill "$stalled"
wait "$stalled" 2>/dev/null

# The daemon killed and started again: the node comes back by itself.
stop_daemon
sleep 1
start_daemon || fail "the daemon did not start again"
wait_node present 60 || fail "the node did not come back after PipeWire restarted"
timeout 60 gst-launch-1.0 pipewiresrc target-object=orvello num-buffers=2 ! video/x-raw ! fakesink >"$work/restart.log" 2>&1 ||
  fail "no frames after PipeWire restarted"

# STOP: the node goes away, a consumer sees the stream end, the program ends
# as --serve ends on SIGTERM.
timeout 60 gst-launch-1.0 pipewiresrc target-object=orvello ! video/x-raw ! fakesink >"$work/consumer.log" 2>&1 &
consumer=$!
pids+=($consumer)
sleep 2
kill -TERM "$orvello"
wait "$orvello"
status=$?
[ $status -eq 0 ] || fail "orvello --serve ended with status $status on SIGTERM"
wait_node absent 10 || fail "the node is still there after the web camera stopped"
# pipewiresrc of Debian 12 waits, quietly, for its source to come back; a
# newer one ends its stream. Either way no error and no busy loop.
cpu() { awk '{print $14 + $15}' "/proc/$consumer/stat" 2>/dev/null || echo 0; }
if kill -0 "$consumer" 2>/dev/null; then
  before=$(cpu)
  sleep 3
  after=$(cpu)
  [ $((after - before)) -lt 50 ] || fail "the consumer spins after the stream ended ($((after - before)) ticks in 3 s)"
  kill "$consumer" 2>/dev/null
fi
wait "$consumer" 2>/dev/null
grep -q 'ERROR' "$work/consumer.log" && fail "the consumer saw an error when the stream ended"
[ -e "$work/never.avi" ] && fail "serving wrote an AVI file"
echo "PipeWire camera: node, frames, stalled consumer, restart and stop all as expected"
