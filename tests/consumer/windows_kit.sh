#!/usr/bin/env bash
# Checks a Windows kit: its files, and a C consumer compiled against its
# header and linked by lld-link against its quenvale.lib (the import library
# for MSVC's linker, with mingw-w64's C runtime, as no MSVC one is here),
# then run under Wine where Wine runs that architecture.
#   tests/consumer/windows_kit.sh KIT.zip x64|x86
set -euo pipefail
kit=$1
arch=$2
source=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unzip -q "$kit" -d "$work/kit"
root=$(echo "$work"/kit/*)
for path in bin/quenvale.dll bin/quenvale.exe bin/quenvale.txt lib/quenvale.lib lib/quenvale.def \
            lib/libquenvale.dll.a include/quenvale.h LICENSE.txt; do
  [ -f "$root/$path" ] || { echo "not in the kit: $path" >&2; exit 1; }
done
if [ "$arch" = x64 ]; then
  triple=x86_64-w64-mingw32 machine=x64 prefix=
else
  triple=i686-w64-mingw32 machine=x86 prefix=_  # x86 C symbols carry a leading underscore
fi
gcc_dir=$(dirname "$("$triple-gcc" -print-libgcc-file-name)")
crt_dir=/usr/$triple/lib
clang --target="$triple" -std=c11 -Wall -Wextra -Werror -I"$root/include" -c "$source/flatten_one.c" \
  -o "$work/flatten_one.o"
lld-link /nologo /lldmingw /machine:$machine /subsystem:console /entry:mainCRTStartup \
  "/alternatename:__image_base__=${prefix}__ImageBase" /out:"$work/flatten_one.exe" \
  "$crt_dir/crt2.o" "$gcc_dir/crtbegin.o" "$work/flatten_one.o" "$root/lib/quenvale.lib" \
  /libpath:"$gcc_dir" /libpath:"$crt_dir" libmingw32.a libgcc.a libgcc_eh.a libmoldname.a libmingwex.a \
  libmsvcrt.a libkernel32.a libadvapi32.a libshell32.a libuser32.a "$gcc_dir/crtend.o"
"$triple-objdump" -p "$work/flatten_one.exe" | grep "DLL Name: quenvale.dll" >/dev/null ||
  { echo "the consumer does not import quenvale.dll" >&2; exit 1; }
if [ "$arch" = x64 ] && [ -x /usr/lib/wine/wine64 ]; then
  cp "$root/bin/quenvale.dll" "$work/"
  export WINEPREFIX=${WINEPREFIX:-$work/wine} WINEDEBUG=-all
  (cd "$work" && /usr/lib/wine/wine64 flatten_one.exe "$(/usr/lib/wine/wine64 winepath -w "$work" 2>/dev/null || echo .)")
  echo "the consumer linked by lld-link against quenvale.lib ran under Wine"
else
  echo "the consumer linked by lld-link against quenvale.lib (no Wine for $arch here: not run)"
fi
