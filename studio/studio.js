// The clsg studio page: paint marks per label, the server trains and
// segments, the page composes the overlay from the label image it receives.
// Every open image is segmented after each change: the one on screen first,
// then the others for the strip of previews.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);

const state = {
  server: null,          // the last /api/state answer
  image: 0,              // index of the shown image
  width: 0, height: 0,
  marks: null,           // Uint8Array: 0 none, i + 1 label i
  sent: null,            // the marks as the server has them (for undo)
  labels: null,          // Uint8Array label image of the latest segmentation, or null
  grey: null,            // confidence or score bytes when that view is shown
  counts: null,
  active: 0,             // label painted with
  tool: "brush",
  view: "overlay",
  scale: 1, offsetX: 0, offsetY: 0,
  seqSent: 0, seqShown: 0, seqDone: 0,
  segmentTimer: 0,
  gaveWay: 0,            // segmentations that gave way (409) since the last change or one shown
  notSaved: "",          // said while a change is missing from the session file
  openFailures: "",      // files that did not open, said until dismissed
  lastTiming: "",
  previews: [],          // per image: {width, height, rgb, labels, counts, fresh}
  previewRun: 0,         // bumped to stop a round of previews
  previewsBusy: false,
  strokeAt: 0,           // when the latest stroke ended (performance.now())
  timings: [],           // per stroke: ms to the overlay on screen, whole, every preview
  unsaved: false,        // changed since the page opened or the tool was last saved or exported
  changes: 0,            // changes made since the page opened
  regions: null,   // regions per label of the whole-image labels, at least minArea pixels
  minArea: 0,      // smaller regions are shown and counted unlabelled, as clsg run --min-area does
};

// The server's share of the latest stroke's whole-image answer.
function noteServer(meta) {
  const t = state.timings[state.timings.length - 1];
  if (t && t.at === state.strokeAt && t.serverMs === undefined && meta.totalMs) t.serverMs = meta.totalMs;
}

// Milliseconds from the latest stroke's end to what, noted once per stroke.
function noteTiming(what) {
  if (!state.strokeAt) return;
  const t = state.timings[state.timings.length - 1];
  if (t && t.at === state.strokeAt && t[what] === undefined) t[what] = performance.now() - state.strokeAt;
}

const PREVIEW_SIZE = 120;

// --- requests ---------------------------------------------------------------

// Edits go out one after another so that the server applies them in order.
let editQueue = Promise.resolve();

// A server that answers nothing for a while, with requests waiting (stopped
// with Ctrl-Z in its terminal, say), is said until it answers again.
const SILENT_MS = 5000;
const answers = {pending: 0, lastAt: 0, said: false};
setInterval(() => {
  if (answers.said || !answers.pending || performance.now() - answers.lastAt < SILENT_MS) return;
  answers.said = true;
  showError(`The studio server has not answered for ${SILENT_MS / 1000} s: it may be stopped (Ctrl-Z ` +
            "in its terminal) or busy. What you do is sent when it answers.");
}, 500);

function answered() {
  --answers.pending;
  answers.lastAt = performance.now();
  if (answers.said) {
    answers.said = false;
    hideError();
  }
}

async function request(method, path, body, type) {
  const headers = {"X-Clsg-Token": token};
  if (body !== undefined) headers["Content-Type"] = type || "application/json";
  if (answers.pending++ === 0) answers.lastAt = performance.now();
  let res;
  try {
    res = await fetch(path, {method, headers, body});
  } catch (e) {
    const error = new Error("The studio server does not answer: it may have stopped. " +
                            "Start clsg studio again, then reload this page.");
    error.status = 0;
    throw error;
  } finally {
    answered();
  }
  if (!res.ok) {
    let message = res.status + " " + res.statusText, answer = {};
    try { answer = await res.json(); message = answer.error || message; } catch (e) { /* not JSON */ }
    const error = new Error(message);
    error.status = res.status;
    error.marksChanged = answer.marksChanged === true;
    throw error;
  }
  return res;
}

const getJson = async (path) => (await request("GET", path)).json();
const postJson = async (path, value) =>
  (await request("POST", path, JSON.stringify(value))).json();

// Runs work after the edits before it; a success clears the error shown. A
// change the server could not keep in its session file is said until a later
// change is kept (a segmentation, a tool saved or an image opened in between
// do not clear it: their answers tell nothing of the session file).
let editsPending = 0, editsStarted = 0;
function edit(work) {
  ++editsPending, ++editsStarted;
  const done = editQueue.then(work).finally(() => --editsPending).then((value) => {
    const why = value && value.sessionNotSaved;
    if (why) state.notSaved = "Made, but not saved in the session file (a stop would lose it): " + why;
    else if (value && value.sessionSaved) state.notSaved = "";
    hideError();
    return value;
  });
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

function parseFrame(bytes) {
  const dv = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  const n = dv.getUint32(0, true);
  const meta = JSON.parse(new TextDecoder().decode(bytes.subarray(4, 4 + n)));
  const body = bytes.subarray(4 + n);
  if (!meta.window) return {meta, body};
  const size = meta.window[2] * meta.window[3];
  const pixels = meta.encoding === "raw" ? new Uint8Array(body) : decodeRuns(body, size);
  return {meta, pixels};
}

// --- canvases ----------------------------------------------------------------

const view = $("view");
const ctx = view.getContext("2d");
const cursorCanvas = $("cursor");
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

// Drawing waits for the next frame; dirty is the image rectangle to redraw,
// or null for all of it.
// Marks painted since the last frame (marksDirty) reach their canvas then,
// once per frame however many discs a pointer move painted.
let frameAsked = false, dirty = null, dirtyAll = false, marksDirty = null;
function draw() { dirtyAll = true; askFrame(); }
function drawPart(x0, y0, x1, y1) {
  if (!dirty) dirty = {x0, y0, x1, y1};
  else grow(dirty, x0, y0, x1, y1);
  askFrame();
}
function marksChanged(x0, y0, x1, y1) {
  if (!marksDirty) marksDirty = {x0, y0, x1, y1};
  else grow(marksDirty, x0, y0, x1, y1);
  drawPart(x0, y0, x1, y1);
}
function flushMarks() {
  if (!marksDirty || !state.marks) { marksDirty = null; return; }
  const m = marksDirty;
  marksDirty = null;
  paintMarksCanvas(m.x0, m.y0, m.x1 - m.x0, m.y1 - m.y0);
}
function askFrame() {
  if (frameAsked) return;
  frameAsked = true;
  requestAnimationFrame(() => {
    frameAsked = false;
    const part = dirtyAll ? null : dirty;
    dirty = null; dirtyAll = false;
    const t0 = performance.now();
    flushMarks();
    render(part);
    if (stroke) noteCost(costs.render, t0);
  });
}

function render(part) {
  const dpr = window.devicePixelRatio || 1;
  const cw = Math.round(view.clientWidth * dpr), ch = Math.round(view.clientHeight * dpr);
  if (view.width !== cw || view.height !== ch) { view.width = cw; view.height = ch; part = null; }
  ctx.setTransform(1, 0, 0, 1, 0, 0);
  if (!part) ctx.clearRect(0, 0, cw, ch);
  if (!state.width) return;
  ctx.save();
  ctx.setTransform(state.scale * dpr, 0, 0, state.scale * dpr, state.offsetX * dpr,
                   state.offsetY * dpr);
  ctx.imageSmoothingEnabled = state.scale < 1;
  // A part (what a stroke changed) redraws only its pixels, with a margin
  // for smoothing: the cost of a pointer move does not grow with the image.
  let sx = 0, sy = 0, sw = state.width, sh = state.height;
  if (part) {
    const m = Math.ceil(2 / Math.min(1, state.scale));
    sx = Math.max(0, Math.floor(part.x0) - m); sy = Math.max(0, Math.floor(part.y0) - m);
    sw = Math.min(state.width, Math.ceil(part.x1) + m) - sx;
    sh = Math.min(state.height, Math.ceil(part.y1) + m) - sy;
    if (sw <= 0 || sh <= 0) { ctx.restore(); return; }
    ctx.beginPath();
    ctx.rect(sx, sy, sw, sh);
    ctx.clip();
    ctx.clearRect(sx, sy, sw, sh);
  }
  const layer = (canvas) => ctx.drawImage(canvas, sx, sy, sw, sh, sx, sy, sw, sh);
  if (state.view === "overlay") layer(imageCanvas);
  layer(overlayCanvas);
  if ($("show-marks").checked) layer(marksCanvas);
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
  ctx.restore();
}

// The brush's outline under the pointer, on a canvas of its own.
let cursorAt = null;
function drawCursor() {
  const dpr = window.devicePixelRatio || 1;
  const cw = Math.round(cursorCanvas.clientWidth * dpr), ch = Math.round(cursorCanvas.clientHeight * dpr);
  if (cursorCanvas.width !== cw || cursorCanvas.height !== ch) { cursorCanvas.width = cw; cursorCanvas.height = ch; }
  const c = cursorCanvas.getContext("2d");
  c.setTransform(dpr, 0, 0, dpr, 0, 0);
  c.clearRect(0, 0, cw, ch);
  if (!cursorAt || state.tool === "rect" || (stroke && stroke.pan)) return;
  const r = brushSize() / 2;
  c.beginPath();
  c.arc(cursorAt.x, cursorAt.y, r, 0, 2 * Math.PI);
  c.lineWidth = 3; c.strokeStyle = "rgba(0,0,0,0.6)"; c.stroke();
  c.lineWidth = 1.5; c.strokeStyle = state.tool === "eraser" ? "#fff" : (activeColour() || "#fff"); c.stroke();
}

function activeColour() {
  const l = state.server && state.server.labels[state.active];
  return l ? l.color : null;
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
  state.fitted = true;  // until zoomed or panned, a resized window fits it again
  followPointer();
  draw();
}

// Zooms to scale s, keeping the screen point at (about) still.
function setScale(s, about) {
  s = Math.min(64, Math.max(1 / 64, s));
  state.fitted = false;
  if (about) {
    const ix = (about.x - state.offsetX) / state.scale, iy = (about.y - state.offsetY) / state.scale;
    state.offsetX = about.x - ix * s;
    state.offsetY = about.y - iy * s;
  }
  state.scale = s;
  $("zoom-out").textContent = s >= 1 ? Math.round(s * 100) / 100 + "×" : "1/" + Math.round(1 / s * 10) / 10;
  followPointer();
  draw();
}

// A resting pointer is over another pixel once the view moves under it
// (zoomed from the keys, say): the readout tells of that one. (Not of an image
// just shown, whose segmentation is still to come: it says nothing till a move.)
function followPointer() {
  if (!cursorAt || !pixelAt) return;
  pixelAt = {x: (cursorAt.x - state.offsetX) / state.scale, y: (cursorAt.y - state.offsetY) / state.scale};
  showPixelInfo(pixelAt);
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

// The brush's diameter in screen pixels.
function brushSize() { return Number($("brush-size").value); }

function grow(box, x0, y0, x1, y1) {
  box.x0 = Math.min(box.x0, x0); box.y0 = Math.min(box.y0, y0);
  box.x1 = Math.max(box.x1, x1); box.y1 = Math.max(box.y1, y1);
}

// Sets the marks of a disc of the brush's size (on screen) centred on image
// point p.
function paintDisc(p, value, box) {
  const size = brushSize() / state.scale;
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
  marksChanged(x0, y0, x1, y1);
}

// The disc along the segment from a to b, one step per quarter brush width.
function paintLine(a, b, value, box) {
  const step = Math.max(0.5, brushSize() / state.scale / 4);
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
  if (!state.width || !state.marks) return;
  view.setPointerCapture(e.pointerId);
  if (e.button === 1 || e.button === 2 || spaceDown) {
    stroke = {pan: true, last: screenPoint(e)};
    $("stage").classList.add("panning");
    drawCursor();
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
  }
});

// What pointer moves and redraws cost, in ms (the latest 200 of each).
const costs = {move: [], render: []};
const noteCost = (list, since) => { list.push(performance.now() - since); if (list.length > 200) list.shift(); };

view.addEventListener("pointermove", (e) => {
  const t0 = performance.now();
  try { pointerMove(e); } finally { if (stroke) noteCost(costs.move, t0); }
});

function pointerMove(e) {
  cursorAt = screenPoint(e);
  drawCursor();
  const p = imagePoint(e);
  pixelAt = p;
  showPixelInfo(p);
  if (!stroke) return;
  if (stroke.pan) {
    const s = screenPoint(e);
    state.fitted = false;
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
  }
}

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
  if (s.box.x1 > s.box.x0) commitStroke(s.box);
}

view.addEventListener("pointerup", endStroke);
view.addEventListener("pointercancel", endStroke);
view.addEventListener("pointerleave", () => {
  $("pixel-info").textContent = "";
  cursorAt = null;
  pixelAt = null;
  drawCursor();
  regionHover.x = -1;
});

function regionOf(marks, width, box) {
  const x = box.x0, y = box.y0, w = box.x1 - box.x0, h = box.y1 - box.y0;
  const region = new Uint8Array(w * h);
  for (let row = 0; row < h; ++row)
    region.set(marks.subarray((y + row) * width + x, (y + row) * width + x + w), row * w);
  return region;
}

// The digest the server checks a stroke's box against (see studio_runs.h).
function digestOf(bytes) {
  let d = 0x811c9dc5;
  for (const b of bytes) d = Math.imul(d ^ b, 16777619);
  return (d >>> 0).toString(16);
}

// A stroke's marks go to the server, and into the history with what they
// replaced. Each says what it expects to replace: another window on the same
// session may have painted there since.
function commitStroke(box) {
  const before = regionOf(state.sent, state.width, box);
  const after = regionOf(state.marks, state.width, box);
  if (before.every((v, i) => v === after[i])) return;
  const image = state.image;
  state.lastStroke = {x: (box.x0 + box.x1) / 2, y: (box.y0 + box.y1) / 2};
  state.strokeAt = performance.now();
  state.timings.push({at: state.strokeAt});
  if (state.timings.length > 1000) state.timings.shift();
  // Its values are label numbers: undone or redone after another window
  // changed the labels, they would mark other labels.
  const names = labelNames();
  const entry = {
    what: "stroke",
    image,
    undo: whileStill(names, () => putMarks(image, box, before, after)),
    redo: whileStill(names, () => putMarks(image, box, after, before)),
  };
  record(entry);
  putMarks(image, box, after, before).catch((e) => {
    forget(entry);  // the server does not hold it
    showError(e.message);
  });
}

// Sets the marks of image inside box (to values, row by row), here when the
// image is on screen and at the server, then segments again. With expected,
// the server keeps them only over those marks; if another window changed
// them, the marks are fetched again and the error says so.
function putMarks(image, box, values, expected) {
  const x = box.x0, y = box.y0, w = box.x1 - box.x0, h = box.y1 - box.y0;
  if (image === state.image && !state.marks) state.marksMissed = true;
  if (image === state.image && state.marks) {
    for (let row = 0; row < h; ++row) {
      const at = (y + row) * state.width + x;
      state.marks.set(values.subarray(row * w, row * w + w), at);
      state.sent.set(values.subarray(row * w, row * w + w), at);
    }
    paintMarksCanvas(x, y, w, h);
    drawPart(x, y, x + w, y + h);
  }
  const body = encodeRuns(values);
  const expect = expected ? `&expect=${digestOf(expected)}` : "";
  markUnsaved();
  const done = edit(() => request("POST",
                                  `/api/marks?i=${image}&x=${x}&y=${y}&w=${w}&h=${h}${expect}&labels=${labelsDigest()}`,
                                  body, "application/octet-stream").then((r) => r.json())
    .then((a) => { state.server.revision = a.revision; return a; }));
  changed();
  return done.catch(async (e) => {
    if (e.marksChanged) throw await caughtUp("Another window changed these marks or the labels");
    // Not kept (the studio busy): the page shows what the server holds.
    if (e.status > 0) await showServerMarks();
    throw e;
  });
}

// The marks of the image on screen as the server holds them, unless an edit
// of this window is on its way or begins meanwhile (its answer tells).
async function showServerMarks() {
  const started = editsStarted, i = state.image;
  if (editsPending || !state.marks) return;
  try {
    const runs = await (await request("GET", `/api/marks?i=${i}`)).arrayBuffer();
    if (editsStarted !== started || editsPending || stroke || i !== state.image) return;
    showMarks(runs);
    changed();
  } catch (e) { /* the error shown says what is wrong */ }
}

// The label names as this window knows them when a change is sent (after the
// label changes sent before it): the server refuses a stroke or label change
// by label number when another window has changed the labels meanwhile.
function labelsDigest() {
  return digestOf(new TextEncoder().encode(state.server.labels.map((l) => l.name).join("\n")));
}

// A window brought to the front shows what other windows changed meanwhile
// (else its next stroke or label change would be the first to find out, and
// be refused). Not during a stroke or an edit: the next time, then.
async function refreshIfChanged() {
  if (!state.server || !state.marks || editsPending || stroke) return;
  const started = editsStarted, i = state.image;
  try {
    const s = await getJson("/api/state");
    if (s.revision === state.server.revision) return;
    const runs = await (await request("GET", `/api/marks?i=${i}`)).arrayBuffer();
    // An edit of this window since (a stroke begun as it came to the front)
    // is not in what was fetched.
    if (editsStarted !== started || editsPending || stroke || i !== state.image) return;
    applyState(s);
    showMarks(runs);
    changed();
  } catch (e) { /* the next change says what is wrong */ }
}
window.addEventListener("focus", refreshIfChanged);
document.addEventListener("visibilitychange", () => { if (!document.hidden) refreshIfChanged(); });

// Takes the session as the server has it after another window changed it.
async function catchUp() {
  applyState(await getJson("/api/state"));
  await reloadMarks();
  changed();
}

// The error for a change the server refused because another window changed
// what it would change (what says what): the session is shown as it is now.
async function caughtUp(what) {
  await catchUp();
  const error = new Error(what + " meanwhile, so that change was not made; they are now shown as " +
                          "they are.");
  error.marksChanged = true;
  return error;
}

// The image pixel under a resting pointer: its line is said again when a
// segmentation arrives (null when the pointer is off the image).
let pixelAt = null;
function refreshPixelInfo() {
  if (pixelAt) showPixelInfo(pixelAt);
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

// --- undo ---------------------------------------------------------------------

const history = {undo: [], redo: []};
let historyQueue = Promise.resolve();

// Drops entry from the history: what it would undo was not made.
function forget(entry) {
  const at = history.undo.indexOf(entry);
  if (at >= 0) history.undo.splice(at, 1);
  updateUndo();
}

function record(entry) {
  history.undo.push(entry);
  if (history.undo.length > 500) history.undo.shift();
  history.redo.length = 0;
  updateUndo();
}

function updateUndo() {
  $("undo").disabled = !history.undo.length;
  $("redo").disabled = !history.redo.length;
  const last = history.undo[history.undo.length - 1], next = history.redo[history.redo.length - 1];
  $("undo").title = "Undo " + (last ? last.what + " " : "") + "(Ctrl+Z)";
  $("redo").title = "Redo " + (next ? next.what + " " : "") + "(Ctrl+Shift+Z)";
  document.body.dataset.history = history.undo.length + "/" + history.redo.length;
}

// Moves the newest entry of from to to, doing or undoing it; one at a time.
function step(from, to, which) {
  historyQueue = historyQueue.then(async () => {
    const entry = from.pop();
    if (!entry) return;
    updateUndo();
    try {
      // A stroke is undone or redone where it was painted, which comes on
      // screen: a change out of sight would be taken for none, and repeated.
      if (entry.image !== undefined && entry.image !== state.image) await showImage(entry.image);
      await entry[which]();
      to.push(entry);
    } catch (e) {
      if (!e.marksChanged) from.push(entry);  // else what it would change is gone
      showError("Could not " + which + " the " + entry.what + ": " + e.message);
    }
    updateUndo();
  });
  return historyQueue;
}
const undo = () => step(history.undo, history.redo, "undo");
const redo = () => step(history.redo, history.undo, "redo");
$("undo").addEventListener("click", undo);
$("redo").addEventListener("click", redo);

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
    const r = await postJson("/api/region", {image: state.image, x, y, minArea: state.minArea});
    if (r && regionHover.x === x && regionHover.y === y && state.server.labels[r.label])
      $("pixel-info").textContent = text + `  ·  ${state.server.labels[r.label].name} #${r.id}: ${r.area} px`;
  } catch (e) { /* the plain pixel line stays */ }
  regionHover.busy = false;
  const next = regionHover.pending;
  regionHover.pending = null;
  if (next && next[0] === regionHover.x && next[1] === regionHover.y) showRegionInfo(...next);
}


// --- segmentation -----------------------------------------------------------

// After any change: the image on screen is segmented at once (a request
// already sent is superseded, the server stops it), then the others.
function changed() {
  state.gaveWay = 0;
  for (const p of state.previews) if (p) p.fresh = false;
  ++state.previewRun;
  renderStrip();
  scheduleSegment(0);
}

function scheduleSegment(delay) {
  clearTimeout(state.segmentTimer);
  state.segmentTimer = setTimeout(() => { state.segmentTimer = 0; segment(); }, delay || 0);
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

// The labels' colours and marks as the server's last training left them.
function takeLabels(labels) {
  if (!labels || !state.server) return;
  const old = state.server.labels;
  const recoloured = labels.length === old.length && labels.some((l, i) => l.color !== old[i].color);
  const same = labels.length === old.length &&
               labels.every((l, i) => l.color === old[i].color && l.marked === old[i].marked &&
                                      l.name === old[i].name && l.auto === old[i].auto);
  if (same) return;
  state.server.labels = labels;
  renderLabels();
  if (recoloured && state.marks) paintMarksCanvas(0, 0, state.width, state.height);
  renderStrip();
  drawCursor();
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
    if (!state.server.labels.length) {
      state.labels = null; state.grey = null; state.counts = null;
      composeOverlay(); renderShares(); refreshPixelInfo();
      showNote("");
      document.body.dataset.segmented = String(seq);
      refreshPreviews();
      return;
    }
    const first = firstWindow();
    if (first) {
      const part = await ask(wanted, first);
      if (!current()) return;
      takeLabels(part.meta.labels);
      applyPartial(part, wanted !== "labels");
      noteTiming("onScreen");
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
    state.gaveWay = 0;
    state.labels = frame.pixels;
    state.grey = grey;
    state.counts = frame.meta.counts;
    takeLabels(frame.meta.labels);
    state.regions = frame.meta.regions;
    showTiming(frame.meta, first ? "whole image" : "");
    // Its own failure is over; another's (a refused stroke, say) stays said.
    if (state.segmentFailed) hideError();
    state.segmentFailed = false;
    composeOverlay();
    refreshPixelInfo();
    noteTiming("onScreen");
    noteTiming("whole");
    noteServer(frame.meta);
    renderShares();
    showNeeds();
    document.body.dataset.segmented = String(seq);
    refreshPreviews();
  } catch (e) {
    // A newer request took over (409), or too many wait for the studio (503):
    // asked again in a moment unless this window has sent a newer one. A 409
    // may come while this is the newest: one of this window's sent before it
    // that reached the server after it, or another window's. Asked again at
    // most 3 times in a row, each waiting twice as long: two windows whose
    // segmentations keep taking over from each other then let one finish.
    if (e.status === 503) {
      if (current()) scheduleSegment(1000);
      return;
    }
    if (e.status === 409) {
      if (current() && state.gaveWay < 3) scheduleSegment(250 * 2 ** state.gaveWay++);
      return;
    }
    if (current()) {
      state.labels = null; state.grey = null; state.counts = null;
      composeOverlay();
      renderShares();
      refreshPixelInfo();
      // Nothing to train from yet is no failure: say what to do.
      if (e.status === 422 && e.message.includes("marks yet")) {
        showNote(e.message);
      } else {
        showError(e.message);
        state.segmentFailed = true;
      }
      document.body.dataset.segmented = String(seq);
      refreshPreviews();
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

function setBusy(busy) {
  const s = $("status");
  s.classList.toggle("busy", busy);
  s.textContent = busy ? "segmenting…" : state.lastTiming;
}

// The status line is cut where the header is narrow: its whole text on hover.
new MutationObserver(() => { $("status").title = $("status").textContent; })
  .observe($("status"), {childList: true, characterData: true, subtree: true});

function showError(message) {
  const e = $("error");
  e.textContent = message;
  e.hidden = false;
}

// Hides the error shown; what the session file lacks stays said.
function hideError() {
  if (state.notSaved) showError(state.notSaved);
  else if (state.openFailures) showError(state.openFailures);
  else $("error").hidden = true;
}

$("error").addEventListener("click", () => { state.openFailures = ""; hideError(); });

// A note over the image that is no failure: what the user can do next.
function showNote(message) {
  $("note").textContent = message;
  $("note").hidden = !message;
}

const kNamedNeeds = 6;

// Labels that have no marks yet are left out; say so in place.
function showNeeds() {
  const labels = state.server ? state.server.labels : [];
  const needs = labels.filter((l) => !l.marked).map((l) => l.name);
  // A few names, then how many more: a note of 200 names would hide the image.
  const named = needs.length <= kNamedNeeds ? needs.join(", ")
    : needs.slice(0, kNamedNeeds - 1).join(", ") + " and " + (needs.length - kNamedNeeds + 1) + " more";
  showNote(!needs.length ? "" : (needs.length === 1 ? needs[0] + " needs" : named + " need") +
           " marks: pick " + (needs.length === 1 ? "it" : "one") +
           " and paint some of its pixels. The segmentation shown leaves " +
           (needs.length === 1 ? "it" : "them") + " out.");
}

// --- the strip of open images ---------------------------------------------------

// Previews of every open image, the one on screen first; a change stops the
// round (the server also stops a preview at work for any edit).
async function refreshPreviews() {
  const run = ++state.previewRun;
  const images = state.server ? state.server.images : [];
  const order = [state.image, ...images.map((_, i) => i).filter((i) => i !== state.image)];
  state.previewsBusy = true;
  try {
    for (const i of order) {
      if (run !== state.previewRun) return;
      if (state.previews[i] && state.previews[i].fresh) continue;
      let res;
      // A preview gives way to any other request (a hover over a region, say); when no
      // newer round of previews has begun, it is asked for again a moment later.
      while (!res) {
        try {
          res = await request("POST", "/api/preview",
                              JSON.stringify({image: i, size: PREVIEW_SIZE, minArea: state.minArea}));
        } catch (e) {
          if (e.status !== 409 && e.status !== 503) throw e;  // gave way, or the studio is busy
          await new Promise((resolve) => setTimeout(resolve, e.status === 503 ? 1000 : 250));
          if (run !== state.previewRun) return;
        }
      }
      const {meta, body} = parseFrame(new Uint8Array(await res.arrayBuffer()));
      if (run !== state.previewRun) return;
      const n = meta.width * meta.height;
      state.previews[i] = {width: meta.width, height: meta.height, rgb: body.subarray(0, 3 * n),
                           labels: body.subarray(3 * n, 4 * n), counts: meta.counts, fresh: true};
      takeLabels(meta.labels);
      renderStripItem(i);
    }
    document.body.dataset.previews = String(run);
    noteTiming("previews");
  } catch (e) {
    showError(e.message);
  } finally {
    if (run === state.previewRun) state.previewsBusy = false;
  }
}

function sharesText(counts) {
  const labels = state.server.labels;
  if (!counts) return labels.length ? "not segmented" : "no labels";
  const total = counts.reduce((a, b) => a + b, 0);
  return labels.map((l, i) => [l.name, counts[i]])
               .filter(([, c]) => c > 0).sort((a, b) => b[1] - a[1])
               .map(([name, c]) => name + " " + (100 * c / total).toFixed(0) + "%").join(" · ") || "all unlabelled";
}

function renderStrip() {
  const strip = $("strip");
  const images = state.server ? state.server.images : [];
  while (strip.childElementCount > images.length) strip.lastChild.remove();
  images.forEach((_, i) => renderStripItem(i));
}

function renderStripItem(i) {
  const strip = $("strip");
  const info = state.server.images[i];
  let li = strip.children[i];
  if (!li) {
    li = document.createElement("li");
    li.dataset.image = i;
    const canvas = document.createElement("canvas");
    const name = document.createElement("span"); name.className = "name";
    const bar = document.createElement("span"); bar.className = "bar";
    const shares = document.createElement("span"); shares.className = "shares";
    li.append(canvas, name, bar, shares);
    li.addEventListener("click", () => {
      if (Number(li.dataset.image) !== state.image) showImage(Number(li.dataset.image)).catch((e) => showError(e.message));
    });
    strip.append(li);
  }
  const p = state.previews[i];
  li.classList.toggle("on", i === state.image);
  li.classList.toggle("stale", !p || !p.fresh);
  li.querySelector(".name").textContent = info.title;
  li.title = `${info.title} (${info.width} × ${info.height})`;
  const canvas = li.querySelector("canvas");
  const bar = li.querySelector(".bar");
  bar.textContent = "";
  if (!p) { li.querySelector(".shares").textContent = "…"; return; }
  canvas.width = p.width; canvas.height = p.height;
  const colours = labelRgb();
  const img = new ImageData(p.width, p.height);
  const alpha = Number($("opacity").value) / 100;
  for (let k = 0, o = 0; k < p.labels.length; ++k, o += 4) {
    const c = colours[p.labels[k]];
    for (let ch = 0; ch < 3; ++ch)
      img.data[o + ch] = c ? Math.round(p.rgb[3 * k + ch] * (1 - alpha) + c[ch] * alpha) : p.rgb[3 * k + ch];
    img.data[o + 3] = 255;
  }
  canvas.getContext("2d").putImageData(img, 0, 0);
  li.querySelector(".shares").textContent = sharesText(p.counts);
  li.querySelector(".shares").title = li.querySelector(".shares").textContent;
  if (p.counts) {
    const total = p.counts.reduce((a, b) => a + b, 0);
    state.server.labels.forEach((l, k) => {
      const part = document.createElement("span");
      part.style.width = (100 * p.counts[k] / total) + "%";
      part.style.background = l.color;
      bar.append(part);
    });
  }
}

// --- labels -----------------------------------------------------------------

function share(count) {
  if (!state.counts) return "";
  const total = state.counts.reduce((a, b) => a + b, 0);
  return (100 * count / total).toFixed(1) + "%";
}

const kLegendRows = 12;

// The labels the legend shows, in their order: all of them, or, when there
// are more than it has rows for, those that cover most of the image (the list
// of labels has every one).
function legendLabels(labels) {
  const all = labels.map((_, i) => i);
  if (labels.length <= kLegendRows) return all;
  const covered = (i) => (state.counts ? state.counts[i] : 0);
  return all.sort((a, b) => covered(b) - covered(a) || a - b).slice(0, kLegendRows).sort((a, b) => a - b);
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
    // Its ends under the ramp's ends, whatever the width of the legend's columns.
    const scale = cell("scale");
    for (const end of ["0", "255"]) scale.append(Object.assign(document.createElement("span"), { textContent: end }));
  } else {
    legendLabels(labels).forEach((i) => {
      const label = labels[i];
      cell("swatch").style.background = label.color;
      cell("name", label.name);  // a long one is cut: the list of labels has it whole
      cell("num", !label.marked ? "needs marks" : state.counts ? share(state.counts[i]) + regionCountText(i) : "");
    });
    if (labels.length > kLegendRows) cell("wide more", "and " + (labels.length - kLegendRows) + " more labels");
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
  const labels = state.server ? state.server.labels : [];
  $("labels").querySelectorAll("li[data-label]").forEach((li) => {
    const i = Number(li.dataset.label);
    const s = li.querySelector(".share");
    const needs = labels[i] && !labels[i].marked;
    s.textContent = needs ? "needs marks" : state.counts ? share(state.counts[i]) : "";
    s.classList.toggle("needs", !!needs);
    s.title = needs ? "Not trained yet: paint some of its pixels" : "";
  });
  $("unlabelled-share").textContent =
    state.counts ? share(state.counts[state.counts.length - 1]) : "";
}

function setActive(i) {
  state.active = i;
  $("labels").querySelectorAll("li[data-label]").forEach((li) =>
    li.classList.toggle("active", Number(li.dataset.label) === i));
  drawCursor();
}

// Updates the list in place: a field being edited keeps its focus and text.
function renderLabels() {
  const list = $("labels");
  const labels = state.server.labels;
  if (state.active >= labels.length) state.active = Math.max(0, labels.length - 1);
  const items = list.querySelectorAll("li[data-label]");
  if (items.length !== labels.length || !labels.length) {
    list.textContent = "";
    if (!labels.length) {
      const li = document.createElement("li");
      li.className = "empty";
      li.textContent = "No labels yet: name one below.";
      list.append(li);
    }
    labels.forEach((_, i) => list.append(labelItem(i)));
  }
  list.querySelectorAll("li[data-label]").forEach((li, i) => {
    const label = labels[i];
    li.classList.toggle("active", i === state.active);
    const swatch = li.querySelector(".swatch");
    swatch.style.background = label.color;
    swatch.title = "Colour of " + label.name + (label.auto ? " (automatic)" : "") + ": click to change";
    const name = li.querySelector(".name");
    if (document.activeElement !== name || name.readOnly) name.value = label.name;
    li.querySelector(".delete").title = "Delete " + label.name + " and its marks";
  });
  renderShares();
}

function labelItem(i) {
  const li = document.createElement("li");
  li.dataset.label = i;
  const swatch = document.createElement("button");
  swatch.className = "swatch"; swatch.type = "button";
  swatch.addEventListener("click", (e) => { e.stopPropagation(); setActive(i); openColorMenu(i, swatch); });
  const name = document.createElement("input");
  name.className = "name"; name.maxLength = 64; name.spellcheck = false;
  // A click selects the label (its shortcuts still work); a double click edits the name.
  name.readOnly = true; name.title = "Double-click (or F2) to rename";
  name.addEventListener("dblclick", () => { name.readOnly = false; name.select(); });
  name.addEventListener("blur", () => { name.readOnly = true; });
  name.addEventListener("focus", () => setActive(i));
  name.addEventListener("change", () => {
    const label = state.server.labels[i], to = name.value.trim(), from = label.name;
    if (!to || to === from) { name.value = from; return; }
    // Undone, an automatic colour comes back as it was, as for a colour change.
    const inverse = label.auto ? {op: "rename", label: i, name: from, was: label.color}
                               : {op: "rename", label: i, name: from};
    labelChange({op: "rename", label: i, name: to}, inverse, "rename")
      .catch(() => { if (document.activeElement !== name) name.value = state.server.labels[i].name; });
  });
  name.addEventListener("keydown", (e) => {
    if (name.readOnly && (e.key === "Enter" || e.key === "F2")) {
      e.preventDefault(); name.readOnly = false; name.select(); return;
    }
    if (e.key === "Enter") name.blur();
    if (e.key === "Escape") { name.value = state.server.labels[i].name; name.blur(); }
  });
  const pct = document.createElement("span");
  pct.className = "share";
  const del = document.createElement("button");
  del.className = "delete"; del.textContent = "×"; del.type = "button";
  del.addEventListener("click", (e) => {
    e.stopPropagation();
    if (!del.classList.contains("confirm")) {
      del.classList.add("confirm");
      del.title = "Click again to delete";
      setTimeout(() => del.classList.remove("confirm"), 2500);
      return;
    }
    deleteLabel(i).catch((err) => showError(err.message));
  });
  li.append(swatch, name, pct, del);
  // Selecting a label changes classes only: nothing is re-created under the pointer.
  li.addEventListener("click", () => setActive(i));
  return li;
}

// The labels' names in order: a label change's undo and redo name labels by
// their places, so they are made only while the names are as they were.
function labelNames() { return state.server.labels.map((l) => l.name).join("\n"); }

// change, made only while now() (by default the label names) is still
// expected; what names what another window may have changed.
function whileStill(expected, change, now = labelNames, what = "labels") {
  return () => {
    if (now() === expected) return change();
    // Another window changed them, and this one has caught up since (else
    // the server would refuse it): that place may hold another label now.
    const error = new Error(`another window changed the ${what} since, so it was not made`);
    error.marksChanged = true;  // and it is dropped: what it would change is gone
    return Promise.reject(error);
  };
}

// Sends a label change, records it with its inverse (or the inverse made from
// the server's answer), and shows the result; returns the answer. key tells
// what the undo needs as the change left it (by default the names; a colour
// change, the colour); the redo needs the names as they were.
async function labelChange(change, inverse, what, key = labelNames) {
  try {
    const before = labelNames();
    const s = await applyLabelChange(change);
    const undo = typeof inverse === "function" ? inverse(s) : inverse;
    record({what, undo: whileStill(key(), () => applyLabelChange(undo), key),
            redo: whileStill(before, () => applyLabelChange(change))});
    return s;
  } catch (e) {
    showError(e.message);
    renderLabels();
    throw e;
  }
}

async function applyLabelChange(change) {
  let s;
  try {
    s = await edit(() => postJson("/api/labels", {...change, labels: labelsDigest()}));
  } catch (e) {
    if (!e.marksChanged) throw e;
    throw await caughtUp("Another window changed the labels");
  }
  markUnsaved();
  applyState(s);
  if (state.marks) paintMarksCanvas(0, 0, state.width, state.height);
  composeOverlay();
  renderStrip();
  if (change.op === "add" || change.op === "insert" || change.op === "delete") changed();
  else showNeeds();
  return s;
}

// Deleting drops the label's marks on every image: keep them to undo.
async function deleteLabel(i) {
  const label = state.server.labels[i];
  const saved = await edit(() => Promise.all(state.server.images.map((_, k) =>
    request("GET", `/api/marks?i=${k}`).then((r) => r.arrayBuffer()))));
  const restore = {op: "insert", label: i, name: label.name, color: label.auto ? null : label.color};
  const images = state.server.images.slice();
  const undoDelete = async () => {
    await applyLabelChange(restore);
    // The label's marks come back where their pixels are still unmarked; what
    // another window painted since stays.
    await Promise.all(saved.map(async (runs, k) => {
      const {width, height} = images[k];
      const before = decodeRuns(new Uint8Array(runs), width * height);
      const now = decodeRuns(new Uint8Array(await edit(() => request("GET", `/api/marks?i=${k}`)
        .then((r) => r.arrayBuffer()))), width * height);
      const merged = now.map((v, p) => (v === 0 && before[p] === i + 1 ? i + 1 : v));
      if (merged.some((v, p) => v !== now[p]))
        await putMarks(k, {x0: 0, y0: 0, x1: width, y1: height}, merged, now);
    }));
    await reloadMarks();
    setActive(i);
    changed();
  };
  const doDelete = async () => {
    await applyLabelChange({op: "delete", label: i});
    await reloadMarks();
  };
  const before = labelNames();
  await doDelete();
  record({what: "label deletion", undo: whileStill(labelNames(), undoDelete),
          redo: whileStill(before, doDelete)});
}

// The marks of the image on screen, as the server has them.
async function reloadMarks() {
  const i = state.image;
  const runs = await (await request("GET", `/api/marks?i=${i}`)).arrayBuffer();
  if (i !== state.image) return;
  showMarks(runs);
  draw();
}

// The marks of the image on screen, as the server sent them (run-encoded).
function showMarks(runs) {
  state.marks = decodeRuns(new Uint8Array(runs), state.width * state.height);
  state.sent = state.marks.slice();
  paintMarksCanvas(0, 0, state.width, state.height);
}

$("add-label").addEventListener("submit", async (e) => {
  e.preventDefault();
  const name = $("new-label").value.trim();
  if (!name) return;
  try {
    // The server picks the colour (of the name, or near the marks' once painted). The new
    // label is the last of the answer: an add sent before this one's answer came counts too.
    const s = await labelChange({op: "add", name}, (s) => ({op: "delete", label: s.labels.length - 1}),
                                "new label");
    if ($("new-label").value.trim() === name) $("new-label").value = "";
    setActive(s.labels.length - 1);
  } catch (err) { /* shown */ }
});

// The colour menu of a label: common colours, automatic, or any.
const PICKS = ["#ff0000", "#ff8c00", "#ffd700", "#9acd32", "#008000", "#00ced1", "#1e90ff", "#0000cd",
               "#8a2be2", "#ff00ff", "#ff69b4", "#8b4513", "#d2b48c", "#ffffff", "#c0c0c0", "#808080",
               "#000000", "#800000"];
let menuLabel = -1;
for (const c of PICKS) {
  const b = document.createElement("button");
  b.type = "button"; b.style.background = c; b.title = c; b.dataset.color = c;
  b.addEventListener("click", () => recolor(menuLabel, c));
  $("color-swatches").append(b);
}
$("color-auto").addEventListener("click", () => recolor(menuLabel, null));
$("color-other").addEventListener("change", (e) => recolor(menuLabel, e.target.value));

function openColorMenu(i, anchor) {
  menuLabel = i;
  const menu = $("color-menu");
  const r = anchor.getBoundingClientRect();
  menu.style.left = r.left + "px";
  menu.style.top = (r.bottom + 4) + "px";
  $("color-other").value = state.server.labels[i].color;
  menu.hidden = false;
  menu.querySelector("button").focus();  // its colours, then Automatic, by Tab
}

function closeColorMenu() { $("color-menu").hidden = true; menuLabel = -1; }
document.addEventListener("pointerdown", (e) => {
  if (!$("color-menu").hidden && !$("color-menu").contains(e.target) && !e.target.classList.contains("swatch"))
    closeColorMenu();
});

function recolor(i, color) {
  closeColorMenu();
  const label = state.server.labels[i];
  if (!label) return;
  // Undone, an automatic colour comes back as it was (derived afresh, it could differ a little).
  const inverse = label.auto ? {op: "recolor", label: i, color: null, was: label.color}
                             : {op: "recolor", label: i, color: label.color};
  // A chosen colour is undone only while it is the one chosen here, not another
  // window's since (an automatic one moves with the marks: the names alone).
  const key = color === null ? labelNames : () => labelNames() + "\n" + (state.server.labels[i] || {}).color;
  labelChange({op: "recolor", label: i, color}, inverse, "colour change", key).catch(() => {});
}

// --- settings, tools, views ---------------------------------------------------

function applyState(s) {
  // The chosen label stays chosen where another window added or deleted labels
  // before it: found by its name; where its name is gone (renamed), it keeps its place.
  const chosen = state.server && state.server.labels[state.active];
  const at = chosen ? s.labels.findIndex((l) => l.name === chosen.name) : -1;
  if (at >= 0) state.active = at;
  // The pointer's line named labels by the numbers they had.
  const names = (labels) => labels.map((l) => l.name).join("\n");
  if (state.server && names(state.server.labels) !== names(s.labels)) $("pixel-info").textContent = "";
  state.server = s;
  const st = s.settings;
  $("tolerance-frac").value = st.toleranceFrac;
  $("tolerance-min").value = st.toleranceMin;
  $("neighborhood").value = st.neighborhood;
  $("normalize").checked = st.normalize;
  // A setting like the others (kept in the session, undone by Undo), part of what Save tool writes.
  state.minArea = st.minArea || 0;
  $("min-area").value = state.minArea;
  const select = $("image-select");
  if (select.options.length !== s.images.length) {
    select.textContent = "";
    s.images.forEach((img, i) => select.append(new Option(`${img.title} (${img.width} × ${img.height})`, i)));
  }
  select.value = state.image;
  // Auto's answer tells of the settings it left: not of others set since (an undo, say).
  $("auto-result").hidden = !autoRun.shownFor || JSON.stringify(autoSettingsOf(st)) !== autoRun.shownFor;
  renderLabels();
}

// The settings Auto chooses: its answer stays shown while they are in force.
function autoSettingsOf(s) {
  const {minArea, ...chosen} = settingsOf(s);
  return chosen;
}

function settingsOf(s) {
  return {toleranceFrac: s.toleranceFrac, toleranceMin: s.toleranceMin, neighborhood: s.neighborhood,
          normalize: s.normalize, minArea: s.minArea || 0};
}

// A settings change's undo and redo send every setting: only while they are
// as it left them, else they would undo another window's change too.
function whileSettingsAre(value, change) {
  const text = (s) => JSON.stringify(settingsOf(s));
  return whileStill(text(value), change, () => text(state.server.settings), "settings");
}

async function putSettings(value) {
  applyState(await edit(() => postJson("/api/settings", value)));
  markUnsaved();
  changed();
}

async function sendSettings() {
  const before = settingsOf(state.server.settings);
  const value = {
    toleranceFrac: Number($("tolerance-frac").value),
    toleranceMin: Math.round(Number($("tolerance-min").value)),
    neighborhood: Math.round(Number($("neighborhood").value)),
    normalize: $("normalize").checked,
    minArea: Math.max(0, Math.round(Number($("min-area").value)) || 0),
  };
  if (JSON.stringify(value) === JSON.stringify(before)) { applyState(state.server); return; }
  try {
    await putSettings(value);
    record({what: "setting", undo: whileSettingsAre(value, () => putSettings(before)),
            redo: whileSettingsAre(before, () => putSettings(value))});
  } catch (e) {
    showError(e.message);
    applyState(state.server);  // the fields show what is in force
  }
}
for (const id of ["tolerance-frac", "tolerance-min", "neighborhood", "normalize", "min-area"])
  $(id).addEventListener("change", sendSettings);

// --- automatic settings ---------------------------------------------------------

// Auto: the server searches the settings that segment the marks best (as
// clsg train --auto does); the page shows its progress, offers Cancel, takes
// up the choice as one undoable setting change and says what the estimate means.
const autoRun = {running: false, cancelled: false, poll: 0, seen: [], shownFor: ""};

function showAutoProgress(p) {
  if (!autoRun.running || !p.running) return;
  $("auto-progress").max = p.steps;
  $("auto-progress").value = p.done;
  $("auto-progress").title = `${p.done} of ${p.steps} tolerances scored`;
  $("status").textContent = `Auto: ${p.done}/${p.steps}…`;
  autoRun.seen.push(p.done);
}

function pollAuto() {
  autoRun.poll = setTimeout(async () => {
    try { showAutoProgress(await getJson("/api/auto/progress")); } catch (e) { /* the answer says */ }
    if (autoRun.running) pollAuto();
  }, 100);
}

function percentText(v) { return (100 * v).toFixed(1) + " %"; }

function showAutoResult(a) {
  autoRun.shownFor = JSON.stringify(autoSettingsOf(state.server.settings));
  const p = $("auto-result");
  p.textContent = "";
  const strong = document.createElement("strong");
  strong.textContent = `about ${percentText(a.estimate)}`;
  p.append(`Chose fraction ${a.toleranceFrac}, minimum ${a.toleranceMin}, neighbourhood ${a.neighborhood} ` +
           `(${a.candidates} tried). Expect `, strong,
           " of each label's pixels to get their label, judged on marks held back from training and on " +
           "samples of the images. Of the pixels whose colours you have not marked, one in ten is " +
           "counted wrong: a guess.");
  if (a.overBudget.length)
    p.append(" Not tried, as training there would cost more than the studio allows: " +
             a.overBudget.map(t => `fraction ${t.toleranceFrac} (minimum ${t.toleranceMin})`).join(", ") + ".");
  if (a.warnings && a.warnings.length) {  // as clsg train --auto warns
    const list = document.createElement("ul");
    list.className = "auto-warnings";
    for (const w of a.warnings) {
      const item = document.createElement("li");
      item.textContent = w.charAt(0).toUpperCase() + w.slice(1) + ".";
      list.append(item);
    }
    p.append(list);
  }
  const widened = Math.max(0, a.uncovered - a.pictureUnlabelled);
  p.title = `Marks held back: ${percentText(a.heldOutBalancedAccuracy)} got their label (the mean over ` +
            `labels). Samples of the images: ${percentText(a.pictureUnlabelled)} left unlabelled, and ` +
            `${percentText(widened)} labelled that the narrowest fraction tried (${a.uncoveredFraction}, at minimum 2 and neighbourhood 1) ` +
            "leaves unlabelled. The " +
            "estimate is the first times the share labelled, less a tenth of the second share, counted as " +
            "wrong: a guess, as marks held back cannot show how often a colour no mark holds gets a wrong " +
            "label. Check the other images and mark where they are wrong.";
  p.hidden = false;
  p.scrollIntoView({block: "nearest"});
}

function setAutoRunning(running) {
  autoRun.running = running;
  $("auto").disabled = running;
  // The search sets these: a change sent meanwhile would be lost under its choice.
  for (const id of ["tolerance-frac", "tolerance-min", "neighborhood", "normalize", "min-area"]) $(id).disabled = running;
  $("auto-progress").hidden = !running;
  $("auto-cancel").hidden = !running;
  $("auto-cancel").disabled = false;
  $("auto-progress").value = 0;
  $("status").classList.toggle("busy", running);
  $("status").textContent = running ? "Auto…" : state.lastTiming;
}

async function runAuto() {
  if (autoRun.running || !state.server) return;
  const before = settingsOf(state.server.settings);
  autoRun.cancelled = false;
  autoRun.seen = [];
  autoRun.shownFor = "";
  $("auto-result").hidden = true;
  setAutoRunning(true);
  pollAuto();
  try {
    const answer = await edit(() => postJson("/api/auto", {}));
    applyState(answer);
    const after = settingsOf(answer.settings);
    if (autoRun.cancelled) {
      // The search ended before the cancel reached it: its choice is not wanted.
      await putSettings(before);
      showAutoCancelled();
      return;
    }
    markUnsaved();
    changed();
    record({what: "automatic settings", undo: whileSettingsAre(after, () => putSettings(before)),
            redo: whileSettingsAre(before, () => putSettings(after))});
    showAutoResult(answer.auto);
  } catch (e) {
    if (e.status === 409 && autoRun.cancelled) showAutoCancelled();
    else if (e.status === 409) showError("Auto was cancelled in another window: the settings are as they were.");
    else showError("Auto could not choose the settings: " + e.message);
  } finally {
    clearTimeout(autoRun.poll);
    setAutoRunning(false);
  }
}

function showAutoCancelled() {
  $("auto-result").textContent = "Auto stopped: the settings are as they were.";
  $("auto-result").title = "";
  autoRun.shownFor = JSON.stringify(autoSettingsOf(state.server.settings));
  $("auto-result").hidden = false;
  $("auto-result").scrollIntoView({block: "nearest"});
}

$("auto").addEventListener("click", runAuto);

// The buttons that are a label around a hidden file or colour input (Open…,
// Open folder…, Other…): reached by Tab, pressed by Enter or Space.
for (const button of document.querySelectorAll("label.button")) {
  button.tabIndex = 0;
  button.addEventListener("keydown", (e) => {
    if (e.key !== "Enter" && e.key !== " ") return;
    e.preventDefault();
    e.stopPropagation();  // no Space held for panning
    button.querySelector("input").click();
  });
}
$("auto-cancel").addEventListener("click", () => {
  if (!autoRun.running) return;
  autoRun.cancelled = true;
  $("auto-cancel").disabled = true;
  $("status").textContent = "stopping the search…";
  postJson("/api/auto/cancel", {}).catch((e) => showError(e.message));
});

function choose(groupId, attr, value) {
  for (const b of $(groupId).querySelectorAll("button")) b.classList.toggle("on", b.dataset[attr] === value);
}

function setTool(tool) { state.tool = tool; choose("tools", "tool", tool); drawCursor(); }

$("tools").addEventListener("click", (e) => { if (e.target.dataset.tool) setTool(e.target.dataset.tool); });

$("views").addEventListener("click", (e) => {
  const v = e.target.dataset.view;
  if (!v) return;
  const needGrey = v === "confidence" || v === "score";
  const refetch = needGrey && v !== state.view;
  state.view = v;
  choose("views", "view", v);
  if (refetch) { state.grey = null; scheduleSegment(0); }
  composeOverlay();
  renderLegend();
});

function showBrushSize() { $("brush-size-out").textContent = $("brush-size").value + " px"; drawCursor(); }
$("brush-size").addEventListener("input", showBrushSize);
$("opacity").addEventListener("input", () => {
  $("opacity-out").textContent = $("opacity").value + "%";
  composeOverlay();
});
$("opacity").addEventListener("change", renderStrip);
$("show-marks").addEventListener("change", draw);
$("zoom-fit").addEventListener("click", fit);
$("zoom-one").addEventListener("click", () => setScale(1, {x: view.clientWidth / 2, y: view.clientHeight / 2}));
$("help").addEventListener("click", () => $("help-dialog").showModal());

document.addEventListener("keydown", (e) => {
  // An open dialog has the keys (Escape closes it): nothing changes behind it.
  if (document.querySelector("dialog[open]")) return;
  // Escape closes the colour menu, whatever has the focus, and changes nothing.
  if (e.key === "Escape" && !$("color-menu").hidden) {
    e.preventDefault();
    const swatch = $("labels").querySelector(`li[data-label="${menuLabel}"] .swatch`);
    closeColorMenu();
    if (swatch) swatch.focus();  // where the menu was opened from
    return;
  }
  // Letters go to fields that take text; a slider, checkbox or button with the
  // focus (after a click on it) leaves them to the shortcuts.
  const t = e.target, controls = ["checkbox", "radio", "range", "button", "submit", "reset", "color", "file"];
  const typing = (t.tagName === "INPUT" && !t.readOnly && !controls.includes(t.type)) ||
                 t.tagName === "SELECT" || t.tagName === "TEXTAREA";
  const key = e.key.length === 1 ? e.key.toLowerCase() : e.key;
  // The label field, emptied by the Enter that added a label, has no text to undo: the page has.
  const emptyLabelField = t.id === "new-label" && t.value === "";
  if ((e.ctrlKey || e.metaKey) && (!typing || emptyLabelField) && (key === "z" || key === "y")) {
    e.preventDefault();
    // Not in the middle of a stroke: it would change the marks the stroke is painting.
    if (stroke) return;
    if (key === "y" || e.shiftKey) redo(); else undo();
    return;
  }
  if (typing || e.ctrlKey || e.metaKey) return;
  if (e.altKey) {
    const n = Number(e.code.replace("Digit", ""));
    if (n >= 1 && n <= state.server.labels.length) { e.preventDefault(); setActive(n - 1); }
    return;
  }
  const size = $("brush-size");
  const images = state.server ? state.server.images.length : 0;
  const keys = {
    b: () => setTool("brush"),
    r: () => setTool("rect"),
    e: () => setTool("eraser"),
    "[": () => { size.value = Number(size.value) - Math.max(1, Math.round(size.value / 8)); showBrushSize(); },
    "]": () => { size.value = Number(size.value) + Math.max(1, Math.round(size.value / 8)); showBrushSize(); },
    "0": fit,
    "1": () => setScale(1, {x: view.clientWidth / 2, y: view.clientHeight / 2}),
    "?": () => $("help-dialog").showModal(),
    PageUp: () => images && showImage((state.image + images - 1) % images),
    PageDown: () => images && showImage((state.image + 1) % images),
  };
  // Space pans while held, except where it presses what has the focus (a button, a checkbox).
  const presses = t.tagName === "BUTTON" || t.tagName === "SUMMARY" ||
                  (t.tagName === "INPUT" && ["checkbox", "radio", "button", "submit", "reset"].includes(t.type));
  if (e.key === " " && presses) return;
  if (e.key === " ") { spaceDown = true; e.preventDefault(); return; }
  if (keys[key]) { e.preventDefault(); keys[key](); }
});
document.addEventListener("keyup", (e) => { if (e.key === " ") spaceDown = false; });
window.addEventListener("resize", () => { if (state.fitted) fit(); else draw(); drawCursor(); });

// --- images -------------------------------------------------------------------

async function showImage(i) {
  endStroke();  // a stroke under way ends on the image it began on
  state.image = i;
  $("image-select").value = i;
  $("pixel-info").textContent = "";  // it told of the image left
  pixelAt = null;
  regionHover.x = -1;
  const info = state.server.images[i];
  state.width = info.width; state.height = info.height;
  state.labels = null; state.grey = null; state.counts = null; state.marks = null;
  state.lastStroke = null;
  renderShares();  // nor its shares and regions
  renderStrip();
  // Until its pixels come (they wait for an Auto search at work), the view is
  // empty rather than the last image under this one's name.
  for (const c of [imageCanvas, overlayCanvas, marksCanvas]) { c.width = info.width; c.height = info.height; }
  fit();
  const waiting = autoRun.running ? `${info.title} shows when Auto is done…` : "";
  if (waiting) $("status").textContent = waiting;
  // The marks as the edits sent before (an undo, say) leave them; one sent
  // while they come finds no marks here to change, and has them fetched again.
  state.marksMissed = false;
  const marksDone = editQueue.then(() => request("GET", `/api/marks?i=${i}`)).then((r) => r.arrayBuffer());
  editQueue = marksDone.catch(() => {});
  const [rgb, marks] = await Promise.all([
    request("GET", `/api/image?i=${i}`).then((r) => r.arrayBuffer()),
    marksDone,
  ]);
  if (waiting && $("status").textContent === waiting) $("status").textContent = "";
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
  state.sent = state.marks.slice();
  marksImage = new ImageData(info.width, info.height);
  paintMarksCanvas(0, 0, info.width, info.height);
  composeOverlay();
  renderShares();
  fit();
  if (state.marksMissed) {
    await editQueue;
    await reloadMarks();
  }
  // Painted or not, the image shows what the tool makes of it.
  scheduleSegment(0);
}

$("image-select").addEventListener("change", (e) => showImage(Number(e.target.value)).catch((err) => showError(err.message)));

const IMAGE_TYPES = /\.(png|jpe?g|tiff?|bmp|ppm|pgm|pnm)$/i;

// Opens files one after another; shows the first one opened.
async function openFiles(files) {
  // In the order of their names, as clsg studio opens a folder it is given.
  const key = (f) => f.webkitRelativePath || f.name;
  files = Array.from(files).filter((f) => IMAGE_TYPES.test(f.name))
    .sort((a, b) => (key(a) < key(b) ? -1 : key(a) > key(b) ? 1 : 0));
  if (!files.length) { showError("No image files there (PNG, JPEG, TIFF, BMP or PNM)."); return; }
  const first = state.server.images.length;
  let s = null;
  const failed = [];
  for (let k = 0; k < files.length; ++k) {
    $("status").textContent = `opening ${files[k].name} (${k + 1} of ${files.length})…`;
    const file = files[k];
    try {
      s = await edit(async () => (await request("POST", "/api/images?name=" + encodeURIComponent(file.name),
                                                await file.arrayBuffer(), "application/octet-stream")).json());
    } catch (err) {
      failed.push(err.message);  // the others still open
    }
  }
  // Said until files are opened again or the message is clicked: a later
  // segmentation hides other errors.
  state.openFailures = failed.length ? `${failed.length} of ${files.length} files did not open (click to ` +
                                       `dismiss): ${failed.join("; ")}` : "";
  if (failed.length) showError(state.openFailures);
  else hideError();
  $("status").textContent = state.lastTiming;
  if (!s) return;
  applyState(s);
  renderStrip();
  // An earlier studio may have left marks on an image just opened.
  if (s.restore) await offerRestore(s.restore);
  await showImage(first);
}

for (const id of ["image-file", "image-folder"])
  $(id).addEventListener("change", async (e) => {
    await openFiles(e.target.files).catch((err) => showError(err.message));
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

// Marks the work as not saved since the last Save tool or Export masks.
function markUnsaved() {
  state.unsaved = true;
  ++state.changes;
}

// After a save or export: saved, unless something changed after it was asked for.
function savedAsOf(changes) {
  if (state.changes === changes) state.unsaved = false;
}

$("save-tool").addEventListener("click", async () => {
  try {
    const changes = state.changes;
    const r = await edit(() => postJson("/api/save", {file: $("tool-name").value.trim(), minArea: state.minArea}));
    $("status").textContent = "saved " + r.path;
    savedAsOf(changes);
    document.body.dataset.saved = r.path;
    document.body.dataset.runCommand = r.command;
    showCommand("Tool saved", "Segment images as this page does:", r.command,
                "Wrote " + r.path + (r.notes.length ? ". " + r.notes.join(". ") : ""));
  } catch (e) {
    showError(e.message);
  }
});

$("export-masks").addEventListener("click", async () => {
  try {
    const changes = state.changes;
    const r = await edit(() => postJson("/api/export", {dir: $("export-name").value.trim(), minArea: state.minArea}));
    // Training gives the tool; the run line gives the page's settings (neighbourhood,
    // normalisation, minimum area), which the tool alone does not hold.
    showCommand("Masks exported",
                r.runCommand ? "The same tool from the command line, and the run that segments as this " +
                               "page does:" : "The same tool from the command line:",
                r.runCommand ? r.command + "\n" + r.runCommand : r.command,
                "Wrote " + r.files.join(", ") + (r.notes.length ? ". " + r.notes.join(". ") : ""));
    savedAsOf(changes);
  } catch (e) {
    showError(e.message);
  }
});

// The server keeps every change in its session file, but a page closed with
// work not saved as a tool or masks asks first.
window.addEventListener("beforeunload", (e) => {
  if (!state.unsaved) return;
  e.preventDefault();
  e.returnValue = "";
});

// An earlier studio on these images left marks: offer them back.
function offerRestore(earlier) {
  return new Promise((resolve) => {
    const dialog = $("restore-dialog");
    $("restore-text").textContent = `Restore the marks from ${earlier.savedAt}? ` +
      `(${earlier.labels} label${earlier.labels === 1 ? "" : "s"}, marks on ` +
      `${earlier.images} image${earlier.images === 1 ? "" : "s"})`;
    dialog.addEventListener("close", async () => {
      try {
        const accept = dialog.returnValue === "restore";
        applyState(await edit(() => postJson("/api/restore", {accept})));
        if (accept) state.active = 0;
      } catch (e) {
        showError(e.message);
      }
      resolve();
    }, {once: true});
    dialog.showModal();
  });
}

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
  // True when every change so far has its segmentation on the page. A change
  // still on its way to the server (a setting, say) has not asked for one yet.
  settled() { return !editsPending && !state.segmentTimer && state.seqDone === state.seqSent; },
  // True when, besides, every image's preview is up to date.
  allSettled() {
    return this.settled() && !state.previewsBusy && state.server &&
           state.server.images.every((_, i) => state.previews[i] && state.previews[i].fresh);
  },
  previews() { return state.previews.map((p) => p && {counts: p.counts, fresh: p.fresh}); },
  view() { return {scale: state.scale, offsetX: state.offsetX, offsetY: state.offsetY, image: state.image}; },
  settings() { return state.server && state.server.settings; },
  timings() { return state.timings; },
  costs() { return costs; },
  labels() { return state.server && state.server.labels; },
  chosen() { const l = state.server && state.server.labels[state.active]; return l ? l.name : null; },
  marksAt(x, y) { return state.marks ? state.marks[y * state.width + x] : -1; },
  // Pixels of [x0, x1) x [y0, y1) marked with value.
  marksCount(x0, y0, x1, y1, value) {
    let n = 0;
    for (let y = y0; y < y1; ++y) for (let x = x0; x < x1; ++x) n += state.marks[y * state.width + x] === value;
    return n;
  },
  unsaved() { return state.unsaved; },
  // The progress answers Auto showed (steps done), and whether it is at work.
  autoSeen() { return autoRun.seen; },
  autoRunning() { return autoRun.running; },
};

// --- start ----------------------------------------------------------------------

(async () => {
  try {
    applyState(await getJson("/api/state"));
    updateUndo();
    showBrushSize();
    renderStrip();
    if (state.server.restore) await offerRestore(state.server.restore);
    if (state.server.images.length) await showImage(0);
    else showError("No image is open: use Open… or start clsg studio with image files.");
  } catch (e) {
    showError(e.message);
  }
})();
