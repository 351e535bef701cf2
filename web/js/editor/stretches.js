// Cuts and speed-ups on the timeline: a stretch chosen by dragging with Shift held, then cut out
// or sped up; each cut or speed shows over the sound, moves when dragged, and goes with its ×.

import { $, drag, el } from '../dom.js';
import { addStretch, estimatedGifBytes, moveStretch, outputLengthMs, removeStretch }
  from '../stretch_model.js';
import { formatPosition } from '../format.js';
import { toast } from '../shell.js';
import { msAtX, xAtMs } from '../trim_model.js';
import { store } from './store.js';

let chosen = null;  // {startMs, endMs} while a stretch is chosen

function timelineMs(event) {
  const box = $('tl-body').getBoundingClientRect();
  return msAtX(event.clientX - box.left, box.width, store.state.durationMs);
}

const pct = (ms) => `${(xAtMs(ms, 1, store.state.durationMs) * 100).toFixed(4)}%`;

function block(kind, index, s) {
  const label = kind === 'cuts' ? 'Cut' : `${s.rate}×`;
  const node = el('div', {
    className: `stretch-block ${kind}`, dataset: { kind, index: String(index) },
    title: `${label} ${formatPosition(s.startMs)} – ${formatPosition(s.endMs)}`,
    style: `position:absolute;top:2px;bottom:2px;left:${pct(s.startMs)};width:calc(${
      pct(s.endMs)} - ${pct(s.startMs)});border-radius:4px;font-size:0.7rem;overflow:hidden;`
      + `color:#fff;padding:0 4px;cursor:grab;background:${kind === 'cuts'
        ? 'repeating-linear-gradient(135deg,rgba(230,57,70,.75) 0 6px,rgba(230,57,70,.45) 6px 12px)'
        : 'rgba(67,97,238,.7)'}`,
  }, el('span', { text: label }),
  el('button', { type: 'button', className: 'stretch-remove', text: '×',
                 'aria-label': `Remove ${label}`,
                 style: 'margin-left:4px;border:0;background:none;color:inherit;cursor:pointer',
                 onclick: (e) => {
                   e.stopPropagation();
                   store.commit(removeStretch(store.doc(), kind, index));
                 } }));
  node.addEventListener('pointerdown', (event) => {
    if (event.button !== 0 || event.target.closest('.stretch-remove')) return;
    event.stopPropagation();
    const startEdit = store.state.history.current;
    const grab = timelineMs(event);
    drag(node, event, {
      threshold: 3,
      onMove: (e) => store.show(moveStretch(startEdit, kind, index,
        s.startMs + (timelineMs(e) - grab), store.state.durationMs)),
      onEnd: () => store.commit(),
    });
  });
  return node;
}

function render() {
  const row = $('tl-stretches');
  const edit = store.doc();
  if (!row || !edit) return;
  const blocks = [];
  for (const kind of ['cuts', 'speeds']) {
    (edit[kind] ?? []).forEach((s, i) => blocks.push(block(kind, i, s)));
  }
  if (chosen) {
    blocks.push(el('div', { className: 'stretch-chosen', style:
      `position:absolute;top:0;bottom:0;left:${pct(chosen.startMs)};width:calc(${
        pct(chosen.endMs)} - ${pct(chosen.startMs)});background:rgba(255,255,255,.25);`
      + 'outline:1px dashed currentColor;pointer-events:none' }));
  }
  row.replaceChildren(...blocks);
  const length = $('tl-output-length');
  if (length) {
    const changed = edit.cuts?.length || edit.speeds?.length;
    length.textContent = changed ? `Exported length ${formatPosition(outputLengthMs(edit))}` : '';
  }
  for (const id of ['tl-cut', 'tl-speed']) if ($(id)) $(id).disabled = !chosen;
  const estimate = $('export-estimate');
  if (estimate) {
    const gif = $('export-format')?.value === 'gif';
    const size = store.state.sourceSize ?? { width: 1920, height: 1080 };
    const w = Math.min(960, size.width);
    const h = Math.round((w * size.height) / size.width);
    const mb = estimatedGifBytes(outputLengthMs(edit), w, h, 15) / 1e6;
    estimate.textContent = gif ? `about ${mb < 10 ? mb.toFixed(1) : Math.round(mb)} MB` : '';
  }
}

// Shift and drag on the timeline: chooses a stretch. True when the press was taken.
export function onStretchPointer(event) {
  if (!event.shiftKey || event.button !== 0) return false;
  const from = timelineMs(event);
  chosen = { startMs: from, endMs: from };
  drag($('tl-body'), event, {
    onMove: (e) => {
      const to = timelineMs(e);
      chosen = { startMs: Math.min(from, to), endMs: Math.max(from, to) };
      render();
    },
    onEnd: () => render(),
  });
  return true;
}

function apply(kind) {
  if (!chosen) return;
  const next = addStretch(store.doc(), kind, chosen.startMs, chosen.endMs, store.state.durationMs);
  if (!next) {
    toast(`No room for a ${kind === 'cuts' ? 'cut' : 'speed-up'} here: choose a longer stretch `
      + 'that does not overlap another.', 'info');
    return;
  }
  chosen = null;
  store.commit(next);
}

// The row of cuts and speeds, laid over the sound, and the tools that make them.
export function stretchesRow() {
  store.subscribe(['doc', 'layout', 'open'], render);
  return el('div', { className: 'tl-stretches', id: 'tl-stretches', 'aria-label': 'Cuts and speeds',
                     style: 'position:absolute;inset:0' });
}

// The file the Export button writes, with a GIF's estimated size.
function formatChoice() {
  const select = el('select', { id: 'export-format', 'aria-label': 'Export format' },
    el('option', { value: 'mp4', text: 'MP4' }), el('option', { value: 'gif', text: 'GIF' }),
    el('option', { value: 'webm', text: 'WebM' }));
  select.addEventListener('change', render);
  return select;
}

// The format and GIF settings chosen for the next export.
export function chosenFormat() {
  const format = $('export-format')?.value ?? 'mp4';
  return format === 'gif' ? { format, gif: { fps: 15, width: 960 } } : format === 'webm' ? { format } : {};
}

export function stretchTools() {
  const tools = el('div', { className: 'tl-stretch-tools', style: 'display:flex;gap:6px;align-items:center' },
    el('button', { type: 'button', className: 'button small', id: 'tl-cut', text: 'Cut',
                   title: 'Leave the chosen stretch out (choose one by dragging with Shift)',
                   disabled: true, onclick: () => apply('cuts') }),
    el('button', { type: 'button', className: 'button small', id: 'tl-speed', text: 'Speed 2×',
                   title: 'Play the chosen stretch twice as fast (choose one by dragging with Shift)',
                   disabled: true, onclick: () => apply('speeds') }),
    el('span', { className: 'muted', id: 'tl-output-length' }),
    el('span', { style: 'flex:1' }), formatChoice(),
    el('span', { className: 'muted', id: 'export-estimate' }));
  // The tools are not the timeline: a press on them leaves the playhead where it is.
  tools.addEventListener('pointerdown', (e) => e.stopPropagation());
  return tools;
}
