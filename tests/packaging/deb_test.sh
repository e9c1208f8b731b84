#!/usr/bin/env bash
# The Debian package of a build configured for /usr (make deb): cpack makes
# it, lintian finds neither errors nor warnings, it holds the files of the
# install tree, and its fields name the program's version and the libraries
# and plugins it needs.
set -uo pipefail
build=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
command -v lintian >/dev/null || { echo "FAIL: lintian is missing (make deb installs it)"; exit 1; }

cd "$build" || exit 1
rm -rf package
cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; echo "FAIL: cpack"; exit 1; }
debs=(package/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no single package: ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "package: $deb"

lintian --fail-on error,warning --suppress-tags possible-documentation-but-no-doc-base-registration "$deb" ||
  fail "lintian"

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|')
for file in /usr/bin/orvello /usr/share/orvello/lng/English.lng /usr/share/doc/orvello/manual.html \
  /usr/share/doc/orvello/manual.ru.html \
  /usr/share/doc/orvello/copyright /usr/share/doc/orvello/changelog.gz \
  /usr/share/applications/org.example.orvello.desktop /usr/share/metainfo/org.example.orvello.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/orvello.svg /usr/share/icons/hicolor/48x48/apps/orvello.png \
  /usr/share/man/man1/orvello.1.gz /usr/lib/udev/rules.d/70-orvello.rules \
  /usr/lib/systemd/user/orvello-webcam.service /usr/lib/systemd/user/orvello-webcam-serve.service \
  "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/orvello/orvello-ffmpeg.so" \
  "/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/orvello/orvello-pipewire.so"; do
  grep -qx "$file" <<<"$contents" || fail "the package lacks $file"
done
grep -q '^/usr/local' <<<"$contents" && fail "the package holds files under /usr/local"

[ "$(dpkg-deb -f "$deb" Package)" = orvello ] || fail "package name"
[ "orvello $(dpkg-deb -f "$deb" Version)" = "$(./orvello --version)" ] || fail "package version"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libqt6network6 libusb-1.0-0 libudev1 libjpeg62-turbo qt6-qpa-plugins qt6-translations-l10n \
  libavcodec59 libavformat59 libswscale6; do
  grep -q "\\b$needed\\b" <<<"$depends" || fail "Depends lacks $needed: $depends"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "package checks passed"
