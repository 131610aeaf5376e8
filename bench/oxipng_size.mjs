// oxipng at a level (its npm build, single-threaded), for the PNG bench:
// prints each file's size after optimisation, a line each.
//
//   node bench/oxipng_size.mjs LEVEL FILE.png [FILE.png ...]
import { readFileSync } from "node:fs";
import init, { optimise } from "@jsquash/oxipng/codec/pkg/squoosh_oxipng.js";

const wasm = readFileSync(new URL(import.meta.resolve("@jsquash/oxipng/codec/pkg/squoosh_oxipng_bg.wasm")));
await init(wasm);
const [level, ...files] = process.argv.slice(2);
for (const file of files) {
  console.log(optimise(new Uint8Array(readFileSync(file)), Number(level), false, false).length);
}
