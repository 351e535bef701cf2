// The editor's timeline: the ruler, the sound, the clicks, the zoom regions (chosen, moved and
// stretched by dragging), the export range with its handles, and the playhead, which follows a
// press anywhere else.

import { call, isUnsupported } from '../bridge.js';
import { $, drag, el } from '../dom.js';
import { addZoom, moveRangeEdge, moveZoom, projectTracks, removeZoom, resizeZoom, rulerTicks,
         zoomAt, zoomById } from '../edit_model.js';
import { formatDuration, formatPosition } from '../format.js';
import { toast } from '../shell.js';
import { msAtX, xAtMs } from '../trim_model.js';
import { drawWaveform } from '../waveform.js';
import { zoomBlockKey } from './zoom_keys.js';
import { seek } from './playback.js';
import { onStretchPointer, stretchesRow, stretchTools } from './stretches.js';
import { store } from './store.js';

function timelineMs(event) {
  const box = $('tl-body').getBoundingClientRect();
  return msAtX(event.clientX - box.left, box.width, store.state.durationMs);
}

function pct(ms) {
  return `${(xAtMs(ms, 1, store.state.durationMs) * 100).toFixed(4)}%`;
}

function renderRuler({ durationMs }) {
  const ruler = $('tl-ruler');
  const width = ruler.clientWidth;
  const key = `${durationMs}|${width}`;
  if (ruler.dataset.key === key) return;
  ruler.dataset.key = key;
  // Whole seconds read as a player shows them; the last label stays inside the ruler.
  ruler.replaceChildren(...rulerTicks(durationMs, width)
    .filter((ms) => ms === 0 || xAtMs(ms, width, durationMs) < width - 40)
    .map((ms) => el('span', { className: 'tick', style: `left:${pct(ms)}`,
                              text: ms % 1000 ? formatPosition(ms) : formatDuration(ms) })));
}

function zoomBlock(id) {
  const block = el('div', { className: 'zoom-block', tabindex: '0', role: 'button',
                            dataset: { id } },
  el('span', { className: 'zoom-edge start', 'aria-hidden': 'true' }),
  el('span', { className: 'zoom-label' }),
  el('span', { className: 'zoom-edge end', 'aria-hidden': 'true' }));
  block.addEventListener('pointerdown', onBlockPointer);
  block.setAttribute('aria-keyshortcuts', 'Enter ArrowLeft ArrowRight - + Delete');
  block.title = 'Arrows move it (Shift: by a second), - and + change its length';
  block.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.altKey || event.metaKey) return;
    if (event.key === 'Enter' || event.key === ' ') {
      store.select(id);
      event.preventDefault();
      return;
    }
    const next = zoomBlockKey(store.doc(), id, event, store.state.durationMs);
    if (!next) return;
    if (store.state.selected !== id) store.select(id);
    store.commit(next);
    event.preventDefault();
  });
  return block;
}

// Zoom regions: one block each, kept while the region lives so that a drag keeps its pointer.
function renderZooms(edit, selected) {
  const row = $('tl-zooms');
  const blocks = new Map([...row.querySelectorAll('.zoom-block')].map((b) => [b.dataset.id, b]));
  for (const zoom of edit.zooms) {
    let block = blocks.get(zoom.id);
    blocks.delete(zoom.id);
    if (!block) {
      block = zoomBlock(zoom.id);
      row.append(block);
    }
    block.dataset.startMs = String(zoom.startMs);
    block.dataset.endMs = String(zoom.endMs);
    block.style.left = pct(zoom.startMs);
    block.style.width = `calc(${pct(zoom.endMs)} - ${pct(zoom.startMs)})`;
    block.classList.toggle('selected', zoom.id === selected);
    block.classList.toggle('follow', zoom.follow !== 'fixed');
    const label = `${zoom.scale.toFixed(1)}×${zoom.follow === 'cursor' ? ' · pointer'
      : zoom.follow === 'caret' ? ' · caret' : ''}`;
    block.querySelector('.zoom-label').textContent = label;
    block.setAttribute('aria-label', `Zoom ${label} from ${formatPosition(zoom.startMs)} to ${
      formatPosition(zoom.endMs)}`);
    block.setAttribute('aria-pressed', String(zoom.id === selected));
  }
  for (const gone of blocks.values()) gone.remove();
}

function renderTimeline(state) {
  const edit = store.doc();
  if (!edit || !$('tl-body')) return;
  renderRuler(state);
  renderZooms(edit, state.selected);
  const { startMs, endMs } = edit.range;
  $('tl-shade-start').style.width = pct(startMs);
  $('tl-shade-end').style.left = pct(endMs);
  for (const [edge, ms] of [['start', startMs], ['end', endMs]]) {
    const handle = $(`tl-range-${edge}`);
    handle.style.left = pct(ms);
    handle.setAttribute('aria-valuenow', String(ms));
    handle.setAttribute('aria-valuetext', formatPosition(ms));
    handle.setAttribute('aria-valuemax', String(state.durationMs));
  }
  $('editor-range').textContent = `Export ${formatPosition(startMs)} – ${formatPosition(endMs)}`;
}

function renderPlayhead({ playheadMs, durationMs }) {
  if (!store.doc()) return;
  $('tl-playhead').style.left = pct(playheadMs);
  $('editor-time').textContent = `${formatPosition(playheadMs)} / ${formatPosition(durationMs)}`;
}

function renderClicks({ project, durationMs }) {
  const { clicks } = projectTracks(project);
  $('tl-clicks').replaceChildren(...clicks.filter((c) => c.t >= 0 && c.t <= durationMs)
    .map((c) => el('span', { className: 'click-mark', style: `left:${pct(c.t)}`,
                             title: `Click at ${formatPosition(c.t)}` })));
}

// The recording's sound under the timeline; `current()` says whether the recording it was asked
// for is still the one open.
export async function loadWaveform(name, current) {
  const note = $('tl-wave-note');
  note.textContent = 'Reading the sound…';
  note.hidden = false;
  let peaks;
  try {
    const reply = await call('media.waveform', { name });
    if (!current()) return;
    peaks = Array.isArray(reply?.peaks) ? reply.peaks : [];
    note.hidden = peaks.length > 0;
    note.textContent = peaks.length ? '' : 'No sound in this recording';
  } catch (error) {
    if (!current()) return;
    peaks = [];
    note.textContent = isUnsupported(error) ? '' : `No waveform: ${error.message}`;
    note.hidden = !note.textContent;
    // A failure (a time-out included) is asked again on request.
    if (!isUnsupported(error)) {
      note.append(' ', el('button', { type: 'button', className: 'button small ghost',
                                      id: 'tl-wave-retry', text: 'Try again',
                                      onclick: () => loadWaveform(name, current) }));
    }
  }
  store.set({ peaks }, 'peaks');
}

// A drag on a zoom region moves it, or on one of its edges changes its length.
function onBlockPointer(event) {
  if (event.button !== 0) return;
  event.stopPropagation();
  const block = event.currentTarget;
  const id = block.dataset.id;
  store.select(id);
  block.focus({ preventScroll: true });
  const { durationMs } = store.state;
  const zoom = zoomById(store.doc(), id);
  const edge = event.target.closest('.zoom-edge');
  const startEdit = store.state.history.current;
  const grabMs = timelineMs(event);
  const mode = edge ? (edge.classList.contains('start') ? 'start' : 'end') : 'move';
  drag(block, event, {
    threshold: 3,
    onMove: (e) => {
      const ms = timelineMs(e);
      store.show(mode === 'move' ? moveZoom(startEdit, id, zoom.startMs + (ms - grabMs), durationMs)
        : resizeZoom(startEdit, id, mode, ms, durationMs));
    },
    onEnd: () => store.commit(),
  });
}

function onTimelinePointer(event) {
  if (event.button !== 0 || !store.doc()) return;
  const { state } = store;
  const handle = event.target.closest('.range-handle');
  if (handle) {
    const edge = handle.dataset.edge;
    const startEdit = state.history.current;
    drag(handle, event, {
      threshold: 3,
      onMove: (e) => store.show(moveRangeEdge(startEdit, edge, timelineMs(e), state.durationMs)),
      onEnd: () => store.commit(),
    });
    return;
  }
  if (onStretchPointer(event)) return;
  // Anywhere else: the playhead goes there and follows the pointer; a click on empty timeline
  // also lets go of the chosen region.
  if (!event.target.closest('.zoom-block') && state.selected) store.select(null);
  seek(timelineMs(event));
  drag($('tl-body'), event, { onMove: (e) => seek(timelineMs(e)) });
}

function onRangeKey(event) {
  const { durationMs } = store.state;
  const edge = event.currentTarget.dataset.edge;
  const step = event.shiftKey ? 1000 : 100;
  const at = store.doc().range[edge === 'start' ? 'startMs' : 'endMs'];
  const moves = { ArrowLeft: at - step, ArrowDown: at - step, ArrowRight: at + step,
                  ArrowUp: at + step, Home: 0, End: durationMs };
  if (!(event.key in moves)) return;
  store.commit(moveRangeEdge(store.doc(), edge, moves[event.key], durationMs));
  event.preventDefault();
  event.stopPropagation();
}

export function addZoomAtPlayhead() {
  const doc = store.doc();
  if (!doc) return;
  const { playheadMs, durationMs } = store.state;
  const added = addZoom(doc, playheadMs, durationMs);
  if (!added) {
    const inside = zoomAt(doc, playheadMs);
    if (inside) store.select(inside.id);
    toast(inside ? 'There is already a zoom here; it is now chosen.'
      : 'No room for a zoom here: move the playhead to a free part of the timeline.', 'info');
    return;
  }
  store.select(added.id);
  store.commit(added.edit);
}

export function deleteSelected() {
  const { selected } = store.state;
  if (!selected || !store.doc()) return false;
  store.select(null);
  store.commit(removeZoom(store.doc(), selected));
  return true;
}

// The timeline's elements, bound to the store.
export function timelineBody() {
  const handle = (edge) => {
    const node = el('span', { className: `range-handle ${edge}`, id: `tl-range-${edge}`,
                              role: 'slider', tabindex: '0', 'aria-valuemin': '0',
                              'aria-label': edge === 'start' ? 'Export start' : 'Export end',
                              dataset: { edge } });
    node.addEventListener('keydown', onRangeKey);
    return node;
  };
  const body = el('div', { className: 'tl-body', id: 'tl-body' },
    el('div', { className: 'tl-ruler', id: 'tl-ruler' }),
    el('div', { className: 'tl-zooms', id: 'tl-zooms', 'aria-label': 'Zoom regions' }),
    el('div', { className: 'tl-wave' },
      el('canvas', { id: 'tl-wave-canvas', 'aria-hidden': 'true' }),
      el('div', { className: 'tl-clicks', id: 'tl-clicks' }),
      stretchesRow(),
      el('span', { className: 'tl-wave-note', id: 'tl-wave-note', hidden: true })),
    el('span', { className: 'tl-shade start', id: 'tl-shade-start' }),
    el('span', { className: 'tl-shade end', id: 'tl-shade-end' }),
    handle('start'), handle('end'),
    el('span', { className: 'tl-playhead', id: 'tl-playhead' }),
    stretchTools());
  body.addEventListener('pointerdown', onTimelinePointer);
  store.subscribe(['doc', 'selection', 'layout', 'open'], renderTimeline);
  store.subscribe(['doc', 'playhead', 'layout', 'open'], renderPlayhead);
  store.subscribe(['project', 'open'], renderClicks);
  store.subscribe(['peaks', 'layout', 'open'], (state) => {
    if (store.doc()) drawWaveform($('tl-wave-canvas'), state.peaks);
  });
  return body;
}
