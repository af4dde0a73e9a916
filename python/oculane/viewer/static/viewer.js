// The viewer page: one WebSocket brings images (only as many as this page
// has acknowledged: it is never sent more than it can show) and counters;
// features and acquisition go through small JSON requests.
"use strict";

const $ = (id) => document.getElementById(id);
const LEVELS = { Beginner: 0, Expert: 1, Guru: 2 };

// What the page knows; tests and the curious read it as window.oculane.
const state = {
  frameId: null, frames: 0, width: 0, height: 0, pixelFormat: null, imageError: null, acquiring: false, connected: false,
  status: null, errors: {}, tree: [],
  zoom: null, panX: 0, panY: 0,       // zoom null: fit to the stage
};
window.oculane = state;

function emit(name, detail) {
  window.dispatchEvent(new CustomEvent("oculane-" + name, { detail }));
}

// ---- image ------------------------------------------------------------------------

const canvas = $("image");
const context = canvas.getContext("2d");
const stage = $("stage");
const shownTimes = [];
let received = 0, drawn = 0;  // images in arrival order; an older one is never drawn over a newer

function connect() {
  const ws = new WebSocket(`ws://${location.host}/ws`);
  ws.binaryType = "arraybuffer";
  ws.onopen = () => {
    state.connected = true;
    $("connection").textContent = "online";
    $("connection").classList.add("online");
    ws.send("ack");  // ready for the first two images
    ws.send("ack");
  };
  ws.onclose = () => {
    state.connected = false;
    $("connection").textContent = "offline";
    $("connection").classList.remove("online");
    setTimeout(connect, 1000);
  };
  ws.onmessage = (message) => {
    if (typeof message.data === "string") {
      onText(JSON.parse(message.data));
    } else {
      onImage(message.data).finally(() => ws.readyState === WebSocket.OPEN && ws.send("ack"));
    }
  };
}

async function onImage(buffer) {
  const length = new DataView(buffer).getUint32(0);
  const meta = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
  $("frame-info").textContent = `frame ${meta.frame_id}  ${meta.width}x${meta.height} ${meta.pixel_format}`;
  if (meta.error) {
    Object.assign(state, { pixelFormat: meta.pixel_format, imageError: meta.error });
    $("no-image").textContent = meta.error;
    $("no-image").style.display = "flex";
    emit("frame", meta);
    return;
  }
  const order = ++received;
  const bitmap = await createImageBitmap(new Blob([new Uint8Array(buffer, 4 + length)], { type: "image/jpeg" }));
  if (order < drawn) { bitmap.close(); return; }
  drawn = order;
  if (canvas.width !== bitmap.width || canvas.height !== bitmap.height) {
    canvas.width = bitmap.width;
    canvas.height = bitmap.height;
    state.zoom = null;
  }
  context.drawImage(bitmap, 0, 0);
  bitmap.close();
  $("no-image").style.display = "none";
  // What is on the canvas now: an image still decoding says nothing yet.
  Object.assign(state, { frameId: meta.frame_id, width: meta.width, height: meta.height,
                         pixelFormat: meta.pixel_format, imageError: null });
  state.frames += 1;
  const now = performance.now();
  shownTimes.push(now);
  while (shownTimes[0] < now - 2000) shownTimes.shift();
  showShownRate();
  drawHistogram(meta.histogram);
  place();
  emit("frame", meta);
}

function drawHistogram(planes) {
  const h = $("histogram"), g = h.getContext("2d");
  g.clearRect(0, 0, h.width, h.height);
  if (!planes) return;
  const colours = planes.length === 1 ? ["#ddd"] : ["#f55", "#5d5", "#58f"];
  const top = Math.max(1, ...planes.map((p) => Math.max(...p)));
  g.globalCompositeOperation = "lighter";
  planes.forEach((plane, c) => {
    g.fillStyle = colours[c];
    plane.forEach((count, i) => {
      const bar = (count / top) * h.height;
      g.fillRect(i * 2, h.height - bar, 2, bar);
    });
  });
  g.globalCompositeOperation = "source-over";
}

// Zoom and pan: the canvas holds the image at its own size; a transform
// places it. Fit shows it whole; 1:1 is one image pixel per screen pixel.
function fitScale() {
  if (!canvas.width) return 1;
  return Math.min(stage.clientWidth / canvas.width, stage.clientHeight / canvas.height);
}

function place() {
  const scale = state.zoom ?? fitScale();
  if (state.zoom === null) {
    state.panX = (stage.clientWidth - canvas.width * scale) / 2;
    state.panY = (stage.clientHeight - canvas.height * scale) / 2;
  }
  canvas.style.transform = `translate(${state.panX}px, ${state.panY}px) scale(${scale})`;
  canvas.classList.toggle("pixelated", scale > 1);
  $("zoom").textContent = state.zoom === null ? `fit (${Math.round(scale * 100)}%)` : `${Math.round(scale * 100)}%`;
}

function zoomAt(factor, x, y) {
  const scale = state.zoom ?? fitScale();
  const next = Math.min(32, Math.max(0.05, scale * factor));
  // The image point under (x, y) stays where it is.
  state.panX = x - ((x - state.panX) * next) / scale;
  state.panY = y - ((y - state.panY) * next) / scale;
  state.zoom = next;
  place();
}

function oneToOne() {
  const scale = state.zoom ?? fitScale();
  zoomAt(1 / scale, stage.clientWidth / 2, stage.clientHeight / 2);
}

$("fit").onclick = () => { state.zoom = null; place(); };
$("one").onclick = oneToOne;
$("zoom-in").onclick = () => zoomAt(1.25, stage.clientWidth / 2, stage.clientHeight / 2);
$("zoom-out").onclick = () => zoomAt(0.8, stage.clientWidth / 2, stage.clientHeight / 2);
stage.ondblclick = () => { state.zoom = null; place(); };
stage.addEventListener("wheel", (e) => {
  e.preventDefault();
  const box = stage.getBoundingClientRect();
  zoomAt(e.deltaY < 0 ? 1.15 : 1 / 1.15, e.clientX - box.left, e.clientY - box.top);
}, { passive: false });
stage.onpointerdown = (e) => {
  const start = { x: e.clientX, y: e.clientY, panX: state.panX, panY: state.panY };
  state.zoom = state.zoom ?? fitScale();
  stage.setPointerCapture(e.pointerId);
  stage.classList.add("dragging");
  stage.onpointermove = (m) => {
    state.panX = start.panX + m.clientX - start.x;
    state.panY = start.panY + m.clientY - start.y;
    place();
  };
  stage.onpointerup = () => { stage.onpointermove = null; stage.classList.remove("dragging"); };
};
window.onresize = place;

// ---- counters, acquisition, events --------------------------------------------------

function onText(message) {
  if (message.type === "hello") {
    const d = message.device;
    $("device").textContent = d.model ? `${d.model}  serial ${d.serial}  ${d.ip}` : "camera";
    document.title = `oculane viewer: ${d.model || "camera"}`;
    $("event-list").replaceChildren();
    addEvents(message.events);
  } else if (message.type === "status") {
    showStatus(message);
  } else if (message.type === "events") {
    addEvents(message.items);
  }
}

// Images this page showed per second, over the last two seconds.
function showShownRate() {
  const t = shownTimes, now = performance.now();
  const recent = t.length > 1 && t[t.length - 1] > now - 1000;
  $("shown-fps").textContent = recent ? ((t.length - 1) * 1000 / (t[t.length - 1] - t[0])).toFixed(1) : "0.0";
}

const number = (v, digits = 0) => (v === undefined || v === null ? "-" : Number(v).toFixed(digits));

function showStatus(update) {
  // A reply to start or stop has counters but no rates: the last rates stay
  // until the next regular update.
  const s = { ...state.status, ...update };
  state.status = s;
  state.acquiring = s.acquiring;
  $("fps").textContent = number(s.fps, 1);
  showShownRate();
  $("mbps").textContent = number(s.mbps, 1);
  $("completed").textContent = number(s.completed);
  $("failed").textContent = number(s.failed);
  $("resent").textContent = number(s.resent);
  $("kernel-drops").textContent = number(s.kernel_drops);
  $("packet-size").textContent = s.acquiring ? number(s.packet_size) : "-";
  $("acq-state").textContent = s.acquiring ? "running" : "stopped";
  $("start").disabled = s.acquiring;
  $("stop").disabled = !s.acquiring;
  $("acq-error").textContent = s.error || "";
  $("no-events").textContent = s.events_available
    ? ($("event-list").children.length ? "" : "no events yet")
    : "No camera events are available with this version of oculane.";
  emit("status", s);
}

async function post(url, body) {
  const response = await fetch(url, {
    method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(body),
  });
  return response.json();
}

async function acquisition(run) {
  $("start").disabled = $("stop").disabled = true;
  const reply = await post("/api/acquisition", { run });
  showStatus(reply.status);
  if (reply.error) $("acq-error").textContent = reply.error;
}
$("start").onclick = () => acquisition(true);
$("stop").onclick = () => acquisition(false);

function addEvents(items) {
  const list = $("event-list");
  for (const e of items) {
    const li = document.createElement("li");
    const values = Object.entries(e.values || {}).map(([k, v]) => `${k}=${v}`).join(" ");
    li.textContent = `${e.time} ${e.name}` + (e.timestamp !== null ? ` @${e.timestamp}` : "") +
      (values ? ` ${values}` : "");
    list.prepend(li);
  }
  while (list.children.length > 100) list.lastChild.remove();
  if (items.length) $("no-events").textContent = "";
  state.lastEvent = list.firstChild ? list.firstChild.textContent : null;
  emit("events", state.lastEvent);
}

// ---- features ------------------------------------------------------------------

function rangeText(f) {
  if (f.kind === "Integer" && f.min !== undefined) return `[${f.min}..${f.max}]` + (f.inc > 1 ? ` step ${f.inc}` : "");
  if (f.kind === "Float" && f.min !== undefined) return `[${f.min}..${f.max}]`;
  return "";
}

function control(f) {
  const writable = (f.access === "RW" || f.access === "WO") && f.available !== false && !f.locked;
  const value = f.value === undefined ? "" : String(f.value);
  let input;
  if (!["Integer", "Float", "Boolean", "String", "Enumeration", "Command"].includes(f.kind)) {
    // Registers and ports have bytes, not a value the page can show.
    return Object.assign(document.createElement("span"), { className: "muted", textContent: `(${f.kind})` });
  }
  if (f.kind === "Command") {
    input = document.createElement("button");
    input.textContent = "Execute";
    input.onclick = () => write(f.name, null);
  } else if (!writable) {
    input = document.createElement("span");
    input.className = "value";
    input.textContent = f.read_error ? "" : (f.kind === "Boolean" ? (f.value ? "true" : "false") : value);
    return input;
  } else if (f.kind === "Boolean") {
    input = document.createElement("input");
    input.type = "checkbox";
    input.checked = !!f.value;
    input.onchange = () => write(f.name, input.checked);
  } else if (f.kind === "Enumeration") {
    input = document.createElement("select");
    const entries = f.entries || [];
    for (const name of entries.includes(value) || !value ? entries : [value, ...entries]) {
      input.add(new Option(name, name, false, name === value));
    }
    input.onchange = () => write(f.name, input.value);
  } else {
    input = document.createElement("input");
    if (f.kind === "Integer" || f.kind === "Float") {
      input.type = "number";
      if (f.min !== undefined) { input.min = f.min; input.max = f.max; }
      input.step = f.kind === "Integer" ? (f.inc || 1) : "any";
    } else {
      input.type = "text";
    }
    input.value = value;
    // Sent as typed: the camera, not the browser, decides what it takes.
    input.onchange = () => write(f.name, input.value);
  }
  input.disabled = f.kind === "Command" && !writable;
  input.dataset.feature = f.name;
  return input;
}

function renderTree(tree) {
  state.tree = tree;
  const root = $("tree");
  const open = new Set([...root.querySelectorAll("details[open]")].map((d) => d.dataset.name));
  const first = !root.querySelector("details");
  root.replaceChildren();
  for (const category of tree) {
    const details = document.createElement("details");
    details.dataset.name = category.name;
    details.dataset.level = LEVELS[category.visibility] ?? 0;
    details.style.setProperty("--depth", category.depth);
    details.open = first || open.has(category.name);
    const summary = document.createElement("summary");
    summary.textContent = category.display;
    details.append(summary);
    for (const f of category.features) {
      const row = document.createElement("div");
      row.className = "feature" + (f.available === false ? " unavailable" : "");
      row.dataset.level = LEVELS[f.visibility] ?? 0;
      row.dataset.feature = f.name;
      const name = document.createElement("span");
      name.className = "name";
      name.textContent = f.display || f.name;
      name.title = `${f.name} (${f.kind}, ${f.access}, ${f.visibility})` + (f.tooltip ? `\n${f.tooltip}` : "");
      const cell = document.createElement("span");
      cell.className = "control";
      cell.append(control(f));
      if (f.unit) cell.append(Object.assign(document.createElement("span"), { className: "unit", textContent: f.unit }));
      const range = rangeText(f);
      if (range) cell.append(Object.assign(document.createElement("span"), { className: "range", textContent: range }));
      row.append(name, cell);
      const problem = state.errors[f.name] || f.read_error;
      if (problem) {
        row.append(Object.assign(document.createElement("span"), { className: "error", textContent: problem }));
      }
      details.append(row);
    }
    root.append(details);
  }
  filterTree();
  emit("tree", tree);
}

function filterTree() {
  const level = Number($("visibility").value);
  for (const element of $("tree").querySelectorAll("[data-level]")) {
    element.classList.toggle("hidden", Number(element.dataset.level) > level);
    if (element.tagName === "DETAILS") element.style.display = Number(element.dataset.level) > level ? "none" : "";
  }
}
$("visibility").onchange = filterTree;

async function write(name, value) {
  const reply = await post(`/api/features/${encodeURIComponent(name)}`, { value });
  if (reply.error) state.errors[name] = reply.error; else delete state.errors[name];
  renderTree(reply.tree);
  emit("written", { name, error: reply.error });
}

async function loadTree() {
  const response = await fetch("/api/features");
  renderTree(await response.json());
}

connect();
loadTree();
