// The editor screen: one recording at a time, its styled picture (the application's own exact
// preview while paused or scrubbing, the movie with the styling approximated in CSS while it
// plays), the timeline (ruler, sound, clicks, zoom regions, export range, playhead), the panels
// bound to the edit, undo and redo, saving into the project file a moment after each change, and
// the export.

import { call, isUnsupported, on } from './bridge.js';
import { $, el, isTyping } from './dom.js';
import { formatDuration, formatPosition, recordingTitle } from './format.js';
import { addZoom, createHistory, defaultEdit, exportPayload, followModes, formatRemaining,
         framePlacement, moveRangeEdge, moveZoom, outputHeights, pictureToSource,
         projectTracks, projectWithEdit, remainingMs, removeZoom, resizeZoom, restoreEdit,
         rulerTicks, setSection, setTargetHeight, sourceToPicture, updateZoom, zoomAt, zoomById,
         zoomWindow } from './edit_model.js';
import { knownRecording } from './library.js';
import { mediaURL } from './library_model.js';
import { registerEditor, registerScreen, showScreen, toast } from './shell.js';
import { columnsFromPeaks, msAtX, xAtMs } from './trim_model.js';

// A change is saved into the project file this long after the last one.
const SAVE_DELAY_MS = 700;
// Arrow keys step by one picture of a 30 fps recording (the recorder's default), Shift by a second.
const FRAME_MS = 1000 / 30;

const state = {
  mediaBase: null,
  backgrounds: { wallpapers: [], live: [] },
  name: null,
  durationMs: 0,
  project: null,        // the project file as read (null: none yet)
  projectError: null,   // the project could not be read: nothing is saved over it
  history: null,
  selected: null,       // id of the chosen zoom region
  playheadMs: 0,
  playing: false,
  sourceSize: null,     // {width, height} of the recording, once the movie has said
  peaks: null,
  picture: null,        // {width, height} of the preview shown
  preview: { pending: null, inFlight: false, shownKey: '' },
  save: { timer: null, running: null, again: false, status: 'idle', error: '' },
  exporting: null,      // {startedAt, fraction, recording} while an export runs
  opening: 0,           // counts openings, so that a late answer for an earlier one is ignored
};

const doc = () => state.history?.current ?? null;
const video = () => $('editor-video');

// ---- Opening a recording ---------------------------------------------------------------------

async function durationOf(name) {
  const known = knownRecording(name);
  if (known?.durationMs) return known.durationMs;
  const reply = await call('library.list', { thumbs: false });
  const item = Array.isArray(reply?.items) ? reply.items.find((i) => i?.name === name) : null;
  if (!item) throw new Error(`“${recordingTitle(name)}” is no longer in the recordings folder.`);
  return typeof item.durationMs === 'number' ? item.durationMs : 0;
}

async function readProject(name) {
  try {
    const reply = await call('project.load', { name });
    return { project: reply?.data && typeof reply.data === 'object' ? reply.data : null };
  } catch (error) {
    return { error: error.message || 'The project file could not be read.' };
  }
}

export async function openRecording(name) {
  if (state.name === name && doc()) return;
  if (!(await confirmLeave(`open “${recordingTitle(name)}”`))) return;
  await flushSave();
  const opening = ++state.opening;
  stopPlaying();
  Object.assign(state, { name, durationMs: 0, project: null, projectError: null, history: null,
                         selected: null, playheadMs: 0, sourceSize: null, peaks: null,
                         picture: null });
  state.preview.shownKey = '';
  state.save.status = 'idle';
  renderShell('loading');
  let durationMs;
  let read;
  try {
    [durationMs, read] = await Promise.all([durationOf(name), readProject(name)]);
  } catch (error) {
    if (opening === state.opening) renderShell('error', error.message);
    return;
  }
  if (opening !== state.opening) return;
  if (!(durationMs > 0)) {
    renderShell('error', 'This movie can’t be read. It may be damaged, or still being written.');
    return;
  }
  state.durationMs = durationMs;
  state.project = read.project ?? null;
  state.projectError = read.error ?? null;
  const wallpaper = state.backgrounds.wallpapers[0]?.id;
  const edit = restoreEdit(state.project?.edit, durationMs, state.project, { wallpaper }) ??
    defaultEdit(durationMs, state.project, { wallpaper });
  state.history = createHistory(edit);
  state.playheadMs = edit.range.startMs;
  state.save.status = state.projectError ? 'failed' : 'saved';
  state.save.error = state.projectError ? `the project file could not be read (${
    state.projectError})` : '';
  renderShell('ready');
  loadWaveform(name, opening);
}

// ---- Changes, undo and saving ----------------------------------------------------------------

// Shows `next` without recording it (a drag or a slider on its way).
function show(next) {
  state.history.show(next);
  changed();
}

// Records `next` (default: what is shown) as one step that Ctrl+Z undoes.
function commit(next) {
  if (state.history.commit(next)) scheduleSave();
  changed();
}

function undo() {
  if (state.history?.undo()) {
    keepSelection();
    scheduleSave();
    changed();
  }
}

function redo() {
  if (state.history?.redo()) {
    keepSelection();
    scheduleSave();
    changed();
  }
}

function keepSelection() {
  if (state.selected && !zoomById(doc(), state.selected)) state.selected = null;
}

function changed() {
  renderControls();
  renderTimeline();
  requestPreview();
  if (state.playing) styleLive();
}

function scheduleSave() {
  if (state.projectError) return;
  state.save.status = 'pending';
  renderSaveState();
  clearTimeout(state.save.timer);
  state.save.timer = setTimeout(() => saveNow(), SAVE_DELAY_MS);
}

// Writes the edit into the project file; one write at a time, the newest edit last.
async function saveNow() {
  clearTimeout(state.save.timer);
  state.save.timer = null;
  if (state.save.running) {
    state.save.again = true;
    return state.save.running;
  }
  const name = state.name;
  const data = projectWithEdit(state.project, state.history.current);
  state.save.status = 'saving';
  renderSaveState();
  state.save.running = call('project.save', { name, data }).then(() => {
    if (state.name === name) {
      state.project = data;
      if (state.save.status === 'saving') state.save.status = 'saved';
    }
  }, (error) => {
    if (state.name === name) {
      state.save.status = 'failed';
      state.save.error = error.message || 'the project file could not be written';
    }
  }).finally(() => {
    state.save.running = null;
    renderSaveState();
    if (state.save.again) {
      state.save.again = false;
      if (state.name === name) return saveNow();
    }
    return undefined;
  });
  return state.save.running;
}

// Saves at once what is waiting to be saved (before another recording is opened).
async function flushSave() {
  if (state.save.timer) await saveNow();
  else if (state.save.running) await state.save.running;
}

function renderSaveState() {
  const box = $('editor-save-state');
  if (!box) return;
  const { status, error } = state.save;
  const text = { idle: '', pending: 'Edited', saving: 'Saving…', saved: 'Saved',
                 failed: `Not saved: ${error}` }[status] ?? '';
  box.textContent = text;
  box.className = `save-state ${status}`;
  box.title = status === 'saved' ? 'Your edit is kept in the recording’s project file' : text;
}

// ---- Preview ---------------------------------------------------------------------------------

// The payload for the preview: the edit as it will be exported, or while a zoom region is chosen
// the whole picture (no zooms), on which its zoomed part is drawn.
function previewPayload() {
  const edit = doc();
  const payload = exportPayload(edit, state.name, state.project);
  if (state.selected) payload.zooms = [];
  return payload;
}

function previewWidth() {
  const stage = $('editor-stage');
  const width = (stage?.clientWidth || 960) * (window.devicePixelRatio || 1);
  // Steps of 160 pixels: a window resized a little keeps the application's prepared layers.
  return Math.min(1920, Math.max(320, Math.ceil(width / 160) * 160));
}

function requestPreview() {
  if (!state.name || !doc() || state.playing) return;
  const payload = { ...previewPayload(), tMs: Math.round(state.playheadMs),
                    maxWidth: previewWidth() };
  const key = JSON.stringify(payload);
  if (key === state.preview.shownKey && !state.preview.inFlight) return;
  state.preview.pending = { payload, key, name: state.name };
  $('editor-stage').dataset.pending = 'true';
  if (!state.preview.inFlight) sendPreview();
}

// One preview request at a time; while it runs only the newest wanted one waits.
async function sendPreview() {
  const want = state.preview.pending;
  state.preview.pending = null;
  if (!want) return;
  state.preview.inFlight = true;
  $('editor-stage')?.classList.add('busy');
  try {
    const reply = await call('edit.previewFrame', want.payload);
    if (want.name === state.name && !reply?.superseded && typeof reply?.image === 'string') {
      // Decoded before it is shown, so that painting never waits for a picture.
      const next = new Image();
      next.src = reply.image;
      await next.decode().catch(() => {});
      if (want.name === state.name) showPicture(reply, want.key);
    }
  } catch (error) {
    if (want.name === state.name) {
      stageNote(isUnsupported(error) ? 'The preview is not available in this version.'
        : `No preview: ${error.message}`, 'bad');
    }
  } finally {
    state.preview.inFlight = false;
    $('editor-stage')?.classList.remove('busy');
    if (state.preview.pending) sendPreview();
    // Says when the picture shown is the one last asked for (the tests wait for it).
    else if ($('editor-stage')) $('editor-stage').dataset.pending = 'false';
  }
}

function showPicture(reply, key) {
  const img = $('editor-preview');
  state.picture = { width: reply.width, height: reply.height };
  state.preview.shownKey = key;
  img.src = reply.image;
  img.dataset.tMs = String(reply.tMs);
  img.dataset.shown = String(Number(img.dataset.shown || 0) + 1);
  img.hidden = false;
  if (!state.playing) $('editor-live').hidden = true;
  stageNote('');
  fitStage();
  renderFocus();
}

function stageNote(text, kind = '') {
  const note = $('editor-stage-note');
  if (!note) return;
  note.textContent = text;
  note.hidden = !text;
  note.className = `stage-note ${kind}`;
}

// The stage keeps the picture's proportions inside the space it has.
function fitStage() {
  const wrap = $('editor-stage-wrap');
  const stage = $('editor-stage');
  if (!wrap || !stage) return;
  const size = state.picture ?? (state.sourceSize && { width: state.sourceSize.width,
                                                       height: state.sourceSize.height }) ??
    { width: 16, height: 9 };
  const ratio = size.width / size.height;
  const w = Math.max(0, wrap.clientWidth);
  const h = Math.max(0, wrap.clientHeight);
  const width = Math.min(w, h * ratio);
  stage.style.width = `${Math.floor(width)}px`;
  stage.style.height = `${Math.floor(width / ratio)}px`;
  if (state.playing) styleLive();
  renderFocus();
}

// The chosen region's zoomed part and focus, drawn over the whole picture.
function renderFocus() {
  const box = $('editor-focus');
  if (!box) return;
  const zoom = state.selected && doc() ? zoomById(doc(), state.selected) : null;
  if (!zoom || state.playing || !state.picture) {
    box.hidden = true;
    return;
  }
  const { width: W, height: H } = state.picture;
  const frame = doc().frame;
  const win = zoomWindow(zoom.fx, zoom.fy, zoom.scale);
  const a = sourceToPicture(win.x, win.y, W, H, frame);
  const b = sourceToPicture(win.x + win.w, win.y + win.h, W, H, frame);
  const dot = sourceToPicture(zoom.fx, zoom.fy, W, H, frame);
  const pct = (v, of) => `${((v / of) * 100).toFixed(3)}%`;
  const rect = box.querySelector('.focus-window');
  Object.assign(rect.style, { left: pct(a.x, W), top: pct(a.y, H), width: pct(b.x - a.x, W),
                              height: pct(b.y - a.y, H) });
  const point = box.querySelector('.focus-dot');
  Object.assign(point.style, { left: pct(dot.x, W), top: pct(dot.y, H) });
  box.querySelector('.focus-hint').textContent = zoom.follow === 'fixed'
    ? 'Click where the zoom should look · Esc shows the zoom'
    : `Follows the ${zoom.follow === 'caret' ? 'text caret' : 'pointer'}; it starts here · Esc ` +
      'shows the zoom';
  box.hidden = false;
}

function onStagePointer(event) {
  if (event.button !== 0 || !state.selected || state.playing || !state.picture) return;
  const zoom = zoomById(doc(), state.selected);
  if (!zoom) return;
  const stage = $('editor-stage');
  const box = stage.getBoundingClientRect();
  const { width: W, height: H } = state.picture;
  const at = (e) => pictureToSource(((e.clientX - box.left) / box.width) * W,
                                    ((e.clientY - box.top) / box.height) * H, W, H, doc().frame);
  const start = state.history.current;
  const place = (e) => {
    const { fx, fy } = at(e);
    show(updateZoom(start, zoom.id, { fx: round3(fx), fy: round3(fy) }));
  };
  place(event);
  capture(stage, event);
  const move = (e) => place(e);
  const up = () => {
    stage.removeEventListener('pointermove', move);
    stage.removeEventListener('pointerup', up);
    stage.removeEventListener('pointercancel', up);
    commit();
  };
  stage.addEventListener('pointermove', move);
  stage.addEventListener('pointerup', up);
  stage.addEventListener('pointercancel', up);
  event.preventDefault();
}

const round3 = (v) => Math.round(v * 1000) / 1000;

// Keeps a drag's pointer events coming to `target` when the pointer leaves it. A pointer that is
// not pressed (events made by a script) cannot be captured; the drag still works over the target.
function capture(target, event) {
  try {
    target.setPointerCapture(event.pointerId);
  } catch {
    // Not a pressed pointer: nothing to keep.
  }
}

// ---- Playback --------------------------------------------------------------------------------

function togglePlay() {
  if (state.playing) stopPlaying();
  else startPlaying();
}

function startPlaying() {
  const v = video();
  if (!v || !doc() || !v.src) {
    if (!v?.src) toast('This recording cannot be played in this version.', 'error');
    return;
  }
  const { startMs, endMs } = doc().range;
  if (state.playheadMs < startMs || state.playheadMs >= endMs - 50) state.playheadMs = startMs;
  state.playing = true;
  v.currentTime = state.playheadMs / 1000;
  styleLive();
  $('editor-live').hidden = false;
  $('editor-preview').hidden = true;
  renderFocus();
  renderTransport();
  v.play().catch((error) => {
    stopPlaying();
    if (error?.name !== 'AbortError') toast(`The recording could not be played: ${error.message}`,
                                            'error');
  });
  requestAnimationFrame(followPlayback);
}

function stopPlaying() {
  const v = video();
  if (!state.playing) return;
  state.playing = false;
  if (v) {
    v.pause();
    state.playheadMs = Math.min(Math.max(v.currentTime * 1000, 0), state.durationMs);
  }
  renderTransport();
  renderPlayhead();
  // The movie stays on screen until the exact picture replaces it.
  state.preview.shownKey = '';
  requestPreview();
}

function followPlayback() {
  if (!state.playing) return;
  const v = video();
  const ms = v.currentTime * 1000;
  state.playheadMs = ms;
  if (ms >= doc().range.endMs || v.ended) {
    state.playheadMs = Math.min(ms, doc().range.endMs);
    stopPlaying();
    return;
  }
  renderPlayhead();
  zoomLive(ms);
  requestAnimationFrame(followPlayback);
}

// The styling of the edit in CSS over the playing movie: background, padding, corners, shadow.
function styleLive() {
  const live = $('editor-live');
  const stage = $('editor-stage');
  if (!live || !stage || !doc()) return;
  const f = doc().frame;
  const W = stage.clientWidth;
  const H = stage.clientHeight;
  const { clip, radius, screen } = framePlacement(W, H, f);
  const back = live.querySelector('.live-background');
  const find = (list, id) => list.find((b) => b.id === id);
  let background = 'none';
  if (f.type === 'wallpaper') {
    const item = find(state.backgrounds.wallpapers, f.id);
    background = `center / cover no-repeat url("${item?.full ?? `wallpapers/full/${f.id}.jpg`}")`;
  } else if (f.type === 'live') {
    const item = find(state.backgrounds.live, f.id);
    background = item ? `center / cover no-repeat url("${item.thumb}")` : f.hex;
  } else if (f.type === 'gradient') {
    background = `linear-gradient(${180 - f.angle}deg, ${f.from}, ${f.to})`;
  } else if (f.type === 'color') {
    background = f.hex;
  }
  back.style.background = background;
  const box = live.querySelector('.live-clip');
  const blur = (f.shadowPct / 100) * Math.min(W, H) * 0.05;
  Object.assign(box.style, {
    left: `${clip.x}px`, top: `${clip.y}px`, width: `${clip.w}px`, height: `${clip.h}px`,
    borderRadius: `${radius}px`,
    boxShadow: f.type !== 'none' && f.shadowPct > 1
      ? `0 ${(0.4 * blur).toFixed(1)}px ${(2 * blur).toFixed(1)}px rgba(0, 0, 0, 0.6)` : 'none',
    outline: f.type !== 'none' && f.outlinePct > 0
      ? `${((f.outlinePct / 100) * Math.min(W, H)).toFixed(1)}px solid rgba(255, 255, 255, 0.45)`
      : 'none',
  });
  const v = video();
  Object.assign(v.style, { left: '0', width: `${screen.w}px`, height: `${screen.h}px`,
                           top: `${screen.y - clip.y}px` });
}

// The zoom regions approximated while playing: the region's scale towards its focus.
function zoomLive(ms) {
  const v = video();
  const zoom = zoomAt(doc(), ms);
  if (!zoom || zoom.scale <= 1) {
    v.style.transform = '';
    return;
  }
  const s = zoom.scale;
  const tx = Math.min(Math.max(0.5 - zoom.fx * s, 1 - s), 0);
  const ty = Math.min(Math.max(0.5 - zoom.fy * s, 1 - s), 0);
  v.style.transform = `translate(${(tx * 100).toFixed(2)}%, ${(ty * 100).toFixed(2)}%) scale(${s})`;
}

function seek(ms) {
  state.playheadMs = Math.min(Math.max(ms, 0), state.durationMs);
  const v = video();
  if (state.playing && v) v.currentTime = state.playheadMs / 1000;
  renderPlayhead();
  requestPreview();
}

// ---- Timeline --------------------------------------------------------------------------------

function timelineMs(event) {
  const box = $('tl-body').getBoundingClientRect();
  return msAtX(event.clientX - box.left, box.width, state.durationMs);
}

function pct(ms) {
  return `${(xAtMs(ms, 1, state.durationMs) * 100).toFixed(4)}%`;
}

function renderTimeline() {
  const edit = doc();
  if (!edit || !$('tl-body')) return;
  // Ruler.
  const ruler = $('tl-ruler');
  const width = ruler.clientWidth;
  const ticks = rulerTicks(state.durationMs, width);
  const key = `${state.durationMs}|${width}`;
  if (ruler.dataset.key !== key) {
    ruler.dataset.key = key;
    // Whole seconds read as a player shows them; the last label stays inside the ruler.
    ruler.replaceChildren(...ticks.filter((ms) => ms === 0 || xAtMs(ms, width, state.durationMs)
      < width - 40).map((ms) => el('span', { className: 'tick', style: `left:${pct(ms)}`,
                                             text: ms % 1000 ? formatPosition(ms)
                                               : formatDuration(ms) })));
  }
  // Zoom regions: one block each, kept while the region lives so that a drag keeps its pointer.
  const row = $('tl-zooms');
  const blocks = new Map([...row.querySelectorAll('.zoom-block')].map((b) => [b.dataset.id, b]));
  for (const zoom of edit.zooms) {
    let block = blocks.get(zoom.id);
    blocks.delete(zoom.id);
    if (!block) {
      block = el('div', { className: 'zoom-block', tabindex: '0', role: 'button',
                          dataset: { id: zoom.id } },
      el('span', { className: 'zoom-edge start', 'aria-hidden': 'true' }),
      el('span', { className: 'zoom-label' }),
      el('span', { className: 'zoom-edge end', 'aria-hidden': 'true' }));
      block.addEventListener('pointerdown', onBlockPointer);
      block.addEventListener('keydown', (event) => {
        if (event.key === 'Enter') select(zoom.id);
      });
      row.append(block);
    }
    block.dataset.startMs = String(zoom.startMs);
    block.dataset.endMs = String(zoom.endMs);
    block.style.left = pct(zoom.startMs);
    block.style.width = `calc(${pct(zoom.endMs)} - ${pct(zoom.startMs)})`;
    block.classList.toggle('selected', zoom.id === state.selected);
    block.classList.toggle('follow', zoom.follow !== 'fixed');
    const label = `${zoom.scale.toFixed(1)}×${zoom.follow === 'cursor' ? ' · pointer'
      : zoom.follow === 'caret' ? ' · caret' : ''}`;
    block.querySelector('.zoom-label').textContent = label;
    block.setAttribute('aria-label', `Zoom ${label} from ${formatPosition(zoom.startMs)} to ${
      formatPosition(zoom.endMs)}`);
    block.setAttribute('aria-pressed', String(zoom.id === state.selected));
  }
  for (const gone of blocks.values()) gone.remove();
  // Export range.
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
  renderPlayhead();
}

function renderPlayhead() {
  if (!$('tl-playhead')) return;
  $('tl-playhead').style.left = pct(state.playheadMs);
  $('editor-time').textContent = `${formatPosition(state.playheadMs)} / ${
    formatPosition(state.durationMs)}`;
}

function renderClicks() {
  const box = $('tl-clicks');
  if (!box) return;
  const { clicks } = projectTracks(state.project);
  box.replaceChildren(...clicks.filter((c) => c.t >= 0 && c.t <= state.durationMs)
    .map((c) => el('span', { className: 'click-mark', style: `left:${pct(c.t)}`,
                             title: `Click at ${formatPosition(c.t)}` })));
}

function drawWaveform() {
  const canvas = $('tl-wave-canvas');
  if (!canvas) return;
  const ratio = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
  canvas.width = width;
  canvas.height = height;
  const g = canvas.getContext('2d');
  g.clearRect(0, 0, width, height);
  if (!Array.isArray(state.peaks)) return;
  g.fillStyle = getComputedStyle(canvas).getPropertyValue('--wave').trim() || '#8b7cf6';
  const step = Math.max(1, Math.round(2 * ratio));
  const mid = height / 2;
  columnsFromPeaks(state.peaks, Math.floor(width / step)).forEach((v, i) => {
    const h = Math.max(ratio, v * (height - 4 * ratio));
    g.fillRect(i * step, mid - h / 2, Math.max(1, step - ratio), h);
  });
}

async function loadWaveform(name, opening) {
  const note = $('tl-wave-note');
  note.textContent = 'Reading the sound…';
  note.hidden = false;
  try {
    const reply = await call('media.waveform', { name });
    if (opening !== state.opening) return;
    state.peaks = Array.isArray(reply?.peaks) ? reply.peaks : [];
    note.hidden = state.peaks.length > 0;
    note.textContent = state.peaks.length ? '' : 'No sound in this recording';
  } catch (error) {
    if (opening !== state.opening) return;
    state.peaks = [];
    note.textContent = isUnsupported(error) ? '' : `No waveform: ${error.message}`;
    note.hidden = !note.textContent;
  }
  drawWaveform();
}

function select(id) {
  if (state.selected === id) return;
  state.selected = id;
  changed();
}

// A drag on the timeline: the playhead (scrubbing), a range handle or a zoom region.
function dragOn(target, event, onMove) {
  const startX = event.clientX;
  let moved = false;
  capture(target, event);
  const move = (e) => {
    if (!moved && Math.abs(e.clientX - startX) < 3) return;
    moved = true;
    onMove(e);
  };
  const up = () => {
    target.removeEventListener('pointermove', move);
    target.removeEventListener('pointerup', up);
    target.removeEventListener('pointercancel', up);
    commit();
  };
  target.addEventListener('pointermove', move);
  target.addEventListener('pointerup', up);
  target.addEventListener('pointercancel', up);
  event.preventDefault();
}

function onBlockPointer(event) {
  if (event.button !== 0) return;
  event.stopPropagation();
  const block = event.currentTarget;
  const id = block.dataset.id;
  select(id);
  block.focus({ preventScroll: true });
  const zoom = zoomById(doc(), id);
  const edge = event.target.closest('.zoom-edge');
  const startEdit = state.history.current;
  const grabMs = timelineMs(event);
  const mode = edge ? (edge.classList.contains('start') ? 'start' : 'end') : 'move';
  dragOn(block, event, (e) => {
    const ms = timelineMs(e);
    show(mode === 'move' ? moveZoom(startEdit, id, zoom.startMs + (ms - grabMs), state.durationMs)
      : resizeZoom(startEdit, id, mode, ms, state.durationMs));
  });
}

function onTimelinePointer(event) {
  if (event.button !== 0 || !doc()) return;
  const handle = event.target.closest('.range-handle');
  if (handle) {
    const edge = handle.dataset.edge;
    const startEdit = state.history.current;
    dragOn(handle, event, (e) => show(moveRangeEdge(startEdit, edge, timelineMs(e),
                                                    state.durationMs)));
    return;
  }
  // Anywhere else: the playhead goes there and follows the pointer; a click on empty timeline
  // also lets go of the chosen region.
  if (!event.target.closest('.zoom-block') && state.selected) select(null);
  const body = $('tl-body');
  seek(timelineMs(event));
  capture(body, event);
  const move = (e) => seek(timelineMs(e));
  const up = () => {
    body.removeEventListener('pointermove', move);
    body.removeEventListener('pointerup', up);
    body.removeEventListener('pointercancel', up);
  };
  body.addEventListener('pointermove', move);
  body.addEventListener('pointerup', up);
  body.addEventListener('pointercancel', up);
  event.preventDefault();
}

function onRangeKey(event) {
  const edge = event.currentTarget.dataset.edge;
  const step = event.shiftKey ? 1000 : 100;
  const at = doc().range[edge === 'start' ? 'startMs' : 'endMs'];
  const moves = { ArrowLeft: at - step, ArrowDown: at - step, ArrowRight: at + step,
                  ArrowUp: at + step, Home: 0, End: state.durationMs };
  if (!(event.key in moves)) return;
  commit(moveRangeEdge(doc(), edge, moves[event.key], state.durationMs));
  event.preventDefault();
  event.stopPropagation();
}

function addZoomAtPlayhead() {
  if (!doc()) return;
  const added = addZoom(doc(), state.playheadMs, state.durationMs);
  if (!added) {
    const inside = zoomAt(doc(), state.playheadMs);
    if (inside) select(inside.id);
    toast(inside ? 'There is already a zoom here; it is now chosen.'
      : 'No room for a zoom here: move the playhead to a free part of the timeline.', 'info');
    return;
  }
  state.selected = added.id;
  commit(added.edit);
}

function deleteSelected() {
  if (!state.selected || !doc()) return false;
  const id = state.selected;
  state.selected = null;
  commit(removeZoom(doc(), id));
  return true;
}

// ---- Panels ----------------------------------------------------------------------------------

// Controls bound to the edit: each knows how to show the current edit.
const syncs = [];

function bindRange({ label, section, key, min, max, step, format, id, scale = 1 }) {
  const input = el('input', { type: 'range', min: String(min), max: String(max),
                              step: String(step), id, 'aria-label': label });
  const output = el('output', { for: id });
  const value = () => Number(input.value) / scale;
  input.addEventListener('input', () => {
    show(setSection(state.history.current, section, { [key]: value() }));
  });
  input.addEventListener('change', () => {
    commit(setSection(state.history.current, section, { [key]: value() }));
  });
  syncs.push((edit) => {
    const v = edit[section][key];
    if (document.activeElement !== input || Number(input.value) !== v * scale) {
      input.value = String(v * scale);
    }
    output.textContent = format(v);
  });
  return el('div', { className: 'field' }, el('label', { for: id, text: label }),
    el('span', { className: 'range' }, input, output));
}

function bindSwitch({ label, section, key, id }) {
  const input = el('input', { id, type: 'checkbox', role: 'switch' });
  input.addEventListener('change', () => {
    commit(setSection(state.history.current, section, { [key]: input.checked }));
  });
  syncs.push((edit) => { input.checked = edit[section][key] === true; });
  return el('div', { className: 'field' }, el('label', { for: id, text: label }),
    el('span', { className: 'switch' }, input, el('span')));
}

function bindSelect({ label, section, key, id, options }) {
  const input = el('select', { id },
    options.map(([value, text]) => el('option', { value, text })));
  input.addEventListener('change', () => {
    commit(setSection(state.history.current, section, { [key]: input.value }));
  });
  syncs.push((edit) => { input.value = String(edit[section][key]); });
  return el('div', { className: 'field' }, el('label', { for: id, text: label }), input);
}

function bindColor({ label, key, id }) {
  const input = el('input', { type: 'color', id, className: 'color-input' });
  input.addEventListener('input', () => show(setSection(state.history.current, 'frame',
                                                        { [key]: input.value })));
  input.addEventListener('change', () => commit(setSection(state.history.current, 'frame',
                                                           { [key]: input.value })));
  syncs.push((edit) => { input.value = edit.frame[key]; });
  return el('div', { className: 'field' }, el('label', { for: id, text: label }), input);
}

const percent = (v) => `${Math.round(v)} %`;
const amount = (v) => `${Math.round(v * 100)} %`;
const times = (v) => `${v.toFixed(1)}×`;

const GRADIENTS = [
  ['#7f5af0', '#2cb1bc'], ['#ff7e5f', '#feb47b'], ['#1d2b64', '#f8cdda'], ['#0f2027', '#2c5364'],
  ['#ee9ca7', '#ffdde1'], ['#134e5e', '#71b280'],
];
const COLOURS = ['#1b1a26', '#0e1121', '#f4f5f9', '#ffffff', '#8b7cf6', '#2a8ea0', '#ff6b81',
                 '#f7b955'];

function swatchButton(label, style, onPick, isOn) {
  const button = el('button', { type: 'button', className: 'swatch', 'aria-label': label,
                                title: label, style, onclick: onPick });
  syncs.push((edit) => button.setAttribute('aria-pressed', String(isOn(edit))));
  return button;
}

function backgroundPanel() {
  const types = [['none', 'None'], ['wallpaper', 'Wallpaper'], ['gradient', 'Gradient'],
                 ['color', 'Colour'], ['live', 'Live']];
  const kinds = el('div', { className: 'segmented', role: 'group', 'aria-label': 'Background' },
    types.map(([type, text]) => {
      const button = el('button', { type: 'button', text, dataset: { type },
                                    onclick: () => pickType(type) });
      syncs.push((edit) => button.setAttribute('aria-pressed', String(edit.frame.type === type)));
      return button;
    }));
  const pickType = (type) => {
    const edit = state.history.current;
    const patch = { type };
    // A wallpaper or live background needs one of its own kind.
    if (type === 'wallpaper' && !state.backgrounds.wallpapers.some((w) => w.id === edit.frame.id)) {
      patch.id = state.backgrounds.wallpapers[0]?.id ?? edit.frame.id;
    }
    if (type === 'live' && !state.backgrounds.live.some((w) => w.id === edit.frame.id)) {
      patch.id = state.backgrounds.live[0]?.id ?? edit.frame.id;
      const hex = state.backgrounds.live[0]?.hex;
      if (hex) patch.hex = hex;
    }
    commit(setSection(edit, 'frame', patch));
  };
  const thumbs = (list, type) => el('div', { className: 'wallpapers', dataset: { kind: type } },
    list.map((item) => {
      const button = el('button', {
        type: 'button', className: 'wallpaper', 'aria-label': item.name, title: item.name,
        dataset: { id: item.id },
        onclick: () => commit(setSection(state.history.current, 'frame', {
          type, id: item.id, ...(type === 'live' && item.hex ? { hex: item.hex } : {}) })),
      }, el('img', { src: item.thumb, alt: '', loading: 'lazy', draggable: 'false' }));
      syncs.push((edit) => button.setAttribute('aria-pressed',
                                               String(edit.frame.type === type &&
                                                      edit.frame.id === item.id)));
      return button;
    }));
  const wallpapers = el('div', { className: 'bg-options', dataset: { for: 'wallpaper' } },
    thumbs(state.backgrounds.wallpapers, 'wallpaper'));
  const live = el('div', { className: 'bg-options', dataset: { for: 'live' } },
    thumbs(state.backgrounds.live, 'live'),
    el('p', { className: 'muted small-note', text: 'Loops behind the recording in the export.' }));
  const gradient = el('div', { className: 'bg-options', dataset: { for: 'gradient' } },
    el('div', { className: 'swatches' }, GRADIENTS.map(([from, to]) => swatchButton(
      `Gradient from ${from} to ${to}`, `background: linear-gradient(135deg, ${from}, ${to})`,
      () => commit(setSection(state.history.current, 'frame', { type: 'gradient', from, to })),
      (edit) => edit.frame.type === 'gradient' && edit.frame.from === from && edit.frame.to === to))),
    bindColor({ label: 'From', key: 'from', id: 'edit-from' }),
    bindColor({ label: 'To', key: 'to', id: 'edit-to' }),
    bindRange({ label: 'Angle', section: 'frame', key: 'angle', min: 0, max: 360, step: 5,
                format: (v) => `${Math.round(v)}°`, id: 'edit-angle' }));
  const colour = el('div', { className: 'bg-options', dataset: { for: 'color' } },
    el('div', { className: 'swatches' }, COLOURS.map((hex) => swatchButton(
      `Colour ${hex}`, `background: ${hex}`,
      () => commit(setSection(state.history.current, 'frame', { type: 'color', hex })),
      (edit) => edit.frame.type === 'color' && edit.frame.hex === hex))),
    bindColor({ label: 'Colour', key: 'hex', id: 'edit-hex' }));
  syncs.push((edit) => {
    for (const box of [wallpapers, live, gradient, colour]) {
      box.hidden = box.dataset.for !== edit.frame.type;
    }
  });
  return panel('Background', 'background', kinds, wallpapers, live, gradient, colour);
}

function framePanel() {
  const fields = el('div', { className: 'frame-fields' },
    bindRange({ label: 'Padding', section: 'frame', key: 'paddingPct', min: 0, max: 40, step: 1,
                format: percent, id: 'edit-padding' }),
    bindRange({ label: 'Corners', section: 'frame', key: 'radiusPct', min: 0, max: 20, step: 0.5,
                format: percent, id: 'edit-radius' }),
    bindRange({ label: 'Shadow', section: 'frame', key: 'shadowPct', min: 0, max: 100, step: 1,
                format: percent, id: 'edit-shadow' }),
    bindRange({ label: 'Outline', section: 'frame', key: 'outlinePct', min: 0, max: 4, step: 0.1,
                format: (v) => `${v.toFixed(1)} %`, id: 'edit-outline' }));
  const none = el('p', { className: 'muted small-note',
                         text: 'With no background the recording fills the whole picture.' });
  syncs.push((edit) => {
    const off = edit.frame.type === 'none';
    none.hidden = !off;
    for (const input of fields.querySelectorAll('input')) input.disabled = off;
  });
  return panel('Frame', 'frame', fields, none);
}

function zoomPanel() {
  const body = el('div', { className: 'zoom-fields' });
  const empty = el('p', { className: 'muted small-note', id: 'zoom-empty',
                          text: 'Add a zoom with the button or Z at the playhead, then drag it on '
                            + 'the timeline; its edges change its length.' });
  const scale = el('input', { type: 'range', min: '1.25', max: '4', step: '0.05',
                              id: 'zoom-scale', 'aria-label': 'Zoom scale' });
  const scaleOut = el('output', { for: 'zoom-scale' });
  scale.addEventListener('input', () => show(updateZoom(state.history.current, state.selected,
                                                        { scale: Number(scale.value) })));
  scale.addEventListener('change', () => commit(updateZoom(state.history.current, state.selected,
                                                           { scale: Number(scale.value) })));
  const modes = [['fixed', 'Fixed point'], ['cursor', 'Pointer'], ['caret', 'Caret']];
  const follow = el('div', { className: 'segmented', role: 'group', 'aria-label': 'Camera' },
    modes.map(([mode, text]) => el('button', {
      type: 'button', text, dataset: { mode },
      onclick: () => commit(updateZoom(state.history.current, state.selected, { follow: mode })),
    })));
  const followNote = el('p', { className: 'muted small-note' });
  const remove = el('button', { type: 'button', className: 'button small danger',
                                id: 'zoom-remove', onclick: () => deleteSelected() },
  el('span', { className: 'icon trash', 'aria-hidden': 'true' }), 'Remove zoom');
  body.append(
    el('div', { className: 'field' }, el('label', { for: 'zoom-scale', text: 'Scale' }),
      el('span', { className: 'range' }, scale, scaleOut)),
    el('div', { className: 'field column' }, el('span', { text: 'Camera follows' }), follow),
    followNote,
    el('div', { className: 'zoom-actions' }, remove));
  syncs.push((edit) => {
    const zoom = state.selected ? zoomById(edit, state.selected) : null;
    body.hidden = !zoom;
    empty.hidden = !!zoom;
    if (!zoom) return;
    if (document.activeElement !== scale) scale.value = String(zoom.scale);
    scaleOut.textContent = times(zoom.scale);
    const can = followModes(state.project);
    for (const button of follow.querySelectorAll('button')) {
      button.setAttribute('aria-pressed', String(button.dataset.mode === zoom.follow));
      button.disabled = !can[button.dataset.mode] && button.dataset.mode !== zoom.follow;
    }
    followNote.textContent = zoom.follow === 'fixed'
      ? 'Click on the picture to choose where it looks.'
      : !can[zoom.follow] ? 'This recording has no track to follow: the camera holds its point.'
        : zoom.follow === 'caret' ? 'Goes where text is typed; holds still otherwise.'
          : 'Moves when the pointer leaves the middle of the view.';
    if (!can.cursor) {
      followNote.textContent += ' Following needs a recording made with the smoothed cursor.';
    }
  });
  return panel('Zoom', 'zoom', empty, body);
}

function cursorPanel() {
  const none = el('p', { className: 'muted small-note', text: 'The cursor is part of the '
    + 'recorded picture: record with the smoothed cursor to restyle it here.' });
  const fields = el('div', {},
    bindSwitch({ label: 'Show the cursor', section: 'cursor', key: 'render', id: 'edit-cursor' }),
    bindSelect({ label: 'Style', section: 'cursor', key: 'style', id: 'edit-cursor-style',
                 options: [['arrow', 'Arrow'], ['system', 'Classic'], ['tahoe', 'Tahoe'],
                           ['tahoe-inverted', 'Tahoe dark'], ['figma', 'Figma'], ['dot', 'Dot'],
                           ['invert', 'Inverted arrow']] }),
    bindRange({ label: 'Size', section: 'cursor', key: 'size', min: 1, max: 3, step: 0.1,
                format: times, id: 'edit-cursor-size' }),
    bindRange({ label: 'Smoothing', section: 'cursor', key: 'smooth', min: 0, max: 1, step: 0.05,
                format: amount, id: 'edit-cursor-smooth' }),
    bindRange({ label: 'Tilt', section: 'cursor', key: 'sway', min: 0, max: 1, step: 0.05,
                format: amount, id: 'edit-cursor-sway' }),
    bindRange({ label: 'Click bounce', section: 'cursor', key: 'bounce', min: 0, max: 1,
                step: 0.05, format: amount, id: 'edit-cursor-bounce' }),
    bindRange({ label: 'Motion blur', section: 'cursor', key: 'motionBlur', min: 0, max: 1,
                step: 0.05, format: amount, id: 'edit-cursor-blur' }),
    bindSwitch({ label: 'Click ripple', section: 'cursor', key: 'ripple', id: 'edit-ripple' }));
  syncs.push(() => {
    const has = projectTracks(state.project).cursorPath.length > 0;
    none.hidden = has;
    fields.hidden = !has;
  });
  return panel('Cursor', 'cursor', none, fields);
}

function webcamPanel() {
  const none = el('p', { className: 'muted small-note',
                         text: 'This recording was made without the webcam.' });
  const fields = el('div', {},
    bindSwitch({ label: 'Show the webcam', section: 'webcam', key: 'enabled', id: 'edit-webcam' }),
    bindSelect({ label: 'Shape', section: 'webcam', key: 'shape', id: 'edit-webcam-shape',
                 options: [['squircle', 'Rounded square'], ['circle', 'Circle'],
                           ['wide', 'Wide']] }),
    bindSelect({ label: 'Place', section: 'webcam', key: 'positionPreset', id: 'edit-webcam-place',
                 options: [['bottom-right', 'Bottom right'], ['bottom-left', 'Bottom left'],
                           ['top-right', 'Top right'], ['top-left', 'Top left'],
                           ['bottom-center', 'Bottom centre'], ['top-center', 'Top centre'],
                           ['center-left', 'Left'], ['center-right', 'Right'],
                           ['center', 'Centre']] }),
    bindRange({ label: 'Size', section: 'webcam', key: 'size', min: 10, max: 60, step: 1,
                format: percent, id: 'edit-webcam-size' }),
    bindSwitch({ label: 'Mirror', section: 'webcam', key: 'mirror', id: 'edit-webcam-mirror' }),
    bindSwitch({ label: 'Shrink while zoomed', section: 'webcam', key: 'reactToZoom',
                 id: 'edit-webcam-react' }));
  syncs.push(() => {
    const has = projectTracks(state.project).webcam !== null;
    none.hidden = has;
    fields.hidden = !has;
  });
  return panel('Webcam', 'webcam', none, fields);
}

function audioPanel() {
  return panel('Audio', 'audio',
    bindRange({ label: 'Microphone', section: 'audio', key: 'mic', min: 0, max: 200, step: 5,
                scale: 100, format: amount, id: 'edit-mic' }),
    bindRange({ label: 'System audio', section: 'audio', key: 'system', min: 0, max: 200, step: 5,
                scale: 100, format: amount, id: 'edit-system' }));
}

function panel(title, key, ...children) {
  return el('section', { className: 'edit-panel', dataset: { panel: key },
                         'aria-labelledby': `panel-${key}` },
  el('h2', { id: `panel-${key}`, text: title }), ...children);
}

function renderControls() {
  const edit = doc();
  if (!edit) return;
  for (const sync of syncs) sync(edit);
  const output = $('editor-output');
  const heights = outputHeights(state.sourceSize?.height ?? 0);
  const wanted = ['0', ...heights.map(String)].join(',');
  if (output.dataset.options !== wanted) {
    output.dataset.options = wanted;
    output.replaceChildren(
      el('option', { value: '0', text: state.sourceSize ? `Original (${state.sourceSize.height}p)`
        : 'Original size' }),
      ...heights.map((h) => el('option', { value: String(h), text: `${h}p` })));
  }
  output.value = String(heights.includes(edit.targetHeight) ? edit.targetHeight : 0);
  $('editor-undo').disabled = !state.history.canUndo;
  $('editor-redo').disabled = !state.history.canRedo;
  renderFocus();
}

function renderTransport() {
  const button = $('editor-play');
  if (!button) return;
  button.setAttribute('aria-label', state.playing ? 'Pause' : 'Play');
  button.title = state.playing ? 'Pause (Space)' : 'Play (Space)';
  button.querySelector('.icon').className = `icon ${state.playing ? 'pause' : 'play'}`;
}

// ---- Export ----------------------------------------------------------------------------------

async function startExport() {
  if (state.exporting || !doc()) return;
  stopPlaying();
  await flushSave();
  const recording = state.name;
  const payload = exportPayload(doc(), recording, state.project);
  state.exporting = { startedAt: performance.now(), fraction: 0, recording, cancelling: false };
  renderExport({ phase: 'running' });
  let reply;
  try {
    reply = await call('edit.exportRender', payload);
  } catch (error) {
    state.exporting = null;
    renderExport({ phase: 'failed', message: isUnsupported(error)
      ? 'Exporting is not available in this version.' : error.message, recording });
    return;
  }
  state.exporting = null;
  if (reply?.cancelled) {
    renderExport({ phase: 'closed' });
    toast('Export cancelled. Nothing was saved.', 'info');
    return;
  }
  renderExport({ phase: 'done', movie: reply?.name, recording });
  toast(`Exported “${recordingTitle(reply?.name ?? '')}”.`, 'success');
}

function cancelExport() {
  if (!state.exporting || state.exporting.cancelling) return;
  state.exporting.cancelling = true;
  $('export-status').textContent = 'Cancelling…';
  $('export-cancel').disabled = true;
  call('edit.exportCancel', { name: state.exporting.recording }).catch((error) => {
    toast(error.message, 'error');
  });
}

function onExportProgress(data) {
  if (!state.exporting || typeof data.value !== 'number' || state.exporting.cancelling) return;
  const fraction = Math.min(Math.max(data.value, 0), 1);
  state.exporting.fraction = fraction;
  $('export-bar').value = fraction;
  $('export-percent').textContent = `${Math.round(fraction * 100)} %`;
  $('export-status').textContent = formatRemaining(
    remainingMs(performance.now() - state.exporting.startedAt, fraction));
}

function renderExport({ phase, message = '', movie = '', recording = '' }) {
  const box = $('export-panel');
  const button = $('editor-export');
  button.disabled = phase === 'running';
  button.classList.toggle('busy', phase === 'running');
  if (phase === 'closed') {
    box.hidden = true;
    box.replaceChildren();
    return;
  }
  box.hidden = false;
  box.dataset.phase = phase;
  const close = el('button', { type: 'button', className: 'icon-button close',
                               'aria-label': 'Close', onclick: () => renderExport({ phase: 'closed' }) });
  if (phase === 'running') {
    box.replaceChildren(
      el('div', { className: 'export-head' },
        el('strong', { text: `Exporting “${recordingTitle(state.exporting.recording)}”` }),
        el('span', { className: 'export-percent', id: 'export-percent', text: '0 %' })),
      el('progress', { id: 'export-bar', max: '1', value: '0', 'aria-label': 'Export progress' }),
      el('div', { className: 'export-row' },
        el('span', { id: 'export-status', className: 'muted', role: 'status',
                     text: formatRemaining(null) }),
        el('button', { type: 'button', className: 'button small', id: 'export-cancel',
                       text: 'Cancel', onclick: cancelExport })));
  } else if (phase === 'done') {
    const url = mediaURL(state.mediaBase, movie);
    box.replaceChildren(
      el('div', { className: 'export-head' },
        el('strong', { className: 'ok', text: `Saved “${recordingTitle(movie)}”` }), close),
      el('p', { className: 'muted', id: 'export-result', dataset: { name: movie },
                text: `In the recordings folder as ${movie}` }),
      el('div', { className: 'export-row' },
        el('button', { type: 'button', className: 'button small primary', id: 'export-play',
                       disabled: !url, onclick: () => playMovie(movie) },
        el('span', { className: 'icon play', 'aria-hidden': 'true' }), 'Play'),
        el('button', { type: 'button', className: 'button small', id: 'export-reveal',
                       onclick: () => call('library.reveal', { name: movie })
                         .catch((e) => toast(e.message, 'error')) },
        el('span', { className: 'icon folder', 'aria-hidden': 'true' }), 'Reveal'),
        el('button', { type: 'button', className: 'button small', id: 'export-folder',
                       onclick: () => call('library.openFolder')
                         .catch((e) => toast(e.message, 'error')) }, 'Open folder')));
  } else {
    box.replaceChildren(
      el('div', { className: 'export-head' },
        el('strong', { className: 'bad', text: 'The export failed' }), close),
      el('p', { id: 'export-error', role: 'alert', text: message }),
      el('div', { className: 'export-row' },
        el('button', { type: 'button', className: 'button small', text: 'Try again',
                       disabled: recording !== state.name, onclick: () => startExport() })));
  }
}

// The exported movie in a player over the editor.
function playMovie(name) {
  const url = mediaURL(state.mediaBase, name);
  if (!url) return;
  const player = el('video', { src: url, controls: true, autoplay: true, id: 'export-player',
                               'aria-label': `Play ${name}` });
  const close = () => {
    player.pause();
    layer.remove();
  };
  const layer = el('div', { className: 'player-layer', role: 'dialog', 'aria-label': name,
                            onclick: (e) => { if (e.target === layer) close(); } },
  el('div', { className: 'player-box' },
    el('div', { className: 'export-head' }, el('strong', { text: recordingTitle(name) }),
      el('button', { type: 'button', className: 'icon-button close', 'aria-label': 'Close',
                     onclick: close })),
    player));
  layer.addEventListener('keydown', (e) => {
    if (e.key === 'Escape') {
      close();
      e.stopPropagation();
    }
  });
  $('screen-editor').append(layer);
  layer.querySelector('.close').focus();
}

// Leaving the editor (another screen, another recording) while an export runs asks first; the
// export is cancelled when the person goes. Resolves true when leaving may go on.
async function confirmLeave(what) {
  if (!state.exporting) return true;
  let answer;
  try {
    answer = await call('app.confirm', {
      title: 'Cancel the export?',
      message: `“${recordingTitle(state.exporting.recording)}” is being exported. To ${what}, `
        + 'the export stops and nothing of it is kept.',
      okLabel: 'Cancel export',
    });
  } catch {
    return false;
  }
  if (!answer?.ok || !state.exporting) return !state.exporting;
  cancelExport();
  return true;
}

// ---- The screen ------------------------------------------------------------------------------

function renderShell(phase, message = '') {
  const empty = $('editor-empty');
  const body = $('editor');
  if (phase === 'empty' || phase === 'error' || phase === 'loading') {
    body.hidden = true;
    empty.hidden = false;
    const title = phase === 'loading' ? `Opening “${recordingTitle(state.name)}”…`
      : phase === 'error' ? 'This recording can’t be edited' : 'Nothing to edit yet';
    empty.className = `state-note ${phase === 'error' ? 'error' : phase === 'loading'
      ? 'loading' : 'empty'}`;
    empty.replaceChildren(el('p', { className: 'state-title', text: title }),
      el('p', { className: 'state-detail', text: phase === 'empty'
        ? 'Open a recording from the library to zoom, frame and export it.' : message }),
      phase === 'loading' ? '' : el('div', { className: 'state-actions' },
        el('button', { type: 'button', className: 'button primary', text: 'Go to the library',
                       onclick: () => showScreen('library') })));
    return;
  }
  empty.hidden = true;
  body.hidden = false;
  $('editor-title').textContent = recordingTitle(state.name);
  $('editor-title').title = state.name;
  const v = video();
  const url = mediaURL(state.mediaBase, state.name);
  if (url) v.src = url;
  else v.removeAttribute('src');
  $('editor-preview').hidden = true;
  $('editor-live').hidden = true;
  stageNote('Making the preview…');
  renderExport({ phase: state.exporting ? 'running' : 'closed' });
  renderClicks();
  renderSaveState();
  renderTransport();
  requestAnimationFrame(() => {
    fitStage();
    renderTimeline();
    drawWaveform();
    changed();
  });
}

function buildScreen() {
  const section = $('screen-editor');
  const video = el('video', { id: 'editor-video', preload: 'auto', playsinline: true, muted: false,
                              'aria-hidden': 'true' });
  video.addEventListener('loadedmetadata', () => {
    if (video.videoWidth && video.videoHeight) {
      state.sourceSize = { width: video.videoWidth, height: video.videoHeight };
      renderControls();
      if (!state.picture) fitStage();
    }
  });
  video.addEventListener('error', () => {
    if (state.playing) stopPlaying();
  });
  const stage = el('div', { className: 'editor-stage', id: 'editor-stage' },
    el('img', { id: 'editor-preview', alt: 'Preview of the export', draggable: 'false',
                decoding: 'async', hidden: true }),
    el('div', { className: 'editor-live', id: 'editor-live', hidden: true },
      el('div', { className: 'live-background' }),
      el('div', { className: 'live-clip' }, video)),
    el('div', { className: 'editor-focus', id: 'editor-focus', hidden: true },
      el('span', { className: 'focus-window' }), el('span', { className: 'focus-dot' }),
      el('span', { className: 'focus-hint' })),
    el('div', { className: 'stage-note', id: 'editor-stage-note', hidden: true }));
  stage.addEventListener('pointerdown', onStagePointer);
  const panels = el('aside', { className: 'editor-panels', 'aria-label': 'Edit' },
    zoomPanel(), backgroundPanel(), framePanel(), cursorPanel(), webcamPanel(), audioPanel());
  const output = el('select', { id: 'editor-output', 'aria-label': 'Output size' });
  output.addEventListener('change', () => commit(setTargetHeight(doc(), Number(output.value))));
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
      el('span', { className: 'tl-wave-note', id: 'tl-wave-note', hidden: true })),
    el('span', { className: 'tl-shade start', id: 'tl-shade-start' }),
    el('span', { className: 'tl-shade end', id: 'tl-shade-end' }),
    handle('start'), handle('end'),
    el('span', { className: 'tl-playhead', id: 'tl-playhead' }));
  body.addEventListener('pointerdown', onTimelinePointer);
  section.replaceChildren(
    el('div', { className: 'state-note empty', id: 'editor-empty' }),
    el('div', { className: 'editor', id: 'editor', hidden: true },
      el('div', { className: 'editor-bar' },
        el('h1', { id: 'editor-title', tabindex: '-1' }),
        el('span', { className: 'save-state', id: 'editor-save-state', role: 'status' }),
        el('span', { className: 'toolbar-spacer' }),
        el('button', { type: 'button', className: 'button ghost small', id: 'editor-undo',
                       'aria-keyshortcuts': 'Control+Z', title: 'Undo (Ctrl+Z)', onclick: undo },
        'Undo'),
        el('button', { type: 'button', className: 'button ghost small', id: 'editor-redo',
                       'aria-keyshortcuts': 'Control+Shift+Z', title: 'Redo (Ctrl+Shift+Z)',
                       onclick: redo }, 'Redo'),
        output,
        el('button', { type: 'button', className: 'button primary', id: 'editor-export',
                       onclick: () => startExport() }, 'Export')),
      el('div', { className: 'editor-body' },
        el('div', { className: 'editor-main' },
          el('div', { className: 'editor-stage-wrap', id: 'editor-stage-wrap' }, stage),
          el('div', { className: 'export-panel card', id: 'export-panel', hidden: true,
                      'aria-live': 'polite' })),
        panels),
      el('div', { className: 'editor-transport' },
        el('button', { type: 'button', className: 'icon-button', id: 'editor-play',
                       'aria-label': 'Play', 'aria-keyshortcuts': 'Space', onclick: togglePlay },
        el('span', { className: 'icon play', 'aria-hidden': 'true' })),
        el('span', { className: 'editor-time', id: 'editor-time' }),
        el('button', { type: 'button', className: 'button ghost small', id: 'editor-add-zoom',
                       'aria-keyshortcuts': 'Z', title: 'Add a zoom at the playhead (Z)',
                       onclick: addZoomAtPlayhead }, '+ Zoom'),
        el('span', { className: 'toolbar-spacer' }),
        el('span', { className: 'editor-range muted', id: 'editor-range' })),
      el('div', { className: 'timeline' }, body)));
  renderShell('empty');
  new ResizeObserver(() => {
    fitStage();
    if (doc()) {
      renderTimeline();
      drawWaveform();
      requestPreview();
    }
  }).observe($('editor-stage-wrap'));
  new ResizeObserver(() => {
    if (doc()) {
      renderTimeline();
      drawWaveform();
    }
  }).observe(body);
}

function onKey(event) {
  if (!doc() || document.querySelector('.player-layer')) return false;
  const key = event.key;
  const ctrl = event.ctrlKey || event.metaKey;
  if (ctrl && !event.altKey && (key === 'z' || key === 'Z')) {
    if (isTyping(event.target)) return false;
    if (event.shiftKey) redo();
    else undo();
    return true;
  }
  if (ctrl && !event.altKey && (key === 'y' || key === 'Y')) {
    redo();
    return true;
  }
  if (ctrl || event.altKey || isTyping(event.target)) return false;
  const onControl = event.target.closest?.('input, select, [role="slider"]');
  switch (key) {
    case ' ':
      if (event.target.closest?.('select')) return false;
      togglePlay();
      return true;
    case 'Delete':
    case 'Backspace':
      return deleteSelected();
    case 'z':
    case 'Z':
      addZoomAtPlayhead();
      return true;
    case 'Escape':
      if (!state.selected) return false;
      select(null);
      return true;
    case 'ArrowLeft':
    case 'ArrowRight': {
      if (onControl) return false;
      const step = (event.shiftKey ? 1000 : FRAME_MS) * (key === 'ArrowLeft' ? -1 : 1);
      seek(state.playheadMs + step);
      return true;
    }
    case 'Home':
      if (onControl) return false;
      seek(doc().range.startMs);
      return true;
    case 'End':
      if (onControl) return false;
      seek(doc().range.endMs);
      return true;
    default:
      return false;
  }
}

async function loadBackgrounds() {
  try {
    const response = await fetch('wallpapers/index.json');
    const index = await response.json();
    const usable = (list) => (Array.isArray(list) ? list.filter((w) => w && typeof w.id ===
      'string' && typeof w.thumb === 'string') : []);
    state.backgrounds = { wallpapers: usable(index.wallpapers), live: usable(index.live) };
  } catch {
    state.backgrounds = { wallpapers: [], live: [] };
  }
}

export async function initEditorScreen({ mediaBaseURL }) {
  state.mediaBase = typeof mediaBaseURL === 'string' ? mediaBaseURL : null;
  // The library may open a recording at once; it is opened once the screen is built.
  let built;
  const ready = new Promise((resolve) => { built = resolve; });
  registerEditor((name) => ready.then(() => openRecording(name)));
  await loadBackgrounds();
  buildScreen();
  on('exportProgress', onExportProgress);
  window.addEventListener('resize', () => drawWaveform());
  registerScreen('editor', {
    onShow: () => {
      if (doc()) requestAnimationFrame(() => {
        fitStage();
        renderTimeline();
        drawWaveform();
        requestPreview();
      });
    },
    onHide: () => {
      stopPlaying();
      if (state.save.timer) saveNow();
    },
    beforeLeave: () => confirmLeave('leave the editor'),
    onKey,
  });
  built();
}
