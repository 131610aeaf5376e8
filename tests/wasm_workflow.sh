#!/bin/sh
# The WebAssembly workflow (module, npm package, page, and their tests in
# Node and headless Chromium) from the native suite, against this build's
# host; skipped where emscripten, Chromium or npm is not installed.
#   tests/wasm_workflow.sh SOURCE_DIR HOST
set -eu
for tool in emcc npm node; do
  command -v "$tool" >/dev/null 2>&1 || { echo "skipped: no $tool here (Debian: emscripten npm)"; exit 77; }
done
[ -x "${QUENVALE_CHROMIUM:-/usr/bin/chromium}" ] || { echo "skipped: no Chromium here (Debian: chromium)"; exit 77; }
cd "$1"
# Debian's emscripten finds its own acorn only there, with this Node.js.
NODE_PATH=/usr/share/nodejs QUENVALE_HOST=$2 cmake --workflow --preset wasm
