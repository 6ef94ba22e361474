// The clsg studio page: paint marks per label, the server trains and
// segments, the page composes the overlay from the label image it receives.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);

const state = {
  server: null,          // the last /api/state answer
  image: 0,              // index of the shown image
  width: 0, height: 0,
  marks: null,           // Uint8Array: 0 none, i + 1 label i
  labels: null,          // Uint8Array label image of the latest segmentation, or null
  grey: null,            // confidence or score bytes when that view is shown
  counts: null,
  active: 0,             // label painted with
  tool: "brush",
  view: "overlay",
  scale: 1, offsetX: 0, offsetY: 0,
  seqSent: 0, seqShown: 0, seqDone: 0,
  segmentTimer: 0,
  lastTiming: "",
  regions: null,   // regions per label of the whole-image labels, at least minArea pixels
  minArea: 0,
};

// --- requests ---------------------------------------------------------------

// Edits go out one after another so that the server applies them in order.
let editQueue = Promise.resolve();

async function request(method, path, body, type) {
  const headers = {"X-Clsg-Token": token};
  if (body !== undefined) headers["Content-Type"] = type || "application/json";
  const res = await fetch(path, {method, headers, body});
  if (!res.ok) {
    let message = res.status + " " + res.statusText;
    try { message = (await res.json()).error || message; } catch (e) { /* not JSON */ }
    const error = new Error(message);
    error.status = res.status;
    throw error;
  }
  return res;
}

const getJson = async (path) => (await request("GET", path)).json();
const postJson = async (path, value) =>
  (await request("POST", path, JSON.stringify(value))).json();

function edit(work) {
  const done = editQueue.then(work);
  editQueue = done.catch(() => {});
  return done;
}

// --- run encoding (see studio_runs.h) -----------------------------------

function decodeRuns(bytes, size) {
  const out = new Uint8Array(size);
  let at = 0;
  for (let i = 0; i < bytes.length;) {
    const value = bytes[i++];
    let run = 0, shift = 0, b;
    do { b = bytes[i++]; run += (b & 0x7f) * 2 ** shift; shift += 7; } while (b & 0x80);
    out.fill(value, at, at + run);
    at += run;
  }
  if (at !== size) throw new Error("the server sent " + at + " pixels, expected " + size);
  return out;
}

function encodeRuns(data) {
  const out = [];
  for (let i = 0; i < data.length;) {
    let j = i + 1;
    while (j < data.length && data[j] === data[i]) ++j;
    out.push(data[i]);
    for (let run = j - i; ; run = Math.floor(run / 128)) {
      if (run < 128) { out.push(run); break; }
      out.push((run & 0x7f) | 0x80);
    }
    i = j;
  }
  return new Uint8Array(out);
}

// --- canvases ----------------------------------------------------------------

const view = $("view");
const ctx = view.getContext("2d");
const imageCanvas = document.createElement("canvas");
const overlayCanvas = document.createElement("canvas");
const marksCanvas = document.createElement("canvas");
let marksImage = null;   // ImageData over marksCanvas
let rubber = null;       // rectangle being dragged, image coordinates

function rgbOf(hex) {
  const v = parseInt(hex.slice(1), 16);
  return [(v >> 16) & 255, (v >> 8) & 255, v & 255];
}

function labelRgb() {
  return (state.server ? state.server.labels : []).map((l) => rgbOf(l.color));
}

// The overlay (or the label, confidence or score image) from the bytes the
// server sent, over rect (the whole image when not given).
let overlayImage = null;
function composeOverlay(rect) {
  const w = state.width, h = state.height;
  if (!w) return;
  if (!overlayImage || overlayImage.width !== w || overlayImage.height !== h) {
    overlayImage = new ImageData(w, h);
    rect = null;
  }
  const r = rect || {x: 0, y: 0, w, h};
  const px = overlayImage.data;
  const colours = labelRgb();
  const alpha = Math.round(Number($("opacity").value) * 2.55);
  const grey = state.view === "confidence" || state.view === "score";
  const opaque = state.view === "labels";
  const source = grey ? state.grey : state.labels;
  for (let y = r.y; y < r.y + r.h; ++y)
    for (let i = y * w + r.x, o = i * 4, end = i + r.w; i < end; ++i, o += 4) {
      if (!source) { px[o + 3] = 0; continue; }
      if (grey) {
        px[o] = px[o + 1] = px[o + 2] = source[i]; px[o + 3] = 255;
        continue;
      }
      const c = colours[source[i]];
      if (c) {
        px[o] = c[0]; px[o + 1] = c[1]; px[o + 2] = c[2]; px[o + 3] = opaque ? 255 : alpha;
      } else {
        px[o] = px[o + 1] = px[o + 2] = 0; px[o + 3] = opaque ? 255 : 0;  // no label
      }
    }
  overlayCanvas.getContext("2d").putImageData(overlayImage, 0, 0, r.x, r.y, r.w, r.h);
  draw();
}

// Repaints the marks inside (x, y, w, h).
function paintMarksCanvas(x, y, w, h) {
  const colours = labelRgb();
  const px = marksImage.data;
  for (let yy = y; yy < y + h; ++yy)
    for (let xx = x; xx < x + w; ++xx) {
      const i = yy * state.width + xx, o = i * 4;
      const c = colours[state.marks[i] - 1];
      if (c) { px[o] = c[0]; px[o + 1] = c[1]; px[o + 2] = c[2]; px[o + 3] = 235; }
      else px[o + 3] = 0;
    }
  marksCanvas.getContext("2d").putImageData(marksImage, 0, 0, x, y, w, h);
}

function draw() {
  const dpr = window.devicePixelRatio || 1;
  const cw = Math.round(view.clientWidth * dpr), ch = Math.round(view.clientHeight * dpr);
  if (view.width !== cw || view.height !== ch) { view.width = cw; view.height = ch; }
  ctx.setTransform(1, 0, 0, 1, 0, 0);
  ctx.clearRect(0, 0, cw, ch);
  if (!state.width) return;
  ctx.setTransform(state.scale * dpr, 0, 0, state.scale * dpr, state.offsetX * dpr,
                   state.offsetY * dpr);
  ctx.imageSmoothingEnabled = state.scale < 1;
  const opaque = state.view !== "overlay";
  if (!opaque) ctx.drawImage(imageCanvas, 0, 0);
  ctx.drawImage(overlayCanvas, 0, 0);
  if ($("show-marks").checked) ctx.drawImage(marksCanvas, 0, 0);
  ctx.lineWidth = 1 / state.scale;
  ctx.strokeStyle = "rgba(255,255,255,0.35)";
  ctx.strokeRect(0, 0, state.width, state.height);
  if (rubber) {
    const r = normalRect(rubber);
    ctx.strokeStyle = "#fff";
    ctx.setLineDash([4 / state.scale, 4 / state.scale]);
    ctx.strokeRect(r.x, r.y, r.w, r.h);
    ctx.setLineDash([]);
  }
}

// --- zoom and pan --------------------------------------------------------------

function fit() {
  if (!state.width) return;
  const margin = 24;
  const s = Math.min((view.clientWidth - margin) / state.width,
                     (view.clientHeight - margin) / state.height);
  setScale(Math.max(s, 1 / 64), null);
  state.offsetX = (view.clientWidth - state.width * state.scale) / 2;
  state.offsetY = (view.clientHeight - state.height * state.scale) / 2;
  draw();
}

// Zooms to scale s, keeping the screen point at (about) still.
function setScale(s, about) {
  s = Math.min(64, Math.max(1 / 64, s));
  if (about) {
    const ix = (about.x - state.offsetX) / state.scale, iy = (about.y - state.offsetY) / state.scale;
    state.offsetX = about.x - ix * s;
    state.offsetY = about.y - iy * s;
  }
  state.scale = s;
  $("zoom-out").textContent = s >= 1 ? Math.round(s * 100) / 100 + "×" : "1/" + Math.round(1 / s * 10) / 10;
  draw();
}

function screenPoint(e) {
  const r = view.getBoundingClientRect();
  return {x: e.clientX - r.left, y: e.clientY - r.top};
}

function imagePoint(e) {
  const p = screenPoint(e);
  return {x: (p.x - state.offsetX) / state.scale, y: (p.y - state.offsetY) / state.scale};
}

view.addEventListener("wheel", (e) => {
  e.preventDefault();
  setScale(state.scale * (e.deltaY < 0 ? 1.25 : 0.8), screenPoint(e));
}, {passive: false});

// --- painting ---------------------------------------------------------------

let stroke = null;  // {value, box, last, pan}
let spaceDown = false;

function markValue() {
  return state.tool === "eraser" ? 0 : state.active + 1;
}

function grow(box, x0, y0, x1, y1) {
  box.x0 = Math.min(box.x0, x0); box.y0 = Math.min(box.y0, y0);
  box.x1 = Math.max(box.x1, x1); box.y1 = Math.max(box.y1, y1);
}

// Sets the marks of a disc of the brush's size centred on image point p.
function paintDisc(p, value, box) {
  const size = Number($("brush-size").value);
  const r = size / 2;
  const x0 = Math.max(0, Math.floor(p.x - r)), x1 = Math.min(state.width, Math.ceil(p.x + r));
  const y0 = Math.max(0, Math.floor(p.y - r)), y1 = Math.min(state.height, Math.ceil(p.y + r));
  if (x0 >= x1 || y0 >= y1) return;
  for (let y = y0; y < y1; ++y)
    for (let x = x0; x < x1; ++x) {
      const dx = x + 0.5 - p.x, dy = y + 0.5 - p.y;
      if (size <= 1 ? (x === Math.floor(p.x) && y === Math.floor(p.y)) : dx * dx + dy * dy <= r * r)
        state.marks[y * state.width + x] = value;
    }
  grow(box, x0, y0, x1, y1);
  paintMarksCanvas(x0, y0, x1 - x0, y1 - y0);
}

// The disc along the segment from a to b, one step per half brush width.
function paintLine(a, b, value, box) {
  const step = Math.max(0.5, Number($("brush-size").value) / 4);
  const n = Math.max(1, Math.ceil(Math.hypot(b.x - a.x, b.y - a.y) / step));
  for (let i = 1; i <= n; ++i)
    paintDisc({x: a.x + (b.x - a.x) * i / n, y: a.y + (b.y - a.y) * i / n}, value, box);
}

function normalRect(r) {
  const x0 = Math.max(0, Math.floor(Math.min(r.x0, r.x1)));
  const y0 = Math.max(0, Math.floor(Math.min(r.y0, r.y1)));
  const x1 = Math.min(state.width, Math.floor(Math.max(r.x0, r.x1)) + 1);
  const y1 = Math.min(state.height, Math.floor(Math.max(r.y0, r.y1)) + 1);
  return {x: x0, y: y0, w: Math.max(0, x1 - x0), h: Math.max(0, y1 - y0)};
}

view.addEventListener("contextmenu", (e) => e.preventDefault());

view.addEventListener("pointerdown", (e) => {
  if (!state.width) return;
  view.setPointerCapture(e.pointerId);
  if (e.button === 1 || e.button === 2 || spaceDown) {
    stroke = {pan: true, last: screenPoint(e)};
    $("stage").classList.add("panning");
    return;
  }
  if (e.button !== 0) return;
  if (state.tool !== "eraser" && !state.server.labels.length) {
    showError("Add a label first, then paint with it.");
    return;
  }
  const p = imagePoint(e);
  stroke = {value: markValue(), last: p, box: {x0: Infinity, y0: Infinity, x1: -Infinity, y1: -Infinity}};
  if (state.tool === "rect") {
    rubber = {x0: p.x, y0: p.y, x1: p.x, y1: p.y};
    draw();
  } else {
    paintDisc(p, stroke.value, stroke.box);
    draw();
  }
});

view.addEventListener("pointermove", (e) => {
  const p = imagePoint(e);
  showPixelInfo(p);
  if (!stroke) return;
  if (stroke.pan) {
    const s = screenPoint(e);
    state.offsetX += s.x - stroke.last.x;
    state.offsetY += s.y - stroke.last.y;
    stroke.last = s;
    draw();
  } else if (rubber) {
    rubber.x1 = p.x; rubber.y1 = p.y;
    draw();
  } else {
    paintLine(stroke.last, p, stroke.value, stroke.box);
    stroke.last = p;
    draw();
  }
});

function endStroke() {
  if (!stroke) return;
  const s = stroke;
  stroke = null;
  $("stage").classList.remove("panning");
  if (s.pan) return;
  if (rubber) {
    const r = normalRect(rubber);
    rubber = null;
    if (r.w && r.h) {
      for (let y = r.y; y < r.y + r.h; ++y) state.marks.fill(s.value, y * state.width + r.x, y * state.width + r.x + r.w);
      grow(s.box, r.x, r.y, r.x + r.w, r.y + r.h);
      paintMarksCanvas(r.x, r.y, r.w, r.h);
    }
    draw();
  }
  if (s.box.x1 > s.box.x0) sendMarks(s.box);
}

view.addEventListener("pointerup", endStroke);
view.addEventListener("pointercancel", endStroke);
view.addEventListener("pointerleave", () => { $("pixel-info").textContent = ""; regionHover.x = -1; });

// Sends the marks inside box, then asks for a new segmentation.
function sendMarks(box) {
  const x = box.x0, y = box.y0, w = box.x1 - box.x0, h = box.y1 - box.y0;
  const region = new Uint8Array(w * h);
  for (let row = 0; row < h; ++row)
    region.set(state.marks.subarray((y + row) * state.width + x, (y + row) * state.width + x + w), row * w);
  const body = encodeRuns(region);
  const image = state.image;
  state.lastStroke = {x: x + w / 2, y: y + h / 2};
  edit(() => request("POST", `/api/marks?i=${image}&x=${x}&y=${y}&w=${w}&h=${h}`, body,
                     "application/octet-stream"))
    .catch((e) => showError(e.message));
  scheduleSegment();
}

function showPixelInfo(p) {
  const x = Math.floor(p.x), y = Math.floor(p.y);
  if (!state.width || x < 0 || y < 0 || x >= state.width || y >= state.height) {
    $("pixel-info").textContent = "";
    return;
  }
  const i = y * state.width + x;
  let text = `x ${x}  y ${y}`;
  if (state.labels) {
    const l = state.labels[i];
    text += "  ·  " + (l < state.server.labels.length ? state.server.labels[l].name : "unlabelled");
  }
  $("pixel-info").textContent = text;
  showRegionInfo(x, y, text);
}

// --- regions ----------------------------------------------------------------

// " · N regions" for the legend, when the server counted them.
function regionCountText(label) {
  if (!state.regions || state.regions[label] === undefined) return "";
  const n = state.regions[label];
  return ` · ${n} ${n === 1 ? "region" : "regions"}`;
}

// Asks the server for the region under (x, y), one request at a time; the
// answer is shown if the pointer is still over that pixel.
const regionHover = {busy: false, x: -1, y: -1, pending: null};
async function showRegionInfo(x, y, text) {
  regionHover.x = x; regionHover.y = y;
  if (!state.labels || state.labels[y * state.width + x] === 255 || !state.regions) return;
  if (regionHover.busy) { regionHover.pending = [x, y, text]; return; }
  regionHover.busy = true;
  try {
    const r = await postJson("/api/region", {image: state.image, x, y});
    if (r && regionHover.x === x && regionHover.y === y && state.server.labels[r.label])
      $("pixel-info").textContent = text + `  ·  ${state.server.labels[r.label].name} #${r.id}: ${r.area} px`;
  } catch (e) { /* the plain pixel line stays */ }
  regionHover.busy = false;
  const next = regionHover.pending;
  regionHover.pending = null;
  if (next && next[0] === regionHover.x && next[1] === regionHover.y) showRegionInfo(...next);
}

$("min-area").addEventListener("change", () => {
  state.minArea = Math.max(0, Math.round(Number($("min-area").value)) || 0);
  $("min-area").value = state.minArea;
  scheduleSegment();
});

// --- segmentation -----------------------------------------------------------

// A newer stroke restarts the wait; a request already sent is superseded by
// the next one (the server stops the older one).
function scheduleSegment() {
  clearTimeout(state.segmentTimer);
  state.segmentTimer = setTimeout(() => { state.segmentTimer = 0; segment(); }, 80);
}

// On a large image, the part to segment first: what is on screen, or, when
// most of the image is, a square around the last stroke. Null for "all".
function firstWindow() {
  const w = state.width, h = state.height;
  if (w * h <= 2000000) return null;
  let x0 = Math.max(0, Math.floor(-state.offsetX / state.scale));
  let y0 = Math.max(0, Math.floor(-state.offsetY / state.scale));
  let x1 = Math.min(w, Math.ceil((view.clientWidth - state.offsetX) / state.scale));
  let y1 = Math.min(h, Math.ceil((view.clientHeight - state.offsetY) / state.scale));
  if ((x1 - x0) * (y1 - y0) > 1200000 && state.lastStroke) {
    const c = state.lastStroke;
    x0 = Math.max(x0, Math.round(c.x) - 512); x1 = Math.min(x1, x0 + 1024);
    y0 = Math.max(y0, Math.round(c.y) - 512); y1 = Math.min(y1, y0 + 1024);
  }
  if (x1 <= x0 || y1 <= y0 || (x1 - x0) * (y1 - y0) >= w * h) return null;
  return [x0, y0, x1 - x0, y1 - y0];
}

// Writes a frame's window into the view's bytes and recomposes it.
function applyPartial(frame, grey) {
  const [x, y, w, h] = frame.meta.window;
  const size = state.width * state.height;
  let target = grey ? state.grey : state.labels;
  if (!target || target.length !== size) target = new Uint8Array(size).fill(grey ? 0 : 255);
  for (let r = 0; r < h; ++r) target.set(frame.pixels.subarray(r * w, r * w + w), (y + r) * state.width + x);
  if (grey) state.grey = target; else state.labels = target;
  composeOverlay({x, y, w, h});
}

async function segment() {
  const seq = ++state.seqSent;
  const image = state.image;
  const wanted = state.view === "confidence" || state.view === "score" ? state.view : "labels";
  const current = () => seq === state.seqSent && image === state.image;
  const ask = async (view, window) => {
    const body = {image, view};
    if (window) body.window = window;
    else body.minArea = state.minArea;
    const res = await request("POST", "/api/segment", JSON.stringify(body));
    return parseFrame(new Uint8Array(await res.arrayBuffer()));
  };
  setBusy(true);
  try {
    await editQueue;
    if (!current()) return;
    const first = firstWindow();
    if (first) {
      const part = await ask(wanted, first);
      if (!current()) return;
      applyPartial(part, wanted !== "labels");
      hideError();
      showTiming(part.meta, "on screen");
    }
    const frame = await ask("labels");
    if (!current()) return;
    let grey = null;
    if (wanted !== "labels") {
      grey = (await ask(wanted)).pixels;
      if (!current()) return;
    }
    state.seqShown = seq;
    state.labels = frame.pixels;
    state.grey = grey;
    state.counts = frame.meta.counts;
    state.regions = frame.meta.regions;
    showTiming(frame.meta, first ? "whole image" : "");
    hideError();
    composeOverlay();
    renderShares();
    document.body.dataset.segmented = String(seq);
  } catch (e) {
    if (e.status === 409) return;  // a newer request took over
    if (current()) {
      state.labels = null; state.grey = null; state.counts = null;
      composeOverlay();
      renderShares();
      showError(e.message);
      document.body.dataset.segmented = String(seq);
    }
  } finally {
    if (seq === state.seqSent) {
      state.seqDone = seq;
      setBusy(false);
    }
  }
}

function showTiming(m, what) {
  if (!m.trainMs && !m.runMs) return;  // kept from before
  state.lastTiming = (what ? what + ": " : "") +
    `train ${m.trainMs.toFixed(0)} ms · segment ${m.runMs.toFixed(0)} ms · total ${m.totalMs.toFixed(0)} ms`;
  $("status").textContent = state.lastTiming;
}

function parseFrame(bytes) {
  const dv = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const n = dv.getUint32(0, true);
  const meta = JSON.parse(new TextDecoder().decode(bytes.subarray(4, 4 + n)));
  const body = bytes.subarray(4 + n);
  const size = meta.window[2] * meta.window[3];
  const pixels = meta.encoding === "raw" ? new Uint8Array(body) : decodeRuns(body, size);
  return {meta, pixels};
}

function setBusy(busy) {
  const s = $("status");
  s.classList.toggle("busy", busy);
  s.textContent = busy ? "segmenting…" : state.lastTiming;
}

function showError(message) {
  const e = $("error");
  e.textContent = message;
  e.hidden = false;
}

function hideError() { $("error").hidden = true; }

// --- labels -----------------------------------------------------------------

function share(count) {
  if (!state.counts) return "";
  const total = state.counts.reduce((a, b) => a + b, 0);
  return (100 * count / total).toFixed(1) + "%";
}

// The legend over the image: each label's colour, name and share, or what
// the grey levels of the confidence and score views mean.
function renderLegend() {
  const legend = $("legend");
  legend.textContent = "";
  const labels = state.server ? state.server.labels : [];
  const cell = (className, text) => {
    const e = document.createElement("span");
    e.className = className;
    if (text !== undefined) e.textContent = text;
    legend.append(e);
    return e;
  };
  if (state.view === "confidence" || state.view === "score") {
    cell("wide", state.view === "confidence" ? "Confidence" : "Score");
    cell("ramp");
    cell("", "0");
    cell("", "");
    cell("num", "255");
  } else {
    labels.forEach((label, i) => {
      cell("swatch").style.background = label.color;
      cell("", label.name);
      cell("num", state.counts ? share(state.counts[i]) + regionCountText(i) : "");
    });
    if (labels.length) {
      cell("swatch").style.background = state.view === "labels" ? "#000" : "transparent";
      cell("", "unlabelled");
      cell("num", state.counts ? share(state.counts[state.counts.length - 1]) : "");
    }
  }
  legend.hidden = !legend.childElementCount;
}

function renderShares() {
  renderLegend();
  const items = $("labels").querySelectorAll("li[data-label]");
  items.forEach((li) => {
    const i = Number(li.dataset.label);
    li.querySelector(".share").textContent = state.counts ? share(state.counts[i]) : "";
  });
  $("unlabelled-share").textContent =
    state.counts ? share(state.counts[state.counts.length - 1]) : "";
}

function renderLabels() {
  const list = $("labels");
  list.textContent = "";
  const labels = state.server.labels;
  if (state.active >= labels.length) state.active = Math.max(0, labels.length - 1);
  if (!labels.length) {
    const li = document.createElement("li");
    li.className = "empty";
    li.textContent = "No labels yet: name one below.";
    list.append(li);
  }
  labels.forEach((label, i) => {
    const li = document.createElement("li");
    li.dataset.label = i;
    li.className = i === state.active ? "active" : "";
    const colour = document.createElement("input");
    colour.type = "color"; colour.value = label.color; colour.title = "Colour of " + label.name;
    colour.addEventListener("change", () => labelEdit({op: "recolor", label: i, color: colour.value}));
    const name = document.createElement("input");
    name.className = "name"; name.value = label.name; name.maxLength = 64;
    name.title = "Rename";
    name.addEventListener("change", () => labelEdit({op: "rename", label: i, name: name.value.trim()}));
    name.addEventListener("keydown", (e) => { if (e.key === "Enter") name.blur(); });
    const pct = document.createElement("span");
    pct.className = "share";
    const del = document.createElement("button");
    del.className = "delete"; del.textContent = "×"; del.title = "Delete " + label.name + " and its marks";
    del.addEventListener("click", (e) => {
      e.stopPropagation();
      if (!del.classList.contains("confirm")) {
        del.classList.add("confirm");
        del.title = "Click again to delete";
        setTimeout(() => del.classList.remove("confirm"), 2500);
        return;
      }
      labelEdit({op: "delete", label: i});
    });
    li.append(colour, name, pct, del);
    li.addEventListener("click", () => { state.active = i; renderLabels(); });
    list.append(li);
  });
  renderShares();
}

async function labelEdit(change) {
  try {
    const s = await edit(() => postJson("/api/labels", change));
    const deleted = change.op === "delete";
    applyState(s);
    if (deleted) {
      // The server dropped the label's marks and renumbered the others.
      const removed = change.label + 1;
      for (let i = 0; i < state.marks.length; ++i) {
        const m = state.marks[i];
        if (m === removed) state.marks[i] = 0; else if (m > removed) state.marks[i] = m - 1;
      }
    }
    paintMarksCanvas(0, 0, state.width, state.height);
    composeOverlay();
    if (change.op !== "recolor" && change.op !== "rename") scheduleSegment();
  } catch (e) {
    showError(e.message);
    renderLabels();
  }
}

$("add-label").addEventListener("submit", async (e) => {
  e.preventDefault();
  const name = $("new-label").value.trim();
  if (!name) return;
  try {
    // The server picks the colour clsg train gives a label of this name.
    const s = await edit(() => postJson("/api/labels", {op: "add", name}));
    $("new-label").value = "";
    state.active = s.labels.length - 1;
    applyState(s);
    hideError();
    scheduleSegment();
  } catch (err) {
    showError(err.message);
  }
});

// --- settings, tools, views ---------------------------------------------------

function applyState(s) {
  state.server = s;
  const st = s.settings;
  $("tolerance-frac").value = st.toleranceFrac;
  $("tolerance-min").value = st.toleranceMin;
  $("neighborhood").value = st.neighborhood;
  $("normalize").checked = st.normalize;
  const select = $("image-select");
  if (select.options.length !== s.images.length) {
    select.textContent = "";
    s.images.forEach((img, i) => select.append(new Option(`${img.name} (${img.width} × ${img.height})`, i)));
  }
  select.value = state.image;
  renderLabels();
}

async function sendSettings() {
  const value = {
    toleranceFrac: Number($("tolerance-frac").value),
    toleranceMin: Math.round(Number($("tolerance-min").value)),
    neighborhood: Math.round(Number($("neighborhood").value)),
    normalize: $("normalize").checked,
  };
  try {
    applyState(await edit(() => postJson("/api/settings", value)));
    scheduleSegment();
  } catch (e) {
    showError(e.message);
  }
}
for (const id of ["tolerance-frac", "tolerance-min", "neighborhood", "normalize"])
  $(id).addEventListener("change", sendSettings);

function choose(groupId, attr, value) {
  for (const b of $(groupId).querySelectorAll("button")) b.classList.toggle("on", b.dataset[attr] === value);
}

$("tools").addEventListener("click", (e) => {
  const tool = e.target.dataset.tool;
  if (tool) { state.tool = tool; choose("tools", "tool", tool); }
});

$("views").addEventListener("click", (e) => {
  const v = e.target.dataset.view;
  if (!v) return;
  const needGrey = v === "confidence" || v === "score";
  const refetch = needGrey && v !== state.view;
  state.view = v;
  choose("views", "view", v);
  if (refetch) { state.grey = null; scheduleSegment(); }
  composeOverlay();
  renderLegend();
});

$("brush-size").addEventListener("input", () => { $("brush-size-out").textContent = $("brush-size").value; });
$("opacity").addEventListener("input", () => {
  $("opacity-out").textContent = $("opacity").value + "%";
  composeOverlay();
});
$("show-marks").addEventListener("change", draw);
$("zoom-fit").addEventListener("click", fit);
$("zoom-one").addEventListener("click", () => setScale(1, {x: view.clientWidth / 2, y: view.clientHeight / 2}));

document.addEventListener("keydown", (e) => {
  if (e.target.tagName === "INPUT" || e.target.tagName === "SELECT") return;
  const size = $("brush-size");
  const keys = {
    b: () => { state.tool = "brush"; choose("tools", "tool", "brush"); },
    r: () => { state.tool = "rect"; choose("tools", "tool", "rect"); },
    e: () => { state.tool = "eraser"; choose("tools", "tool", "eraser"); },
    "[": () => { size.value = Number(size.value) - 1; size.dispatchEvent(new Event("input")); },
    "]": () => { size.value = Number(size.value) + 1; size.dispatchEvent(new Event("input")); },
    "0": fit,
    "1": () => setScale(1, {x: view.clientWidth / 2, y: view.clientHeight / 2}),
  };
  if (e.key === " ") { spaceDown = true; e.preventDefault(); return; }
  if (keys[e.key]) keys[e.key]();
});
document.addEventListener("keyup", (e) => { if (e.key === " ") spaceDown = false; });
window.addEventListener("resize", draw);

// --- images -------------------------------------------------------------------

async function showImage(i) {
  state.image = i;
  const info = state.server.images[i];
  state.width = info.width; state.height = info.height;
  state.labels = null; state.grey = null; state.counts = null;
  const [rgb, marks] = await Promise.all([
    request("GET", `/api/image?i=${i}`).then((r) => r.arrayBuffer()),
    request("GET", `/api/marks?i=${i}`).then((r) => r.arrayBuffer()),
  ]);
  if (state.image !== i) return;
  const src = new Uint8Array(rgb);
  const pixels = new ImageData(info.width, info.height);
  for (let p = 0, o = 0; p < src.length; p += 3, o += 4) {
    pixels.data[o] = src[p]; pixels.data[o + 1] = src[p + 1]; pixels.data[o + 2] = src[p + 2];
    pixels.data[o + 3] = 255;
  }
  for (const c of [imageCanvas, overlayCanvas, marksCanvas]) { c.width = info.width; c.height = info.height; }
  imageCanvas.getContext("2d").putImageData(pixels, 0, 0);
  state.marks = decodeRuns(new Uint8Array(marks), info.width * info.height);
  marksImage = new ImageData(info.width, info.height);
  paintMarksCanvas(0, 0, info.width, info.height);
  composeOverlay();
  renderShares();
  fit();
  if (state.marks.some((m) => m !== 0)) scheduleSegment();
}

$("image-select").addEventListener("change", (e) => showImage(Number(e.target.value)).catch((err) => showError(err.message)));

$("image-file").addEventListener("change", async (e) => {
  const file = e.target.files[0];
  if (!file) return;
  try {
    const s = await edit(async () => (await request("POST", "/api/images?name=" + encodeURIComponent(file.name),
                                                    await file.arrayBuffer(), "application/octet-stream")).json());
    applyState(s);
    await showImage(s.images.length - 1);
  } catch (err) {
    showError(err.message);
  }
  e.target.value = "";
});

// --- saving -------------------------------------------------------------------

function showCommand(title, intro, command, files) {
  $("command-title").textContent = title;
  $("command-intro").textContent = intro;
  $("command-line").textContent = command;
  $("command-files").textContent = files;
  $("command-dialog").showModal();
}

$("save-tool").addEventListener("click", async () => {
  try {
    const r = await edit(() => postJson("/api/save", {file: $("tool-name").value.trim()}));
    $("status").textContent = "saved " + r.path;
    document.body.dataset.saved = r.path;
    document.body.dataset.runCommand = r.command;
    showCommand("Tool saved", "Segment images as this page does:", r.command, "Wrote " + r.path);
  } catch (e) {
    showError(e.message);
  }
});

$("export-masks").addEventListener("click", async () => {
  try {
    const r = await edit(() => postJson("/api/export", {dir: $("export-name").value.trim()}));
    showCommand("Masks exported", "The same tool from the command line:", r.command,
                "Wrote " + r.files.join(", "));
  } catch (e) {
    showError(e.message);
  }
});

// For tests: the latest label image, base64.
window.clsgStudio = {
  labelImage() {
    if (!state.labels) return null;
    let s = "";
    for (let i = 0; i < state.labels.length; i += 8192) s += String.fromCharCode.apply(null, state.labels.subarray(i, i + 8192));
    return btoa(s);
  },
  shares() { return state.counts; },
  regions() { return state.regions; },
  // True when every stroke so far has its segmentation on the page.
  settled() { return !state.segmentTimer && state.seqDone === state.seqSent; },
  view() { return {scale: state.scale, offsetX: state.offsetX, offsetY: state.offsetY}; },
  settings() { return state.server && state.server.settings; },
};

// --- start ----------------------------------------------------------------------

(async () => {
  try {
    applyState(await getJson("/api/state"));
    if (state.server.images.length) await showImage(0);
    else showError("No image is open: use Open… or start clsg studio with image files.");
  } catch (e) {
    showError(e.message);
  }
})();
