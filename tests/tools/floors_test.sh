#!/usr/bin/env bash
# The floors check passes on the tree as it is, and fails on each kind of
# planted include: upward, from a lower folder that is not linked, and a bare
# name of another folder's header.
set -u
source_dir=$1
check="python3 $source_dir/tools/check_floors.py"
failures=0

if ! out=$($check "$source_dir"); then
  echo "FAIL: the tree itself: $out"
  failures=$((failures + 1))
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# plant FILE LINE EXPECTED: a copy of the tree with LINE added to FILE must be
# refused, with EXPECTED in the message.
plant() {
  local file=$1 line=$2 expected=$3
  rm -rf "$work/tree" && mkdir -p "$work/tree"
  (cd "$source_dir" && tar cf - tools $(awk '!/^#/ { for (i = 2; i <= NF; i++) print $i }' tools/floors.txt)) |
    tar xf - -C "$work/tree"
  printf '%s\n' "$line" >>"$work/tree/$file"
  if out=$($check "$work/tree"); then
    echo "FAIL: not refused: $line in $file"
    failures=$((failures + 1))
  elif ! grep -qF -- "$expected" <<<"$out"; then
    echo "FAIL: $line in $file: expected \"$expected\" in: $out"
    failures=$((failures + 1))
  fi
}
plant phone/Protocol.h '#include "shell/MainWindow.h"' 'phone/Protocol.h: "shell/MainWindow.h" is on floor 6 (shell), not below phone (floor 1)'
plant capture/PhotoThread.cpp '#include "video/Recorder.h"' 'is on floor 4 (video), not below capture (floor 3)'
plant config/Paths.cpp '#include "phone/PhoneLink.h"' 'is on floor 1 (phone), not below config (floor 1)'
plant web/Responses.cpp '#include "sim/SimBus.h"' 'web/Responses.cpp: "sim/SimBus.h": the target of web does not link sim'
plant video/Recorder.cpp '#include "Settings.h"' '"Settings.h" is config/Settings.h: include it with its folder'

if [ $failures -eq 0 ]; then echo "6 passed, 0 failed"; else echo "$((6 - failures)) passed, $failures failed"; fi
exit $((failures > 0))
