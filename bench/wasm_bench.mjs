// The WebAssembly module's size and speed, as ratios to a baseline of the
// same run: each build's module and glue, gzip-compressed, and its flatten
// of a 12 MP RGBA picture in Node through the API (copy in, flatten and
// palette, copy out), against the native flatten of the same pixels in
// memory through the Python module (copy in, flatten and palette).
//
//   node bench/wasm_bench.mjs [--runs N] [--python DIR] NPM_DIR...
//   (DIR holds the native Python module: build/bench/python by default)
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { pathToFileURL } from "node:url";
import { gzipSync } from "node:zlib";

import { photo } from "../wasm/tests/helpers.mjs";

const args = process.argv.slice(2);
let runs = 7;
let python = "build/bench/python";
const builds = [];
for (let i = 0; i < args.length; ++i) {
  if (args[i] === "--runs") runs = Number(args[++i]);
  else if (args[i] === "--python") python = args[++i];
  else builds.push(args[i]);
}
if (builds.length === 0) builds.push("build/wasm/wasm/npm");

const width = 4000, height = 3000;
const median = (samples) => [...samples].sort((a, b) => a - b)[Math.floor(samples.length / 2)];
const picture = photo(width, height);

// The native baseline, in a Python process of its own, on the same bytes.
const folder = mkdtempSync(join(tmpdir(), "quenvale-wasm-bench-"));
writeFileSync(join(folder, "pixels.rgba"), picture.data);
const native = Number(execFileSync("python3", ["-c", `
import time, numpy, quenvale
array = numpy.fromfile(${JSON.stringify(join(folder, "pixels.rgba"))}, numpy.uint8).reshape(${height}, ${width}, 4)
quenvale.flatten(array)
times = []
for _ in range(${runs}):
    start = time.perf_counter(); quenvale.flatten(array); times.append(time.perf_counter() - start)
print(sorted(times)[len(times) // 2] * 1000)
`], { env: { ...process.env, PYTHONPATH: python }, encoding: "utf8" }));
rmSync(folder, { recursive: true });

console.log(`flatten of a ${width}x${height} RGBA picture, tolerance 20, median of ${runs} runs`);
console.log(`  ${"native, in memory (the Python module)".padEnd(44)} ${native.toFixed(1).padStart(8)} ms`);
for (const dir of builds) {
  const { Quenvale } = await import(pathToFileURL(join(dir, "quenvale.js")).href);
  const quenvale = await Quenvale.load();
  quenvale.flatten(picture);
  const times = [];
  for (let i = 0; i < runs; ++i) {
    const start = performance.now();
    quenvale.flatten(picture);
    times.push(performance.now() - start);
  }
  const files = ["quenvale-core.wasm", "quenvale-core.js", "quenvale.js"];
  const sizes = files.map((file) => gzipSync(readFileSync(join(dir, file)), { level: 9 }).length);
  const total = sizes.reduce((a, b) => a + b, 0);
  console.log(`  ${dir}`);
  console.log(`    ${"size, gzip -9 (wasm + glue + API)".padEnd(42)} ${(total / 1024).toFixed(1).padStart(8)} KB ` +
              `(${sizes.map((s) => (s / 1024).toFixed(1)).join(" + ")}; goal <= 150)`);
  const time = median(times);
  console.log(`    ${"flatten in Node".padEnd(42)} ${time.toFixed(1).padStart(8)} ms   ` +
              `${(time / native).toFixed(2)}x native (goal <= 2x)`);
}
