#!/usr/bin/env bash
# The PipeWire camera's benchmark with a private PipeWire and one GStreamer
# consumer (pipewiresrc ! fakesink) reading the node all along. The consumer
# starts once the node is there, during the run without the camera, and keeps
# trying until then.
# Arguments: the build folder.
set -uo pipefail
build=${1:-build}
work=$(mktemp -d)
pids=()
cleanup() {
  if [ -n "${consumers:-}" ]; then
    kill -STOP "$consumers" 2>/dev/null
    pkill -P "$consumers" 2>/dev/null
    kill -KILL "$consumers" 2>/dev/null
  fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  sleep 0.5
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  [ -n "${bus:-}" ] && kill "$bus" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$work/run PIPEWIRE_RUNTIME_DIR=$work/run HOME=$work XDG_STATE_HOME=$work/state
mkdir -m 700 -p "$XDG_RUNTIME_DIR"
bus=$(dbus-daemon --session --fork --address="unix:path=$work/bus" --print-pid)
export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/bus
pipewire >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/pipewire-0" ] && break; sleep 0.1; done
wireplumber >/dev/null 2>&1 & pids+=($!)
( while true; do
    gst-launch-1.0 -q pipewiresrc target-object=orvello ! video/x-raw ! fakesink >/dev/null 2>&1
    sleep 1
  done ) &
consumers=$!
QT_QPA_PLATFORM=offscreen "$build/bench_vcam"
