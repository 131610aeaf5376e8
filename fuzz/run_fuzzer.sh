#!/usr/bin/env bash
# Builds the fuzz preset and runs each target for a bounded time: the whole
# call for SECONDS (default 150), the large-image, filter, picture and job
# targets for half that each (the last two where the codecs are built). Fails on any finding, which libFuzzer leaves as
# crash-*/leak-*/timeout-*/oom-* files in the folder it names: fix it, then
# add the file to tests/regressions (or, for the two others, a test).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-150}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2
work=$(mktemp -d)
python3 fuzz/make_corpus.py "$work/seeds"
cp tests/regressions/*.bmp "$work/seeds/"
# The filter target's inputs start with a byte that chooses the filter.
python3 - "$work/seeds" "$work/filter-seeds" <<'PY'
import os, sys
source, target = sys.argv[1], sys.argv[2]
os.makedirs(target)
for name in os.listdir(source):
    data = open(os.path.join(source, name), 'rb').read()
    for choice in range(8):
        open(os.path.join(target, '%s-%d' % (name, choice)), 'wb').write(bytes([choice]) + data)
PY
run() {  # TARGET SECONDS RSS_MB TIMEOUT SEEDS
  local target=$1
  mkdir -p "$work/corpus-$target"
  echo "== $target for $2 s"
  "./build/fuzz/fuzz/$target" -max_total_time="$2" -rss_limit_mb="$3" -timeout="$4" -print_final_stats=1 \
    -artifact_prefix="$work/$target-" "$work/corpus-$target" ${5:+"$5"} 2>&1 | tail -6
}
run quenvale-fuzz "$seconds" 2048 10 "$work/seeds"
run quenvale-fuzz-large $((seconds / 2)) 4096 60 ""
run quenvale-fuzz-filters $((seconds / 2)) 2048 10 "$work/filter-seeds"
if [ -x build/fuzz/fuzz/quenvale-fuzz-pictures ]; then
  fuzz/picture_seeds.sh "$work/seeds" "$work/picture-seeds"
  run quenvale-fuzz-pictures $((seconds / 2)) 2048 10 "$work/picture-seeds"
fi
if [ -x build/fuzz/fuzz/quenvale-fuzz-job ]; then
  # The job's inputs start with two bytes that choose its options.
  python3 - "$work/picture-seeds" "$work/job-seeds" <<'PY'
import os, sys
source, target = sys.argv[1], sys.argv[2]
os.makedirs(target)
for n, name in enumerate(sorted(os.listdir(source))):
    data = open(os.path.join(source, name), 'rb').read()
    for choice in (0x00, 0x03, 0x17, 0x2b, 0x41, 0x3f):
        open(os.path.join(target, '%s-%02x' % (name, choice)), 'wb').write(bytes([choice, 20 + n % 200]) + data)
PY
  run quenvale-fuzz-job $((seconds / 2)) 2048 10 "$work/job-seeds"
fi
if ls "$work"/*crash-* "$work"/*leak-* "$work"/*timeout-* "$work"/*oom-* >/dev/null 2>&1; then
  echo "fuzzer findings in $work" >&2
  exit 1
fi
