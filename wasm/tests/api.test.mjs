// The JavaScript API against the native host on the same PNGs: the flatten
// under each option and every kernel, exact; its refusals; and its memory,
// given back after every call.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { test } from "node:test";
import { pathToFileURL } from "node:url";

import { decodeRgba, host, hostResult, needsHost, npmDir, samplePath, testPicture, workFolder, writePng } from "./helpers.mjs";

const { Quenvale } = await import(pathToFileURL(join(npmDir, "quenvale.js")).href);
const quenvale = await Quenvale.load();
const folder = workFolder();

const pictures = [
  ["astronaut.png", samplePath("astronaut.png")],
  ["rgba.png", join(folder, "rgba.png"), testPicture(97, 61, true)],
  ["rgb.png", join(folder, "rgb.png"), testPicture(64, 48, false, 3)],
];
for (const [, path, made] of pictures) if (made) writePng(path, made, made.data[3] === 255 ? 3 : 4);

test("the flatten gives the host's pixels, under every option", needsHost, () => {
  for (const [name, path] of pictures) {
    const source = decodeRgba(path);
    for (const [options, hostOptions] of [
      [{}, []],
      [{ tolerance: 45 }, ["--tolerance", "45"]],
      [{ fill: "mean" }, ["--fill", "mean"]],
      [{ colors: 12 }, ["--colors", "12"]],
      [{ colors: 12, firstFit: true }, ["--colors", "12", "--first-fit"]],
      [{ colors: 12, fill: "mean" }, ["--colors", "12", "--fill", "mean"]],
      [{ colors: 12, minRegion: 6 }, ["--colors", "12", "--min-region", "6"]],
      [{ tolerance: 30, minRegion: 3 }, ["--tolerance", "30", "--min-region", "3"]],
    ]) {
      const { imageData, palette, transparent } = quenvale.flatten(source, options);
      const want = hostResult(folder, path, ...hostOptions);
      assert.deepEqual(imageData.data, want.data, `${name} ${JSON.stringify(options)}`);
      assert.equal(palette.reduce((sum, entry) => sum + entry.count, 0) + transparent,
                   source.width * source.height);
      if (options.colors) assert.ok(palette.length <= options.colors);
      for (const entry of palette) {
        const at = (entry.y * source.width + entry.x) * 4;
        assert.deepEqual([...imageData.data.subarray(at, at + 3)], entry.color, `${name}: founder of ${entry.hex}`);
      }
    }
  }
});

test("palette and pin give the host's --remap and --pin pixels; readPalette reads as the host reads", needsHost, () => {
  const inks = ["#000000", "#ffffff", "#ff0000", "#00ff00", "#0000ff", "#ffff00", "#ff8000", "#28282880"];
  const text = join(folder, "inks.txt");
  writeFileSync(text, inks.join("\n") + "\n");
  const read = quenvale.readPalette("inks.txt", new TextEncoder().encode(inks.join("\n")));
  assert.deepEqual(read[7], [40, 40, 40, 128]);
  const pins = join(folder, "pins.gpl");
  writeFileSync(pins, "GIMP Palette\n255 0 255 magenta\n0 255 255 cyan\n");
  for (const [name, path] of pictures) {
    const source = decodeRgba(path);
    const remapped = quenvale.flatten(source, { palette: read });
    assert.deepEqual(remapped.imageData.data, hostResult(folder, path, "--remap", text).data, `${name} palette`);
    assert.equal(remapped.tolerance, null);
    const cleaned = quenvale.flatten(source, { palette: read, minRegion: 5 });
    assert.deepEqual(cleaned.imageData.data, hostResult(folder, path, "--remap", text, "--min-region", "5").data,
                     `${name} palette, minRegion`);
    const pinned = quenvale.flatten(source, { colors: 9, pin: [[255, 0, 255], "#00ffff"] });
    assert.deepEqual(pinned.imageData.data, hostResult(folder, path, "--colors", "9", "--pin", pins).data, `${name} pin`);
  }
  assert.throws(() => quenvale.readPalette("bad.gpl", new TextEncoder().encode("GIMP Palette\n1 2\n")), /line 2/);
  const good = testPicture(4, 3, false);
  for (const options of [{ palette: inks, tolerance: 3 }, { palette: inks, colors: 4 }, { pin: inks },
                         { pin: ["#zzzzzz"], colors: 4 }, { palette: [] }, { palette: [[1, 2, 300]] }]) {
    assert.throws(() => quenvale.flatten(good, options), TypeError, JSON.stringify(options));
  }
  assert.throws(() => quenvale.flatten(good, { pin: inks, colors: 3 }), RangeError);
  for (const minRegion of [0, 1.5, 2 ** 31]) assert.throws(() => quenvale.flatten(good, { minRegion }), /minRegion/);
});

test("toSvg gives the host's SVG of the same result", needsHost, () => {
  const [, path] = pictures[2];
  const svg = join(folder, "host.svg");
  execFileSync(host, ["--colors", "10", "--min-region", "4", path, svg]);
  const flat = quenvale.flatten(decodeRgba(path), { colors: 10, minRegion: 4 }).imageData;
  assert.equal(quenvale.toSvg(flat), readFileSync(svg, "utf8"));
});

test("every kernel gives the host's pixels", needsHost, () => {
  for (const [name, path] of pictures) {
    const source = decodeRgba(path);
    for (const filter of quenvale.filters.slice(1)) {
      const want = hostResult(folder, path, "--filter", filter);
      assert.deepEqual(quenvale.filter(source, filter).data, want.data, `${name} ${filter}`);
    }
  }
});

test("bad input throws what was expected", () => {
  const good = testPicture(4, 3, false);
  const cases = [
    [null, TypeError, /ImageData/],
    [{ width: 4, height: 3, data: [1, 2] }, TypeError, /Uint8ClampedArray/],
    [{ ...good, data: good.data.subarray(4) }, RangeError, /holds 44 bytes; 4 x 3 RGBA pixels take 48/],
    [{ ...good, width: 0 }, RangeError, /width must be from 1/],
    [{ ...good, height: 2.5 }, TypeError, /height must be a whole number/],
    [{ width: 65535, height: 65535, data: new Uint8Array(4) }, RangeError, /more than/],
  ];
  for (const [image, kind, words] of cases) {
    assert.throws(() => quenvale.flatten(image), { name: kind.name, message: words });
    assert.throws(() => quenvale.filter(image, "blur"), { name: kind.name, message: words });
  }
  for (const [options, kind] of [
    [{ tolerance: 256 }, RangeError],
    [{ tolerance: "20" }, TypeError],
    [{ colors: 0 }, RangeError],
    [{ fill: "median" }, RangeError],
    [{ tolerance: 20, colors: 8 }, TypeError],
    [{ firstFit: true }, TypeError],
  ]) {
    assert.throws(() => quenvale.flatten(good, options), kind);
  }
  assert.throws(() => quenvale.filter(good, "sharpen"), { name: "RangeError", message: /unknown filter sharpen/ });
});

test("a picture beyond the module's memory is refused, and memory is given back after every call", () => {
  // 2 GiB is all the module may have: 600 MP cannot fit.
  const width = 30000, height = 20000;
  const huge = { width, height, data: { length: width * height * 4 } };
  Object.setPrototypeOf(huge.data, Uint8Array.prototype);
  assert.throws(() => quenvale.flatten(huge), { name: "RangeError", message: /not enough memory/ });

  // One round grows the heap to what the calls need; every round after
  // finds it all given back.
  const picture = testPicture(4000, 3000, false);  // 12 MP
  const round = () => {
    for (let i = 0; i < 40; ++i) quenvale.flatten(picture, { tolerance: i });
    quenvale.filter(picture, "blur");
    quenvale.filter(picture, "darkest");
  };
  round();
  const grown = quenvale.memoryBytes;
  round();
  round();
  assert.equal(quenvale.memoryBytes, grown);
});
