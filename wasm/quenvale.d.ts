// Types of the quenvale package.
export interface RgbaImage {
  readonly width: number;
  readonly height: number;
  readonly data: Uint8ClampedArray | Uint8Array;
}

export interface PaletteEntry {
  /** The colour as the flatten saw it: red, green, blue. */
  color: [number, number, number];
  hex: string;
  /** The pixels that took the entry. */
  count: number;
  /** The founding pixel's column and row, row 0 at the top. */
  x: number;
  y: number;
}

export interface FlattenOptions {
  /** The reach per channel, 0 to 255 (20 by default). */
  tolerance?: number;
  /**
   * Instead of tolerance (the two together are refused): at most this many colours, each one the picture's own,
   * chosen to keep the error small, as the tool's --colors gives them.
   */
  colors?: number;
  /** With colors: the flatten at the tolerance that gives at most that many colours instead. */
  firstFit?: boolean;
  /** Each group's colour: its founder's (the default) or its mean. */
  fill?: "founder" | "mean";
  /** Every pixel to the nearest of these colours instead, as the tool's --remap: alone, with no other option. */
  palette?: Color[];
  /** With colors: these are the first of the colors, the chooser adding the rest, as the tool's --pin. */
  pin?: Color[];
  /** Then every region of one colour smaller than this many pixels joins its nearest neighbouring colour, as the tool's --min-region. */
  minRegion?: number;
}

/** [r, g, b], [r, g, b, a] of 0 to 255, or "#rrggbb" / "#rrggbbaa". */
export type Color = [number, number, number] | [number, number, number, number] | string;

export interface FlattenResult {
  imageData: ImageData | { width: number; height: number; data: Uint8ClampedArray };
  palette: PaletteEntry[];
  /** The tolerance used: the one given, or the one colors chose with firstFit; null where colors chose the palette. */
  tolerance: number | null;
  /** Where colors chose the palette: the largest difference of one channel between a pixel and its entry. */
  error?: number;
  /** Fully transparent pixels: no colour, in no palette entry. */
  transparent: number;
}

export class Quenvale {
  /** Loads the module: in the browser from beside this file, in Node from its bytes. */
  static load(options?: { wasmBinary?: ArrayBuffer | Uint8Array; locateFile?: (path: string) => string }): Promise<Quenvale>;
  /** The filters by the tool's names: flatten first, then the kernels. */
  readonly filters: readonly string[];
  /** The bytes the module's memory has grown to. */
  readonly memoryBytes: number;
  flatten(image: RgbaImage, options?: FlattenOptions): FlattenResult;
  /** A palette file's colours, [r, g, b, a] each, read as the tool reads --remap's; throws RangeError naming the line. */
  readPalette(name: string, bytes: Uint8Array): [number, number, number, number][];
  filter(image: RgbaImage, name: string): FlattenResult["imageData"];
  /** The pixels as the tool's SVG: a path a region along the pixels' edges, rendering to the same pixels. */
  toSvg(image: RgbaImage): string;
}

export default Quenvale;
