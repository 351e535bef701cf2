// The library's trim: the chosen recording's waveform with two edges dragged (or moved by keys,
// Shift+click, or set at the playhead) to pick a part, saved as a trimmed copy beside it.

import { call, isUnsupported } from './bridge.js';
import { $, drag, el } from './dom.js';
import { formatDuration, formatPosition, recordingTitle } from './format.js';
import { newestWins } from './newest.js';
import { toast } from './shell.js';
import { clampRange, fullRange, isWholeRecording, moveEdge, msAtX, nearerEdge,
         xAtMs } from './trim_model.js';
import { drawWaveform } from './waveform.js';

const trim = {
  range: null,           // {startMs, endMs} for the chosen recording
  trimming: null,        // name being copied, while a trim runs
  waveforms: new Map(),  // name → peaks, or an Error
  requests: newestWins(),
  // Set by initTrim: the player shown (or null), the chosen recording's name, and what to do
  // with a copy once it is saved.
  player: () => null,
  selected: () => null,
  saved: () => {},
};

export function initTrim({ player, selected, saved }) {
  Object.assign(trim, { player, selected, saved });
}

// The trim of `item`, the whole recording to begin with.
export function trimSection(item) {
  trim.range = fullRange(item.durationMs);
  const handle = (edge) => el('span', {
    className: `trim-handle ${edge}`, role: 'slider', tabindex: '0',
    'aria-label': edge === 'start' ? 'Trim start' : 'Trim end',
    'aria-valuemin': '0', 'aria-valuemax': String(item.durationMs), dataset: { edge },
  });
  const wave = el('div', { className: 'waveform', id: 'waveform' },
    el('canvas', { className: 'waveform-canvas', 'aria-hidden': 'true' }),
    el('span', { className: 'trim-shade start' }), el('span', { className: 'trim-shade end' }),
    el('span', { className: 'playhead', id: 'playhead' }), handle('start'), handle('end'),
    el('span', { className: 'waveform-note', id: 'waveform-note', text: 'Reading the sound…' }));
  wave.addEventListener('pointerdown', (event) => onWavePointer(event, wave, item));
  for (const h of wave.querySelectorAll('.trim-handle')) {
    h.addEventListener('keydown', (event) => onHandleKey(event, item));
  }
  return el('div', { className: 'trim' },
    wave,
    el('div', { className: 'trim-row' },
      el('span', { className: 'trim-range', id: 'trim-range', 'aria-live': 'polite' })),
    el('div', { className: 'trim-row' },
      el('button', { type: 'button', className: 'button ghost small', text: 'Start at playhead',
                     onclick: () => setEdgeAtPlayhead('start', item) }),
      el('button', { type: 'button', className: 'button ghost small', text: 'End at playhead',
                     onclick: () => setEdgeAtPlayhead('end', item) }),
      el('span', { className: 'toolbar-spacer' }),
      el('button', { type: 'button', className: 'button primary small', id: 'trim-export',
                     text: 'Save trimmed copy', onclick: () => exportTrim(item) })),
    el('div', { className: 'trim-progress', id: 'trim-progress', hidden: true },
      el('progress', { id: 'trim-bar', max: '1', value: '0', 'aria-label': 'Saving the copy' }),
      el('span', { id: 'trim-status', text: 'Saving…' })));
}

function setTrim(range, item) {
  trim.range = clampRange(range, item.durationMs);
  drawTrim(item);
}

function setEdgeAtPlayhead(edge, item) {
  const player = trim.player();
  if (!player) return;
  setTrim(moveEdge(trim.range, edge, player.currentTime * 1000, item.durationMs), item);
}

function onHandleKey(event, item) {
  const edge = event.currentTarget.dataset.edge;
  const step = event.shiftKey ? 1000 : 100;
  const at = edge === 'start' ? trim.range.startMs : trim.range.endMs;
  const moves = { ArrowLeft: at - step, ArrowDown: at - step, ArrowRight: at + step,
                  ArrowUp: at + step, Home: 0, End: item.durationMs };
  if (!(event.key in moves)) return;
  setTrim(moveEdge(trim.range, edge, moves[event.key], item.durationMs), item);
  event.preventDefault();
  event.stopPropagation();
}

// An edge is dragged by its handle, or Shift+click moves the nearer one there and drags it on; a
// plain click plays from there.
function onWavePointer(event, wave, item) {
  if (event.button !== 0 || !item.durationMs) return;
  const msAt = (e) => {
    const box = wave.getBoundingClientRect();
    return msAtX(e.clientX - box.left, box.width, item.durationMs);
  };
  const ms = msAt(event);
  const handle = event.target.closest('.trim-handle');
  let edge;
  if (handle) {
    edge = handle.dataset.edge;
  } else if (event.shiftKey) {
    edge = nearerEdge(trim.range, ms);
    setTrim(moveEdge(trim.range, edge, ms, item.durationMs), item);
  } else {
    const player = trim.player();
    if (player && Number.isFinite(player.duration)) player.currentTime = ms / 1000;
    return;
  }
  drag(wave, event, {
    onMove: (e) => setTrim(moveEdge(trim.range, edge, msAt(e), item.durationMs), item),
  });
}

function drawTrim(item) {
  const wave = $('waveform');
  if (!wave || !trim.range) return;
  const pct = (ms) => `${(xAtMs(ms, 1, item.durationMs) * 100).toFixed(3)}%`;
  const { startMs, endMs } = trim.range;
  wave.querySelector('.trim-shade.start').style.width = pct(startMs);
  wave.querySelector('.trim-shade.end').style.left = pct(endMs);
  const start = wave.querySelector('.trim-handle.start');
  const end = wave.querySelector('.trim-handle.end');
  start.style.left = pct(startMs);
  end.style.left = pct(endMs);
  start.setAttribute('aria-valuenow', String(startMs));
  start.setAttribute('aria-valuetext', formatPosition(startMs));
  end.setAttribute('aria-valuenow', String(endMs));
  end.setAttribute('aria-valuetext', formatPosition(endMs));
  const whole = isWholeRecording(trim.range, item.durationMs);
  $('trim-range').textContent = `${formatPosition(startMs)} – ${formatPosition(endMs)}` +
    ` (${formatDuration(endMs - startMs)})${whole ? ' · drag the edges to trim' : ''}`;
  const button = $('trim-export');
  button.disabled = whole || trim.trimming !== null || !item.durationMs;
  button.title = whole ? 'Drag the edges of the waveform (or Shift+click) to choose a part' : '';
}

function draw(peaks) {
  const wave = $('waveform');
  const canvas = wave?.querySelector('canvas');
  if (canvas) drawWaveform(canvas, peaks instanceof Error ? [] : peaks, wave);
}

// The chosen recording's sound, asked for once per recording; only the newest asked is drawn. A
// failure (a time-out included) is not kept: the next showing asks again, as "Try again" does.
export async function loadWaveform(item) {
  const current = trim.requests.begin();
  drawTrim(item);
  let peaks = trim.waveforms.get(item.name);
  if (!peaks) {
    try {
      const reply = await call('media.waveform', { name: item.name });
      peaks = Array.isArray(reply?.peaks) ? reply.peaks : [];
    } catch (error) {
      peaks = error;
    }
    if (!(peaks instanceof Error)) trim.waveforms.set(item.name, peaks);
  }
  if (!current() || !$('waveform')) return;
  const note = $('waveform-note');
  if (peaks instanceof Error) {
    note.textContent = isUnsupported(peaks) ? 'No waveform in this version.'
      : `No waveform: ${peaks.message}`;
    if (!isUnsupported(peaks)) {
      note.append(' ', el('button', { type: 'button', className: 'button small ghost',
                                      id: 'waveform-retry', text: 'Try again', onclick: () => {
        note.textContent = 'Reading the sound…';
        loadWaveform(item);
      } }));
    }
  } else if (!peaks.length) {
    note.textContent = 'No sound in this recording.';
  } else {
    note.remove();
  }
  draw(peaks);
  drawTrim(item);
}

// No waveform asked for so far is drawn (another recording, or none, is shown).
export function dropWaveform() {
  trim.requests.drop();
}

export function forgetWaveform(name) {
  trim.waveforms.delete(name);
}

// Drawn again at the window's new size.
export function redrawWaveform(name) {
  const peaks = trim.waveforms.get(name);
  if (Array.isArray(peaks)) draw(peaks);
}

async function exportTrim(item) {
  if (trim.trimming) return;
  const { startMs, endMs } = trim.range;
  trim.trimming = item.name;
  // Its progress events carry this id: an export of the editor running meanwhile has its own.
  trim.progressId = `trim-${Date.now()}-${Math.random().toString(36).slice(2)}`;
  drawTrim(item);
  $('trim-progress').hidden = false;
  $('trim-bar').value = 0;
  $('trim-status').textContent = 'Saving the trimmed copy…';
  try {
    const reply = await call('edit.exportTrim', { name: item.name, startMs, endMs,
                                                  progressId: trim.progressId });
    toast(`Saved “${recordingTitle(reply.name)}”.`, 'success');
    trim.saved(reply.name);
  } catch (error) {
    toast(isUnsupported(error) ? 'Trimmed copies are not available in this version.'
      : error.message, 'error');
  } finally {
    trim.trimming = null;
    if ($('trim-progress')) $('trim-progress').hidden = true;
    if (trim.selected() === item.name && $('waveform')) drawTrim(item);
  }
}

// The application's progress while a trimmed copy is saved.
export function onTrimProgress(data) {
  if (!trim.trimming || typeof data.value !== 'number' || !$('trim-bar') ||
      data.id !== trim.progressId) return;
  const value = Math.min(Math.max(data.value, 0), 1);
  $('trim-bar').value = value;
  $('trim-status').textContent = `Saving the trimmed copy… ${Math.round(value * 100)} %`;
}
