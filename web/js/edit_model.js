// The editor's model of one recording's edit: what the person chose (export range, zoom regions,
// background and frame, cursor, webcam, audio gains, output height and shape), how it is kept in
// the project file, how it becomes the payload of "edit.exportRender" and "edit.previewFrame", the
// rules that keep zoom regions apart, and the undo history. Pure functions over plain objects that
// are never changed in place (an undo step is the previous object); no DOM.
//
// Times are milliseconds on the recording's timeline; `fx`/`fy` are fractions of the recorded
// picture, (0, 0) at its top-left.

import { keysPayload, settleKeys } from './keystroke_model.js';
import { settleStretches } from './stretch_model.js';

export const EDIT_VERSION = 1;

// The ramp lengths of a zoom, as the export takes them by default.
export const ZOOM_IN_MS = 1522.575;
export const ZOOM_OUT_MS = 1015.05;
// A new region's length, and the shortest a region can be made.
export const NEW_ZOOM_MS = 3000;
export const MIN_ZOOM_MS = 300;
// The shortest export range the editor offers (the export refuses 40 ms and less).
export const MIN_RANGE_MS = 500;

export const FOLLOW_MODES = Object.freeze(['fixed', 'cursor', 'caret']);
// "none": the recording fills the picture, with no background, padding or frame.
export const BACKGROUND_TYPES = Object.freeze(['none', 'wallpaper', 'gradient', 'color', 'live']);
export const CURSOR_STYLES = Object.freeze(['arrow', 'system', 'tahoe', 'tahoe-inverted', 'figma',
                                            'dot', 'invert']);
export const WEBCAM_SHAPES = Object.freeze(['squircle', 'circle', 'wide']);
export const WEBCAM_PLACES = Object.freeze(['top-left', 'top-center', 'top-right', 'center-left',
                                            'center', 'center-right', 'bottom-left',
                                            'bottom-center', 'bottom-right']);
// Output heights offered below the recording's own (0 keeps the recording's size).
export const OUTPUT_HEIGHTS = Object.freeze([2160, 1440, 1080, 720, 480]);
// Output shapes: the recording's own, or a canvas of that aspect with the recording framed whole
// inside it, keeping the short side's pixels (src/render/output_shape.cpp).
export const SHAPES = Object.freeze(['original', '16:9', '9:16', '1:1', '4:3']);

const COLOR = /^#[0-9a-f]{6}$/i;
const NAME = /^[\p{L}\p{M}\p{N}-]+$/u;

// What each setting may hold: the kind, the range a number is clamped to and its default. A value
// of another kind (from an older or damaged project file, or a control gone wrong) takes the
// default; a number outside its range is brought to the nearest end.
const SECTIONS = Object.freeze({
  frame: {
    type: { kind: 'enum', values: BACKGROUND_TYPES, value: 'wallpaper' },
    id: { kind: 'name', value: 'aurora' },
    from: { kind: 'color', value: '#7f5af0' },
    to: { kind: 'color', value: '#2cb1bc' },
    angle: { kind: 'number', min: 0, max: 360, value: 160 },
    hex: { kind: 'color', value: '#1b1a26' },
    paddingPct: { kind: 'number', min: 0, max: 40, value: 12 },
    radiusPct: { kind: 'number', min: 0, max: 20, value: 3 },
    shadowPct: { kind: 'number', min: 0, max: 100, value: 45 },
    outlinePct: { kind: 'number', min: 0, max: 4, value: 0 },
  },
  cursor: {
    render: { kind: 'bool', value: true },
    style: { kind: 'enum', values: CURSOR_STYLES, value: 'arrow' },
    size: { kind: 'number', min: 1, max: 3, value: 2 },
    smooth: { kind: 'number', min: 0, max: 1, value: 0.5 },
    ripple: { kind: 'bool', value: true },
    bounce: { kind: 'number', min: 0, max: 1, value: 0.5 },
    motionBlur: { kind: 'number', min: 0, max: 1, value: 0.4 },
    sway: { kind: 'number', min: 0, max: 1, value: 0.3 },
  },
  webcam: {
    enabled: { kind: 'bool', value: true },
    shape: { kind: 'enum', values: WEBCAM_SHAPES, value: 'squircle' },
    size: { kind: 'number', min: 10, max: 60, value: 40 },
    positionPreset: { kind: 'enum', values: [...WEBCAM_PLACES, 'custom'], value: 'bottom-right' },
    // Where "custom" puts the bubble: fractions of the room left beside it, as the presets.
    positionX: { kind: 'number', min: 0, max: 1, value: 1 },
    positionY: { kind: 'number', min: 0, max: 1, value: 1 },
    // 1/1080 of the picture's measure; null: the shape's own corners.
    cornerRadius: { kind: 'number', min: 0, max: 200, value: null },
    shadow: { kind: 'number', min: 0, max: 1, value: 0.67 },
    margin: { kind: 'number', min: 0, max: 160, value: 24 },
    mirror: { kind: 'bool', value: true },
    reactToZoom: { kind: 'bool', value: true },
  },
  // Linear gains: 1 leaves a track as recorded, 0 silences it.
  audio: {
    mic: { kind: 'number', min: 0, max: 2, value: 1 },
    system: { kind: 'number', min: 0, max: 2, value: 1 },
  },
});

const clamp = (v, lo, hi) => Math.min(Math.max(v, lo), hi);
const isNumber = (v) => typeof v === 'number' && Number.isFinite(v);
const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);

function settle(spec, raw) {
  switch (spec.kind) {
    case 'number': return isNumber(raw) ? clamp(raw, spec.min, spec.max) : spec.value;
    case 'bool': return typeof raw === 'boolean' ? raw : spec.value;
    case 'enum': return spec.values.includes(raw) ? raw : spec.value;
    case 'color': return typeof raw === 'string' && COLOR.test(raw) ? raw.toLowerCase() : spec.value;
    case 'name': return typeof raw === 'string' && NAME.test(raw) ? raw : spec.value;
    default: return spec.value;
  }
}

// `section` ("frame", "cursor", "webcam", "audio") with every key settled from `raw` over `base`.
function settleSection(section, raw, base = {}) {
  const out = {};
  for (const [key, spec] of Object.entries(SECTIONS[section])) {
    out[key] = settle({ ...spec, value: key in base ? base[key] : spec.value },
                      isObject(raw) ? raw[key] : undefined);
  }
  return out;
}

// ---- The recording's own tracks --------------------------------------------------------------

const trackSamples = (v) => (Array.isArray(v) ? v.filter((s) => Array.isArray(s) && s.length >= 3
  && isNumber(s[0]) && isNumber(s[1]) && isNumber(s[2])) : []);

// What the project file says about the recording, as the editor needs it: the pointer path,
// caret path and clicks (in the encodings the export takes), the webcam movie, and why a track
// is missing when the recording said.
export function projectTracks(project) {
  const p = isObject(project) ? project : {};
  const webcam = isObject(p.webcam) && typeof p.webcam.file === 'string' &&
    p.webcam.file.endsWith('.webcam.mp4') ? p.webcam : null;
  return {
    cursorPath: trackSamples(p.cursorPath),
    caretPath: trackSamples(p.caretPath),
    clicks: Array.isArray(p.clicks) ? p.clicks.filter((c) => isObject(c) && isNumber(c.t)) : [],
    webcam,
    // Why a track is missing, as the recording knew it: { clicks, caretPath } texts.
    missing: Object.fromEntries(['clicks', 'caretPath'].map((k) => [k, isObject(p.missing)
      && typeof p.missing[k] === 'string' && p.missing[k] ? p.missing[k] : null])),
  };
}

// ---- A new edit, and one read back from the project file -------------------------------------

function wholeRange(durationMs) {
  return { startMs: 0, endMs: Math.max(0, Math.trunc(durationMs) || 0) };
}

// The edit of a recording opened for the first time. `wallpaper`: the id of the first wallpaper
// the page has.
export function defaultEdit(durationMs, project = null, { wallpaper = 'aurora' } = {}) {
  const { webcam } = projectTracks(project);
  const frame = settleSection('frame', {});
  if (typeof wallpaper === 'string' && NAME.test(wallpaper)) frame.id = wallpaper;
  return {
    version: EDIT_VERSION,
    range: wholeRange(durationMs),
    zooms: [],
    frame,
    cursor: settleSection('cursor', {}),
    // The webcam as it was recorded: on, in the shape chosen for the bubble.
    webcam: settleSection('webcam', webcam ? {
      enabled: true,
      shape: webcam.shape,
      size: isNumber(webcam.width) ? webcam.width : undefined,
    } : { enabled: false }),
    audio: settleSection('audio', {}),
    targetHeight: 0,
  };
}

// A range inside the recording, at least MIN_RANGE_MS long where the recording allows it.
export function clampRange(range, durationMs) {
  const duration = Math.max(0, Math.trunc(durationMs) || 0);
  const gap = Math.min(MIN_RANGE_MS, duration);
  const start = clamp(Math.round(isNumber(range?.startMs) ? range.startMs : 0), 0, duration - gap);
  const end = clamp(Math.round(isNumber(range?.endMs) ? range.endMs : duration), start + gap,
                    duration);
  return { startMs: start, endMs: end };
}

function settleZoom(raw, id) {
  return {
    id,
    startMs: raw.startMs,
    endMs: raw.endMs,
    scale: isNumber(raw.scale) ? clamp(raw.scale, 1, 6) : 2,
    fx: isNumber(raw.fx) ? clamp(raw.fx, 0, 1) : 0.5,
    fy: isNumber(raw.fy) ? clamp(raw.fy, 0, 1) : 0.5,
    follow: FOLLOW_MODES.includes(raw.follow) ? raw.follow : 'fixed',
    inMs: isNumber(raw.inMs) ? clamp(raw.inMs, 100, 5000) : ZOOM_IN_MS,
    outMs: isNumber(raw.outMs) ? clamp(raw.outMs, 100, 5000) : ZOOM_OUT_MS,
  };
}

// Zoom regions as the editor keeps them: inside the recording, at least MIN_ZOOM_MS long, in time
// order, none overlapping another (of two that overlap, the earlier stays), each with its own id.
export function settleZooms(list, durationMs) {
  const duration = Math.max(0, Math.trunc(durationMs) || 0);
  const usable = (Array.isArray(list) ? list : [])
    .filter((z) => isObject(z) && isNumber(z.startMs) && isNumber(z.endMs))
    .map((z) => ({ ...z, startMs: clamp(Math.round(z.startMs), 0, duration),
                   endMs: clamp(Math.round(z.endMs), 0, duration) }))
    .filter((z) => z.endMs - z.startMs >= MIN_ZOOM_MS)
    .sort((a, b) => a.startMs - b.startMs);
  const out = [];
  const ids = new Set();
  for (const z of usable) {
    if (out.length && z.startMs < out[out.length - 1].endMs) continue;
    let id = typeof z.id === 'string' && z.id && !ids.has(z.id) ? z.id : null;
    if (!id) id = nextZoomId(out.concat(usable));
    ids.add(id);
    out.push(settleZoom(z, id));
  }
  return out;
}

// The edit kept in a project file (its "edit" member), checked key by key: whatever is missing,
// of the wrong kind or out of range takes its default, so that a damaged or older file still
// opens. Null when the file holds no edit.
export function restoreEdit(stored, durationMs, project = null, options = {}) {
  if (!isObject(stored)) return null;
  const base = defaultEdit(durationMs, project, options);
  const { webcam } = projectTracks(project);
  const edit = {
    version: EDIT_VERSION,
    range: isObject(stored.range) ? clampRange(stored.range, durationMs) : base.range,
    zooms: settleZooms(stored.zooms, durationMs),
    frame: settleSection('frame', stored.frame, base.frame),
    cursor: settleSection('cursor', stored.cursor, base.cursor),
    webcam: settleSection('webcam', stored.webcam, base.webcam),
    audio: settleSection('audio', stored.audio, base.audio),
    targetHeight: isNumber(stored.targetHeight) && OUTPUT_HEIGHTS.includes(stored.targetHeight)
      ? stored.targetHeight : 0,
  };
  for (const [kind, speed] of [['cuts', false], ['speeds', true]]) {
    const list = settleStretches(stored[kind], durationMs, speed);
    if (list.length) edit[kind] = list;
  }
  if (SHAPES.includes(stored.shape) && stored.shape !== 'original') edit.shape = stored.shape;
  if (isObject(stored.keys)) edit.keys = settleKeys(stored.keys);
  // No webcam movie beside the recording: nothing to show, whatever was saved.
  if (!webcam) edit.webcam = { ...edit.webcam, enabled: false };
  return edit;
}

// The project to save: everything the file held (the recorded tracks, and members written by
// other versions) with the edit put in.
export function projectWithEdit(project, edit) {
  const base = isObject(project) ? project : { version: 1 };
  return { ...base, edit };
}

// ---- Changes ---------------------------------------------------------------------------------

// `edit` with `patch` applied to one section ("frame", "cursor", "webcam", "audio"), settled;
// a value of the wrong kind leaves the setting as it was.
export function setSection(edit, section, patch) {
  if (!(section in SECTIONS)) throw new Error(`No such section: ${section}`);
  return { ...edit, [section]: settleSection(section, { ...edit[section], ...patch },
                                                 edit[section]) };
}

export function setRange(edit, range, durationMs) {
  return { ...edit, range: clampRange({ ...edit.range, ...range }, durationMs) };
}

// Moves one edge of the export range to `ms`; the other edge stays and this one stops short of it.
export function moveRangeEdge(edit, edge, ms, durationMs) {
  const duration = Math.max(0, Math.trunc(durationMs) || 0);
  const gap = Math.min(MIN_RANGE_MS, duration);
  const t = Math.round(Number(ms) || 0);
  const { startMs, endMs } = edit.range;
  const range = edge === 'start'
    ? { startMs: clamp(t, 0, Math.max(0, endMs - gap)), endMs }
    : { startMs, endMs: clamp(t, Math.min(duration, startMs + gap), duration) };
  return { ...edit, range };
}

// An edit of the recording's own shape holds no "shape" (as older edits did not).
export function setShape(edit, shape) {
  const { shape: _old, ...rest } = edit;
  return SHAPES.includes(shape) && shape !== 'original' ? { ...rest, shape } : rest;
}

// ---- Looks: the styling one recording's edit can pass on to another ------------------------

// The look of an edit: background and frame, cursor, webcam style (not whether it shows: that
// depends on the recording) and output shape.
export function lookOf(edit) {
  const { enabled: _on, ...webcam } = edit.webcam;
  return { frame: { ...edit.frame }, cursor: { ...edit.cursor }, webcam,
           shape: edit.shape ?? 'original' };
}

// `edit` styled by `look` (from the settings, so checked key by key like a saved edit).
export function withLook(edit, look) {
  if (!isObject(look)) return edit;
  const webcam = isObject(look.webcam) ? { ...look.webcam, enabled: edit.webcam.enabled } : {};
  return setShape({ ...edit, frame: settleSection('frame', look.frame, edit.frame),
                    cursor: settleSection('cursor', look.cursor, edit.cursor),
                    webcam: settleSection('webcam', webcam, edit.webcam) }, look.shape);
}

export function setTargetHeight(edit, height) {
  return { ...edit, targetHeight: OUTPUT_HEIGHTS.includes(height) ? height : 0 };
}

// The output heights worth offering for a recording `sourceHeight` pixels high (unknown: all).
export function outputHeights(sourceHeight) {
  return OUTPUT_HEIGHTS.filter((h) => !(sourceHeight > 0) || h < sourceHeight);
}

// ---- Zoom regions ----------------------------------------------------------------------------

export function nextZoomId(zooms) {
  let n = 0;
  for (const z of zooms) {
    const m = /^z(\d+)$/.exec(z?.id ?? '');
    if (m) n = Math.max(n, Number(m[1]));
  }
  return `z${n + 1}`;
}

export function zoomById(edit, id) {
  return edit.zooms.find((z) => z.id === id) ?? null;
}

// The region under `ms` (its start included, its end not).
export function zoomAt(edit, ms) {
  return edit.zooms.find((z) => z.startMs <= ms && ms < z.endMs) ?? null;
}

// The free stretch of the timeline around `ms` that a region `id` may occupy: from the end of
// the region before it to the start of the one after it.
function room(zooms, id, ms, durationMs) {
  let lo = 0;
  let hi = Math.max(0, Math.trunc(durationMs) || 0);
  for (const z of zooms) {
    if (z.id === id) continue;
    if (z.endMs <= ms) lo = Math.max(lo, z.endMs);
    else if (z.startMs >= ms) hi = Math.min(hi, z.startMs);
  }
  return { lo, hi };
}

function replaceZoom(edit, zoom) {
  const zooms = edit.zooms.map((z) => (z.id === zoom.id ? zoom : z))
    .sort((a, b) => a.startMs - b.startMs);
  return { ...edit, zooms };
}

// Adds a region starting at `ms`, NEW_ZOOM_MS long or as long as the free stretch there allows.
// Returns {edit, id}, or null when `ms` is inside a region or the free stretch is shorter than
// MIN_ZOOM_MS. A playhead close to the end of the recording (or of the stretch) starts the region
// earlier so that it still fits.
export function addZoom(edit, ms, durationMs, fields = {}) {
  const t = Math.round(Number(ms) || 0);
  if (zoomAt(edit, t)) return null;
  const { lo, hi } = room(edit.zooms, null, t, durationMs);
  if (hi - lo < MIN_ZOOM_MS) return null;
  const length = Math.min(NEW_ZOOM_MS, hi - lo);
  const startMs = clamp(t, lo, hi - length);
  const id = nextZoomId(edit.zooms);
  const zoom = settleZoom({ ...fields, startMs, endMs: startMs + length }, id);
  return { edit: replaceZoom({ ...edit, zooms: [...edit.zooms, zoom] }, zoom), id };
}

// Moves region `id` to start at `startMs`, keeping its length: it stops against its neighbours
// and the ends of the recording rather than jumping over them.
export function moveZoom(edit, id, startMs, durationMs) {
  const zoom = zoomById(edit, id);
  if (!zoom) return edit;
  const length = zoom.endMs - zoom.startMs;
  const { lo, hi } = room(edit.zooms, id, zoom.startMs, durationMs);
  const start = clamp(Math.round(Number(startMs) || 0), lo, Math.max(lo, hi - length));
  return replaceZoom(edit, { ...zoom, startMs: start, endMs: start + length });
}

// Moves one edge ("start" or "end") of region `id` to `ms`, between its neighbour and its other
// edge less MIN_ZOOM_MS.
export function resizeZoom(edit, id, edge, ms, durationMs) {
  const zoom = zoomById(edit, id);
  if (!zoom) return edit;
  const { lo, hi } = room(edit.zooms, id, zoom.startMs, durationMs);
  const t = Math.round(Number(ms) || 0);
  const next = edge === 'start'
    ? { ...zoom, startMs: clamp(t, lo, zoom.endMs - MIN_ZOOM_MS) }
    : { ...zoom, endMs: clamp(t, zoom.startMs + MIN_ZOOM_MS, hi) };
  return replaceZoom(edit, next);
}

// Changes the scale, focus or follow mode of region `id`, settled as on reading.
export function updateZoom(edit, id, patch) {
  const zoom = zoomById(edit, id);
  if (!zoom) return edit;
  const { startMs, endMs } = zoom;
  return replaceZoom(edit, settleZoom({ ...zoom, ...patch, startMs, endMs }, id));
}

export function removeZoom(edit, id) {
  return { ...edit, zooms: edit.zooms.filter((z) => z.id !== id) };
}

// ---- The export's payload --------------------------------------------------------------------

function cursorFor(edit, tracks) {
  if (!tracks.cursorPath.length) return null;
  // The camera of a following zoom goes to the caret whenever there is a recent caret sample,
  // wherever the pointer is. So the caret samples sent are those inside regions that follow the
  // caret; a region that follows the pointer sees none.
  const caretZooms = edit.zooms.filter((z) => z.follow === 'caret');
  const caret = tracks.caretPath.filter((s) => caretZooms.some((z) => z.startMs <= s[0] &&
                                                                      s[0] <= z.endMs));
  const c = edit.cursor;
  return {
    path: tracks.cursorPath,
    caret,
    clicks: tracks.clicks,
    size: c.size,
    smooth: c.smooth,
    ripple: c.ripple,
    style: c.style,
    bounce: c.bounce,
    motionBlur: c.motionBlur,
    sway: c.sway,
    render: c.render,
  };
}

const WEBCAM_LOOK = {
  circle: { cornerRadius: 999, aspect: 1 },
  squircle: { cornerRadius: 90, aspect: 1 },
  wide: { cornerRadius: 40, aspect: 9 / 16 },
};

// The webcam's corner radius as drawn: a circle is round whatever was chosen.
export function webcamCorners(webcam) {
  const look = WEBCAM_LOOK[webcam.shape] ?? WEBCAM_LOOK.squircle;
  return webcam.shape === 'circle' || webcam.cornerRadius === null ? look.cornerRadius
    : webcam.cornerRadius;
}

function webcamFor(edit, tracks) {
  if (!tracks.webcam || !edit.webcam.enabled) return null;
  const w = edit.webcam;
  const look = WEBCAM_LOOK[w.shape] ?? WEBCAM_LOOK.squircle;
  return {
    enabled: true,
    file: tracks.webcam.file,
    offsetMs: isNumber(tracks.webcam.offsetMs) ? tracks.webcam.offsetMs : 0,
    mirror: w.mirror,
    positionPreset: w.positionPreset,
    positionX: w.positionX,
    positionY: w.positionY,
    width: w.size,
    height: Math.round(w.size * look.aspect * 100) / 100,
    cornerRadius: webcamCorners(w),
    shadow: w.shadow,
    margin: w.margin,
    reactToZoom: w.reactToZoom,
    shape: w.shape,
  };
}

// The payload of "edit.exportRender" for recording `name`: the edit document's keys and nothing
// else. `project` supplies the recorded tracks. Sections that do not apply (no frame, no cursor
// track, no webcam) are left out.
export function exportPayload(edit, name, project = null) {
  const tracks = projectTracks(project);
  const payload = {
    name,
    startMs: edit.range.startMs,
    endMs: edit.range.endMs,
    zooms: edit.zooms.map((z) => ({
      startMs: z.startMs, endMs: z.endMs, scale: z.scale, fx: z.fx, fy: z.fy,
      follow: z.follow !== 'fixed', inMs: z.inMs, outMs: z.outMs,
    })),
  };
  if (edit.frame.type !== 'none') {
    const f = edit.frame;
    payload.frame = {
      type: f.type, id: f.id, from: f.from, to: f.to, angle: f.angle, hex: f.hex,
      paddingPct: f.paddingPct, radiusPct: f.radiusPct, shadowPct: f.shadowPct,
      outlinePct: f.outlinePct,
    };
  }
  const cursor = cursorFor(edit, tracks);
  if (cursor) payload.cursor = cursor;
  const webcam = webcamFor(edit, tracks);
  if (webcam) payload.webcam = webcam;
  payload.audio = { mic: edit.audio.mic, system: edit.audio.system };
  payload.targetHeight = edit.targetHeight;
  // Only when chosen, so that an edit without them sends what it always sent.
  if (edit.cuts?.length) payload.cuts = edit.cuts.map(({ startMs, endMs }) => ({ startMs, endMs }));
  if (edit.speeds?.length) payload.speeds = edit.speeds.map((s) => ({ ...s }));
  if (edit.shape && edit.shape !== 'original') payload.shape = edit.shape;
  const keys = keysPayload(edit, project);
  if (keys) payload.keys = keys;
  return payload;
}

// What following can do for this recording: the pointer needs the recorded pointer path, the
// caret the caret path as well.
export function followModes(project) {
  const tracks = projectTracks(project);
  return {
    fixed: true,
    cursor: tracks.cursorPath.length > 0,
    caret: tracks.cursorPath.length > 0 && tracks.caretPath.length > 0,
  };
}

// ---- Geometry of the styled picture ----------------------------------------------------------

// Where the recording sits in a picture W × H styled by `frame`, in pixels: all of it, as large as
// fits inside the padded rectangle and centred there; `clip` is the rounded rectangle that shows
// it (with its corner `radius`), which is the scaled recording itself (`screen`). `aspect` is the
// recording's width over its height, when the picture has another shape. The export's frame
// geometry is the same (src/render/composition.cpp: frameGeometry).
export function framePlacement(W, H, frame, aspect = W / H) {
  const styled = frame && frame.type !== 'none';
  if (!styled && !(Math.abs(aspect - W / H) > 1e-3)) {
    return { clip: { x: 0, y: 0, w: W, h: H }, radius: 0, screen: { x: 0, y: 0, w: W, h: H } };
  }
  const m = Math.min(W, H);
  const p = styled ? (clamp(frame.paddingPct, 0, 40) / 100) * m : 0;
  const w = W > 0 && H > 0 && aspect > 0 ? Math.max(0, Math.min(W - 2 * p, (H - 2 * p) * aspect))
    : 0;
  const screen = { x: (W - w) / 2, y: (H - w / aspect) / 2, w, h: w / aspect };
  const clip = { ...screen };
  const radius = styled ? (clamp(frame.radiusPct, 0, 20) / 100) * Math.min(clip.w, clip.h) : 0;
  return { clip, radius, screen };
}

// The point of the recording under (x, y) of the styled picture, as fractions kept within 0..1.
export function pictureToSource(x, y, W, H, frame, aspect = W / H) {
  const { screen } = framePlacement(W, H, frame, aspect);
  if (!(screen.w > 0) || !(screen.h > 0)) return { fx: 0.5, fy: 0.5 };
  return { fx: clamp((x - screen.x) / screen.w, 0, 1), fy: clamp((y - screen.y) / screen.h, 0, 1) };
}

export function sourceToPicture(fx, fy, W, H, frame, aspect = W / H) {
  const { screen } = framePlacement(W, H, frame, aspect);
  return { x: screen.x + fx * screen.w, y: screen.y + fy * screen.h };
}

// The part of the recording a fixed zoom shows at full strength, as fractions: the focus is moved
// in so that the window never leaves the picture.
export function zoomWindow(fx, fy, scale) {
  const half = 1 / (2 * Math.max(scale, 1));
  const cx = clamp(fx, half, 1 - half);
  const cy = clamp(fy, half, 1 - half);
  return { x: cx - half, y: cy - half, w: 2 * half, h: 2 * half };
}

// ---- Undo ------------------------------------------------------------------------------------

export { createHistory } from './history.js';

// ---- Export progress -------------------------------------------------------------------------

// The time an export still needs, in ms, from how long it has run and the fraction done; null
// while too little is done to say.
export function remainingMs(elapsedMs, fraction) {
  if (!(elapsedMs >= 1500) || !(fraction >= 0.03) || fraction > 1) return null;
  return Math.max(0, (elapsedMs * (1 - fraction)) / fraction);
}

export function formatRemaining(ms) {
  if (ms === null || !Number.isFinite(ms)) return 'Estimating time left…';
  if (ms < 10000) return 'A few seconds left';
  if (ms < 60000) return `About ${Math.round(ms / 5000) * 5} seconds left`;
  const minutes = Math.round(ms / 60000);
  return minutes === 1 ? 'About a minute left' : `About ${minutes} minutes left`;
}

// ---- Timeline ruler --------------------------------------------------------------------------

const TICK_STEPS = [100, 200, 500, 1000, 2000, 5000, 10000, 15000, 30000, 60000, 120000, 300000,
                    600000, 1800000, 3600000];

// The labelled ticks of a ruler `widthPx` wide over `durationMs`: the smallest step that keeps
// labels at least `minGapPx` apart.
export function rulerTicks(durationMs, widthPx, minGapPx = 64) {
  if (!(durationMs > 0) || !(widthPx > 0)) return [];
  const step = TICK_STEPS.find((s) => (s / durationMs) * widthPx >= minGapPx) ??
    TICK_STEPS[TICK_STEPS.length - 1];
  const ticks = [];
  for (let ms = 0; ms <= durationMs; ms += step) ticks.push(ms);
  return ticks;
}
