// The page in headless Chromium (Debian's, driven by puppeteer-core) served
// as static files: a picture chosen, the tolerance set, the result read from
// the page and compared with the host's for the same file, exact; the
// swatches, the downloaded PNG, SVG and palette, a broken file's message, and the
// README's screenshot, which must be current.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { existsSync, readdirSync, readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { after, before, test } from "node:test";

import { decodeRgba, depsDir, needsHost, png, samplePath, testPicture, workFolder, writePng } from "../../wasm/tests/helpers.mjs";
import { andWait as andWaitOn, launchChromium, servePage, setTolerance as setToleranceOn } from "./browser.mjs";

const screenshot = new URL("../../doc/pictures/page.png", import.meta.url).pathname;

let server, browser, page, origin, folder, downloads;
const andWait = (action) => andWaitOn(page, action);
const setTolerance = (value) => setToleranceOn(page, value);

before(async () => {
  ({ server, origin } = await servePage(process.env.QUENVALE_WEB));
  folder = workFolder();
  downloads = join(folder, "downloads");
  browser = await launchChromium(depsDir);
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

test("the page flattens a picture as the host does, and saves it", needsHost, async () => {
  const input = join(folder, "picture.png");
  writePng(input, testPicture(160, 96, false, 5), 3);
  await andWait(() => choose(input));
  await andWait(() => setTolerance(60));
  assert.match(await page.$eval("#status", (status) => status.textContent), /colours at tolerance 60 /);
  execFileSync(process.env.QUENVALE_HOST, ["--tolerance", "60", "--palette", join(folder, "host.gpl"), input, join(folder, "host.png")]);
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

test("the newest setting wins when the slider moves faster than the flatten", needsHost, async () => {
  const input = join(folder, "quick.png");
  writePng(input, testPicture(600, 400, false, 9), 3);
  await andWait(() => choose(input));
  await andWait(async () => {
    for (const tolerance of [5, 12, 27, 33, 41]) await setTolerance(tolerance);
  });
  await page.waitForFunction(() => / at tolerance 41 /.test(document.getElementById("status").textContent));
  await new Promise((resolve) => setTimeout(resolve, 300));  // no older result may land after it
  execFileSync(process.env.QUENVALE_HOST, ["--tolerance", "41", input, join(folder, "quick-host.png")]);
  const shown = await page.$eval("#after", (canvas) =>
    Array.from(canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data));
  assert.deepEqual(Uint8ClampedArray.from(shown), decodeRgba(join(folder, "quick-host.png")).data);
  assert.match(await page.$eval("#status", (status) => status.textContent), / at tolerance 41 /);
});

test("a partly transparent PNG keeps its own samples: the saved PNG is the host's", needsHost, async () => {
  const input = join(folder, "alpha.png");
  writePng(input, testPicture(120, 80, true, 4), 4);
  await andWait(() => choose(input));
  await andWait(() => setTolerance(25));
  execFileSync(process.env.QUENVALE_HOST, ["--tolerance", "25", input, join(folder, "alpha-host.png")]);
  const saved = await download("#savePng", "alpha_flat.png");
  assert.deepEqual(decodeRgba(saved).data, decodeRgba(join(folder, "alpha-host.png")).data);
});

test("a .gpl remaps the picture and a clicked swatch is pinned, as the host does both", needsHost, async () => {
  const input = join(folder, "inks.png");
  writePng(input, testPicture(90, 60, false, 8), 3);
  const gpl = join(folder, "inks.gpl");
  writeFileSync(gpl, "GIMP Palette\nName: inks\n0 0 0\tblack\n255 255 255\twhite\n255 0 0\tred\n0 0 255\tblue\n");
  await andWait(() => choose(input));
  await andWait(async () => (await page.$("#remap")).uploadFile(gpl));
  assert.match(await page.$eval("#status", (status) => status.textContent), /colours of inks\.gpl/);
  execFileSync(process.env.QUENVALE_HOST, ["--remap", gpl, input, join(folder, "inks-host.png")]);
  const canvas = () => page.$eval("#after", (after) =>
    Array.from(after.getContext("2d").getImageData(0, 0, after.width, after.height).data));
  assert.deepEqual(Uint8ClampedArray.from(await canvas()), decodeRgba(join(folder, "inks-host.png")).data);
  await andWait(() => page.click("#clearRemap"));
  await andWait(() => page.$eval("#colors", (field) => {
    field.value = "6";
    field.dispatchEvent(new Event("change", { bubbles: true }));
  }));
  const hex = await page.$eval("#palette li:last-child button", (button) => button.textContent.split(" ")[0]);
  await andWait(() => page.click("#palette li:last-child button"));
  assert.match(await page.$eval("#status", (status) => status.textContent), /chosen, 1 pinned/);
  writeFileSync(join(folder, "pin.txt"), hex + "\n");
  execFileSync(process.env.QUENVALE_HOST, ["--colors", "6", "--pin", join(folder, "pin.txt"), input, join(folder, "pin-host.png")]);
  assert.deepEqual(Uint8ClampedArray.from(await canvas()), decodeRgba(join(folder, "pin-host.png")).data);
  await page.goto(origin, { waitUntil: "networkidle0" });  // no pins nor count for the tests after
});

test("the smallest region removes specks and the SVG is the host's", needsHost, async () => {
  const input = join(folder, "specks.png");
  writePng(input, testPicture(80, 50, false, 6), 3);
  await andWait(() => choose(input));
  await andWait(() => page.$eval("#minRegion", (field) => {
    field.value = "7";
    field.dispatchEvent(new Event("change", { bubbles: true }));
  }));
  await andWait(() => setTolerance(35));
  const options = ["--tolerance", "35", "--min-region", "7"];
  execFileSync(process.env.QUENVALE_HOST, [...options, input, join(folder, "specks-host.png")]);
  execFileSync(process.env.QUENVALE_HOST, [...options, input, join(folder, "specks-host.svg")]);
  const shown = await page.$eval("#after", (canvas) =>
    Array.from(canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data));
  assert.deepEqual(Uint8ClampedArray.from(shown), decodeRgba(join(folder, "specks-host.png")).data);
  const saved = await download("#saveSvg", "specks_flat.svg");
  assert.equal(readFileSync(saved, "utf8"), readFileSync(join(folder, "specks-host.svg"), "utf8"));
  await page.goto(origin, { waitUntil: "networkidle0" });  // no smallest region for the tests after
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

test("the README's screenshot is current", async (context) => {
  await page.goto(origin, { waitUntil: "networkidle0" });
  await andWait(() => choose(samplePath("astronaut.png")));
  await andWait(() => page.$eval("#colors", (field) => {
    field.value = "8";
    field.dispatchEvent(new Event("change", { bubbles: true }));
  }));
  assert.match(await page.$eval("#status", (status) => status.textContent), /^[1-8] colours chosen, the largest error \d+/);
  // The time it took is not part of the picture.
  await page.$eval("#status", (status) => (status.textContent = status.textContent.replace(/ \(\d+ ms\)/, "")));
  const taken = join(folder, "page.png");
  await page.screenshot({ path: taken });
  // The text is drawn in the fonts fontconfig picks: the screenshot is
  // compared where they are the ones it was taken with, allowing the
  // antialiasing of another Chromium a few pixels.
  let fonts = "fc-match is not installed\n";
  try {
    fonts = ["sans-serif", "monospace"].map((family) =>
      execFileSync("fc-match", ["-f", "%{family[0]} %{style[0]}", family], { encoding: "utf8" })).join("; ") + "\n";
  } catch {}
  const fontsFile = screenshot.replace(/\.png$/, ".fonts");
  if (process.env.QUENVALE_UPDATE_SCREENSHOT) {
    writeFileSync(screenshot, readFileSync(taken));
    writeFileSync(fontsFile, fonts);
  }
  if (!existsSync(fontsFile) || readFileSync(fontsFile, "utf8") !== fonts) {
    context.skip(`the screenshot is not compared: its fonts are not these (${fonts.trim()})`);
    return;
  }
  const now = decodeRgba(taken), then = existsSync(screenshot) ? decodeRgba(screenshot) : null;
  let differing = Infinity;
  if (then && then.width === now.width && then.height === now.height) {
    differing = 0;
    for (let i = 0; i < now.data.length; i += 4) {
      if (now.data[i] !== then.data[i] || now.data[i + 1] !== then.data[i + 1] || now.data[i + 2] !== then.data[i + 2]) {
        ++differing;
      }
    }
  }
  assert.ok(differing <= now.width * now.height / 200,
            `doc/pictures/page.png is not the page as it is now (${taken}: ${differing} pixels differ); ` +
            "run the test with QUENVALE_UPDATE_SCREENSHOT=1 to take it anew");
});
