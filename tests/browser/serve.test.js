// gwctl serve used as a technician would: Debian's headless Chromium, driven over the DevTools
// protocol, clicks the page's buttons and the popups' keys.
// Usage: node serve.test.js GWCTL [SCREENSHOT.png]
"use strict";
const { test, before, after } = require("node:test");
const assert = require("node:assert");
const { spawn } = require("node:child_process");
const fs = require("node:fs");
const os = require("node:os");
const path = require("node:path");
const { launchChromium } = require("./chromium");

const gwctl = process.argv[2];
const screenshot = process.argv[3];
const scenarios = path.join(__dirname, "..", "..", "samples", "scenarios");
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "gwctl-browser-"));
let browser;
const servers = [];

before(async () => {
  assert.ok(gwctl && fs.existsSync(gwctl), "usage: node serve.test.js GWCTL [SCREENSHOT]");
  browser = await launchChromium(scratch);
});

after(async () => {
  if (browser) await browser.close();
  const codes = await Promise.all(servers.map(stop));
  fs.rmSync(scratch, { recursive: true, force: true });
  assert.deepStrictEqual(codes, codes.map(() => 0), "every server ends cleanly on SIGTERM");
});

// A scenario file in the scratch folder: a sample with members replaced.
function scenario(sample, changes) {
  const data = JSON.parse(fs.readFileSync(path.join(scenarios, sample), "utf8"));
  Object.assign(data, changes.top || {});
  Object.assign(data.communication.releases, changes.releases || {});
  const file = path.join(scratch, `scenario-${servers.length}.json`);
  fs.writeFileSync(file, JSON.stringify(data));
  return file;
}

// gwctl serve on a free loopback port, with a log folder of its own.
function serve(scenarioFile, extra = []) {
  const logs = fs.mkdtempSync(path.join(scratch, "logs-"));
  const child = spawn(gwctl, ["serve", "--device", `emu:${scenarioFile}`, "--logs", logs,
                              "--listen", "127.0.0.1:0", ...extra]);
  const server = { child, logs, exited: new Promise((done) => child.on("exit", done)) };
  servers.push(server);
  return new Promise((resolve, reject) => {
    let out = "";
    child.stderr.on("data", (data) => process.stderr.write(data));
    child.stdout.on("data", (data) => {
      out += data;
      const match = /gwctl serving on (http:\/\/127\.0\.0\.1:\d+\/)/.exec(out);
      if (match) resolve(Object.assign(server, { url: match[1] }));
    });
    child.on("exit", (code) => reject(new Error(`gwctl serve exited (${code}): ${out}`)));
  });
}

async function stop(server) {
  if (server.child.exitCode === null) server.child.kill("SIGTERM");
  return server.exited;
}

async function open(server) {
  const page = await browser.newPage();
  await page.goto(server.url);
  // The first state drawn, not only the stream open: drawing it moves the buttons (the device's
  // text can wrap the header), and a click aimed before it would land beside them.
  await page.waitForFunction(() => document.getElementById("link").textContent === "connected" &&
                                    document.getElementById("rows").rows.length > 0);
  return page;
}

const text = (page, selector) => page.$eval(selector, (node) => node.textContent);
const idle = (page) => page.waitForFunction(() => !document.getElementById("busy").textContent &&
                                                  document.getElementById("message").textContent);
// The published values as the page shows them.
const values = (page) => page.$$eval("#values tr", (rows) =>
  Object.fromEntries(rows.map((r) => [r.cells[0].textContent, r.cells[1].textContent])));
const verdicts = (page) => page.$$eval("#rows tr", (rows) =>
  rows.map((r) => Array.from(r.cells, (c) => c.textContent)));
const popupRoot = (page) => page.$eval("#popup", (node) => node.dataset.root);

async function clickKeys(page, keys) {
  for (const key of keys) {
    await page.click(`#popup button[data-code="${key.charCodeAt(0)}"]`);
    await page.waitForFunction((typed) => document.getElementById("popup-entry").textContent
      .endsWith(typed), {}, key);
  }
}

test("behind: Check shows values and verdicts; Update brings it to the disk release, " +
     "rounds live; a second click is refused while it runs", async () => {
  // Slow updates and resets, so that the update's progress shows as on a terminal.
  const server = await serve(scenario("behind.json", { top: { latency_ms: 20,
    request_latency_ms: { "0x00400000": 400, "0x80000000": 300 } } }));
  const page = await open(server);
  await page.click("#check");
  await idle(page);
  assert.deepStrictEqual((await verdicts(page)).map((r) => [r[0], r[1], r[3], r[4], r[5], r[6]]),
    [["LC", "KLEM_12345_R4.2.1", "KLEM_12345_R4.2.1", "matches", "Same", "yes"],
     ["PROM", "KLEM_PROM_R1.9.8", "KLEM_PROM_R2.0.3", "matches", "Older", "yes"],
     ["BS", "KLEM_BOOT_R1.2.0", "KLEM_BOOT_R1.4.0", "matches", "Older", "yes"],
     ["CPLD", "STANDARD BEXA CPLD", "custom CPLD rule: none configured", "matches", "Same",
      "(custom-cpld)"],
     ["MAC", "KLEM_MAC_R3.1", "no release file by design", "matches", "Same", "(none)"]]);
  // The sample firmware is signed by the sample key, which its own trust folder holds.
  assert.match(await text(page, "#folder"),
               /^Firmware folder: signed by sample-publisher, sequence \d+, every file matches/);
  const before = await values(page);
  assert.strictEqual(before.HLX_SerialNum, "HX100307");
  assert.strictEqual(before.HLX_PROM_Release_Untrimmed, "KLEM_PROM_R1.9.8");
  assert.match(await text(page, "#message"), /Differences remain/);

  // What the page shows while the update runs: round rows and progress lines, as they come.
  await page.evaluate(() => {
    window.seen = [];
    new MutationObserver(() => window.seen.push({
      busy: document.getElementById("busy").textContent,
      rounds: document.querySelectorAll("#rounds tr").length,
      progress: document.getElementById("progress").textContent,
    })).observe(document.body, { subtree: true, childList: true, characterData: true });
  });
  await page.click("#update");
  await page.waitForFunction(() => document.getElementById("busy").textContent);
  await page.click("#update");
  await page.waitForFunction(() => !document.getElementById("notice").hidden);
  assert.match(await text(page, "#notice"), /update is running/);
  await idle(page);
  const seen = await page.evaluate(() => window.seen);
  assert.ok(seen.some((s) => s.busy && s.rounds === 1), "the first round shown while running");
  assert.ok(seen.some((s) => /^gwctl: updating (PROM|BS): \d+\.\d s$/.test(s.progress)),
            "the update's progress shown");
  assert.deepStrictEqual(await page.$$eval("#rounds tr", (rows) =>
    rows.map((r) => Array.from(r.cells, (c) => c.textContent))), [
    ["1", "BS", "succeeded", "KLEM_BOOT_R1.4.0", "KLEM_BOOT_R1.4.0", "took"],
    ["2", "PROM", "succeeded", "KLEM_PROM_R2.0.3", "KLEM_PROM_R2.0.3", "took"]]);
  assert.ok((await verdicts(page)).every((r) => r[5] === "Same"));
  assert.strictEqual((await values(page)).HLX_Bootstrap_Release_Untrimmed, "KLEM_BOOT_R1.4.0");
  assert.match(await text(page, "#message"), /^Update: 2 rounds\. Up to date/);
  assert.strictEqual(await text(page, "#list"), "HX100307,R4.2.1,R2.0.3,R1.4.0");
  // The history, newest first: the update with its rounds, then the check before it.
  await page.waitForFunction(() => document.querySelectorAll("#history tr").length === 2);
  assert.deepStrictEqual(await page.$$eval("#history tr", (rows) =>
    rows.map((r) => [r.cells[2].textContent, r.cells[4].textContent,
                     /BS took KLEM_BOOT_R1.4.0, PROM took KLEM_PROM_R2.0.3/.test(r.cells[5].textContent)])),
    [["update", "HX100307", true], ["check", "HX100307", false]]);
  await page.close();
});

test("lost serial: the keyboard popup typed by clicking its keys repairs the serial number",
     async () => {
  const server = await serve(path.join(scenarios, "lost-serial-typed.json"));
  const page = await open(server);
  await page.setViewport({ width: 1100, height: 900 });
  await page.click("#check");
  await page.waitForSelector("#popup .keys");
  assert.match(await text(page, "#popup .titlebar"), /\[kbd\]/);
  assert.match(await text(page, "#popup .body"), /serial number printed on the communication/);
  assert.ok(await page.$eval("#popup-tick", (node) => node.hidden), "no tick before a key");
  await clickKeys(page, "HX10024");
  if (screenshot) await page.screenshot({ path: screenshot });
  await clickKeys(page, "1");
  await page.click("#popup-tick");
  await page.waitForFunction(() => /restored/.test(document.getElementById("overlay").textContent));
  assert.match(await text(page, "#popup .titlebar"), /\(i\)/);
  await page.click("#popup-tick");
  await idle(page);
  assert.ok(await page.$eval("#overlay", (node) => node.hidden));
  assert.strictEqual((await values(page)).HLX_SerialNum, "HX100241");
  assert.match(await text(page, "#list"), /^HX100241,/m);
  await page.close();
});

test("lost serial: hidden cross, go back, a reload and a browser that goes away", async () => {
  let page = await open(await serve(path.join(scenarios, "lost-serial-typed.json")));
  await page.click("#check");
  await page.waitForSelector("#popup .keys");
  const root = await popupRoot(page);
  await clickKeys(page, "HX9");
  await page.reload();
  await page.waitForSelector("#popup .keys");
  assert.strictEqual(await popupRoot(page), root, "the same popup after a reload");
  assert.strictEqual(await text(page, "#popup-entry"), "HX9");
  // The serial-number entry hides its cross: no button, and a press sent anyway is dropped.
  assert.ok(await page.$eval("#popup-cross", (node) => node.hidden));
  assert.strictEqual(await page.evaluate(async (popupRootId) => (await fetch("/api/popup", {
    method: "POST", body: JSON.stringify({ root: Number(popupRootId), button: "cross" }),
    headers: { "X-Gwctl-Token": document.querySelector('meta[name="gwctl-token"]').content },
  })).status, root), 200);
  await new Promise((done) => setTimeout(done, 300));
  assert.strictEqual(await popupRoot(page), root, "a hidden cross closes nothing");
  await page.click("#popup-back");
  await page.waitForFunction((first) => document.getElementById("popup") &&
    document.getElementById("popup").dataset.root !== first, {}, root);
  assert.match(await text(page, "#popup .body"), /matches no known unit/);
  await page.click("#popup-back");
  await page.waitForFunction(() => /could not be restored/.test(document.getElementById("overlay")
    .textContent));
  await page.click("#popup-tick");
  await idle(page);
  assert.ok(await page.$eval("#overlay", (node) => node.hidden));
  assert.strictEqual((await values(page)).HLX_SerialNum, "");

  await page.close();

  // A page that goes away: the popup ends as the cross would, and the check with it.
  const server = await serve(path.join(scenarios, "lost-serial-typed.json"),
                             ["--popup-timeout", "1.5"]);
  page = await open(server);
  await page.click("#check");
  await page.waitForSelector("#popup .keys");
  await page.close();
  // Each poll of the state counts as a page seen, so the polls come two timeouts apart: a slow
  // machine gets more rounds, and a popup that never closes fails after them.
  let state;
  for (let round = 0; round < 10 && !(state && state.busy === null); ++round) {
    await new Promise((done) => setTimeout(done, 3000));
    state = await (await fetch(new URL("api/state", server.url))).json();
  }
  assert.strictEqual(state.busy, null, "the check has ended");
  // A stream opened now starts with the state as it is, not the one the last page saw.
  const stream = await fetch(new URL("api/events", server.url));
  const reader = stream.body.getReader();
  const decoder = new TextDecoder();
  let first = "";
  while (!first.includes("\n\n")) {
    const { done, value } = await reader.read();
    assert.ok(!done, "the event stream ended before its first event");
    first += decoder.decode(value, { stream: true });
  }
  await reader.cancel();
  const firstState = JSON.parse(first.replace(/^data: /, ""));
  assert.deepStrictEqual([firstState.busy, firstState.popup], [null, null], "a stale first event");
  page = await open(server);
  assert.ok(await page.$eval("#overlay", (node) => node.hidden), "no popup left open");
  assert.strictEqual(await text(page, "#busy"), "");
  assert.match(await text(page, "#message"), /Up to date/);
  await page.close();
});

test("outside input: device texts shown as text; no token, 403; a large body, 413", async () => {
  const hostile = "<script>window.pwned=1</script><img src=x onerror=window.pwned=1>";
  const server = await serve(scenario("behind.json", { releases: { cable: hostile } }));
  const page = await open(server);
  await page.click("#check");
  await idle(page);
  assert.strictEqual((await values(page)).HLX_MAC_Firmware_Release_Untrimmed, hostile);
  assert.strictEqual(await page.evaluate(() => window.pwned), undefined);
  assert.strictEqual(await page.$$eval("script", (nodes) => nodes.length), 1);
  const statuses = await page.evaluate(async () => {
    const token = document.querySelector('meta[name="gwctl-token"]').content;
    const send = (headers, body) => fetch("/api/check", { method: "POST", headers, body })
      .then((r) => r.status);
    return [await send({}, "{}"), await send({ "X-Gwctl-Token": "0" }, "{}"),
            await send({ "X-Gwctl-Token": token }, "x".repeat(5000))];
  });
  assert.deepStrictEqual(statuses, [403, 403, 413]);
  await page.close();
});
