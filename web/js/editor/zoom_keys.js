// What the keys do to a zoom region, for people who do not use a pointer: on its block of the
// timeline the arrows move it and - / + change its length; on the picture's focus point the
// arrows move where it looks. Pure: the timeline and the preview apply the result.

import { moveZoom, resizeZoom, updateZoom, zoomById } from '../edit_model.js';

// Steps: a tenth of a second on the timeline and a hundredth of the picture; Shift takes ten.
const TIME_STEP_MS = 100;
const FOCUS_STEP = 0.01;

const DIRECTIONS = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };

// The edit after `key` on the block of region `id`, or null when the key is not the block's.
export function zoomBlockKey(edit, id, { key, shiftKey = false }, durationMs) {
  const zoom = zoomById(edit, id);
  if (!zoom) return null;
  const step = TIME_STEP_MS * (shiftKey ? 10 : 1);
  if (key === 'ArrowLeft' || key === 'ArrowRight') {
    return moveZoom(edit, id, zoom.startMs + (key === 'ArrowLeft' ? -step : step), durationMs);
  }
  if (key === '-' || key === '+' || key === '=') {
    return resizeZoom(edit, id, 'end', zoom.endMs + (key === '-' ? -step : step), durationMs);
  }
  return null;
}

// The edit after an arrow `key` on the focus point of region `id`, or null for other keys.
export function zoomFocusKey(edit, id, { key, shiftKey = false }) {
  const zoom = zoomById(edit, id);
  const direction = DIRECTIONS[key];
  if (!zoom || !direction) return null;
  const step = FOCUS_STEP * (shiftKey ? 10 : 1);
  const round = (v) => Math.round(v * 1000) / 1000;
  return updateZoom(edit, id, { fx: round(zoom.fx + direction[0] * step),
                                fy: round(zoom.fy + direction[1] * step) });
}
