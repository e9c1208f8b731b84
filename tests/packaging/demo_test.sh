#!/usr/bin/env bash
# make demo does the main job on a machine without a display: started as a
# terminal would start it (its own process group), it serves a JPEG frame at
# /CURRENT.JPG within 60 seconds, and Ctrl+C (SIGINT to the group) ends it
# with exit code 0 and a complete AVI file that ffprobe reads to the end.
set -uo pipefail
build=$1
source=$2
work=$(mktemp -d)
demo_pid=
cleanup() {
  [ -n "$demo_pid" ] && kill -KILL -- "-$demo_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- demo output"; cat "$work/out" 2>/dev/null; exit 1; }
command -v ffprobe >/dev/null || fail "ffprobe is missing (make deps installs it)"

port=
for _ in $(seq 50); do
  candidate=$((20000 + RANDOM % 12000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || fail "no free port"

env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ORVELLO_DEMO_DIR="$work/demo" \
  setsid bash "$source/packaging/demo.sh" "$build" "$port" >"$work/out" 2>&1 &
demo_pid=$!

# One request as a browser makes it; the server closes after its answer.
fetch() {
  (
    exec 3<>"/dev/tcp/127.0.0.1/$port" || exit 1
    printf 'GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&3
    timeout 10 cat <&3
  ) 2>/dev/null
}
body=$work/frame.jpg
got_frame=0
for _ in $(seq 120); do
  kill -0 "$demo_pid" 2>/dev/null || fail "the demo ended by itself"
  # The picture follows the header, from its start-of-image marker on.
  if fetch /CURRENT.JPG >"$work/answer" && head -c 15 "$work/answer" | grep -q '^HTTP/1.1 200' &&
    grep -qa '^Content-type: image/jpeg' "$work/answer"; then
    start=$(LC_ALL=C grep -obUaP '\xFF\xD8\xFF' "$work/answer" | head -1 | cut -d: -f1)
    if [ -n "$start" ]; then
      tail -c +"$((start + 1))" "$work/answer" >"$body"
      got_frame=1
      break
    fi
  fi
  sleep 0.5
done
[ "$got_frame" -eq 1 ] || fail "no JPEG frame at /CURRENT.JPG within 60 s"
[ "$(tail -c 2 "$body" | od -An -tx1 | tr -d ' ')" = ffd9 ] || fail "the frame is cut short"
width=$(ffprobe -v error -show_entries stream=width -of default=nokey=1:noprint_wrappers=1 "$body")
[ "${width:-0}" -gt 0 ] || fail "the frame does not decode"
grep -q "Open in a browser: *http://127.0.0.1:$port/" "$work/out" || fail "the address is not printed"
avi=$work/demo/demo.avi
grep -q "Recording into: *$avi" "$work/out" || fail "the AVI's place is not printed"

# Ctrl+C, as the terminal sends it: to the whole process group.
kill -INT -- "-$demo_pid"
ended=0
for _ in $(seq 60); do
  if ! kill -0 "$demo_pid" 2>/dev/null; then
    ended=1
    break
  fi
  sleep 0.5
done
[ "$ended" -eq 1 ] || fail "the demo did not end within 30 s of Ctrl+C"
wait "$demo_pid"
status=$?
demo_pid=
[ "$status" -eq 0 ] || fail "the demo ended with $status"

[ -s "$avi" ] || fail "no AVI at $avi"
probe=$(ffprobe -v error -count_frames -select_streams v:0 \
  -show_entries format=format_name:stream=codec_type,nb_read_frames -of default=noprint_wrappers=1 "$avi" 2>"$work/probe.err")
[ ! -s "$work/probe.err" ] || fail "ffprobe reports errors: $(cat "$work/probe.err")"
grep -qx 'format_name=avi' <<<"$probe" || fail "not an AVI file: $probe"
grep -qx 'codec_type=video' <<<"$probe" || fail "no video stream: $probe"
frames=$(grep -oP '^nb_read_frames=\K[0-9]+' <<<"$probe")
[ "${frames:-0}" -ge 1 ] || fail "no frames in the AVI: $probe"
grep -q "The recording: $avi ($frames frames)" "$work/out" || fail "the demo does not say what it recorded"
echo "demo: frame served on port $port, AVI complete with $frames frames"
