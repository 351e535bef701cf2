// Cuts (stretches of the recording left out of the export) and speeds (stretches played faster):
// how the editor keeps them, changes them and what they do to the exported length. Pure functions
// over plain objects, like edit_model.js; an edit without them has no "cuts" or "speeds" member.
// The C++ side restores saved ones with the same rules (src/app/export_edit_payload_stretches.cpp).

export const MIN_STRETCH_MS = 100;
export const SPEED_RATES = Object.freeze([1.25, 1.5, 2, 3, 4, 8]);
export const DEFAULT_RATE = 2;
const KINDS = Object.freeze(['cuts', 'speeds']);

const isNumber = (v) => typeof v === 'number' && Number.isFinite(v);
const clamp = (v, lo, hi) => Math.min(Math.max(v, lo), hi);

// A saved list as the editor keeps it: usable elements with their edges rounded and inside the
// recording, at least MIN_STRETCH_MS long, in time order, of two that overlap the earlier kept;
// a speed's rate within 1.25–8 (DEFAULT_RATE when missing).
export function settleStretches(list, durationMs, speed) {
  const duration = Math.max(0, Math.trunc(durationMs) || 0);
  const usable = (Array.isArray(list) ? list : [])
    .filter((s) => s && typeof s === 'object' && isNumber(s.startMs) && isNumber(s.endMs))
    .map((s) => ({ startMs: clamp(Math.round(s.startMs), 0, duration),
                   endMs: clamp(Math.round(s.endMs), 0, duration),
                   rate: isNumber(s.rate) ? clamp(s.rate, 1.25, 8) : DEFAULT_RATE }))
    .filter((s) => s.endMs - s.startMs >= MIN_STRETCH_MS)
    .sort((a, b) => a.startMs - b.startMs);
  const out = [];
  for (const s of usable) {
    if (out.length && s.startMs < out[out.length - 1].endMs) continue;
    out.push(speed ? s : { startMs: s.startMs, endMs: s.endMs });
  }
  return out;
}

function withList(edit, kind, list) {
  if (!KINDS.includes(kind)) throw new Error(`No such stretch kind: ${kind}`);
  const next = { ...edit };
  if (list.length) next[kind] = list; else delete next[kind];
  return next;
}

// `edit` with a new cut or speed over [startMs, endMs] (ends in either order), or null when it
// would be too short or would overlap one of its kind.
export function addStretch(edit, kind, startMs, endMs, durationMs, rate = DEFAULT_RATE) {
  const a = Math.min(startMs, endMs);
  const b = Math.max(startMs, endMs);
  const list = edit[kind] ?? [];
  const [added] = settleStretches([{ startMs: a, endMs: b, rate }], durationMs, kind === 'speeds');
  if (!added || list.some((s) => added.startMs < s.endMs && s.startMs < added.endMs)) return null;
  return withList(edit, kind, [...list, added].sort((x, y) => x.startMs - y.startMs));
}

// `edit` with stretch `index` of `kind` moved to start at `startMs`, keeping its length, stopped
// by its neighbours and the recording's ends.
export function moveStretch(edit, kind, index, startMs, durationMs) {
  const list = edit[kind] ?? [];
  const s = list[index];
  if (!s) return edit;
  const length = s.endMs - s.startMs;
  const lo = index > 0 ? list[index - 1].endMs : 0;
  const hi = (index + 1 < list.length ? list[index + 1].startMs : Math.max(0, durationMs)) - length;
  const start = clamp(Math.round(startMs), lo, Math.max(lo, hi));
  const moved = list.map((x, i) => (i === index ? { ...x, startMs: start, endMs: start + length } : x));
  return withList(edit, kind, moved);
}

export function setRate(edit, index, rate) {
  const list = edit.speeds ?? [];
  if (!list[index] || !isNumber(rate)) return edit;
  return withList(edit, 'speeds', list.map((s, i) => (i === index
    ? { ...s, rate: clamp(rate, 1.25, 8) } : s)));
}

export function removeStretch(edit, kind, index) {
  return withList(edit, kind, (edit[kind] ?? []).filter((_, i) => i !== index));
}

// How long the export of `edit` lasts, ms: its range with the cuts taken out and the speeds'
// stretches shortened by their rates (a cut wins where a cut and a speed overlap).
export function outputLengthMs(edit) {
  const { startMs, endMs } = edit.range;
  const edges = new Set([startMs, endMs]);
  for (const s of [...(edit.cuts ?? []), ...(edit.speeds ?? [])]) {
    for (const t of [s.startMs, s.endMs]) if (t > startMs && t < endMs) edges.add(t);
  }
  const points = [...edges].sort((a, b) => a - b);
  let total = 0;
  for (let i = 0; i + 1 < points.length; i += 1) {
    const mid = (points[i] + points[i + 1]) / 2;
    if ((edit.cuts ?? []).some((c) => c.startMs <= mid && mid < c.endMs)) continue;
    const speed = (edit.speeds ?? []).find((s) => s.startMs <= mid && mid < s.endMs);
    total += (points[i + 1] - points[i]) / (speed ? speed.rate : 1);
  }
  return total;
}

// A GIF's size before it is made, bytes: from its picture count and area, at about 0.05 byte a
// pixel, as a screen recording comes out once each picture keeps only what changed since the one
// before (a still screen far less, scrolling or video far more). A guess to show, never a
// promise.
export function estimatedGifBytes(lengthMs, width, height, fps) {
  return Math.round((lengthMs / 1000) * fps * width * height * 0.05);
}
