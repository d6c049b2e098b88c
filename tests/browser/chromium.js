// Debian's headless Chromium for the browser tests, driven with puppeteer-core (never a
// downloaded browser): GWU_CHROMIUM names another binary than /usr/bin/chromium. A profile of
// its own in the test's scratch folder.
const assert = require("node:assert");
const fs = require("node:fs");
const path = require("node:path");

async function launchChromium(scratch) {
  const chromium = process.env.GWU_CHROMIUM || "/usr/bin/chromium";
  assert.ok(fs.existsSync(chromium), `no browser at ${chromium}: install Debian's chromium ` +
    "(bash scripts/install-deps.sh --browser) or name one in GWU_CHROMIUM");
  let puppeteer;
  try {
    puppeteer = require("puppeteer-core");
  } catch (e) {
    assert.fail("puppeteer-core is missing: run npm ci in tests/browser");
  }
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync",
           `--user-data-dir=${fs.mkdtempSync(path.join(scratch, "profile-"))}`],
  });
}

module.exports = { launchChromium };
