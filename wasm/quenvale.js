// Quenvale in JavaScript: the flatten and the kernels on RGBA pixels, in
// the browser or in Node, through the WebAssembly module. The results are
// the command-line tool's, pixel for pixel.
//
//   import { Quenvale } from "quenvale";
//   const quenvale = await Quenvale.load();
//   const { imageData, palette } = quenvale.flatten(imageData, { tolerance: 20 });
import createQuenvaleCore from "./quenvale-core.js";

const FILLS = ["founder", "mean"];
const MAX_COLORS = 65536;
const HEADER_WORDS = 5;  // before qv_flatten's entries
// ImageData's own limit on a side, and the pixels whose counts fit the
// module's 32-bit words.
const MAX_SIDE = 65535;
const MAX_PIXELS = 0xffffffff / 4;
const MAX_REGION = 2 ** 31 - 1;  // --min-region's most

function isNode() {
  return typeof process === "object" && typeof process.versions === "object" && !!process.versions.node;
}

function wholeNumber(value, name, low, high) {
  if (typeof value !== "number" || !Number.isInteger(value)) {
    throw new TypeError(`${name} must be a whole number from ${low} to ${high}, not ${String(value)}`);
  }
  if (value < low || value > high) {
    throw new RangeError(`${name} must be from ${low} to ${high}, not ${value}`);
  }
  return value;
}

// The picture's checks, with what was expected, before any memory is taken.
function checkImage(image) {
  if (image === null || typeof image !== "object") {
    throw new TypeError("expected an ImageData or {width, height, data} of RGBA pixels");
  }
  const { width, height, data } = image;
  wholeNumber(width, "width", 1, MAX_SIDE);
  wholeNumber(height, "height", 1, MAX_SIDE);
  if (!(data instanceof Uint8ClampedArray || data instanceof Uint8Array)) {
    throw new TypeError("data must be a Uint8ClampedArray or Uint8Array of RGBA pixels");
  }
  if (width * height > MAX_PIXELS) {
    throw new RangeError(`${width} x ${height} pixels, more than the ${MAX_PIXELS} taken`);
  }
  if (data.length !== width * height * 4) {
    throw new RangeError(`data holds ${data.length} bytes; ${width} x ${height} RGBA pixels take ${width * height * 4}`);
  }
  return { width, height, data };
}

// Colours as [r, g, b] or [r, g, b, a] of 0 to 255, or "#rrggbb(aa)",
// packed 0xAARRGGBB as the module takes them.
function packColors(colors, name) {
  if (!Array.isArray(colors) || colors.length < 1 || colors.length > MAX_COLORS) {
    throw new TypeError(`${name} must be an array of 1 to ${MAX_COLORS} colours`);
  }
  return Uint32Array.from(colors, (color) => {
    let parts = color;
    if (typeof color === "string" && /^#?([0-9a-f]{6}|[0-9a-f]{8})$/i.test(color)) {
      const hex = color.replace("#", "");
      parts = hex.match(/../g).map((pair) => parseInt(pair, 16));
    }
    if (!Array.isArray(parts) || (parts.length !== 3 && parts.length !== 4) ||
        !parts.every((v) => Number.isInteger(v) && v >= 0 && v <= 255)) {
      throw new TypeError(`${name}: each colour is [r, g, b], [r, g, b, a] of 0 to 255, or "#rrggbb", not ${String(color)}`);
    }
    const [r, g, b, a = 255] = parts;
    return ((a << 24) | (r << 16) | (g << 8) | b) >>> 0;
  });
}

function makeImage(width, height, pixels) {
  // ImageData where there is one (browsers, workers), else its shape.
  return typeof ImageData === "function" ? new ImageData(pixels, width, height) : { width, height, data: pixels };
}

export class Quenvale {
  /**
   * Loads the module: in the browser from beside this file, in Node from
   * its bytes (options.wasmBinary, or read from beside this file).
   */
  static async load(options = {}) {
    const settings = { ...options };
    if (!settings.wasmBinary && isNode()) {
      const { readFile } = await import("node:fs/promises");
      settings.wasmBinary = await readFile(new URL("./quenvale-core.wasm", import.meta.url));
    }
    return new Quenvale(await createQuenvaleCore(settings));
  }

  constructor(core) {
    this._core = core;
    const names = [];
    for (let i = 0; ; ++i) {
      const name = core._qv_filter_name(i);
      if (name === 0) break;
      names.push(core.UTF8ToString(name));
    }
    /** The filters by the tool's names: flatten first, then the kernels. */
    this.filters = Object.freeze(names);
  }

  /** The bytes the module's memory has grown to (it never shrinks). */
  get memoryBytes() {
    return this._core.HEAPU8.length;
  }

  // The pixels copied into the module, work(pointer) run on them, and the
  // result copied out; the module's storage is given back whatever happens.
  _withPixels(image, work) {
    const { width, height, data } = checkImage(image);
    const core = this._core;
    const pointer = core._qv_alloc_pixels(width, height);
    if (pointer === 0) {
      throw new RangeError(`not enough memory for a picture of ${width} x ${height} pixels`);
    }
    try {
      core.HEAPU8.set(data, pointer);
      const extra = work(pointer, width, height);
      const pixels = new Uint8ClampedArray(core.HEAPU8.subarray(pointer, pointer + width * height * 4));
      return { imageData: makeImage(width, height, pixels), ...extra };
    } finally {
      core._qv_free(pointer);
    }
  }

  /**
   * Flattens the colours: pixels are visited column by column, left to
   * right, each from the bottom row up, and each joins the oldest palette
   * entry within the tolerance on red, green and blue, or founds one.
   * Returns {imageData, palette, tolerance, transparent}; the palette lists
   * the entries in creation order as {color: [r, g, b], hex, count, x, y};
   * fully transparent pixels are no colour, counted in transparent. colors
   * gives at most that many colours instead, as the tool's --colors does:
   * each the picture's own, chosen to keep the error small (tolerance is
   * then null, and error the largest left on a channel), or with firstFit
   * the tolerance that fits; the two together are refused, as the tool
   * refuses them. minRegion then joins every region of one colour
   * (4-connected) smaller than that many pixels to the neighbouring colour
   * nearest its own, as the tool's --min-region does.
   */
  flatten(image, options = {}) {
    const minRegion = options.minRegion ?? 0;
    if (options.minRegion !== undefined) wholeNumber(minRegion, "minRegion", 1, MAX_REGION);
    if (options.palette !== undefined || options.pin !== undefined) return this._remap(image, options, minRegion);
    const { tolerance = 20, colors, fill = "founder", firstFit = false } = options;
    if (options.tolerance !== undefined && colors !== undefined) {
      throw new TypeError("colors chooses the tolerance: give tolerance or colors, not both");
    }
    wholeNumber(tolerance, "tolerance", 0, 255);
    if (colors !== undefined) wholeNumber(colors, "colors", 1, MAX_COLORS);
    if (!FILLS.includes(fill)) throw new RangeError(`fill must be "founder" or "mean", not ${String(fill)}`);
    if (typeof firstFit !== "boolean") throw new TypeError(`firstFit must be true or false, not ${String(firstFit)}`);
    if (firstFit && colors === undefined) throw new TypeError("firstFit goes with colors");
    const core = this._core;
    return this._withPixels(image, (pointer, width, height) => {
      const result = core._qv_flatten(pointer, width, height, tolerance, colors ?? 0, fill === "mean" ? 1 : 0,
                                      firstFit ? 1 : 0, minRegion);
      return this._takeBlock(result, `flatten ${width} x ${height} pixels`);
    });
  }

  // A flatten's or remap's block read and given back: its palette, its
  // tolerance (null where none was used, with the largest error then).
  _takeBlock(result, what) {
    const core = this._core;
    if (result === 0) throw new RangeError(`not enough memory to ${what}`);
    try {
      const words = core.HEAPU32.subarray(result >>> 2);
      if (words[0] !== 0) throw new RangeError(`not enough memory to ${what}`);
      const palette = [];
      for (let i = 0; i < words[2]; ++i) {
        const [packed, count, x, y] = words.subarray(HEADER_WORDS + 4 * i, HEADER_WORDS + 4 + 4 * i);
        const color = [packed >>> 16, (packed >>> 8) & 0xff, packed & 0xff];
        palette.push({ color, hex: "#" + packed.toString(16).padStart(6, "0"), count, x, y });
      }
      return words[1] === 0xffffffff ? { palette, tolerance: null, error: words[4], transparent: words[3] }
                                     : { palette, tolerance: words[1], transparent: words[3] };
    } finally {
      core._qv_free(result);
    }
  }

  // flatten's {palette} (the tool's --remap) and {colors, pin} (--pin).
  _remap(image, options, minRegion) {
    const { palette, pin, colors } = options;
    for (const name of ["tolerance", "fill", "firstFit"]) {
      if (options[name] !== undefined) throw new TypeError(`${name} does not go with palette or pin`);
    }
    if (palette !== undefined && (pin !== undefined || colors !== undefined)) {
      throw new TypeError("palette maps to its own colours: not with colors or pin");
    }
    if (pin !== undefined && colors === undefined) throw new TypeError("pin goes with colors");
    if (colors !== undefined) wholeNumber(colors, "colors", 1, MAX_COLORS);
    const given = packColors(palette ?? pin, palette !== undefined ? "palette" : "pin");
    if (colors !== undefined && given.length > colors) {
      throw new RangeError(`pin has ${given.length} colours, more than colors ${colors}`);
    }
    const core = this._core;
    return this._withPixels(image, (pointer, width, height) => {
      const words = core._qv_alloc_text(given.length * 4);
      if (words === 0) throw new RangeError("not enough memory for the palette");
      try {
        core.HEAPU32.set(given, words >>> 2);
        const result = core._qv_remap(pointer, width, height, words, given.length, colors ?? 0, minRegion);
        return this._takeBlock(result, `remap ${width} x ${height} pixels`);
      } finally {
        core._qv_free(words);
      }
    });
  }

  /**
   * A palette file's colours as [r, g, b, a] each, read as the tool reads
   * --remap's file, by its name's extension (.gpl, .json, .txt, .act): for
   * flatten's palette or pin. Throws a RangeError with the reason (and the
   * line) for a file the tool refuses.
   */
  readPalette(name, bytes) {
    if (typeof name !== "string") throw new TypeError("name must be the file's name, a string");
    if (!(bytes instanceof Uint8Array)) throw new TypeError("bytes must be a Uint8Array of the file");
    const core = this._core;
    const encoded = new TextEncoder().encode(name);
    const nameAt = core._qv_alloc_text(encoded.length);
    const textAt = core._qv_alloc_text(bytes.length);
    try {
      if (nameAt === 0 || textAt === 0) throw new RangeError("not enough memory for the palette");
      core.HEAPU8.set(encoded, nameAt);
      core.HEAPU8.set(bytes, textAt);
      const result = core._qv_parse_palette(nameAt, textAt, bytes.length);
      if (result === 0) throw new RangeError("not enough memory for the palette");
      try {
        const words = core.HEAPU32.subarray(result >>> 2);
        if (words[0] !== 0) throw new RangeError(`${name}: ${core.UTF8ToString(result + 8)}`);
        return Array.from(words.subarray(2, 2 + words[1]),
                          (c) => [(c >>> 16) & 0xff, (c >>> 8) & 0xff, c & 0xff, c >>> 24]);
      } finally {
        core._qv_free(result);
      }
    } finally {
      core._qv_free(nameAt);
      core._qv_free(textAt);
    }
  }

  /**
   * The pixels as the tool writes an SVG: one path for each region of one
   * colour along its pixels' edges, no overlaps and no gaps, rendering at
   * 1:1 to the same pixels; fully transparent pixels are left uncovered.
   */
  toSvg(image) {
    const core = this._core;
    let text = "";
    this._withPixels(image, (pointer, width, height) => {
      const result = core._qv_svg(pointer, width, height);
      if (result === 0) throw new RangeError(`not enough memory to trace ${width} x ${height} pixels`);
      try {
        text = core.UTF8ToString(result);
      } finally {
        core._qv_free(result);
      }
      return {};
    });
    return text;
  }

  /** Runs a kernel by the tool's name: red, green, blue, gray, threshold, blur or darkest. */
  filter(image, name) {
    const index = this.filters.indexOf(name);
    if (index < 0) {
      throw new RangeError(`unknown filter ${String(name)}; the filters are ${this.filters.join(", ")}`);
    }
    if (index === 0) return this.flatten(image).imageData;
    const core = this._core;
    return this._withPixels(image, (pointer, width, height) => {
      // The kernel by its name, as the tool takes it, not by a row number.
      const bytes = new TextEncoder().encode(name);
      const text = core._qv_alloc_text(bytes.length);
      if (text === 0) throw new RangeError(`not enough memory to filter ${width} x ${height} pixels`);
      let status;
      try {
        core.HEAPU8.set(bytes, text);
        status = core._qv_filter(pointer, width, height, text);
      } finally {
        core._qv_free(text);
      }
      if (status !== 0) throw new RangeError(`not enough memory to filter ${width} x ${height} pixels`);
      return {};
    }).imageData;
  }
}

export default Quenvale;
