#!/bin/sh
# The WebAssembly workflow (module, npm package, page, and their tests in
# Node and headless Chromium) from the native suite, against this build's
# host; skipped where emscripten, Chromium, npm or the page's npm packages
# are not installed.
#   tests/wasm_workflow.sh SOURCE_DIR HOST
set -eu
for tool in emcc npm node; do
  command -v "$tool" >/dev/null 2>&1 || { echo "skipped: no $tool here (Debian: emscripten npm)"; exit 77; }
done
[ -x "${QUENVALE_CHROMIUM:-/usr/bin/chromium}" ] || { echo "skipped: no Chromium here (Debian: chromium)"; exit 77; }
cd "$1"
# Fetched by the step that needs them, never by the suite: it needs no network.
[ -f web/node_modules/.package-lock.json ] ||
  { echo "skipped: the page's npm packages are not installed (npm ci in web/)"; exit 77; }
# Debian's emscripten finds its own acorn only there, with this Node.js.
NODE_PATH=/usr/share/nodejs QUENVALE_HOST=$2 cmake --workflow --preset wasm
