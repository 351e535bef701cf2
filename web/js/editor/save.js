// The edit is saved into the recording's project file a moment after each recorded change; one
// write at a time, the newest edit last. A project file that could not be read is never written
// over.

import { call } from '../bridge.js';
import { $ } from '../dom.js';
import { projectWithEdit } from '../edit_model.js';
import { store } from './store.js';

// A change is saved into the project file this long after the last one.
const SAVE_DELAY_MS = 700;

const save = { timer: null, running: null, again: false, status: 'idle', error: '' };

function setStatus(status, error = save.error) {
  save.status = status;
  save.error = error;
  store.changed('save');
}

// A recording being opened (nothing to say yet) or just opened: saved as it is, or not saved
// because its project could not be read.
export function resetSave() {
  const { history, projectError } = store.state;
  if (!history) {
    setStatus('idle', '');
    return;
  }
  setStatus(projectError ? 'failed' : 'saved',
            projectError ? `the project file could not be read (${projectError})` : '');
}

export function scheduleSave() {
  if (store.state.projectError) return;
  setStatus('pending');
  clearTimeout(save.timer);
  save.timer = setTimeout(() => saveNow(), SAVE_DELAY_MS);
}

// Writes the edit into the project file.
export async function saveNow() {
  clearTimeout(save.timer);
  save.timer = null;
  if (save.running) {
    save.again = true;
    return save.running;
  }
  const { state } = store;
  const name = state.name;
  const data = projectWithEdit(state.project, state.history.current);
  setStatus('saving');
  save.running = call('project.save', { name, data }).then(() => {
    if (state.name === name) {
      state.project = data;
      if (save.status === 'saving') setStatus('saved');
    }
  }, (error) => {
    if (state.name === name) {
      setStatus('failed', error.message || 'the project file could not be written');
    }
  }).finally(() => {
    save.running = null;
    store.changed('save');
    if (save.again) {
      save.again = false;
      if (state.name === name) return saveNow();
    }
    return undefined;
  });
  return save.running;
}

// Saves at once what is waiting to be saved (before another recording is opened).
export async function flushSave() {
  if (save.timer) await saveNow();
  else if (save.running) await save.running;
}

// Saves what waits now, without waiting for the answer (the screen is being left).
export function saveIfWaiting() {
  if (save.timer) saveNow();
}

function renderSaveState() {
  const box = $('editor-save-state');
  if (!box) return;
  const { status, error } = save;
  const text = { idle: '', pending: 'Edited', saving: 'Saving…', saved: 'Saved',
                 failed: `Not saved: ${error}` }[status] ?? '';
  box.textContent = text;
  box.className = `save-state ${status}`;
  box.title = status === 'saved' ? 'Your edit is kept in the recording’s project file' : text;
}

export function initSave() {
  store.listen((aspects) => {
    if (aspects.includes('edit')) scheduleSave();
  });
  store.subscribe(['save', 'open'], renderSaveState);
}
