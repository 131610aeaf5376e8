#!/bin/sh
# The host run by a user other than root, who owns the files but not always
# their folder: set-user-id and set-group-id bits survive a flatten in
# place, and a folder that refuses a new file is written directly when the
# output itself is writable.
#   tests/other_user.sh HOST SAMPLE      (exit 77: skipped)
set -eu
host=$1
sample=$2
user=65534
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null 2>&1 ||
   ! setpriv --reuid=$user --regid=$user --clear-groups true 2>/dev/null; then
  echo "skipped: no other user to be had"
  exit 77
fi
as_user() { setpriv --reuid=$user --regid=$user --clear-groups "$@"; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
cp "$sample" "$work/sample.bmp"
chmod 0644 "$work/sample.bmp"
# A copy of the host the other user can reach, wherever the build lies.
cp "$host" "$work/quenvale"
chmod 0755 "$work/quenvale"
host=$work/quenvale
"$host" -q "$work/sample.bmp" "$work/expected.bmp" || fail "flatten of the sample"
if ! as_user "$host" -q "$work/sample.bmp" /dev/null; then
  echo "skipped: the host does not run as user $user here"
  exit 77
fi

mkdir "$work/own" "$work/locked"
for mode in 4755 2775 6700; do
  cp "$work/sample.bmp" "$work/own/$mode.bmp"
  chown $user:$user "$work/own" "$work/own/$mode.bmp"
  chmod $mode "$work/own/$mode.bmp"
  as_user "$host" -q "$work/own/$mode.bmp" "$work/own/$mode.bmp" || fail "in place, mode $mode"
  [ "$(stat -c %a "$work/own/$mode.bmp")" = $mode ] || fail "mode $mode became $(stat -c %a "$work/own/$mode.bmp")"
  cmp -s "$work/expected.bmp" "$work/own/$mode.bmp" || fail "in place, mode $mode, differs"
done

# The locked folder is root's: its user may write the output, not add a file.
echo old >"$work/locked/out.bmp"
chown $user:$user "$work/locked/out.bmp"
as_user "$host" -q "$work/sample.bmp" "$work/locked/out.bmp" || fail "direct write where the folder is locked"
cmp -s "$work/expected.bmp" "$work/locked/out.bmp" || fail "direct write differs"
if as_user "$host" -q "$work/sample.bmp" "$work/locked/new.bmp" 2>"$work/err"; then fail "a new file in a locked folder"; fi
grep -q "new.bmp: Permission denied" "$work/err" || fail "no permission failure reported: $(cat "$work/err")"
[ "$(ls -A "$work/locked")" = out.bmp ] || fail "left behind: $(ls -A "$work/locked")"

# The kernels written directly over their input there: pixels in place, a
# palette in place, and a new layout refused with the input untouched.
cp "$work/sample.bmp" "$work/locked/in.bmp"
chown $user:$user "$work/locked/in.bmp"
"$host" --filter darkest "$work/sample.bmp" "$work/expected-darkest.bmp"
as_user "$host" --filter darkest "$work/locked/in.bmp" "$work/locked/in.bmp" || fail "darkest in place, directly"
cmp -s "$work/expected-darkest.bmp" "$work/locked/in.bmp" || fail "darkest in place differs"
if command -v convert >/dev/null 2>&1; then
  convert "$work/sample.bmp" -type Palette BMP3:"$work/palette.bmp"
  cp "$work/palette.bmp" "$work/locked/palette.bmp"
  chown $user:$user "$work/locked/palette.bmp"
  "$host" --filter gray "$work/palette.bmp" "$work/expected-gray.bmp"
  as_user "$host" --filter gray "$work/locked/palette.bmp" "$work/locked/palette.bmp" || fail "gray palette in place"
  cmp -s "$work/expected-gray.bmp" "$work/locked/palette.bmp" || fail "gray palette in place differs"
  cp "$work/palette.bmp" "$work/locked/palette.bmp"
  if as_user "$host" --filter blur "$work/locked/palette.bmp" "$work/locked/palette.bmp" 2>"$work/err"; then
    fail "a new layout written over its own input"
  fi
  grep -q "palette.bmp: a new layout cannot be written over its own input, and its folder refuses a temporary file: Permission denied" "$work/err" ||
    fail "no reason for the blur in place: $(cat "$work/err")"
  cmp -s "$work/palette.bmp" "$work/locked/palette.bmp" || fail "the blur in place changed its input"
fi
echo "other user: ok"
