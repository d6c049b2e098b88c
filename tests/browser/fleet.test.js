// The fleet page of gwfleet serve as an admin uses it, in Debian's headless Chromium driven over
// the DevTools protocol, against a real collector and database (gatewayutils_fleet_page_server).
// Usage: node fleet.test.js FLEET-PAGE-SERVER FIRMWARE-FOLDER [SCREENSHOT.png]
"use strict";
const { test, before, after } = require("node:test");
const assert = require("node:assert");
const { spawn } = require("node:child_process");
const fs = require("node:fs");
const http = require("node:http");
const os = require("node:os");
const path = require("node:path");
const { launchChromium } = require("./chromium");

const [program, firmware, screenshot] = process.argv.slice(2);
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), "gwfleet-browser-"));
const hostile = "<script>window.pwned=1</script>";
const policy = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; " +
  "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
let browser;
let server;

before(async () => {
  assert.ok(program && fs.existsSync(program) && firmware,
            "usage: node fleet.test.js FLEET-PAGE-SERVER FIRMWARE-FOLDER [SCREENSHOT]");
  const child = spawn(program, [firmware], { stdio: ["pipe", "pipe", "inherit"] });
  const exited = new Promise((done) => child.on("exit", done));
  server = await new Promise((resolve, reject) => {
    let out = "";
    child.stdout.on("data", (data) => {
      out += data;
      const match = /^(http:\/\/127\.0\.0\.1:(\d+)\/) (\S+)\n/.exec(out);
      if (match) resolve({ child, exited, url: match[1], port: Number(match[2]), token: match[3] });
    });
    child.on("exit", (code) => reject(new Error(`the fleet page server exited (${code}): ${out}`)));
  });
  browser = await launchChromium(scratch);
});

after(async () => {
  if (browser) await browser.close();
  let code = 0;
  if (server) {
    server.child.stdin.end();  // the server stops gwfleet serve and ends
    code = await server.exited;
  }
  fs.rmSync(scratch, { recursive: true, force: true });
  assert.strictEqual(code, 0, "the collector ends cleanly");
});

// A plain request from node, with the Host header given (none: null): status, headers and body.
function fetchRaw(target, host) {
  return new Promise((resolve, reject) => {
    const request = http.get({ host: "127.0.0.1", port: server.port, path: target, setHost: false,
                               headers: host === null ? {} : { Host: host } }, (response) => {
      let body = "";
      response.on("data", (data) => { body += data; });
      response.on("end", () => resolve({ status: response.statusCode, headers: response.headers,
                                         body }));
    });
    request.on("error", reject);
  });
}

const text = (page, selector) => page.$eval(selector, (node) => node.textContent);
// Waits until the element is seen, and the other of the form and the fleet is not.
const shown = (page, id) => page.waitForFunction((which) => {
  const other = which === "login" ? "fleet" : "login";
  return document.getElementById(which).checkVisibility() &&
    !document.getElementById(other).checkVisibility();
}, { timeout: 15000 }, id);
const rows = (page, id) => page.$$eval(`#${id} tr:not(.empty)`, (trs) =>
  trs.map((tr) => Array.from(tr.cells, (cell) => cell.textContent)));
const rowsAtLeast = (page, id, count) => page.waitForFunction((which, n) =>
  document.querySelectorAll(`#${which} tr:not(.empty)`).length >= n, { timeout: 15000 }, id, count);

async function logIn(page, token) {
  await page.goto(server.url);
  await shown(page, "login");
  await page.type("#token", token);
  await page.click("#login button[type=submit]");
}

test("the page's files: served without a token, each with its policy; a foreign Host, 403",
     async () => {
  const own = `127.0.0.1:${server.port}`;
  for (const [target, type] of [["/", "text/html"], ["/fleet.js", "text/javascript"],
                                ["/fleet.css", "text/css"]]) {
    const answer = await fetchRaw(target, own);
    assert.strictEqual(answer.status, 200, target);
    assert.ok(answer.headers["content-type"].startsWith(type), target);
    assert.strictEqual(answer.headers["content-security-policy"], policy, target);
    assert.strictEqual(answer.headers["x-content-type-options"], "nosniff", target);
    assert.strictEqual(answer.headers["referrer-policy"], "no-referrer", target);
    assert.strictEqual(answer.headers["cache-control"], "no-store", target);
  }
  // The page runs only its own files: no inline script, style or handler.
  const html = (await fetchRaw("/", own)).body;
  assert.deepStrictEqual(html.match(/<script[^>]*>/g), ['<script src="/fleet.js" defer>']);
  assert.doesNotMatch(html, /<style|\sstyle=|\son[a-z]+=/i);
  for (const target of ["/", "/fleet.js", "/api/v1/report/testers"]) {
    for (const host of [`attacker.example:${server.port}`, "127.0.0.1:1", null]) {
      assert.strictEqual((await fetchRaw(target, host)).status, 403, `${target} Host ${host}`);
    }
  }
  assert.strictEqual((await fetchRaw("/", `localhost:${server.port}`)).status, 200);
});

test("a wrong token: the form again, with the collector's words", async () => {
  const page = await browser.newPage();
  await logIn(page, "gwf_wrong");
  await page.waitForFunction(() => /refused/.test(document.getElementById("login-error")
    .textContent), { timeout: 15000 });
  assert.match(await text(page, "#login-error"), /unknown or revoked/);
  await shown(page, "login");
  assert.strictEqual(await page.evaluate(() => sessionStorage.length), 0, "no token kept");
  await page.close();
});

test("the admin's token: testers, sets, the devices behind, failures and a device's history",
     async () => {
  const page = await browser.newPage();
  await page.setViewport({ width: 1200, height: 1000 });
  await logIn(page, server.token);
  await shown(page, "fleet");
  await rowsAtLeast(page, "testers", 2);
  const testers = await rows(page, "testers");
  assert.deepStrictEqual(testers.map((r) => [r[0], r[1], r[3], r[5]]),
    [[hostile, "none", "1", "0"], ["bench-2", "line-1", "3", "0"]]);
  // The tester's name is outside input: shown as text, never run.
  assert.strictEqual(await page.evaluate(() => window.pwned), undefined);
  assert.strictEqual(await page.$$eval("script", (nodes) => nodes.length), 1);

  await rowsAtLeast(page, "sets", 1);
  assert.deepStrictEqual((await rows(page, "sets")).map((r) => [r[0], r[2], r[4]]),
                         [["line-a", "1", "line-1"]]);
  assert.strictEqual(await page.$eval("#set", (node) => node.value), "line-a");
  await rowsAtLeast(page, "behind", 1);
  assert.match(await text(page, "#behind-counts"), /^1 of 3 devices compared are behind line-a/);
  const behind = await rows(page, "behind");
  assert.ok(behind.every((r) => r[0] === "HX100307" && r[1] === "VCL" && r[3] === "bench-2"));
  assert.deepStrictEqual(behind.filter((r) => r[4] === "PROM").map((r) => r.slice(5, 7)),
                         [["KLEM_PROM_R1.9.8", "KLEM_PROM_R2.0.3"]]);
  assert.ok(behind.some((r) => r[4] === "PROM" && !/same/i.test(r[7])), "PROM's verdict");

  await rowsAtLeast(page, "failures", 1);
  assert.deepStrictEqual((await rows(page, "failures")).map((r) => [r[1], r[2], r[5], r[6]]),
                         [["bench-2", "2", "HX100307", "1"]]);

  await page.type("#serial", "HX100307");
  await page.click("#search button");
  await rowsAtLeast(page, "history", 2);
  assert.deepStrictEqual((await rows(page, "history")).map((r) => [r[2], r[3], r[5]]),
                         [["bench-2", "1", "0"], ["bench-2", "2", "1"]]);
  assert.match(await text(page, "#device"), /^HX100307: VCL, last seen .* by bench-2/);
  if (screenshot) await page.screenshot({ path: screenshot, fullPage: true });

  // A reload keeps the token of the tab; a token refused at a later refresh (revoked, say)
  // brings the form back with the collector's words.
  await page.reload();
  await shown(page, "fleet");
  await rowsAtLeast(page, "testers", 2);
  await page.evaluate(() => sessionStorage.setItem(sessionStorage.key(0), "gwf_revoked"));
  await shown(page, "login");
  assert.match(await text(page, "#login-error"), /unknown or revoked/);
  await page.close();
});
