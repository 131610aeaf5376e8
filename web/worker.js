// The page's worker: the module loaded once, and each request flattened or
// filtered off the page's thread, so that the page follows the slider.
import { Quenvale } from "./quenvale.js";

const loading = Quenvale.load();
let picture = null;  // the picture last sent, kept here between requests

self.onmessage = async ({ data: request }) => {
  const quenvale = await loading;
  if (request.picture) {
    picture = request.picture;
    self.postMessage({ id: request.id, filters: quenvale.filters });
    return;
  }
  if (request.svgOf) {
    try {
      self.postMessage({ svg: quenvale.toSvg(request.svgOf) });
    } catch (error) {
      self.postMessage({ svgError: error.message });
    }
    return;
  }
  if (request.paletteFile) {
    try {
      const { name, bytes } = request.paletteFile;
      self.postMessage({ id: request.id, paletteColors: quenvale.readPalette(name, new Uint8Array(bytes)) });
    } catch (error) {
      self.postMessage({ id: request.id, paletteError: error.message });
    }
    return;
  }
  const started = performance.now();
  try {
    const { filter, tolerance, colors, fill, palette, pin, minRegion } = request;
    const specks = minRegion === undefined ? {} : { minRegion };
    let result;
    if (filter === "flatten" && palette) {
      result = quenvale.flatten(picture, { palette, ...specks });
    } else if (filter === "flatten") {
      // One or the other: a colour count chooses the palette, with any pinned colours.
      result = quenvale.flatten(picture, colors === undefined ? { tolerance, fill, ...specks }
                                         : pin.length !== 0 && fill === "founder" ? { colors, pin, ...specks }
                                                                                  : { colors, fill, ...specks });
    } else {
      result = { imageData: quenvale.filter(picture, filter), palette: null, tolerance };
    }
    const { width, height, data } = result.imageData;
    self.postMessage({ id: request.id, asked: request.asked, width, height, data, palette: result.palette,
                       tolerance: result.tolerance, largestError: result.error, transparent: result.transparent ?? 0, milliseconds: performance.now() - started }, [data.buffer]);
  } catch (error) {
    self.postMessage({ id: request.id, error: `${error.name}: ${error.message}` });
  }
};
