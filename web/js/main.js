// The page's start: announce the page to the application as soon as it can hear events, then
// set up the screens with what the application said.

import { initAccountScreen } from './account.js';
import { call, isAvailable, onAnswer, onTimeout } from './bridge.js';
import { $ } from './dom.js';
import { initEditorScreen } from './editor.js';
import { initLibraryScreen, revealRecording } from './library.js';
import { initRecordScreen } from './record.js';
import { initRecorder, startRecording } from './recorder.js';
import { hasEditor, initShell, openInEditor, setConnection, toast } from './shell.js';
import { mark } from './timings.js';

async function start() {
  initShell();
  if (!isAvailable()) {
    setConnection('off', 'Not connected');
    toast('Open this page in Marlune Studio to use it.', 'error');
    return;
  }
  onTimeout(() => {
    setConnection('warn', 'Not answering');
    toast('Marlune Studio is not answering. Try again in a moment.', 'error');
  });
  // Every event listener is in place before "app.ready": events sent earlier are lost.
  initRecorder({
    opened: (name) => {
      if (hasEditor()) openInEditor(name);
      else revealRecording(name);
    },
  });
  let ready;
  try {
    mark('readySent');
    ready = await call('app.ready');
  } catch (error) {
    setConnection('off', 'Not connected');
    toast(error.message || 'Marlune Studio did not answer.', 'error');
    return;
  }
  mark('ready');
  setConnection('on', 'Ready');
  document.documentElement.dataset.ready = 'true';
  $('version').textContent = typeof ready.version === 'string' ? `v${ready.version}` : '';
  initLibraryScreen({ mediaBaseURL: ready.mediaBaseURL });
  initEditorScreen({ mediaBaseURL: ready.mediaBaseURL });
  initAccountScreen();
  initRecordScreen({
    settings: ready.settings,
    permissions: ready.permissions,
    record: (source) => startRecording(source),
  });
  // An answer after a time-out shows the application is back.
  onAnswer(() => setConnection('on', 'Ready'));
}

start();
