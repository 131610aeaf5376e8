#!/usr/bin/env bash
# Builds the Debian packages, installs them, and uses them as a user would:
# the installed tool flattens the sample, the C consumer builds against the
# installed -dev through pkg-config and find_package, Debian's python3
# imports the module and flattens an array; then removes them and
# purges them by name, as a user would.
# Run as root on a Debian machine (CI).   tests/packages.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset deb >/dev/null
packages=(build/deb/packages/*.deb)
for package in "${packages[@]}"; do
  echo "== dpkg -c $(basename "$package")"
  dpkg -c "$package"
done
echo "== lintian"
lintian --fail-on error,warning "${packages[@]}"
apt-get install -y -qq "${packages[@]/#/./}" >/dev/null
trap 'apt-get purge -y -qq python3-quenvale quenvale libquenvale-dev libquenvale1 >/dev/null' EXIT
work=$(mktemp -d)
/usr/bin/quenvale samples/sample.bmp "$work/sample_flat.png"
/usr/bin/quenvale samples/sample.bmp "$work/sample_flat.bmp"
cmp -s <(head -c 54 samples/sample.bmp) <(head -c 54 "$work/sample_flat.bmp")
man -w quenvale >/dev/null
# The system's own folders are no flags: pkg-config knows them by name.
[ -z "$(pkg-config --cflags quenvale)" ] || { echo "pkg-config: $(pkg-config --cflags quenvale)" >&2; exit 1; }
cc -std=c11 -Wall -Wextra -Werror -o "$work/pc-consumer" tests/consumer/flatten_one.c $(pkg-config --cflags --libs quenvale)
"$work/pc-consumer" "$work" >/dev/null
cp -r tests/consumer "$work/cmake-consumer"
cmake -S "$work/cmake-consumer" -B "$work/cmake-build" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/flatten_one" "$work" >/dev/null
(cd "$work" && /usr/bin/python3 -c '
import numpy, quenvale
result, palette = quenvale.flatten(numpy.arange(48, dtype=numpy.uint8).reshape(4, 4, 3), 10)
assert len(palette) == 4 and int(palette.counts.sum()) == 16, palette
assert quenvale.__file__.startswith("/usr/lib/python3/dist-packages/"), quenvale.__file__
')
ldd "$work/pc-consumer" | grep -E "libquenvale.so.1 => (/usr)?/lib/" >/dev/null || { echo "not the installed library" >&2; exit 1; }
apt-get remove -y -qq python3-quenvale quenvale libquenvale-dev libquenvale1 >/dev/null
apt-get purge -y -qq python3-quenvale quenvale libquenvale-dev libquenvale1 >/dev/null
trap - EXIT
if dpkg-query -W -f '${db:Status-Abbrev}\n' python3-quenvale quenvale libquenvale-dev libquenvale1 2>/dev/null | grep -qv '^un'; then
  echo "still known to dpkg after the purge" >&2
  exit 1
fi
echo "packages installed, used, removed and purged"
