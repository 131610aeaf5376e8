// The page's time from the slider to the picture on screen, on a 2 MP
// photo in headless Chromium: the tolerance moved step by step, each
// result awaited, as the page itself measures it (the setting's change to
// the result drawn), against the worker's own time for the flatten.
//
//   node bench/page_bench.mjs [--runs N]   (after cmake --workflow --preset wasm)
import { mkdtempSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

import { depsDir, photo, writePng } from "../wasm/tests/helpers.mjs";
import { andWait, launchChromium, servePage, setTolerance } from "../web/tests/browser.mjs";

const runs = process.argv[2] === "--runs" ? Number(process.argv[3]) : 9;
const width = 1920, height = 1080;
const picture = join(mkdtempSync(join(tmpdir(), "quenvale-page-bench-")), "photo.png");
writePng(picture, photo(width, height), 3);

const { server, origin } = await servePage(process.env.QUENVALE_WEB ?? join(process.cwd(), "build/wasm/web"));
const browser = await launchChromium(depsDir);
const page = await browser.newPage();
await page.goto(origin, { waitUntil: "networkidle0" });
await andWait(page, async () => (await page.$("#file")).uploadFile(picture));
const latency = [], worker = [];
for (let i = 0; i < runs; ++i) {
  await andWait(page, () => setTolerance(page, 21 + i));
  const status = await page.$eval("#status", (s) => [Number(s.dataset.latency), s.textContent]);
  latency.push(status[0]);
  worker.push(Number(/\((\d+) ms\)/.exec(status[1])[1]));
}
await browser.close();
server.close();
const median = (samples) => [...samples].sort((a, b) => a - b)[Math.floor(samples.length / 2)];
console.log(`the page on a ${width}x${height} photo, median of ${runs} moves of the tolerance`);
console.log(`  ${"slider to picture on screen".padEnd(40)} ${String(median(latency)).padStart(6)} ms`);
console.log(`  ${"of which the flatten in the worker".padEnd(40)} ${String(median(worker)).padStart(6)} ms`);
