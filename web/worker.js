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
  const started = performance.now();
  try {
    const { filter, tolerance, colors, fill } = request;
    let result;
    if (filter === "flatten") {
      // One or the other: a colour count chooses the palette.
      result = quenvale.flatten(picture, colors === undefined ? { tolerance, fill } : { colors, fill });
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
