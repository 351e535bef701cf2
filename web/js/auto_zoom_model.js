// Automatic zooms on the page's side: the regions that "edit.autoZoom" proposes become zoom regions
// of the edit like those placed by hand. Pure; no DOM.

import { MIN_ZOOM_MS, nextZoomId, settleZooms } from './edit_model.js';

const isNumber = (v) => typeof v === 'number' && Number.isFinite(v);

// `edit` with the proposed regions added, as one change. A proposal that overlaps a region already
// there (placed by hand, or proposed before and kept or edited) is left out, so asking twice never
// doubles a region and never moves one the person made. A following region follows the caret when
// it holds typing, else the pointer. Returns {edit, added, skipped}; `added` 0 leaves `edit` as it
// was.
export function addProposedZooms(edit, proposals, durationMs) {
  const duration = Math.max(0, Math.trunc(durationMs) || 0);
  const zooms = [...edit.zooms];
  let added = 0;
  let skipped = 0;
  for (const p of Array.isArray(proposals) ? proposals : []) {
    if (!p || !isNumber(p.startMs) || !isNumber(p.endMs)) continue;
    const startMs = Math.min(Math.max(Math.round(p.startMs), 0), duration);
    const endMs = Math.min(Math.max(Math.round(p.endMs), 0), duration);
    if (endMs - startMs < MIN_ZOOM_MS) continue;
    if (zooms.some((z) => z.startMs < endMs && startMs < z.endMs)) {
      skipped += 1;
      continue;
    }
    const follow = p.follow !== true ? 'fixed' : p.typing === true ? 'caret' : 'cursor';
    zooms.push({ id: nextZoomId(zooms), startMs, endMs, scale: p.scale, fx: p.fx, fy: p.fy,
                 follow, inMs: p.inMs, outMs: p.outMs });
    added += 1;
  }
  if (!added) return { edit, added, skipped };
  return { edit: { ...edit, zooms: settleZooms(zooms, duration) }, added, skipped };
}
