#!/usr/bin/env bash
# Runs the program against the simulated phone, with its own settings file and
# lock, so a demo never disturbs a user's real settings. Without a display it
# runs offscreen.
set -euo pipefail
build=${1:-build}
demo_dir=${ORVELLO_DEMO_DIR:-$build/demo}
mkdir -p "$demo_dir"
export ORVELLO_SETTINGS_FILE=${ORVELLO_SETTINGS_FILE:-$demo_dir/settings.reg}
export ORVELLO_LOCK_DIR=${ORVELLO_LOCK_DIR:-$demo_dir}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: running offscreen (Ctrl+C ends the demo)."
  export QT_QPA_PLATFORM=offscreen
fi
echo "Orvello with the simulated phone; settings in $ORVELLO_SETTINGS_FILE"
exec "$build/orvello" --simulate-phone "$@"
