// The page in headless Chromium (Debian's, driven by puppeteer-core) served
// as static files: a picture chosen, the tolerance set, the result read from
// the page and compared with the host's for the same file, exact; the
// swatches, the downloaded PNG and palette, a broken file's message, and the
// README's screenshot, which must be current.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { createReadStream, existsSync, readdirSync, readFileSync, statSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { extname, join } from "node:path";
import { after, before, test } from "node:test";
import { pathToFileURL } from "node:url";

import { decodeRgba, png, samplePath, testPicture, workFolder, writePng } from "../../wasm/tests/helpers.mjs";

const puppeteer = (await import(pathToFileURL(join(process.env.QUENVALE_DEPS, "puppeteer-core/lib/esm/puppeteer/puppeteer-core.js")).href)).default;
const webDir = process.env.QUENVALE_WEB;
const host = process.env.QUENVALE_HOST;
const chromium = process.env.QUENVALE_CHROMIUM ?? "/usr/bin/chromium";
const screenshot = new URL("../../doc/pictures/page.png", import.meta.url).pathname;
const types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".wasm": "application/wasm" };

let server, browser, page, origin, folder, downloads;

before(async () => {
  server = createServer((request, response) => {
    const path = join(webDir, decodeURIComponent(new URL(request.url, "http://x").pathname));
    if (!path.startsWith(webDir) || !existsSync(path) || statSync(path).isDirectory()) {
      const index = join(path, "index.html");
      if (existsSync(index)) return createReadStream(index).pipe(response.writeHead(200, { "content-type": types[".html"] }));
      return response.writeHead(404).end();
    }
    createReadStream(path).pipe(response.writeHead(200, { "content-type": types[extname(path)] ?? "application/octet-stream" }));
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  origin = `http://127.0.0.1:${server.address().port}/`;
  folder = workFolder();
  downloads = join(folder, "downloads");
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--disable-quic", "--font-render-hinting=none"],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 1080 });
  const session = await page.createCDPSession();
  await session.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  await page.goto(origin, { waitUntil: "networkidle0" });
});

after(async () => {
  await browser?.close();
  server?.close();
});

async function choose(path) {
  const input = await page.$("#file");
  await input.uploadFile(path);
}

// Runs the action, then waits for a result newer than the one shown before it.
async function andWait(action) {
  const shown = await page.$eval("#status", (status) => Number(status.dataset.done ?? 0));
  await action();
  await page.waitForFunction((before) => Number(document.getElementById("status").dataset.done ?? 0) > before &&
                                         !document.getElementById("status").textContent.startsWith("Working"),
                             { timeout: 20000 }, shown);
}

async function setTolerance(value) {
  await page.$eval("#tolerance", (slider, v) => {
    slider.value = String(v);
    slider.dispatchEvent(new Event("input", { bubbles: true }));
  }, value);
}

async function download(button, suffix) {
  await page.click(button);
  for (let tries = 0; tries < 100; ++tries) {
    const file = existsSync(downloads) && readdirSync(downloads).find((f) => f.endsWith(suffix));
    if (file) {
      await new Promise((resolve) => setTimeout(resolve, 100));
      return join(downloads, file);
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error(`no ${suffix} was downloaded`);
}

test("the page flattens a picture as the host does, and saves it", async () => {
  const input = join(folder, "picture.png");
  writePng(input, testPicture(160, 96, false, 5), 3);
  await andWait(() => choose(input));
  await andWait(() => setTolerance(60));
  assert.match(await page.$eval("#status", (status) => status.textContent), /colours at tolerance 60 /);
  execFileSync(host, ["--tolerance", "60", "--palette", join(folder, "host.gpl"), input, join(folder, "host.png")]);
  const want = decodeRgba(join(folder, "host.png"));
  const shown = await page.$eval("#after", (canvas) =>
    Array.from(canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data));
  assert.deepEqual(Uint8ClampedArray.from(shown), want.data);

  const hostGpl = readFileSync(join(folder, "host.gpl"), "utf8");
  const swatches = await page.$$eval("#palette li", (items) => items.map((item) => item.textContent));
  assert.equal(swatches.length, hostGpl.split("\n").filter((line) => /^ *\d/.test(line)).length);

  assert.ok(swatches.length <= 256);
  const saved = await download("#savePng", "_flat.png");
  assert.equal(png.decode(readFileSync(saved)).palette?.length, swatches.length, "an indexed PNG");
  assert.deepEqual(decodeRgba(saved).data, want.data);
  assert.equal(readFileSync(await download("#saveGpl", "_flat.gpl"), "utf8"), hostGpl);
});

test("every control has a label, and the page fits 360 px", async () => {
  const unlabelled = await page.$$eval("input, select, button", (controls) =>
    controls.filter((control) => control.type !== "file" && !control.labels?.length &&
                                 !control.getAttribute("aria-label") && !control.textContent.trim())
            .map((control) => control.id));
  assert.deepEqual(unlabelled, []);
  await page.setViewport({ width: 360, height: 740 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 360), "no sideways scrolling");
  await page.setViewport({ width: 1100, height: 1080 });
});

test("a broken file is refused with a message, and the page goes on", async () => {
  const broken = join(folder, "broken.png");
  writeFileSync(broken, readFileSync(samplePath("astronaut.png")).subarray(0, 200));
  await choose(broken);
  await page.waitForFunction(() => document.getElementById("message").textContent.includes("Could not read"));
  assert.match(await page.$eval("#message", (m) => m.textContent), /broken\.png: not a picture/);
});

test("the README's screenshot is current", async () => {
  await page.goto(origin, { waitUntil: "networkidle0" });
  await andWait(() => choose(samplePath("astronaut.png")));
  await andWait(() => page.$eval("#colors", (field) => {
    field.value = "8";
    field.dispatchEvent(new Event("change", { bubbles: true }));
  }));
  assert.match(await page.$eval("#status", (status) => status.textContent), /^[1-8] colours at tolerance/);
  // The time it took is not part of the picture.
  await page.$eval("#status", (status) => (status.textContent = status.textContent.replace(/ \(\d+ ms\)/, "")));
  const taken = join(folder, "page.png");
  await page.screenshot({ path: taken });
  if (process.env.QUENVALE_UPDATE_SCREENSHOT) writeFileSync(screenshot, readFileSync(taken));
  const same = existsSync(screenshot) &&
    Buffer.compare(Buffer.from(decodeRgba(taken).data), Buffer.from(decodeRgba(screenshot).data)) === 0;
  assert.ok(same, `doc/pictures/page.png is not the page as it is now (${taken}); ` +
                  "run the test with QUENVALE_UPDATE_SCREENSHOT=1 to take it anew");
});
