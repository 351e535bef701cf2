// Exporting the edit: its progress with the time left, cancelling, the result with its actions
// (play it over the editor, reveal it, open the folder) or the failure with a second try; and the
// question asked before the person leaves while an export runs.

import { call, isUnsupported, on } from '../bridge.js';
import { $, el } from '../dom.js';
import { exportPayload, formatRemaining, remainingMs } from '../edit_model.js';
import { recordingTitle } from '../format.js';
import { copyFile } from '../library_file.js';
import { mediaURL } from '../library_model.js';
import { toast } from '../shell.js';
import { stopPlaying } from './playback.js';
import { flushSave } from './save.js';
import { store } from './store.js';
import { chosenFormat } from './stretches.js';

let exporting = null;   // {startedAt, fraction, recording, cancelling} while an export runs

export async function startExport() {
  if (exporting || !store.doc()) return;
  stopPlaying();
  await flushSave();
  const recording = store.state.name;
  // Its progress events carry this id: a trimmed copy saved meanwhile has its own.
  const progressId = `render-${Date.now()}-${Math.random().toString(36).slice(2)}`;
  const payload = { ...exportPayload(store.doc(), recording, store.state.project),
                    ...chosenFormat(), progressId };
  exporting = { startedAt: performance.now(), fraction: 0, recording, cancelling: false,
                progressId };
  renderExport({ phase: 'running' });
  let reply;
  try {
    reply = await call('edit.exportRender', payload);
  } catch (error) {
    exporting = null;
    renderExport({ phase: 'failed', message: isUnsupported(error)
      ? 'Exporting is not available in this version.' : error.message, recording });
    return;
  }
  exporting = null;
  if (reply?.cancelled) {
    renderExport({ phase: 'closed' });
    toast('Export cancelled. Nothing was saved.', 'info');
    return;
  }
  renderExport({ phase: 'done', movie: reply?.name, recording });
  toast(`Exported “${recordingTitle(reply?.name ?? '')}”.`, 'success');
}

function cancelExport() {
  if (!exporting || exporting.cancelling) return;
  exporting.cancelling = true;
  $('export-status').textContent = 'Cancelling…';
  $('export-cancel').disabled = true;
  call('edit.exportCancel', { name: exporting.recording }).catch((error) => {
    toast(error.message, 'error');
  });
}

function onExportProgress(data) {
  if (!exporting || typeof data.value !== 'number' || exporting.cancelling ||
      data.id !== exporting.progressId) return;
  const fraction = Math.min(Math.max(data.value, 0), 1);
  exporting.fraction = fraction;
  $('export-bar').value = fraction;
  $('export-percent').textContent = `${Math.round(fraction * 100)} %`;
  $('export-status').textContent = formatRemaining(
    remainingMs(performance.now() - exporting.startedAt, fraction));
}

const failure = (e) => toast(e.message, 'error');

function resultActions(movie) {
  const url = mediaURL(store.state.mediaBase, movie);
  return el('div', { className: 'export-row' },
    el('button', { type: 'button', className: 'button small primary', id: 'export-play',
                   disabled: !url, onclick: () => playMovie(movie) },
    el('span', { className: 'icon play', 'aria-hidden': 'true' }), 'Play'),
    el('button', { type: 'button', className: 'button small', id: 'export-reveal',
                   onclick: () => call('library.reveal', { name: movie }).catch(failure) },
    el('span', { className: 'icon folder', 'aria-hidden': 'true' }), 'Reveal'),
    el('button', { type: 'button', className: 'button small', id: 'export-copy',
                   title: 'Put the movie on the clipboard, to paste it into a chat or a folder',
                   onclick: () => copyFile(movie) },
    el('span', { className: 'icon copy', 'aria-hidden': 'true' }), 'Copy'),
    el('button', { type: 'button', className: 'button small', id: 'export-folder',
                   onclick: () => call('library.openFolder').catch(failure) }, 'Open folder'));
}

// The export panel in one of its phases: running, done, failed or closed.
export function renderExport({ phase, message = '', movie = '', recording = '' }) {
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
                               'aria-label': 'Close',
                               onclick: () => renderExport({ phase: 'closed' }) });
  if (phase === 'running') {
    box.replaceChildren(
      el('div', { className: 'export-head' },
        el('strong', { text: `Exporting “${recordingTitle(exporting.recording)}”` }),
        el('span', { className: 'export-percent', id: 'export-percent', text: '0 %' })),
      el('progress', { id: 'export-bar', max: '1', value: '0', 'aria-label': 'Export progress' }),
      el('div', { className: 'export-row' },
        el('span', { id: 'export-status', className: 'muted', role: 'status',
                     text: formatRemaining(null) }),
        el('button', { type: 'button', className: 'button small', id: 'export-cancel',
                       text: 'Cancel', onclick: cancelExport })));
  } else if (phase === 'done') {
    box.replaceChildren(
      el('div', { className: 'export-head' },
        el('strong', { className: 'ok', text: `Saved “${recordingTitle(movie)}”` }), close),
      el('p', { className: 'muted', id: 'export-result', dataset: { name: movie },
                text: `In the recordings folder as ${movie}` }),
      resultActions(movie));
  } else {
    box.replaceChildren(
      el('div', { className: 'export-head' },
        el('strong', { className: 'bad', text: 'The export failed' }), close),
      el('p', { id: 'export-error', role: 'alert', text: message }),
      el('div', { className: 'export-row' },
        el('button', { type: 'button', className: 'button small', text: 'Try again',
                       disabled: recording !== store.state.name, onclick: () => startExport() })));
  }
}

// The panel as it is for a recording just shown: running if an export still runs.
export function renderExportShown() {
  renderExport({ phase: exporting ? 'running' : 'closed' });
}

// The exported movie in a player over the editor.
function playMovie(name) {
  const url = mediaURL(store.state.mediaBase, name);
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
export async function confirmLeave(what) {
  if (!exporting) return true;
  let answer;
  try {
    answer = await call('app.confirm', {
      title: 'Cancel the export?',
      message: `“${recordingTitle(exporting.recording)}” is being exported. To ${what}, `
        + 'the export stops and nothing of it is kept.',
      okLabel: 'Cancel export',
    });
  } catch {
    return false;
  }
  if (!answer?.ok || !exporting) return !exporting;
  cancelExport();
  return true;
}

export function initExport() {
  on('exportProgress', onExportProgress);
}
