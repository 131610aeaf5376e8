#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs two C
# consumers from outside the source tree: one through find_package, one
# through pkg-config.   run_consumers.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1
source=$2
compiler=${3:-cc}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for path in include/quenvale.h lib/libquenvale.so lib/libquenvale.so.1 lib/libquenvale.so.1.0.0.1 bin/quenvale \
            share/man/man1/quenvale.1.gz lib/cmake/quenvale/quenvaleConfig.cmake \
            lib/cmake/quenvale/quenvaleConfigVersion.cmake lib/pkgconfig/quenvale.pc; do
  [ -e "$prefix/$path" ] || { echo "not installed: $path" >&2; exit 1; }
done
[ "$(readlink "$prefix/lib/libquenvale.so.1")" = libquenvale.so.1.0.0.1 ] || { echo "bad SONAME link" >&2; exit 1; }
objdump -p "$prefix/lib/libquenvale.so.1.0.0.1" | grep -q 'SONAME *libquenvale.so.1$' || { echo "bad SONAME" >&2; exit 1; }

# find_package, with the source copied out of the tree.
cp -r "$source/tests/consumer" "$work/cmake-consumer"
cmake -S "$work/cmake-consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$compiler" -DCMAKE_BUILD_RPATH="$prefix/lib" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/flatten_one" "$work"

# pkg-config, where it is installed (Debian: pkgconf)
if ! command -v pkg-config >/dev/null 2>&1; then
  echo "the find_package consumer flattened its bitmap; skipped the pkg-config one: no pkg-config here (pkgconf)"
  exit 0
fi
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
"$compiler" -std=c11 -Wall -Wextra -Werror -o "$work/pc-consumer" "$source/tests/consumer/flatten_one.c" \
  $(pkg-config --cflags --libs quenvale) -Wl,-rpath,"$prefix/lib"
"$work/pc-consumer" "$work"
echo "both consumers flattened their bitmap"
