#!/bin/sh
# The host on small real filesystems (tmpfs, in a mount namespace of its
# own): a write that runs out of room leaves the old output, or the input
# itself in place, byte for byte as it was and no temporary behind; so does
# a folder with no inode left for the temporary. A full TMPDIR is named.
#   tests/small_filesystem.sh HOST SAMPLE      (exit 77: skipped)
set -eu
host=$1
sample=$2
if [ -z "${QUENVALE_NAMESPACE:-}" ]; then
  for flags in -m -rm; do
    if unshare $flags true 2>/dev/null; then
      QUENVALE_NAMESPACE=1 exec unshare $flags "$0" "$@"
    fi
  done
  echo "skipped: no mount namespace here"
  exit 77
fi
work=$(mktemp -d)
trap 'umount "$work/full" "$work/few" 2>/dev/null; rm -rf "$work"' EXIT
mkdir "$work/full" "$work/few" "$work/plain"
# Room for the sample once, not twice; and room for two files' names only.
if ! mount -t tmpfs -o size=256k tmpfs "$work/full" 2>/dev/null ||
   ! mount -t tmpfs -o size=1m,nr_inodes=3 tmpfs "$work/few" 2>/dev/null; then
  echo "skipped: mounting a tmpfs is refused here"
  exit 77
fi
fail() { echo "FAIL: $*" >&2; exit 1; }
"$host" "$sample" "$work/plain/expected.bmp" >/dev/null || fail "flatten of the sample"

cp "$sample" "$work/full/out.bmp"
if "$host" "$sample" "$work/full/out.bmp" >/dev/null 2>"$work/err"; then fail "a full disk reported success"; fi
grep -q "out.bmp: No space left on device" "$work/err" || fail "no write failure reported: $(cat "$work/err")"
cmp -s "$sample" "$work/full/out.bmp" || fail "the old output was changed on a full disk"
if "$host" "$work/full/out.bmp" "$work/full/out.bmp" >/dev/null 2>&1; then fail "in place on a full disk reported success"; fi
cmp -s "$sample" "$work/full/out.bmp" || fail "the input was changed in place on a full disk"
[ -z "$(ls -A "$work/full" | grep -v '^out\.bmp$' || true)" ] || fail "left behind: $(ls -A "$work/full")"
# A full TMPDIR is named as such, not taken for the output's disk.
if TMPDIR="$work/full" "$host" "$sample" - >/dev/null 2>"$work/err"; then fail "a full TMPDIR reported success"; fi
grep -q "^quenvale: -: a temporary file in $work/full: No space left on device\$" "$work/err" ||
  fail "a full TMPDIR not named: $(cat "$work/err")"

cp "$sample" "$work/few/in.bmp"
echo old >"$work/few/out.bmp"
if "$host" --sync "$work/few/in.bmp" "$work/few/out.bmp" >/dev/null 2>"$work/err"; then
  fail "a folder with no inode left reported success"
fi
grep -q "out.bmp: No space left on device" "$work/err" || fail "no inode failure reported: $(cat "$work/err")"
[ "$(cat "$work/few/out.bmp")" = old ] || fail "the old output was written directly with no inode left"
if "$host" "$work/few/in.bmp" "$work/few/in.bmp" >/dev/null 2>&1; then fail "in place with no inode left reported success"; fi
cmp -s "$sample" "$work/few/in.bmp" || fail "the input was changed in place with no inode left"
echo "small filesystems: ok"
