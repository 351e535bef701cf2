// The editor's picture: the application's own exact preview of the export while paused or
// scrubbing, asked for one at a time with only the newest wanted one waiting; the chosen zoom
// region's part and focus drawn over the whole picture, where a click or drag places its focus.

import { call, isUnsupported } from '../bridge.js';
import { $, drag } from '../dom.js';
import { exportPayload, pictureToSource, sourceToPicture, updateZoom, zoomById,
         zoomWindow } from '../edit_model.js';
import { store } from './store.js';
import { zoomFocusKey } from './zoom_keys.js';

// What changes the picture asked for.
const PICTURE_ASPECTS = ['doc', 'selection', 'playhead', 'playing', 'layout', 'open'];

const preview = { pending: null, inFlight: false, shownKey: '', tracksOf: null };

// The payload for the preview: the edit as it will be exported, or while a zoom region is chosen
// the whole picture (no zooms), on which its zoomed part is drawn. The recorded pointer path and
// clicks are left out: they go to the application once per opened recording (sendTracks), so
// that scrubbing a long recording does not send them with every picture.
export function previewPayload() {
  const { state } = store;
  const payload = exportPayload(store.doc(), state.name, state.project);
  if (state.selected) payload.zooms = [];
  if (payload.cursor) {
    const { path, clicks, ...rest } = payload.cursor;
    payload.cursor = rest;
  }
  return payload;
}

// Sends the tracks of the recording open now, unless the application has them already (or is
// known to have lost them: `again`).
export async function sendTracks(name, again = false) {
  if (again) preview.tracksOf = null;
  const { project } = store.state;
  // Saving the edit makes a new project object around the same recorded arrays.
  const { cursorPath, clicks } = project ?? {};
  const sent = preview.tracksOf;
  if (sent?.name === name && sent.cursorPath === cursorPath && sent.clicks === clicks) return;
  const cursor = exportPayload(store.doc(), name, project).cursor;
  await call('edit.previewTracks', { name, path: cursor?.path ?? [], clicks: cursor?.clicks ?? [] });
  preview.tracksOf = { name, cursorPath, clicks };
}

export function previewWidth() {
  const stage = $('editor-stage');
  const width = (stage?.clientWidth || 960) * (window.devicePixelRatio || 1);
  // Steps of 160 pixels: a window resized a little keeps the application's prepared layers.
  return Math.min(1920, Math.max(320, Math.ceil(width / 160) * 160));
}

// The picture on screen is no longer the exact one (the movie played over it).
export function forgetShownPicture() {
  preview.shownKey = '';
}

function requestPreview() {
  const { state } = store;
  if (!state.name || !store.doc() || state.playing) return;
  const payload = { ...previewPayload(), tMs: Math.round(state.playheadMs),
                    maxWidth: previewWidth() };
  const key = JSON.stringify(payload);
  if (key === preview.shownKey && !preview.inFlight) return;
  preview.pending = { payload, key, name: state.name };
  if (!preview.inFlight) sendPreview();
}

async function sendPreview() {
  const want = preview.pending;
  preview.pending = null;
  if (!want) return;
  const current = () => want.name === store.state.name;
  preview.inFlight = true;
  $('editor-stage')?.classList.add('busy');
  try {
    if (want.payload.cursor) await sendTracks(want.name);
    let reply = await call('edit.previewFrame', want.payload);
    if (reply?.needsTracks) {
      // The application no longer has them (another window's editor sent its own).
      preview.tracksOf = null;
      await sendTracks(want.name);
      reply = await call('edit.previewFrame', want.payload);
    }
    if (reply?.superseded && !preview.pending && current() && (want.tries ?? 0) < 3) {
      // Overtaken by other work of the renderer (a stream ending), not by a newer picture of
      // ours: ask again, or the picture shown would never be this one.
      preview.pending = { ...want, tries: (want.tries ?? 0) + 1 };
    }
    if (current() && !reply?.superseded && typeof reply?.image === 'string') {
      // Decoded before it is shown, so that painting never waits for a picture.
      const next = new Image();
      next.src = reply.image;
      await next.decode().catch(() => {});
      if (current()) showPicture(reply, want.key);
    }
  } catch (error) {
    if (current()) {
      stageNote(isUnsupported(error) ? 'The preview is not available in this version.'
        : `No preview: ${error.message}`, 'bad');
    }
  } finally {
    preview.inFlight = false;
    $('editor-stage')?.classList.remove('busy');
    if (preview.pending) sendPreview();
    else markSettled();
  }
}

// Says when the picture shown is the one last asked for (the tests wait for it).
function markSettled() {
  if ($('editor-stage') && !preview.inFlight && !preview.pending) {
    $('editor-stage').dataset.pending = 'false';
  }
}

function showPicture(reply, key) {
  const img = $('editor-preview');
  preview.shownKey = key;
  img.src = reply.image;
  img.dataset.tMs = String(reply.tMs);
  img.dataset.shown = String(Number(img.dataset.shown || 0) + 1);
  img.hidden = false;
  if (!store.state.playing) $('editor-live').hidden = true;
  stageNote('');
  store.set({ picture: { width: reply.width, height: reply.height } }, 'picture');
  fitStage();
}

export function stageNote(text, kind = '') {
  const note = $('editor-stage-note');
  if (!note) return;
  note.textContent = text;
  note.hidden = !text;
  note.className = `stage-note ${kind}`;
}

// The stage keeps the picture's proportions inside the space it has.
export function fitStage() {
  const wrap = $('editor-stage-wrap');
  const stage = $('editor-stage');
  if (!wrap || !stage) return;
  const { picture, sourceSize } = store.state;
  const size = picture ?? (sourceSize && { width: sourceSize.width, height: sourceSize.height }) ??
    { width: 16, height: 9 };
  const ratio = size.width / size.height;
  const w = Math.max(0, wrap.clientWidth);
  const h = Math.max(0, wrap.clientHeight);
  const width = Math.min(w, h * ratio);
  stage.style.width = `${Math.floor(width)}px`;
  stage.style.height = `${Math.floor(width / ratio)}px`;
  store.changed('stage');
}

// The recording's width over its height where the picture has a shape of its own; otherwise
// undefined (the picture's own).
export function recordingAspect(state, edit) {
  const size = state.sourceSize;
  return edit?.shape && size?.width > 0 && size.height > 0 ? size.width / size.height : undefined;
}

// The chosen region's zoomed part and focus, drawn over the whole picture.
function renderFocus(state) {
  const box = $('editor-focus');
  if (!box) return;
  const doc = store.doc();
  const zoom = state.selected && doc ? zoomById(doc, state.selected) : null;
  if (!zoom || state.playing || !state.picture) {
    box.hidden = true;
    return;
  }
  const { width: W, height: H } = state.picture;
  const aspect = recordingAspect(state, doc);
  const win = zoomWindow(zoom.fx, zoom.fy, zoom.scale);
  const a = sourceToPicture(win.x, win.y, W, H, doc.frame, aspect);
  const b = sourceToPicture(win.x + win.w, win.y + win.h, W, H, doc.frame, aspect);
  const dot = sourceToPicture(zoom.fx, zoom.fy, W, H, doc.frame, aspect);
  const pct = (v, of) => `${((v / of) * 100).toFixed(3)}%`;
  const rect = box.querySelector('.focus-window');
  Object.assign(rect.style, { left: pct(a.x, W), top: pct(a.y, H), width: pct(b.x - a.x, W),
                              height: pct(b.y - a.y, H) });
  const point = box.querySelector('.focus-dot');
  Object.assign(point.style, { left: pct(dot.x, W), top: pct(dot.y, H) });
  point.setAttribute('aria-label', `Where the zoom looks: ${Math.round(zoom.fx * 100)} % across, ` +
                     `${Math.round(zoom.fy * 100)} % down; the arrows move it`);
  box.querySelector('.focus-hint').textContent = zoom.follow === 'fixed'
    ? 'Click where the zoom should look · Esc shows the zoom'
    : `Follows the ${zoom.follow === 'caret' ? 'text caret' : 'pointer'}; it starts here · Esc ` +
      'shows the zoom';
  box.hidden = false;
}

const round3 = (v) => Math.round(v * 1000) / 1000;

// A press on the picture while a zoom region is chosen places its focus, and a drag moves it.
function onStagePointer(event) {
  const { state } = store;
  if (event.button !== 0 || !state.selected || state.playing || !state.picture) return;
  const zoom = zoomById(store.doc(), state.selected);
  if (!zoom) return;
  const stage = $('editor-stage');
  const box = stage.getBoundingClientRect();
  const { width: W, height: H } = state.picture;
  const frame = store.doc().frame;
  const aspect = recordingAspect(state, store.doc());
  const start = state.history.current;
  const place = (e) => {
    const { fx, fy } = pictureToSource(((e.clientX - box.left) / box.width) * W,
                                       ((e.clientY - box.top) / box.height) * H, W, H, frame,
                                       aspect);
    store.show(updateZoom(start, zoom.id, { fx: round3(fx), fy: round3(fy) }));
  };
  place(event);
  drag(stage, event, { onMove: place, onEnd: () => store.commit() });
}

// The arrows on the focus point move where the chosen region looks.
function onFocusKey(event) {
  const { selected } = store.state;
  if (!selected || event.ctrlKey || event.altKey || event.metaKey) return;
  const next = zoomFocusKey(store.doc(), selected, event);
  if (!next) return;
  store.commit(next);
  event.preventDefault();
}

export function initPreview() {
  $('editor-stage').addEventListener('pointerdown', onStagePointer);
  const dot = $('editor-focus')?.querySelector('.focus-dot');
  if (dot) {
    Object.assign(dot, { tabIndex: 0, title: 'Arrows move where the zoom looks (Shift: further)' });
    dot.setAttribute('role', 'group');
    dot.setAttribute('aria-label', 'Where the zoom looks: the arrows move it');
    dot.addEventListener('keydown', onFocusKey);
  }
  // The flag goes up at once, so that whoever waits for the picture never sees the last one as
  // the answer to a change the next frame asks for.
  store.listen((aspects, state) => {
    if (state.name && !state.playing && aspects.some((a) => PICTURE_ASPECTS.includes(a))) {
      $('editor-stage').dataset.pending = 'true';
    }
  });
  store.subscribe(PICTURE_ASPECTS, () => {
    requestPreview();
    markSettled();
  });
  store.subscribe(['doc', 'selection', 'playing', 'picture', 'stage'], renderFocus);
}
