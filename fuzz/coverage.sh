#!/usr/bin/env bash
# Line coverage of the library's and the picture codecs' files under the four
# fuzz targets: builds them with clang's coverage mapping, runs each for
# SECONDS (default 60) from the same seeds as run_fuzzer.sh, and prints
# llvm-cov's report.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz-coverage
flags="-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS=-fprofile-instr-generate \
  -DQUENVALE_BUILD_FUZZ=ON -DQUENVALE_BUILD_TOOLS=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
work=$(mktemp -d)
python3 fuzz/make_corpus.py "$work/seeds" >/dev/null
cp tests/regressions/*.bmp "$work/seeds/"
mkdir "$work/filter-seeds"
for seed in "$work"/seeds/*; do
  for choice in 0 1 2 3 4 5 6 7; do
    { printf "\\$(printf '%03o' "$choice")"; cat "$seed"; } >"$work/filter-seeds/$(basename "$seed")-$choice"
  done
done
first=""
objects=()
targets="quenvale-fuzz quenvale-fuzz-large quenvale-fuzz-filters"
if [ -x "$build/fuzz/quenvale-fuzz-pictures" ]; then
  fuzz/picture_seeds.sh "$work/seeds" "$work/picture-seeds"
  targets="$targets quenvale-fuzz-pictures"
fi
for target in $targets; do
  seeds="$work/seeds"
  [ "$target" = quenvale-fuzz-filters ] && seeds="$work/filter-seeds"
  [ "$target" = quenvale-fuzz-large ] && seeds=""
  [ "$target" = quenvale-fuzz-pictures ] && seeds="$work/picture-seeds"
  mkdir -p "$work/corpus-$target"
  LLVM_PROFILE_FILE="$work/$target.profraw" "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=4096 \
    -timeout=60 "$work/corpus-$target" $seeds >/dev/null 2>&1
  if [ -z "$first" ]; then first="$build/fuzz/$target"; else objects+=(-object "$build/fuzz/$target"); fi
done
llvm-profdata merge -o "$work/merged.profdata" "$work"/*.profraw
llvm-cov report "$first" "${objects[@]}" -instr-profile="$work/merged.profdata" src/ tools/codecs/
