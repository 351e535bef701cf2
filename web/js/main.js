// The page's start: announce the page to the application as soon as it can hear events, then
// set up the screens with what the application said.

import { call, isAvailable, onAnswer, onTimeout } from './bridge.js';
import { $ } from './dom.js';
import { initRecordScreen } from './record.js';
import { initRecorder, startRecording } from './recorder.js';
import { hasEditor, initShell, openInEditor, setConnection, toast } from './shell.js';
import { mark } from './timings.js';

// "app.ready" waits only for what listens to the application's events; the other screens load
// meanwhile and are set up once it has answered, as they always were.
const screens = Promise.all([import('./library.js'), import('./editor.js'),
                             import('./account.js')]);

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
      else screens.then(([library]) => library.revealRecording(name));
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
  const [library, editor, account] = await screens;
  mark('ready');
  setConnection('on', 'Ready');
  document.documentElement.dataset.ready = 'true';
  $('version').textContent = typeof ready.version === 'string' ? `v${ready.version}` : '';
  library.initLibraryScreen({ mediaBaseURL: ready.mediaBaseURL });
  editor.initEditorScreen({ mediaBaseURL: ready.mediaBaseURL });
  account.initAccountScreen();
  initRecordScreen({
    settings: ready.settings,
    permissions: ready.permissions,
    record: (source) => startRecording(source),
  });
  // An answer after a time-out shows the application is back.
  onAnswer(() => setConnection('on', 'Ready'));
}

start();
