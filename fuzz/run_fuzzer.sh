#!/usr/bin/env bash
# Builds the fuzz preset and fuzzes the whole call for SECONDS (default 150);
# fails on any finding, which libFuzzer leaves as crash-*/leak-*/timeout-*
# files in the working folder: fix it, then add the file to tests/regressions.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-150}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2
work=$(mktemp -d)
python3 fuzz/make_corpus.py "$work/seeds"
cp tests/regressions/*.bmp "$work/seeds/"
mkdir -p "$work/corpus"
./build/fuzz/fuzz/quenvale-fuzz -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$work/seeds" 2>&1 | tail -8
if ls "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* >/dev/null 2>&1; then
  echo "fuzzer findings in $work" >&2
  exit 1
fi
