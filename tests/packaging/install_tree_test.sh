#!/usr/bin/env bash
# A DESTDIR install of the build: every file in its place; the installed
# program finds its language files and manual there, also after the tree has
# been moved elsewhere; the desktop file and the AppStream metainfo validate
# and agree with the installed program and icon; the manual page names every
# switch, option and environment variable the program knows.
set -uo pipefail
build=$1
source=$2
libdir=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for tool in desktop-file-validate appstreamcli gzip; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (make deps installs it)"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi

app_id=org.example.orvello
expected=(
  usr/bin/orvello
  usr/share/orvello/lng/English.lng
  usr/share/doc/orvello/manual.html
  usr/share/doc/orvello/manual.ru.html
  usr/share/doc/orvello/copyright
  usr/share/doc/orvello/changelog.gz
  usr/share/applications/$app_id.desktop
  usr/share/metainfo/$app_id.metainfo.xml
  usr/share/icons/hicolor/scalable/apps/orvello.svg
  usr/share/man/man1/orvello.1.gz
  usr/lib/udev/rules.d/70-orvello.rules
  usr/lib/systemd/user/orvello-webcam.service
  usr/lib/systemd/user/orvello-webcam-serve.service
  usr/$libdir/orvello/orvello-ffmpeg.so
  usr/$libdir/orvello/orvello-pipewire.so
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("usr/share/icons/hicolor/${size}x${size}/apps/orvello.png")
done
for file in "${expected[@]}"; do
  [ -s "$root/$file" ] || fail "missing or empty: /$file"
done
[ -x "$root/usr/bin/orvello" ] || fail "the program is not executable"
# FFmpeg comes only with the module, whose libraries all resolve.
program_libraries=$(ldd "$root/usr/bin/orvello")
grep -q libavcodec <<<"$program_libraries" && fail "the program itself links FFmpeg"
module_libraries=$(ldd "$root/usr/$libdir/orvello/orvello-ffmpeg.so")
grep -q libavcodec <<<"$module_libraries" || fail "the module does not link FFmpeg"
grep 'not found' <<<"$module_libraries" && fail "the module needs libraries that are missing"
# Nothing else: an installed file that nobody listed is a mistake too.
extra=$(cd "$root" && find . -type f | sed 's|^\./||' | sort | comm -23 - <(printf '%s\n' "${expected[@]}" | sort))
[ -z "$extra" ] || fail "unexpected files: $extra"

# PNG sizes: the width and height in the header match the folder.
for size in 16 22 24 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/orvello.png
  [ -f "$png" ] || continue
  read -r w h < <(od -An -tu1 -j16 -N8 "$png" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
  [ "$w $h" = "$size $size" ] || fail "icon ${size}x${size} is ${w}x${h}"
done

# Desktop integration validates and points at what is installed.
desktop=$root/usr/share/applications/$app_id.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
grep -qx 'Exec=orvello' "$desktop" || fail "the desktop file does not start orvello"
grep -qx 'Icon=orvello' "$desktop" || fail "the desktop file does not name the icon orvello"
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
appstreamcli validate --no-net --pedantic "$metainfo" || fail "appstreamcli validate"
grep -q "<id>$app_id</id>" "$metainfo" || fail "metainfo id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" || fail "metainfo launchable"
version=$("$root/usr/bin/orvello" --version)
grep -q "<release version=\"${version#orvello }\"" "$metainfo" || fail "metainfo release is not $version"

# The network camera's user unit starts the program of the configured prefix,
# records and restarts on failure; systemd, where it is there, finds nothing
# wrong in it (pointed at the program installed here).
unit=$root/usr/lib/systemd/user/orvello-webcam.service
grep -qE '^ExecStart=/[^ ]*/bin/orvello --record ' "$unit" || fail "the unit does not record with orvello"
grep -qx 'Restart=on-failure' "$unit" || fail "the unit does not restart on failure"
for u in "$unit" "$root/usr/lib/systemd/user/orvello-webcam-serve.service"; do
  grep -qx 'Type=notify' "$u" && grep -qE '^WatchdogSec=[1-9]' "$u" || fail "$u: not a notify unit with a watchdog"
done
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$work/units"
  sed "s|^ExecStart=/[^ ]*/bin/orvello|ExecStart=$root/usr/bin/orvello|" "$unit" >"$work/units/orvello-webcam.service"
  systemd-analyze --man=no verify "$work/units/orvello-webcam.service" || fail "systemd-analyze verify"
fi
# Its sibling serves without recording: no file is named, nothing recorded.
serve=$root/usr/lib/systemd/user/orvello-webcam-serve.service
grep -qE '^ExecStart=/[^ ]*/bin/orvello --serve( |$)' "$serve" || fail "the serving unit does not serve with orvello"
grep -q -- '--record' "$serve" && fail "the serving unit records"
grep -qx 'Restart=on-failure' "$serve" || fail "the serving unit does not restart on failure"
if command -v systemd-analyze >/dev/null; then
  sed "s|^ExecStart=/[^ ]*/bin/orvello|ExecStart=$root/usr/bin/orvello|" "$serve" >"$work/units/orvello-webcam-serve.service"
  systemd-analyze --man=no verify "$work/units/orvello-webcam-serve.service" || fail "systemd-analyze verify (serve)"
fi

# The installed program finds its files under its own prefix, wherever the
# tree is.
check_found() {
  local bin=$1 prefix=$2 help
  help=$(env -u ORVELLO_LNG_DIR "$bin" --help) || fail "$bin --help"
  grep -qx "  language files      $prefix/share/orvello/lng" <<<"$help" || fail "language folder not found under $prefix"
  grep -qx "  manual              $prefix/share/doc/orvello/manual.html" <<<"$help" || fail "manual not found under $prefix"
}
check_found "$root/usr/bin/orvello" "$root/usr"
mv "$root/usr" "$work/moved"
check_found "$work/moved/bin/orvello" "$work/moved"
mv "$work/moved" "$root/usr"

# The manual page: every switch and option of --help, and every environment
# variable the sources read.
man=$(gzip -dc "$root/usr/share/man/man1/orvello.1.gz" | sed 's/\\-/-/g')
options=$("$root/usr/bin/orvello" --help | grep -oE '^  (--[a-z-]+|-[a-z])' | tr -d ' ')
[ -n "$options" ] || fail "no options in --help"
for option in $options; do
  grep -qE "(^|[^a-z-])$option([^a-z-]|$)" <<<"$man" || fail "the manual page does not name $option"
done
variables=$(cd "$source" && grep -rhoE '(getenv|qEnvironmentVariable|qgetenv)\("[A-Z_]+"' \
  platform phone shell sim capture video web vcam 2>/dev/null | grep -oE '"[A-Z_]+"' | tr -d '"' | sort -u)
variables="$variables ORVELLO_PHONE_TRACE"  # read through a named constant
for variable in $variables; do
  grep -q "$variable" <<<"$man" || fail "the manual page does not name \$$variable"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "install tree: ${#expected[@]} files, all checks passed"
