// The fleet page: reads the collector's API with an admin's token (kept in this tab's
// sessionStorage) every 10 seconds and shows it. Everything shown is set as text: tester names,
// serial numbers and device texts come from outside.
"use strict";

(() => {
  const tokenKey = "gwfleet-admin-token";
  const refreshMs = 10000;
  const behindShown = 200;
  const failureDays = 7;
  const failuresShown = 200;
  const $ = (id) => document.getElementById(id);
  let refreshing = false;
  let again = false;  // asked for while refreshing: once more after it

  // A 401: the token is unknown or revoked, and the form is shown again.
  class Refused extends Error {}

  async function get(path) {
    const response = await fetch(path, {
      headers: { Authorization: `Bearer ${sessionStorage.getItem(tokenKey)}` },
      cache: "no-store",
    });
    const body = await response.json().catch(() => null);
    const said = body && typeof body.error === "string" ? body.error : response.statusText;
    if (response.status === 401) throw new Refused(`The token was refused: ${said}`);
    if (!response.ok) throw new Error(`${path.split("?")[0]}: ${response.status} ${said}`);
    return body;
  }

  const text = (value) => (value === null || value === undefined ? "" : String(value));

  // The rows of a table's body, each an array of cells: a value, or [value, class].
  function fill(id, rows, empty) {
    const body = $(id);
    const made = rows.map((cells) => {
      const row = document.createElement("tr");
      for (const value of cells) {
        const cell = row.insertCell();
        const [shown, kind] = Array.isArray(value) ? value : [value, ""];
        cell.textContent = text(shown);
        if (kind) cell.className = kind;
      }
      return row;
    });
    if (made.length === 0 && empty) {
      const row = document.createElement("tr");
      row.className = "empty";
      const cell = row.insertCell();
      cell.colSpan = body.parentElement.tHead.rows[0].cells.length;
      cell.textContent = empty;
      made.push(row);
    }
    body.replaceChildren(...made);
  }

  function note(id, message) {
    $(id).textContent = message;
    $(id).hidden = !message;
  }

  const gap = ([first, last]) => (first === last ? `${first}` : `${first}-${last}`);

  async function showTesters() {
    const { testers } = await get("/api/v1/report/testers");
    fill("testers", testers.map((t) => [
      t.name, t.group || "none", t.last_sync || "never", t.events, t.highest_seq,
      [t.missing, t.missing > 0 ? "bad" : ""], (t.gaps || []).map(gap).join(", "),
      [`${t.clock_flagged ? "off" : "ok"} (${t.clock_seconds} s)`, t.clock_flagged ? "bad" : ""],
    ]), "No tester has synced yet.");
  }

  // The sets, and the chooser of the set whose behind devices are shown.
  async function showSets() {
    const { sets } = await get("/api/v1/sets");
    fill("sets", sets.map((s) => [s.name, s.publication, s.sequence, s.published,
                                  s.groups.length ? s.groups.join(", ") : "no group"]),
         "No set has been published.");
    const chooser = $("set");
    const chosen = chooser.value;
    chooser.replaceChildren(...sets.map((s) => new Option(s.name, s.name)));
    if (sets.some((s) => s.name === chosen)) chooser.value = chosen;
    return sets.length > 0;
  }

  async function showBehind() {
    const set = $("set").value;
    if (!set) {
      $("behind-counts").textContent = "";
      fill("behind", [], "No set to compare with.");
      return;
    }
    const report = await get(`/api/v1/report/behind?set=${encodeURIComponent(set)}` +
                             `&limit=${behindShown}`);
    const listed = report.devices.length;
    const shown = listed < report.behind ? ` (the first ${listed} shown)` : "";
    $("behind-counts").textContent = `${report.behind} of ${report.compared} devices compared ` +
      `are behind ${report.set} (publication ${report.publication}, sequence ` +
      `${report.sequence})${shown}.`;
    const rows = [];
    for (const d of report.devices) {
      for (const c of d.codes) {
        rows.push([d.serial, d.card, d.last_seen, d.last_tester, c.code, c.device, c.set,
                   [c.verdict, /same/i.test(text(c.verdict)) ? "good" : "bad"]]);
      }
    }
    fill("behind", rows, "No device is behind this set.");
  }

  async function showFailures() {
    const since = new Date(Date.now() - failureDays * 86400000).toISOString()
      .replace(/\.\d+Z$/, "Z");
    const { failures } = await get(`/api/v1/report/failures?since=${since}` +
                                   `&limit=${failuresShown}`);
    fill("failures", failures.map((f) => [f.received, f.tester, f.seq, f.operation, f.card,
                                          f.serial, [f.exit, "bad"], f.what]),
         "No failure in the last 7 days.");
  }

  async function showDevice() {
    const serial = $("serial").value.trim();
    if (!serial) {
      $("device").textContent = "";
      fill("history", [], "");
      return;
    }
    const report = await get(`/api/v1/report/device?serial=${encodeURIComponent(serial)}`);
    const d = report.device;
    $("device").textContent = d
      ? `${d.serial}: ${d.card}, last seen ${d.last_seen} by ${d.last_tester}; releases: ` +
        (Object.entries(d.releases || {}).map(([code, release]) => `${code} ${release}`)
          .join(", ") || "none known")
      : `${report.serial}: not in the inventory.`;
    fill("history", report.events.map((e) => [e.tester_time, e.received, e.tester, e.seq,
                                              e.operation, [e.exit, e.exit === 0 ? "" : "bad"],
                                              e.what]),
         "No event of this serial number.");
  }

  function showLogin(message) {
    sessionStorage.removeItem(tokenKey);
    $("fleet").hidden = true;
    $("forget").hidden = true;
    $("updated").textContent = "";
    $("login-error").textContent = message || "";
    $("login").hidden = false;
    $("token").focus();
  }

  // One section's outcome: its error said in its place, a refused token ends them all.
  function report(outcome, noteId) {
    note(noteId, outcome.status === "rejected" ? outcome.reason.message : "");
    return outcome.status === "rejected" && outcome.reason instanceof Refused
      ? outcome.reason.message : null;
  }

  async function refresh() {
    if (refreshing) {
      again = true;
      return;
    }
    if (!sessionStorage.getItem(tokenKey)) return;
    refreshing = true;
    try {
      const [testers, sets, failures, device] = await Promise.allSettled(
        [showTesters(), showSets(), showFailures(), showDevice()]);
      const behind = sets.status === "fulfilled" ? (await Promise.allSettled([showBehind()]))[0]
                                                 : sets;
      const refused = [[testers, "testers-note"], [sets, "sets-note"], [behind, "behind-note"],
                       [failures, "failures-note"], [device, "device-note"]]
        .map(([outcome, id]) => report(outcome, id)).find((m) => m);
      if (refused) {
        showLogin(refused);
      } else {
        $("updated").textContent = `Updated ${new Date().toLocaleTimeString()}`;
      }
    } finally {
      refreshing = false;
    }
    if (again) {
      again = false;
      refresh();
    }
  }

  function start() {
    $("login").hidden = true;
    $("fleet").hidden = false;
    $("forget").hidden = false;
    refresh();
  }

  $("login").addEventListener("submit", (event) => {
    event.preventDefault();
    sessionStorage.setItem(tokenKey, $("token").value.trim());
    $("token").value = "";
    start();
  });
  $("forget").addEventListener("click", () => showLogin(""));
  $("search").addEventListener("submit", (event) => {
    event.preventDefault();
    refresh();
  });
  $("set").addEventListener("change", () => refresh());
  setInterval(refresh, refreshMs);
  if (sessionStorage.getItem(tokenKey)) {
    start();
  } else {
    showLogin("");
  }
})();
