#!/usr/bin/env bash
# Runs the host under valgrind memcheck on valid and refused files; fails on
# any memory error or leak.   tests/valgrind_host.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
host=${1:-build/default}/tools/quenvale
work=$(mktemp -d)
python3 fuzz/make_corpus.py "$work/valid" >/dev/null
run() {
  valgrind --quiet --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect "$host" "$@" >/dev/null 2>"$work/log" || status=$?
  status=${status:-0}
  if [ "$status" -eq 99 ]; then
    cat "$work/log" >&2
    echo "valgrind found errors: quenvale $*" >&2
    exit 1
  fi
  unset status
}
for file in samples/sample.bmp "$work"/valid/w3-h40-up-sized.bmp "$work"/valid/w5-h124-down-size0-tail.bmp \
            "$work"/valid/w0-h56-up-sized.bmp; do
  run "$file" "$work/out.bmp"
  run --filter blur "$file" "$work/out.bmp"
  run --filter darkest "$file" "$work/out.bmp"
done
for file in tests/regressions/*.bmp; do
  run "$file" "$work/out.bmp"
done
run "$work/missing.bmp" "$work/out.bmp"
run samples/sample.bmp "$work/no-such-dir/out.bmp"
run samples/sample.bmp /dev/full
echo "valgrind: no errors or leaks"
