// The recording flow: starting with the chosen source and options, the countdown in the window,
// the compact bar while recording (pause, resume, stop, discard, drag), and what happens once
// the movie is saved.

import { call, isUnsupported, on } from './bridge.js';
import { $ } from './dom.js';
import { formatElapsed } from './format.js';
import { focusPicker, recordState, refreshSources, selectedSource, setRecordingState,
         currentSettings } from './record.js';
import { applyEvent, BAR_SIZE, barControls, initialFlow, phaseLabel, viewFor } from
  './recording_flow.js';
import { showScreen, toast } from './shell.js';
import { startPayload } from './sources_model.js';

let flow = initialFlow();
let hideWindow = false;     // what the running recording was started with
let inBar = false;
let starting = false;
let discarding = false;     // a discard is under way: its "saved" opens nothing
let awaitingSave = false;   // the recording is being saved; the next "saved" is its movie
let onSaved = () => {};

export function recordingFlow() {
  return flow;
}

// ---- Starting --------------------------------------------------------------------------------

export async function startRecording(source = selectedSource()) {
  if (!source || starting || flow.phase !== 'idle') return;
  const payload = startPayload(source, currentSettings());
  hideWindow = payload.hideWindow === true;
  starting = true;
  setRecordingState({ starting: true });
  try {
    // Answered once capture has really started, after the countdown; the events show the way.
    await call('recording.start', payload);
  } catch (error) {
    if (isUnsupported(error)) {
      setRecordingState({ canRecord: false });
      toast('Recording is not available in this version of Marlune Studio.', 'error');
    } else {
      toast(error.message || 'The recording could not start.', 'error');
      // The source may have gone between listing and start: the picker says so.
      refreshSources({ why: 'The recording did not start.' });
    }
  } finally {
    starting = false;
    setRecordingState({ starting: false });
  }
}

// R in the window, or the global hot key: records with the current choices, or brings the
// picker forward when nothing is chosen.
export function recordShortcut() {
  if (flow.phase !== 'idle' || starting) return;
  if (recordState().enabled) {
    startRecording();
    return;
  }
  showScreen('record');
  focusPicker();
  toast(recordState().reason || 'Choose a display or a window to record.', 'info');
}

// ---- The window's look for the flow ----------------------------------------------------------

function renderCountdown() {
  const box = $('countdown');
  const showing = viewFor(flow, { hideWindow }) === 'countdown';
  box.hidden = !showing;
  if (!showing) return;
  $('countdown-number').textContent = flow.countdown ? String(flow.countdown) : '';
  $('countdown-label').textContent = flow.phase === 'preparing' ? 'Getting ready…'
    : flow.countdown ? 'Recording starts in' : 'Recording starts…';
}

function renderBar() {
  $('bar-time').textContent = formatElapsed(flow.elapsedMs);
  $('bar-phase').textContent = phaseLabel(flow);
  const controls = barControls(flow);
  const pause = $('bar-pause');
  const paused = flow.phase === 'paused';
  pause.disabled = !(controls.pause || controls.resume);
  pause.setAttribute('aria-label', paused ? 'Resume' : 'Pause');
  pause.title = paused ? 'Resume' : 'Pause';
  pause.querySelector('.icon').className = `icon ${paused ? 'play' : 'pause'}`;
  $('bar-stop').disabled = !controls.stop;
  $('bar-discard').disabled = !controls.discard;
  $('bar').dataset.phase = flow.phase;
}

async function setBarMode(on) {
  if (on === inBar) return;
  inBar = on;
  document.documentElement.classList.toggle('bar-mode', on);
  document.body.classList.toggle('bar-mode', on);
  $('bar').hidden = !on;
  $('app').hidden = on;
  try {
    await call('app.setBarMode', on ? { on: true, ...BAR_SIZE } : { on: false });
  } catch (error) {
    if (!isUnsupported(error)) toast(error.message, 'error');
  }
  if (on) $('bar-stop').focus();
}

function render() {
  renderCountdown();
  renderBar();
  setBarMode(viewFor(flow, { hideWindow }) === 'bar');
  setRecordingState({ phase: flow.phase });
}

// ---- Bar actions -----------------------------------------------------------------------------

async function stop() {
  try {
    await call('recording.stop');
  } catch (error) {
    toast(error.message, 'error');
  }
}

async function discard() {
  let answer;
  try {
    answer = await call('app.confirm', {
      title: 'Discard this recording?',
      message: 'The recording stops and its movie is moved to the trash.',
      okLabel: 'Discard',
    });
  } catch (error) {
    toast(error.message, 'error');
    return;
  }
  if (!answer?.ok || (flow.phase !== 'recording' && flow.phase !== 'paused')) return;
  discarding = true;
  try {
    const saved = await call('recording.stop');
    if (typeof saved?.name === 'string' && saved.name) {
      await call('library.delete', { name: saved.name });
    }
    toast('The recording was discarded.', 'info');
  } catch (error) {
    toast(error.message, 'error');
  } finally {
    discarding = false;
    document.dispatchEvent(new CustomEvent('marlune:library-changed'));
  }
}

function togglePause() {
  if (flow.phase === 'recording') call('recording.pause').catch((e) => toast(e.message, 'error'));
  else if (flow.phase === 'paused') call('recording.resume').catch((e) => toast(e.message, 'error'));
}

// Dragging the handle moves the whole window by the pointer's movement on the screen.
function initDrag() {
  const handle = $('bar');
  let last = null;
  let pending = { dx: 0, dy: 0 };
  let scheduled = false;
  const flush = () => {
    scheduled = false;
    const { dx, dy } = pending;
    pending = { dx: 0, dy: 0 };
    if (dx || dy) call('app.moveBar', { dx, dy }).catch(() => {});
  };
  handle.addEventListener('pointerdown', (event) => {
    if (event.button !== 0 || event.target.closest('button')) return;
    last = { x: event.screenX, y: event.screenY };
    handle.setPointerCapture(event.pointerId);
    handle.classList.add('dragging');
  });
  handle.addEventListener('pointermove', (event) => {
    if (!last) return;
    pending.dx += event.screenX - last.x;
    pending.dy += event.screenY - last.y;
    last = { x: event.screenX, y: event.screenY };
    if (!scheduled) {
      scheduled = true;
      requestAnimationFrame(flush);
    }
  });
  const end = () => {
    last = null;
    handle.classList.remove('dragging');
  };
  handle.addEventListener('pointerup', end);
  handle.addEventListener('pointercancel', end);
}

// ---- Events ----------------------------------------------------------------------------------

// `opened(name)` runs when a recording has been saved (not discarded).
export function initRecorder({ opened }) {
  onSaved = opened;
  on('state', (data) => {
    const before = flow.phase;
    flow = applyEvent(flow, 'state', data);
    if (flow.phase === 'stopping' && before !== 'stopping') awaitingSave = true;
    if (flow.phase === 'countdown' && before === 'idle') awaitingSave = false;
    render();
  });
  on('countdown', (data) => {
    flow = applyEvent(flow, 'countdown', data);
    renderCountdown();
  });
  on('tick', (data) => {
    flow = applyEvent(flow, 'tick', data);
    renderBar();
  });
  on('notice', (data) => toast(typeof data.message === 'string' ? data.message : '', 'info'));
  on('error', (data) => {
    toast(typeof data.message === 'string' ? data.message : 'Something went wrong.', 'error');
  });
  on('saved', (data) => {
    if (!awaitingSave) return;  // a trimmed copy or an export: the library handles those
    awaitingSave = false;
    if (!discarding && typeof data.name === 'string') onSaved(data.name, data.durationMs);
  });
  on('hotkeyRecord', () => recordShortcut());
  document.addEventListener('marlune:record-shortcut', () => recordShortcut());

  $('bar-pause').addEventListener('click', togglePause);
  $('bar-stop').addEventListener('click', stop);
  $('bar-discard').addEventListener('click', discard);
  // Space pauses and resumes wherever the focus is in the bar (it starts on Stop): the key's
  // default, pressing the focused button, is held back on both its down and its up.
  document.addEventListener('keydown', (event) => {
    if (!inBar || event.key !== ' ' || event.ctrlKey || event.altKey || event.metaKey) return;
    event.preventDefault();
    if (!event.repeat) togglePause();
  });
  document.addEventListener('keyup', (event) => {
    if (inBar && event.key === ' ') event.preventDefault();
  });
  initDrag();
  render();
}
