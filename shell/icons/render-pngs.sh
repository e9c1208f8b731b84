#!/usr/bin/env bash
# Draws the program's icon (orvello.svg, beside this script) into the PNG files
# the program carries and installs: png/orvello-SIZE.png for each size below.
# The PNG files are kept in the source tree, so that neither the build nor the
# program's start has to draw the picture; run this after changing the SVG.
# Needs rsvg-convert (Debian package librsvg2-bin).
#   render-pngs.sh          writes the PNG files
#   render-pngs.sh --check  writes nothing; fails if a PNG file is missing or
#                           differs from a fresh drawing of the SVG
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# The window system's and the icon theme's sizes, and the splash's 140.
sizes=(16 22 24 32 48 64 128 140 256)
check=0
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac
command -v rsvg-convert >/dev/null || { echo "rsvg-convert is missing (apt-get install librsvg2-bin)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stale=0
for size in "${sizes[@]}"; do
  name=orvello-$size.png
  rsvg-convert --width "$size" --height "$size" --format png --output "$work/$name" "$here/orvello.svg"
  if [ $check -eq 1 ]; then
    if ! cmp -s "$work/$name" "$here/png/$name"; then
      echo "png/$name is missing or not drawn from orvello.svg (run $0)" >&2
      stale=1
    fi
  else
    mkdir -p "$here/png"
    mv "$work/$name" "$here/png/$name"
  fi
done
exit $stale
