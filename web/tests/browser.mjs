// The page served as static files on a port of its own, and Debian's
// Chromium headless, driven by puppeteer-core: what the page's test and its
// benchmark share.
import { createReadStream, existsSync, statSync } from "node:fs";
import { createServer } from "node:http";
import { extname, join } from "node:path";
import { pathToFileURL } from "node:url";

const types = { ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".wasm": "application/wasm" };

export async function servePage(webDir) {
  const server = createServer((request, response) => {
    let path = join(webDir, decodeURIComponent(new URL(request.url, "http://x").pathname));
    if (existsSync(path) && statSync(path).isDirectory()) path = join(path, "index.html");
    if (!path.startsWith(webDir) || !existsSync(path)) return response.writeHead(404).end();
    createReadStream(path).pipe(response.writeHead(200, { "content-type": types[extname(path)] ?? "application/octet-stream" }));
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  return { server, origin: `http://127.0.0.1:${server.address().port}/` };
}

export async function launchChromium(deps, executablePath = process.env.QUENVALE_CHROMIUM ?? "/usr/bin/chromium") {
  const entry = join(deps, "puppeteer-core/lib/esm/puppeteer/puppeteer-core.js");
  const puppeteer = (await import(pathToFileURL(entry).href)).default;
  // Headless as root; no calls home, which this machine's closed network refuses.
  return puppeteer.launch({
    executablePath,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--disable-quic", "--font-render-hinting=none"],
  });
}

// Runs the action, then waits for a result newer than the one shown before it.
export async function andWait(page, action) {
  const shown = await page.$eval("#status", (status) => Number(status.dataset.done ?? 0));
  await action();
  await page.waitForFunction((before) => Number(document.getElementById("status").dataset.done ?? 0) > before &&
                                         !document.getElementById("status").textContent.startsWith("Working"),
                             { timeout: 60000 }, shown);
}

export async function setTolerance(page, value) {
  await page.$eval("#tolerance", (slider, v) => {
    slider.value = String(v);
    slider.dispatchEvent(new Event("input", { bubbles: true }));
  }, value);
}
