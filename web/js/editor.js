// The editor screen: one recording at a time, its styled picture (the application's own exact
// preview while paused or scrubbing, the movie with the styling approximated in CSS while it
// plays), the timeline, the panels bound to the edit, undo and redo, saving into the project file
// a moment after each change, and the export. This module builds the screen and opens
// recordings; the parts live in editor/ and meet in its store.

import { call } from './bridge.js';
import { $, el } from './dom.js';
import { defaultEdit, outputHeights, restoreEdit, setShape, setTargetHeight, SHAPES,
         withLook } from './edit_model.js';
import { confirmLeave, initExport, renderExportShown, startExport } from './editor/export.js';
import { onKey } from './editor/keys.js';
import { audioPanel } from './editor/panels/audio.js';
import { backgroundPanel } from './editor/panels/background.js';
import { renderControls } from './editor/panels/controls.js';
import { cursorPanel } from './editor/panels/cursor.js';
import { framePanel } from './editor/panels/frame.js';
import { defaultLook, looksPanel } from './editor/panels/looks.js';
import { keystrokesPanel } from './editor/panels/keystrokes.js';
import { webcamPanel } from './editor/panels/webcam.js';
import { zoomPanel } from './editor/panels/zoom.js';
import { backgrounds, initPlayback, stopPlaying, togglePlay } from './editor/playback.js';
import { fitStage, forgetShownPicture, initPreview, stageNote } from './editor/preview.js';
import { flushSave, initSave, resetSave, saveIfWaiting } from './editor/save.js';
import { store } from './editor/store.js';
import { addZoomAtPlayhead, loadWaveform, timelineBody } from './editor/timeline.js';
import { recordingTitle } from './format.js';
import { knownRecording } from './library.js';
import { mediaURL } from './library_model.js';
import { newestWins } from './newest.js';
import { registerEditor, registerScreen, showScreen } from './shell.js';

// Counts openings, so that a late answer for an earlier one is ignored.
const opening = newestWins();

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
  if (store.state.name === name && store.doc()) return;
  if (!(await confirmLeave(`open “${recordingTitle(name)}”`))) return;
  await flushSave();
  const current = opening.begin();
  stopPlaying();
  store.open({ name });
  forgetShownPicture();
  resetSave();
  renderShell('loading');
  let durationMs;
  let read;
  let look;
  try {
    [durationMs, read, look] = await Promise.all([durationOf(name), readProject(name),
                                                  defaultLook()]);
  } catch (error) {
    if (current()) renderShell('error', error.message);
    return;
  }
  if (!current()) return;
  if (!(durationMs > 0)) {
    renderShell('error', 'This movie can’t be read. It may be damaged, or still being written.');
    return;
  }
  const project = read.project ?? null;
  const wallpaper = backgrounds.wallpapers[0]?.id;
  // A recording without an edit of its own takes the default look.
  const edit = restoreEdit(project?.edit, durationMs, project, { wallpaper }) ??
    withLook(defaultEdit(durationMs, project, { wallpaper }), look);
  store.open({ name, durationMs, project, projectError: read.error ?? null }, edit);
  resetSave();
  renderShell('ready');
  loadWaveform(name, current);
}

// ---- The screen ------------------------------------------------------------------------------

function renderShell(phase, message = '') {
  const empty = $('editor-empty');
  const body = $('editor');
  const { name } = store.state;
  if (phase === 'empty' || phase === 'error' || phase === 'loading') {
    releaseMovie($('editor-video'));
    body.hidden = true;
    empty.hidden = false;
    const title = phase === 'loading' ? `Opening “${recordingTitle(name)}”…`
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
  $('editor-title').textContent = recordingTitle(name);
  $('editor-title').title = name;
  const v = $('editor-video');
  const url = mediaURL(store.state.mediaBase, name);
  if (url) v.src = url;
  else releaseMovie(v);
  $('editor-preview').hidden = true;
  $('editor-live').hidden = true;
  stageNote('Making the preview…');
  renderExportShown();
}

// Lets go of the movie: without a new load the element keeps the old source, and the media
// server its file, open.
function releaseMovie(v) {
  if (!v?.hasAttribute('src')) return;
  v.pause();
  v.removeAttribute('src');
  v.load();
}

// The toolbar's output size and shape, undo and redo follow the edit like the panels.
function renderToolbar(state) {
  const edit = store.doc();
  if (!edit) return;
  renderControls(edit, state);
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
  $('editor-shape').value = edit.shape ?? 'original';
  $('editor-undo').disabled = !state.history.canUndo;
  $('editor-redo').disabled = !state.history.canRedo;
}

function button(id, text, onclick, attributes = {}) {
  return el('button', { type: 'button', className: 'button ghost small', id, onclick,
                        ...attributes }, text);
}

function buildScreen() {
  const video = el('video', { id: 'editor-video', preload: 'auto', playsinline: true, muted: false,
                              'aria-hidden': 'true' });
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
  // The stage is fitted before anything asks for a picture of its size.
  store.subscribe(['open', 'source'], (state) => {
    if (store.doc() && !state.picture) fitStage();
  });
  const panels = el('aside', { className: 'editor-panels', 'aria-label': 'Edit' },
    zoomPanel(), backgroundPanel(), framePanel(), cursorPanel(), webcamPanel(),
    keystrokesPanel(), audioPanel(), looksPanel());
  const output = el('select', { id: 'editor-output', 'aria-label': 'Output size' });
  output.addEventListener('change', () => store.commit(setTargetHeight(store.doc(),
                                                                       Number(output.value))));
  const shapeNames = { original: 'Original shape', '9:16': '9:16 vertical', '1:1': '1:1 square' };
  const shape = el('select', { id: 'editor-shape', 'aria-label': 'Output shape' },
    SHAPES.map((s) => el('option', { value: s, text: shapeNames[s] ?? s })));
  shape.addEventListener('change', () => store.commit(setShape(store.doc(), shape.value)));
  const body = timelineBody();
  $('screen-editor').replaceChildren(
    el('div', { className: 'state-note empty', id: 'editor-empty' }),
    el('div', { className: 'editor', id: 'editor', hidden: true },
      el('div', { className: 'editor-bar' },
        el('h1', { id: 'editor-title', tabindex: '-1' }),
        el('span', { className: 'save-state', id: 'editor-save-state', role: 'status' }),
        el('span', { className: 'toolbar-spacer' }),
        button('editor-undo', 'Undo', () => store.undo(),
               { 'aria-keyshortcuts': 'Control+Z', title: 'Undo (Ctrl+Z)' }),
        button('editor-redo', 'Redo', () => store.redo(),
               { 'aria-keyshortcuts': 'Control+Shift+Z', title: 'Redo (Ctrl+Shift+Z)' }),
        shape,
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
        button('editor-add-zoom', '+ Zoom', addZoomAtPlayhead,
               { 'aria-keyshortcuts': 'Z', title: 'Add a zoom at the playhead (Z)' }),
        el('span', { className: 'toolbar-spacer' }),
        el('span', { className: 'editor-range muted', id: 'editor-range' })),
      el('div', { className: 'timeline' }, body)));
  store.subscribe(['doc', 'selection', 'project', 'source', 'open'], renderToolbar);
  initPreview();
  initPlayback();
  initSave();
  initExport();
  renderShell('empty');
  const relayout = () => {
    fitStage();
    store.changed('layout');
  };
  new ResizeObserver(relayout).observe($('editor-stage-wrap'));
  new ResizeObserver(() => store.changed('layout')).observe(body);
  window.addEventListener('resize', () => store.changed('layout'));
  return relayout;
}

async function loadBackgrounds() {
  try {
    const response = await fetch('wallpapers/index.json');
    const index = await response.json();
    const usable = (list) => (Array.isArray(list) ? list.filter((w) => w && typeof w.id ===
      'string' && typeof w.thumb === 'string') : []);
    Object.assign(backgrounds, { wallpapers: usable(index.wallpapers), live: usable(index.live) });
  } catch {
    Object.assign(backgrounds, { wallpapers: [], live: [] });
  }
}

export async function initEditorScreen({ mediaBaseURL }) {
  store.state.mediaBase = typeof mediaBaseURL === 'string' ? mediaBaseURL : null;
  // The library may open a recording at once; it is opened once the screen is built.
  let built;
  const ready = new Promise((resolve) => { built = resolve; });
  registerEditor((name) => ready.then(() => openRecording(name)));
  await loadBackgrounds();
  const relayout = buildScreen();
  registerScreen('editor', {
    onShow: () => {
      if (store.doc()) requestAnimationFrame(relayout);
    },
    onHide: () => {
      stopPlaying();
      saveIfWaiting();
    },
    beforeLeave: () => confirmLeave('leave the editor'),
    onKey,
  });
  built();
}
