// gwctl serve's page. Everything shown comes from the state as data and goes into the page
// through textContent only, never as markup: device texts are outside input.
"use strict";
const token = document.querySelector('meta[name="gwctl-token"]').content;
const $ = (id) => document.getElementById(id);

function el(tag, text, cls) {
  const node = document.createElement(tag);
  if (text !== undefined && text !== null) node.textContent = String(text);
  if (cls) node.className = cls;
  return node;
}
function row(cells) {
  const tr = el("tr");
  for (const cell of cells) tr.append(cell instanceof Node ? cell : el("td", cell));
  return tr;
}
function notice(text) {
  $("notice").textContent = text || "";
  $("notice").hidden = !text;
}

async function post(path, body) {
  let response;
  try {
    response = await fetch(path, { method: "POST", body: JSON.stringify(body || {}),
      headers: { "X-Gwctl-Token": token, "Content-Type": "application/json" } });
  } catch (e) {
    notice("The server cannot be reached: " + e.message);
    return;
  }
  let answer = {};
  try { answer = await response.json(); } catch (e) { answer = {}; }
  if (!response.ok) notice(answer.message || "Refused: HTTP " + response.status);
  else notice("");
}
for (const operation of ["check", "update", "cable"]) {
  $(operation).addEventListener("click", () => post("/api/" + operation));
}

function renderCheck(check) {
  const rows = $("rows");
  rows.replaceChildren();
  $("summary").textContent = "";
  $("folder").textContent = "";
  $("legacy").textContent = "";
  if (!check) {
    rows.append(row(["not checked yet: press Check"]));
    return;
  }
  for (const r of check.rows) {
    const verdict = el("td", r.verdict, "verdict-" + r.verdict);
    const compared = r.basis !== "release" ? "(" + r.basis + ")" : r.compared ? "yes" : "not compared";
    rows.append(row([r.code_type, el("td", r.device, "mono"), el("td", r.trimmed, "mono"),
                     el("td", r.disk_text, "mono"), r.manifest || "-", verdict, compared]));
  }
  $("summary").textContent = (check.read ? "" : "The device was not read. ") + "Summary: " +
    check.summary + " (" + check.compared_count + " of " + check.release_count +
    " releases compared with the disk)";
  $("folder").textContent = "Firmware folder: " + check.folder_text;
  $("folder").className = check.folder.usable ? (check.folder.verified ? "ok" : "warn") : "error";
  $("legacy").textContent = check.legacy.installed
    ? "Legacy tester software on the device: " + check.legacy.version
    : "No legacy tester software on the device.";
}

function renderState(state) {
  $("card").textContent = state.card;
  $("device").textContent = state.device;
  $("busy").textContent = state.busy ? state.busy + " running" : "";
  $("progress").textContent = state.progress ? state.progress.text : "";
  const message = state.message;
  $("message").textContent = message ? message.text : "";
  $("message").className = message ? message.level : "";
  renderCheck(state.check);
  const values = $("values");
  values.replaceChildren();
  for (const [name, value] of Object.entries(state.values)) {
    values.append(row([name, el("td", value, "mono")]));
  }
  const rounds = $("rounds");
  rounds.replaceChildren();
  for (const r of state.rounds) {
    rounds.append(row([r.number, r.code_type, r.result, el("td", r.expected, "mono"),
                       el("td", r.reported, "mono"),
                       el("td", r.took ? "took" : "FAILED" + (r.given_up ? ", given up" : ""),
                          r.took ? "ok" : "error")]));
  }
  const cable = state.cable;
  $("cable-result").textContent = cable
    ? "before " + cable.before + ", after " + cable.after + ", expected " + cable.expected +
      " (" + (cable.result || "no answer") + "): " + (cable.took ? "took" : "did not take")
    : "not updated in this run";
  $("list-file").textContent = state.list.file + (state.list.exists ? "" : " (none yet)");
  $("list").textContent = state.list.lines.join("\n");
  const history = $("history");
  history.replaceChildren();
  for (const e of [...state.history].reverse()) {
    history.append(row([e.seq, el("td", e.time, "mono"), e.operation, e.card || "",
                        el("td", e.serial || "", "mono"), e.summary]));
  }
  renderPopup(state.popup);
}

// The popup as the widget tree stands: labels in order (the title font as the title bar, a
// framed label as the entry field), the keyboard's keys and the buttons the dialog shows.
let popup = null;
let layout = "";
let nodes = [];  // per label: the elements that show its icon and its text
function renderPopup(next) {
  popup = next;
  $("overlay").hidden = !popup;
  // The popup's elements are made once and then changed in place, so that a click never lands
  // on an element that is being replaced.
  const shape = popup ? JSON.stringify([popup.root, !!popup.keyboard,
    popup.labels.map((l) => [l.font, l.framed, !!l.icon, l.text === ""])]) : "";
  if (shape !== layout) {
    layout = shape;
    $("overlay").replaceChildren();
    if (popup) $("overlay").append(buildPopup(popup));
  }
  if (!popup) return;
  popup.labels.forEach((label, i) => {
    if (nodes[i].icon) {
      nodes[i].icon.textContent = label.icon.glyph;
      nodes[i].icon.title = label.icon.name;
    }
    if (nodes[i].text) nodes[i].text.textContent = label.text;
    if (label.framed) nodes[i].text.style.minHeight = label.height + "px";
  });
  for (const name of ["back", "cross", "tick"]) $("popup-" + name).hidden = !popup.buttons[name];
}

function buildPopup(shown) {
  const box = el("div", null, "popup");
  box.id = "popup";
  box.dataset.root = shown.root;
  const title = el("div", null, "titlebar");
  const body = el("div", null, "body");
  nodes = shown.labels.map((label) => {
    const node = { icon: label.icon ? el("span", null, "icon") : null, text: null };
    if (node.icon) title.append(node.icon);
    if (label.font === 267) {
      node.text = el("b", null, "title");
      title.append(node.text);
    } else if (label.framed) {
      node.text = el("div", null, "entry");
      node.text.id = "popup-entry";
      body.append(node.text);
    } else if (label.text) {
      node.text = el("div", null, "label");
      if (label.font === 268) node.text.style.fontSize = "18px";
      body.append(node.text);
    }
    return node;
  });
  if (shown.keyboard) {
    const keys = el("div", null, "keys");
    const keyButton = (label, code) => {
      const button = el("button", label);
      button.dataset.code = code;
      button.addEventListener("click", () => post("/api/popup", { root: popup.root, key: code }));
      return button;
    };
    for (const line of shown.keyboard.rows) {
      const div = el("div");
      for (const ch of line) div.append(keyButton(ch, ch.charCodeAt(0)));
      keys.append(div);
    }
    const wide = el("div");
    for (const key of shown.keyboard.keys) wide.append(keyButton(key.label, key.code));
    keys.append(wide);
    body.append(keys);
  }
  const buttons = el("div", null, "buttons");
  for (const [name, label] of [["back", "\u2190 Go back"], ["cross", "\u2715 Cross"], ["tick", "\u2713 Tick"]]) {
    const button = el("button", label);
    button.id = "popup-" + name;
    button.addEventListener("click", () => post("/api/popup", { root: popup.root, button: name }));
    buttons.append(button);
  }
  box.append(title, body, buttons);
  return box;
}

// Typing on the computer's keyboard works as on the terminal: Enter the tick, Esc the cross,
// Backspace erases, any other character goes to the on-screen keyboard as it is.
document.addEventListener("keydown", (event) => {
  if (!popup || event.ctrlKey || event.altKey || event.metaKey) return;
  let message = null;
  if (event.key === "Enter" && popup.buttons.tick) message = { button: "tick" };
  else if (event.key === "Escape" && popup.buttons.cross) message = { button: "cross" };
  else if (event.key === "Backspace" && popup.keyboard) message = { key: 8 };
  else if (event.key.length === 1 && popup.keyboard) message = { key: event.key.charCodeAt(0) };
  if (!message) return;
  event.preventDefault();
  message.root = popup.root;
  post("/api/popup", message);
});

const events = new EventSource("/api/events");
events.onopen = () => { $("link").textContent = "connected"; };
events.onerror = () => { $("link").textContent = "connection lost, retrying"; };
events.onmessage = (event) => renderState(JSON.parse(event.data));
