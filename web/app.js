// The page: a picture read by the browser itself, flattened in a worker as
// the settings change (a newer request supersedes one not yet sent), shown
// before and after, its palette as swatches, and saved as a PNG (indexed
// where it has 256 colours or fewer), as an SVG and as palette files.
import { decode, encode } from "./vendor/fast-png/index.js";

// Pixels the page takes: about 400 MB of RGBA in the worker's memory at most.
const MAX_PIXELS = 100_000_000;
const $ = (id) => document.getElementById(id);
const worker = new Worker("worker.js", { type: "module" });

let nextId = 1;
let pictureId = 0;  // the request that sent the current picture
let busy = false;
let waiting = null;  // the newest request not yet sent
let shown = null;    // the result on screen: {width, height, data, palette, tolerance, transparent, name}
let name = "picture";
let remap = null;            // a palette file's colours, {name, colors}, while the page remaps to it
const pinned = new Set();    // swatches' colours pinned, "#rrggbb"

function say(text) {
  $("message").textContent = text;
}

function settings() {
  const colors = $("colors").value === "" ? undefined : Number($("colors").value);
  const tolerance = colors === undefined ? Number($("tolerance").value) : undefined;
  const minRegion = $("minRegion").value === "" ? undefined : Number($("minRegion").value);
  return { filter: $("filter").value, tolerance, colors, fill: $("fill").value, palette: remap?.colors,
           pin: [...pinned], minRegion };
}

function send(request) {
  if (busy) {
    waiting = request;  // supersedes any other not yet sent
    return;
  }
  busy = true;
  request.sent = performance.now();
  worker.postMessage(request);
}

function ask() {
  if (pictureId === 0) return;
  const request = { id: nextId++, asked: performance.now(), ...settings() };
  if (request.colors !== undefined && !(Number.isInteger(request.colors) && request.colors >= 1 &&
                                        request.colors <= 65536)) {
    say("The number of colours is a whole number from 1 to 65536.");
    return;
  }
  if (request.minRegion !== undefined && !(Number.isInteger(request.minRegion) && request.minRegion >= 1 &&
                                           request.minRegion <= 2147483647)) {
    say("The smallest region is a whole number of pixels from 1 to 2147483647.");
    return;
  }
  $("status").textContent = "Working…";
  send(request);
}

const DOWNLOADS = ["savePng", "saveSvg", "saveGpl", "saveJson"];

worker.onmessage = ({ data: reply }) => {
  if (reply.svg !== undefined || reply.svgError) {
    // Asked apart from the flatten's queue: it leaves the queue as it was.
    if (reply.svgError) say(`Could not make the SVG: ${reply.svgError}`);
    else save(reply.svg, "image/svg+xml", "_flat.svg");
    return;
  }
  busy = false;
  if (reply.paletteColors || reply.paletteError) {
    tookPalette(reply);
    if (waiting) {
      const next = waiting;
      waiting = null;
      send(next);
    }
    return;
  }
  if (waiting) {
    const next = waiting;
    waiting = null;
    send(next);
  }
  if (reply.filters) {
    const select = $("filter");
    const chosen = select.value;
    select.replaceChildren(...reply.filters.map((filter) => new Option(filter, filter, false, filter === chosen)));
    ask();
    return;
  }
  if (reply.id < pictureId || waiting) return;  // an older picture's, or already superseded
  if (reply.error) {
    say(`Could not work on this picture: ${reply.error}`);
    $("status").textContent = "";
    shown = null;
    showPalette(null);
    for (const button of DOWNLOADS) $(button).disabled = true;
    return;
  }
  say("");
  const { width, height } = reply;
  const data = new Uint8ClampedArray(reply.data);
  $("after").getContext("2d").putImageData(new ImageData(data, width, height), 0, 0);
  shown = { width, height, data, palette: reply.palette, tolerance: reply.tolerance, error: reply.largestError,
            transparent: reply.transparent, name };
  showPalette(reply.palette);
  // A colour count chooses the palette, not a tolerance: the slider says so.
  if (settings().colors !== undefined && reply.palette) $("toleranceValue").textContent = "chosen";
  const how = remap ? `of ${remap.name}` : pinned.size !== 0 && settings().colors !== undefined ? `chosen, ${pinned.size} pinned` : "chosen";
  const made = reply.tolerance === null ? `${how}, the largest error ${reply.largestError}` : `at tolerance ${reply.tolerance}`;
  const colours = reply.palette ? `${reply.palette.length} colours ${made}` : "done";
  $("status").textContent = `${colours} (${Math.round(reply.milliseconds)} ms)`;
  $("status").dataset.done = String(reply.id);
  // From the setting's change to the picture on screen, for the benchmark.
  $("status").dataset.latency = String(Math.round(performance.now() - reply.asked));
  // The palette files need a palette; a kernel's result has none.
  for (const button of DOWNLOADS) $(button).disabled = (button === "saveGpl" || button === "saveJson") && !reply.palette;
};

// The swatches, each a button that pins its colour (or lets it go): a
// pinned colour stays among those a number of colours chooses.
function showPalette(palette) {
  const list = $("palette");
  list.replaceChildren();
  for (const entry of palette ?? []) {
    const item = document.createElement("li");
    const button = document.createElement("button");
    button.type = "button";
    button.className = "pin";
    button.setAttribute("aria-pressed", String(pinned.has(entry.hex)));
    button.title = "pin this colour";
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    swatch.style.background = entry.hex;
    button.append(swatch, `${entry.hex} ${entry.count.toLocaleString("en")} px`);
    button.addEventListener("click", () => {
      if (pinned.has(entry.hex)) pinned.delete(entry.hex); else pinned.add(entry.hex);
      button.setAttribute("aria-pressed", String(pinned.has(entry.hex)));
      if (settings().colors !== undefined) ask();
    });
    item.append(button);
    list.append(item);
  }
}

// A palette file read by the worker (the tool's own reader): remap to it,
// or say why not.
function tookPalette(reply) {
  if (reply.paletteError) {
    say(`Could not remap: ${reply.paletteError}`);
    return;
  }
  remap = { name: $("remap").files[0]?.name ?? "the palette", colors: reply.paletteColors };
  $("remapName").textContent = remap.name;
  $("clearRemap").hidden = false;
  for (const id of ["tolerance", "colors", "fill"]) $(id).disabled = true;
  say("");
  ask();
}

// A PNG's own samples as RGBA (16-bit ones by their high byte, as the
// flatten sees them): a canvas would store alpha premultiplied and lose the
// colours of partly transparent pixels. Null for a PNG too large.
function rgbaOfPng(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (bytes.length < 24 || view.getUint32(16) * view.getUint32(20) > MAX_PIXELS) return null;
  const { width, height, data, depth, channels, palette, transparency } = decode(bytes);
  const rgba = new Uint8ClampedArray(width * height * 4);
  const high = depth === 16 ? (value) => value >> 8 : depth < 8 && !palette ? (value) => value * (255 / ((1 << depth) - 1)) : (value) => value;
  const rowBytes = Math.ceil((width * channels * depth) / 8);
  const sample = (i, c) => {
    if (depth >= 8) return data[i * channels + c];
    const x = i % width, bit = (x * depth) % 8;
    return (data[Math.floor(i / width) * rowBytes + Math.floor((x * depth) / 8)] >> (8 - depth - bit)) & ((1 << depth) - 1);
  };
  for (let i = 0; i < width * height; ++i) {
    let pixel;
    if (palette) {
      const entry = palette[sample(i, 0)] ?? [0, 0, 0];
      pixel = [entry[0], entry[1], entry[2], entry[3] ?? 255];
    } else {
      const grey = channels <= 2;
      const values = grey ? [sample(i, 0), sample(i, 0), sample(i, 0)] : [sample(i, 0), sample(i, 1), sample(i, 2)];
      const keyed = transparency && (grey ? transparency[0] === values[0]
                                          : values.every((value, c) => transparency[c] === value));
      const alpha = channels === 2 || channels === 4 ? high(sample(i, channels - 1)) : keyed ? 0 : 255;
      pixel = [...values.map(high), alpha];
    }
    rgba.set(pixel, i * 4);
  }
  return new ImageData(rgba, width, height);
}

// A refused picture leaves nothing of the last one: no picture, palette,
// status or downloads that would belong to another file.
function clearResult() {
  shown = null;
  pictureId = 0;
  waiting = null;
  showPalette(null);
  $("status").textContent = "";
  for (const id of ["before", "after"]) $(id).getContext("2d").clearRect(0, 0, $(id).width, $(id).height);
  for (const button of DOWNLOADS) $(button).disabled = true;
}

async function open(file) {
  name = file.name || "pasted.png";
  const bytes = new Uint8Array(await file.arrayBuffer());
  const isPng = bytes.length > 8 && bytes[0] === 0x89 && bytes[1] === 0x50 && bytes[2] === 0x4e && bytes[3] === 0x47;
  let picture = null;
  try {
    if (isPng) {
      picture = rgbaOfPng(bytes);
    } else {
      // The file's own pixels: no colour management, no premultiplied alpha.
      const bitmap = await createImageBitmap(file, { colorSpaceConversion: "none", premultiplyAlpha: "none" });
      if (bitmap.width * bitmap.height <= MAX_PIXELS) {
        const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
        const context = canvas.getContext("2d", { willReadFrequently: true });
        context.drawImage(bitmap, 0, 0);
        picture = context.getImageData(0, 0, bitmap.width, bitmap.height, { colorSpace: "srgb" });
      }
      bitmap.close();
    }
  } catch {
    clearResult();
    say(`Could not read ${name}: not a picture this browser decodes (PNG, JPEG, WebP, GIF).`);
    return;
  }
  if (picture === null) {
    clearResult();
    say(`${name} is more than the ${MAX_PIXELS.toLocaleString("en")} pixels this page takes.`);
    return;
  }
  const { width, height } = picture;
  for (const canvas of [$("before"), $("after")]) {
    canvas.width = width;
    canvas.height = height;
  }
  $("before").getContext("2d").putImageData(picture, 0, 0);
  $("after").getContext("2d").clearRect(0, 0, width, height);
  say("");
  pictureId = nextId++;
  waiting = null;
  send({ id: pictureId, picture: { width, height, data: picture.data } });
}

function save(bytes, type, suffix) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob([bytes], { type }));
  link.download = name.replace(/\.[^.]*$/, "") + suffix;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

// The result as a PNG: indexed where its colours fit a palette.
function pngOf({ width, height, data }) {
  const colours = new Map();
  const indices = new Uint8Array(width * height);
  for (let i = 0; i < width * height && colours.size <= 256; ++i) {
    const key = data[i * 4] << 24 | data[i * 4 + 1] << 16 | data[i * 4 + 2] << 8 | data[i * 4 + 3];
    if (!colours.has(key)) colours.set(key, colours.size);
    indices[i] = colours.get(key);
  }
  if (colours.size <= 256) {
    const palette = [...colours.keys()].map((key) => [key >>> 24, (key >>> 16) & 255, (key >>> 8) & 255, key & 255]);
    const opaque = palette.every((entry) => entry[3] === 255);
    return encode({ width, height, data: indices, depth: 8, channels: 1,
                    palette: opaque ? palette.map((entry) => entry.slice(0, 3)) : palette });
  }
  return encode({ width, height, data: new Uint8Array(data.buffer, data.byteOffset, data.length), depth: 8,
                  channels: 4 });
}

// The palette files, as the tool writes them.
// How the palette was made, as the tool's files say it.
function madeOf({ tolerance, error }) {
  return tolerance === null ? `chosen, each a colour of the picture, the largest error ${error} on a channel`
                            : `at tolerance ${tolerance}, in the order they were founded`;
}

function gplOf({ palette, tolerance, error, transparent, name: title }) {
  const lines = palette.map(({ color: [r, g, b], hex, count, x, y }) =>
    `${String(r).padStart(3)} ${String(g).padStart(3)} ${String(b).padStart(3)}\t${hex} ${count} px, founder ${x},${y}`);
  const clear = transparent ? `# ${transparent} fully transparent pixels, no colour\n` : "";
  return `GIMP Palette\nName: ${title}\nColumns: 16\n# ${palette.length} colours ${madeOf({ tolerance, error })}\n` +
         `${clear}${lines.join("\n")}\n`;
}

function jsonOf({ palette, tolerance, error, transparent, name: title }) {
  const entries = palette.map(({ color, hex, count, x, y }) =>
    `  {"hex": "${hex}", "rgb": [${color.join(", ")}], "stored": [${color.join(", ")}], "count": ${count}, ` +
    `"founder": {"x": ${x}, "y": ${y}}}`);
  const clear = transparent ? `, "transparent": ${transparent}` : "";
  const made = tolerance === null ? `"chosen": true, "largest_error": ${error}` : `"tolerance": ${tolerance}`;
  return `{"name": ${JSON.stringify(title)}, ${made}${clear}, "colors": [\n${entries.join(",\n")}\n]}\n`;
}

$("file").addEventListener("change", () => $("file").files[0] && open($("file").files[0]));
$("drop").addEventListener("keydown", (event) => {
  if (event.key === "Enter" || event.key === " ") {
    event.preventDefault();
    $("file").click();
  }
});
$("drop").addEventListener("dragover", (event) => event.preventDefault());
$("drop").addEventListener("drop", (event) => {
  event.preventDefault();
  if (event.dataTransfer.files[0]) open(event.dataTransfer.files[0]);
});
document.addEventListener("paste", (event) => {
  const file = [...event.clipboardData.files][0];
  if (file) open(file);
});
$("tolerance").addEventListener("input", () => {
  $("toleranceValue").textContent = $("tolerance").value;
  ask();
});
// A colour count chooses the palette: the slider then cannot be moved, as
// the tool takes one or the other, and says so.
function followColors() {
  $("tolerance").disabled = $("colors").value !== "";
  $("tolerance").title = $("tolerance").disabled ? "the colours are chosen by their number" : "";
  $("toleranceValue").textContent = $("tolerance").disabled ? "chosen" : $("tolerance").value;
}
for (const event of ["input", "change"]) $("colors").addEventListener(event, followColors);
followColors();
for (const id of ["colors", "filter", "fill", "minRegion"]) $(id).addEventListener("change", ask);
$("remap").addEventListener("change", async () => {
  const file = $("remap").files[0];
  if (!file) return;
  const bytes = await file.arrayBuffer();
  send({ id: nextId++, paletteFile: { name: file.name, bytes } });
});
$("clearRemap").addEventListener("click", () => {
  remap = null;
  $("remap").value = "";
  $("clearRemap").hidden = true;
  for (const id of ["colors", "fill"]) $(id).disabled = false;
  followColors();
  ask();
});
$("view").addEventListener("change", () => ($("pictures").className = $("view").value));
$("split").addEventListener("input", () => $("pictures").style.setProperty("--split", `${$("split").value}%`));
$("savePng").addEventListener("click", () => shown && save(pngOf(shown), "image/png", "_flat.png"));
// The SVG is traced by the worker from the result on screen, when asked.
$("saveSvg").addEventListener("click", () => shown && worker.postMessage({
  svgOf: { width: shown.width, height: shown.height, data: shown.data },
}));
$("saveGpl").addEventListener("click", () => shown?.palette && save(gplOf(shown), "text/plain", "_flat.gpl"));
$("saveJson").addEventListener("click", () => shown?.palette && save(jsonOf(shown), "application/json", "_flat.json"));
