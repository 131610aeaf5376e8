// What the Node and browser tests share: the npm package's module, the
// PNG codec of the page (fast-png), the native host, and pictures made here.
import { execFileSync } from "node:child_process";
import { existsSync, mkdtempSync, readFileSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

export const host = process.env.QUENVALE_HOST;
// The tests that compare with the host skip where there is none.
export const needsHost = { skip: host && existsSync(host) ? false : `no native host at ${host}: build the default preset first` };
export const npmDir = process.env.QUENVALE_NPM;
export const depsDir = process.env.QUENVALE_DEPS ?? new URL("../../web/node_modules", import.meta.url).pathname;
export const png = await import(pathToFileURL(join(depsDir, "fast-png/lib/index.js")).href);

export function workFolder() {
  return mkdtempSync(join(tmpdir(), "quenvale-wasm-"));
}

// Any 8-bit PNG fast-png decodes, as RGBA.
export function decodeRgba(path) {
  const decoded = png.decode(readFileSync(path));
  const { width, height, channels, depth, palette } = decoded;
  if (depth !== 8 && !(palette && depth <= 8)) throw new Error(`${path}: depth ${depth} is not compared here`);
  const rgba = new Uint8ClampedArray(width * height * 4);
  const data = decoded.data;
  for (let i = 0; i < width * height; ++i) {
    let pixel;
    if (palette) {
      const index = depth === 8 ? data[i] : readPacked(data, i, width, depth);
      pixel = [...palette[index].slice(0, 3), palette[index][3] ?? 255];
    } else if (channels <= 2) {
      pixel = [data[i * channels], data[i * channels], data[i * channels], channels === 2 ? data[i * 2 + 1] : 255];
    } else {
      pixel = [data[i * channels], data[i * channels + 1], data[i * channels + 2], channels === 4 ? data[i * 4 + 3] : 255];
    }
    rgba.set(pixel, i * 4);
  }
  return { width, height, data: rgba };
}

function readPacked(data, i, width, depth) {
  const x = i % width;
  const rowBytes = Math.ceil((width * depth) / 8);
  const byte = data[Math.floor(i / width) * rowBytes + Math.floor((x * depth) / 8)];
  return (byte >> (8 - depth - ((x * depth) % 8))) & ((1 << depth) - 1);
}

// The host on a PNG, its output decoded.
export function hostResult(folder, input, ...options) {
  const output = join(folder, `host-${options.join("").replace(/[^A-Za-z0-9]/g, "")}.png`);
  execFileSync(host, [...options, "--keep-encoding", input, output]);
  return decodeRgba(output);
}

export function writePng(path, image, channels = 4) {
  const data = new Uint8Array(image.width * image.height * channels);
  for (let i = 0; i < image.width * image.height; ++i) {
    for (let c = 0; c < channels; ++c) data[i * channels + c] = image.data[i * 4 + c];
  }
  writeFileSync(path, png.encode({ width: image.width, height: image.height, data, channels, depth: 8 }));
}

// A picture with flat areas, gradients, noise and (with alpha) every alpha.
export function testPicture(width, height, alpha, seed = 7) {
  let state = seed;
  const random = () => ((state = (state * 1103515245 + 12345) >>> 0) >>> 16) & 0xff;
  const data = new Uint8ClampedArray(width * height * 4);
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const at = (y * width + x) * 4;
      data[at] = (x * 9) % 256;
      data[at + 1] = (y * 13) % 256;
      data[at + 2] = (x + y) % 3 ? random() & 0xf0 : 40;
      data[at + 3] = alpha ? (x * 255) / Math.max(1, width - 1) : 255;
    }
  }
  return { width, height, data };
}

// A photo's character, opaque, for the benchmarks: smooth fields of colour
// with edges between areas and sensor noise.
export function photo(width, height) {
  const data = new Uint8ClampedArray(width * height * 4);
  let state = 1;
  for (let y = 0; y < height; ++y) {
    for (let x = 0; x < width; ++x) {
      const at = (y * width + x) * 4;
      const edge = ((Math.floor(x / 700) + Math.floor(y / 900)) % 3 === 0) ? 0.6 : 1;
      for (let c = 0; c < 3; ++c) {
        state = (state * 1103515245 + 12345) >>> 0;
        const noise = ((state >>> 16) % 7) - 3;
        data[at + c] = edge * (128 + 90 * Math.sin(x / (300 + 70 * c)) * Math.cos(y / (500 - 60 * c))) + noise;
      }
      data[at + 3] = 255;
    }
  }
  return { width, height, data };
}

export function samplePath(name) {
  return new URL(`../../samples/${name}`, import.meta.url).pathname;
}
