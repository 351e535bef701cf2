// The rules of choosing an area of a display to record: whole points, inside the display, never
// smaller than MIN_AREA, and the usual sizes offered when they fit. Pure; the picker
// (area_picker.js) draws and drives it. Areas are {x, y, width, height} in the display's points
// from its top-left corner, as "recording.start" takes them.

export const AREA_PRESETS = Object.freeze([[1280, 720], [1920, 1080], [1080, 1080], [1080, 1920]]);
export const MIN_AREA = 16;

const clamp = (v, lo, hi) => Math.min(Math.max(v, lo), hi);
const whole = (v, fallback) => (Number.isFinite(v) ? Math.round(v) : fallback);

// The presets that fit on a display of W × H points.
export function presetsThatFit(W, H) {
  return AREA_PRESETS.filter(([w, h]) => w <= W && h <= H);
}

// `area` made whole and moved (then cut) to lie on the display.
export function clampArea(area, W, H) {
  const width = clamp(whole(area.width, MIN_AREA), Math.min(MIN_AREA, W), W);
  const height = clamp(whole(area.height, MIN_AREA), Math.min(MIN_AREA, H), H);
  return { x: clamp(whole(area.x, 0), 0, W - width), y: clamp(whole(area.y, 0), 0, H - height),
           width, height };
}

// The area first offered: 1280 × 720 in the middle when it fits, else most of the display.
export function initialArea(W, H) {
  const [w, h] = presetsThatFit(W, H)[0] ?? [W * 0.8, H * 0.8];
  return clampArea({ x: (W - w) / 2, y: (H - h) / 2, width: w, height: h }, W, H);
}

// A preset's size around the middle of `area`.
export function presetArea([w, h], area, W, H) {
  const cx = area.x + area.width / 2;
  const cy = area.y + area.height / 2;
  return clampArea({ x: cx - w / 2, y: cy - h / 2, width: w, height: h }, W, H);
}

// The area between two corners a drag went from and to.
export function areaFromCorners(a, b, W, H) {
  const x0 = clamp(Math.min(a.x, b.x), 0, W);
  const y0 = clamp(Math.min(a.y, b.y), 0, H);
  const x1 = clamp(Math.max(a.x, b.x), 0, W);
  const y1 = clamp(Math.max(a.y, b.y), 0, H);
  return clampArea({ x: x0, y: y0, width: x1 - x0, height: y1 - y0 }, W, H);
}

// `area` moved by (dx, dy), stopping at the display's edges.
export function movedArea(area, dx, dy, W, H) {
  return clampArea({ ...area, x: area.x + dx, y: area.y + dy }, W, H);
}

// `area` with its bottom-right corner moved by (dx, dy); its top-left stays.
export function resizedArea(area, dx, dy, W, H) {
  return clampArea({ ...area, width: clamp(area.width + dx, MIN_AREA, W - area.x),
                     height: clamp(area.height + dy, MIN_AREA, H - area.y) }, W, H);
}
