// The packed tarball installed into a fresh folder, as a user installs it,
// and used from there by its name: it flattens a picture as the API does.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { writeFileSync } from "node:fs";
import { join } from "node:path";
import { test } from "node:test";

import { workFolder } from "./helpers.mjs";

test("npm installs the tarball, and it flattens a picture", () => {
  const folder = workFolder();
  writeFileSync(join(folder, "package.json"), JSON.stringify({ name: "user", private: true, type: "module" }));
  // It depends on nothing: the install reaches no registry.
  execFileSync("npm", ["install", "--offline", "--no-audit", "--no-fund", "--silent", process.env.QUENVALE_TARBALL],
               { cwd: folder });
  writeFileSync(join(folder, "use.js"), `
    import { Quenvale } from "quenvale";
    const quenvale = await Quenvale.load();
    const data = new Uint8ClampedArray(4 * 4 * 4).map((_, i) => (i % 4 === 3 ? 255 : (i * 37) % 256));
    const { imageData, palette } = quenvale.flatten({ width: 4, height: 4, data }, { colors: 3 });
    console.log(JSON.stringify({ length: imageData.data.length, entries: palette.length, filters: quenvale.filters }));
  `);
  const printed = JSON.parse(execFileSync("node", ["use.js"], { cwd: folder, encoding: "utf8" }));
  assert.equal(printed.length, 64);
  assert.ok(printed.entries >= 1 && printed.entries <= 3);
  assert.deepEqual(printed.filters, ["flatten", "red", "green", "blue", "gray", "threshold", "blur", "darkest"]);
});
