// The trim range picked on a recording's waveform, and the waveform's drawing geometry. Pure
// functions; no DOM. Times are integer milliseconds on the recording's timeline.

// The shortest copy the page asks for.
export const MIN_TRIM_MS = 100;

function clamp(value, lo, hi) {
  return Math.min(Math.max(value, lo), hi);
}

// The whole recording.
export function fullRange(durationMs) {
  return { startMs: 0, endMs: Math.max(0, Math.trunc(durationMs) || 0) };
}

// `range` kept inside [0, duration], start before end by at least MIN_TRIM_MS where the
// recording is long enough, whole milliseconds.
export function clampRange(range, durationMs) {
  const duration = Math.max(0, Math.trunc(durationMs) || 0);
  const gap = Math.min(MIN_TRIM_MS, duration);
  let start = clamp(Math.round(Number(range?.startMs) || 0), 0, duration - gap);
  let end = clamp(Math.round(Number(range?.endMs) || 0), start + gap, duration);
  if (end - start < gap) start = Math.max(0, end - gap);
  return { startMs: start, endMs: end };
}

// Moves one edge ("start" or "end") to `ms`; the other edge stays put and the edge stops short
// of it.
export function moveEdge(range, edge, ms, durationMs) {
  const duration = Math.max(0, Math.trunc(durationMs) || 0);
  const gap = Math.min(MIN_TRIM_MS, duration);
  const t = Math.round(Number(ms) || 0);
  if (edge === 'start') {
    return { startMs: clamp(t, 0, Math.max(0, range.endMs - gap)), endMs: range.endMs };
  }
  return { startMs: range.startMs, endMs: clamp(t, Math.min(duration, range.startMs + gap),
                                                duration) };
}

// Which edge a press at `ms` takes: the nearer one.
export function nearerEdge(range, ms) {
  return Math.abs(ms - range.startMs) <= Math.abs(ms - range.endMs) ? 'start' : 'end';
}

export function isWholeRecording(range, durationMs) {
  return range.startMs <= 0 && range.endMs >= Math.trunc(durationMs);
}

// The time under horizontal position `x` of a waveform `width` pixels wide.
export function msAtX(x, width, durationMs) {
  if (!(width > 0) || !(durationMs > 0)) return 0;
  return Math.round(clamp(x / width, 0, 1) * durationMs);
}

export function xAtMs(ms, width, durationMs) {
  if (!(width > 0) || !(durationMs > 0)) return 0;
  return clamp(ms / durationMs, 0, 1) * width;
}

// One bar height (0 to 1) per column of a waveform `columns` wide: the loudest peak falling in
// the column, so that short sounds are never lost however narrow the drawing. Values outside
// 0..1 (or not numbers) are clamped.
export function columnsFromPeaks(peaks, columns) {
  const n = Array.isArray(peaks) ? peaks.length : 0;
  const cols = Math.max(0, Math.floor(columns));
  const out = new Array(cols).fill(0);
  if (!n || !cols) return out;
  for (let c = 0; c < cols; c += 1) {
    const lo = Math.floor((c * n) / cols);
    const hi = Math.max(lo + 1, Math.floor(((c + 1) * n) / cols));
    let peak = 0;
    for (let i = lo; i < hi && i < n; i += 1) {
      const v = Number(peaks[i]);
      if (Number.isFinite(v)) peak = Math.max(peak, clamp(v, 0, 1));
    }
    out[c] = peak;
  }
  return out;
}
