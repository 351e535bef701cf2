// The record screen: the permissions card, the source picker with its large preview, the
// recording options and the Record button with the reason it cannot be pressed.

import { call, isUnsupported, on } from './bridge.js';
import { $, el, stateNote } from './dom.js';
import { formatDimensions } from './format.js';
import { openAreaPicker } from './area_picker.js';
import { renderSettings, setMicrophones } from './settings.js';
import { registerScreen, toast } from './shell.js';
import { isWaylandKind, waylandItem, waylandKinds } from './wayland_permissions.js';
import { allCards, cardsFromReply, desktopNote, reconcileSelection, recordReadiness } from
  './sources_model.js';

const state = {
  sources: 'loading',        // "loading" | "ready" | "error" | "unsupported"
  cards: { displays: [], windows: [] },
  error: '',
  selected: null,            // key of the chosen card
  area: null,                // the area chosen last: a source of kind "area" (its display's id)
  listing: null,             // the "sources.list" in flight
  again: null,               // the listing asked for while one was in flight, and its reason
  againWhy: null,
  lastListedAt: 0,
  previewToken: 0,
  permissions: null,         // the status object, or null when the application has none
  settings: {},
  // Kept up to date by the recorder.
  phase: 'idle',
  starting: false,
  canRecord: true,
  needsRelaunch: false,     // screen capture was allowed but needs a new process
};

let onRecord = () => {};

// ---- Sources ---------------------------------------------------------------------------------

export function selectedSource() {
  if (state.area && state.selected === state.area.key) return state.area;
  return allCards(state.cards).find((c) => c.key === state.selected) ?? null;
}

// An area of `display`: chosen in the picker over a picture of it, then selected like a card.
async function chooseArea(display) {
  const before = state.area?.id === display.id ? state.area.area : null;
  let picture = display.thumb;
  try {
    const reply = await call('sources.preview', { sourceKind: 'display', sourceID: display.id });
    if (typeof reply?.thumb === 'string' && reply.thumb.startsWith('data:image/')) {
      picture = reply.thumb;
    }
  } catch {
    // The card's small picture will do.
  }
  const area = await openAreaPicker({ display, picture, area: before });
  if (!area) return;
  state.area = { key: `area:${display.id}`, kind: 'area', id: display.id, area,
                 name: `${formatDimensions(area.width, area.height)} of ${display.name}`,
                 width: area.width, height: area.height, thumb: display.thumb, display };
  state.selected = null;
  renderSources();
  select(state.area.key);
  document.querySelector(`.source-card[data-key="${CSS.escape(state.area.key)}"]`)?.focus();
}

function areaCard(display) {
  const key = `area:${display.id}`;
  const chosen = state.area?.key === key ? state.area : null;
  const title = chosen ? formatDimensions(chosen.width, chosen.height) : 'Choose an area…';
  return el('button', {
    type: 'button', className: 'source-card area-card',
    'aria-pressed': String(state.selected === key),
    'aria-label': `Area of ${display.name}: ${chosen ? title : 'choose one'}`,
    dataset: { key, kind: 'area' },
    onclick: () => chooseArea(display),
  },
  el('span', { className: 'source-thumb' },
    display.thumb ? el('img', { src: display.thumb, alt: '', draggable: 'false' }) : null,
    el('span', { className: 'area-glyph', 'aria-hidden': 'true' })),
  el('span', { className: 'source-name', text: title }),
  el('span', { className: 'source-meta', text: `On ${display.name}` }));
}

export function currentSettings() {
  return state.settings;
}

function sourceCard(source) {
  const picture = source.thumb
    ? el('img', { src: source.thumb, alt: '', decoding: 'async', draggable: 'false' })
    : el('span', { className: `source-glyph ${source.kind}`, 'aria-hidden': 'true' });
  const meta = desktopNote(source) ||
    [source.app, formatDimensions(source.width, source.height)].filter(Boolean).join(' · ');
  const label = `${source.kind === 'display' ? 'Display' : 'Window'}: ${source.name}` +
    (meta ? `, ${meta}` : '');
  return el('button', {
    type: 'button',
    className: 'source-card',
    'aria-pressed': String(source.key === state.selected),
    'aria-label': label,
    dataset: { key: source.key, kind: source.kind },
    onclick: () => select(source.key),
    ondblclick: () => { select(source.key); if (readiness().enabled) onRecord(selectedSource()); },
  },
  el('span', { className: 'source-thumb' }, picture),
  el('span', { className: 'source-name', text: source.name, title: source.name }),
  el('span', { className: 'source-meta', text: meta || '\u00a0' }));
}

// Shows a newer listing of the same source in its card.
function updateCard(card, source) {
  const fresh = sourceCard(source);
  card.setAttribute('aria-label', fresh.getAttribute('aria-label'));
  card.setAttribute('aria-pressed', fresh.getAttribute('aria-pressed'));
  for (const part of ['.source-name', '.source-meta']) {
    const now = card.querySelector(part);
    const then = fresh.querySelector(part);
    if (now.textContent !== then.textContent) now.replaceWith(then);
  }
  const img = card.querySelector('.source-thumb img');
  const src = fresh.querySelector('.source-thumb img')?.getAttribute('src');
  if (img && src) {
    if (img.getAttribute('src') !== src) img.src = src;
  } else {
    card.querySelector('.source-thumb').replaceWith(fresh.querySelector('.source-thumb'));
  }
}

function renderSources() {
  const box = $('sources');
  const refresh = $('sources-refresh');
  refresh.disabled = state.sources === 'unsupported';
  refresh.classList.toggle('busy', state.listing !== null);
  if (state.sources === 'unsupported') {
    delete box.dataset.shape;
    box.replaceChildren(stateNote('unsupported', 'Displays and windows can’t be listed',
      'This version of Marlune Studio has no source listing yet.'));
    return;
  }
  const cards = allCards(state.cards);
  if (!cards.length) delete box.dataset.shape;
  if (!cards.length) {
    if (state.sources === 'loading') {
      box.replaceChildren(stateNote('loading', 'Looking for displays and windows…'));
    } else if (state.sources === 'error') {
      box.replaceChildren(stateNote('error', 'Displays and windows could not be listed',
        state.error, [{ label: 'Try again', primary: true, onClick: () => refreshSources() }]));
    } else {
      box.replaceChildren(stateNote('empty', 'Nothing to record',
        'No display or window was found.', [{ label: 'Refresh', onClick: () => refreshSources() }]));
    }
    return;
  }
  // The same cards as shown: brought up to date in place, so that the keyboard's focus stays and
  // the live region is not read out again at every refresh.
  const shape = JSON.stringify([state.sources === 'error' ? state.error : '',
                                state.cards.displays.map((c) => c.key),
                                state.cards.windows.map((c) => c.key), state.area?.name ?? '']);
  if (box.dataset.shape === shape) {
    for (const source of cards) {
      const card = box.querySelector(`.source-card[data-key="${CSS.escape(source.key)}"]`);
      if (card) updateCard(card, source);
    }
    return;
  }
  const focused = document.activeElement?.closest?.('.source-card')?.dataset.key;
  const group = (title, list, empty) => el('div', { className: 'source-group' },
    el('h2', { text: title }),
    list.length
      ? el('div', { className: 'source-grid', role: 'group', 'aria-label': title },
        list.map(sourceCard))
      : el('p', { className: 'muted group-empty', text: empty }));
  const children = [
    group('Displays', state.cards.displays, 'No display found.'),
    group('Windows', state.cards.windows, 'No other application window is open.'),
  ];
  // A part of a display: next to displays and windows.
  if (state.cards.displays.length) {
    children.splice(1, 0, el('div', { className: 'source-group' }, el('h2', { text: 'Area' }),
      el('div', { className: 'source-grid', role: 'group', 'aria-label': 'Area' },
        state.cards.displays.map(areaCard))));
  }
  if (state.sources === 'error') {
    children.unshift(el('p', { className: 'inline-error', role: 'alert',
                               text: `Could not refresh: ${state.error}` }));
  }
  box.replaceChildren(...children);
  box.dataset.shape = shape;
  if (focused) box.querySelector(`.source-card[data-key="${CSS.escape(focused)}"]`)?.focus();
}

// Lists the displays and windows again. `why` words the message when the chosen one is gone.
// Asked while a listing is under way, it lists once more after that one: what it reports must
// be the screen as it is now, not as it was when the earlier listing began.
export async function refreshSources({ why = '' } = {}) {
  if (state.sources === 'unsupported') return undefined;
  if (state.listing) {
    if (why) state.againWhy = why;
    state.again ??= state.listing.catch(() => {}).then(() => {
      const again = { why: state.againWhy ?? '' };
      state.again = null;
      state.againWhy = null;
      return refreshSources(again);
    });
    return state.again;
  }
  if (!allCards(state.cards).length) state.sources = 'loading';
  const listing = call('sources.list');
  state.listing = listing;
  renderSources();
  updateRecordButton();
  try {
    const cards = cardsFromReply(await listing);
    const before = selectedSource();
    state.cards = cards;
    state.sources = 'ready';
    state.error = '';
    const areaDisplay = state.area && cards.displays.find((d) => d.id === state.area.id);
    if (state.area && !areaDisplay) state.area = null;
    const keepArea = areaDisplay && state.selected === state.area.key;
    const { selected, lost } = keepArea ? { selected: state.selected, lost: false }
      : reconcileSelection(cards, state.selected);
    state.selected = selected;
    if (lost) {
      toast(`${why ? `${why} ` : ''}“${before?.name ?? 'The chosen source'}” is no longer ` +
            'available. Choose another display or window.', 'error');
      renderPreview();
    }
  } catch (error) {
    if (isUnsupported(error)) {
      state.sources = 'unsupported';
    } else {
      state.sources = 'error';
      state.error = error.message || 'The list could not be read.';
    }
  } finally {
    state.listing = null;
    state.lastListedAt = Date.now();
  }
  renderSources();
  updateRecordButton();
  return undefined;
}

function select(key) {
  if (state.selected === key) return;
  state.selected = key;
  for (const card of document.querySelectorAll('.source-card')) {
    card.setAttribute('aria-pressed', String(card.dataset.key === key));
  }
  renderPreview();
  updateRecordButton();
}

// Brings the picker forward with the keyboard's focus on the first card (or the chosen one).
export function focusPicker() {
  const chosen = document.querySelector('.source-card[aria-pressed="true"]') ??
    document.querySelector('.source-card');
  (chosen ?? $('sources-refresh')).focus();
}

async function renderPreview() {
  const box = $('preview');
  const caption = $('preview-caption');
  const source = selectedSource();
  const token = ++state.previewToken;
  if (!source) {
    box.replaceChildren(el('div', { className: 'preview-empty' },
      el('span', { className: 'preview-glyph', 'aria-hidden': 'true' }),
      el('p', { text: 'Choose a display or a window to see it here.' })));
    caption.textContent = '';
    return;
  }
  caption.replaceChildren(
    el('strong', { text: source.name }),
    el('span', { className: 'muted',
                 text: [source.app, formatDimensions(source.width, source.height)]
                   .filter(Boolean).join(' · ') }));
  const show = (src, note) => {
    if (token !== state.previewToken) return;
    const img = src && el('img', { src, alt: `Preview of ${source.name}`, decoding: 'async' });
    // An area is shown as its outline on its display.
    const a = source.kind === 'area' && source.area;
    const d = source.display;
    const outlined = img && a && d && el('span', { className: 'preview-area' }, img,
      el('span', { className: 'area-outline', style: `left:${(a.x / d.width) * 100}%;` +
        `top:${(a.y / d.height) * 100}%;width:${(a.width / d.width) * 100}%;` +
        `height:${(a.height / d.height) * 100}%` }));
    box.replaceChildren(src
      ? outlined || img
      : el('div', { className: 'preview-empty' },
        el('span', { className: `source-glyph ${source.kind}`, 'aria-hidden': 'true' }),
        el('p', { text: note })));
  };
  // The card's small picture at once, the large one when it comes.
  show(source.thumb, 'Loading the preview…');
  box.classList.add('loading');
  try {
    const reply = await call('sources.preview', {
      sourceKind: source.kind === 'area' ? 'display' : source.kind, sourceID: source.id });
    if (typeof reply?.thumb === 'string' && reply.thumb.startsWith('data:image/')) {
      show(reply.thumb);
    } else if (!source.thumb) {
      show(null, desktopNote(source, { full: true }) || 'No preview of this source can be made.');
    }
  } catch (error) {
    if (!source.thumb) {
      show(null, isUnsupported(error) ? 'Previews are not available in this version.'
        : error.message);
    }
  } finally {
    if (token === state.previewToken) box.classList.remove('loading');
  }
}

// ---- Record button ---------------------------------------------------------------------------

function readiness() {
  return recordReadiness({
    sources: state.sources,
    selected: state.selected,
    phase: state.phase,
    screen: state.permissions?.screen ?? null,
    canRecord: state.canRecord,
    starting: state.starting,
  });
}

export function updateRecordButton() {
  const { enabled, reason } = readiness();
  const button = $('record-button');
  button.disabled = !enabled;
  button.classList.toggle('starting', state.starting || state.phase !== 'idle');
  button.querySelector('.record-label').textContent =
    state.starting || state.phase !== 'idle' ? 'Recording…' : 'Record';
  const wait = { 0: 'at once', 5: 'after a five-second countdown' }[state.settings.countdown] ??
    'after a three-second countdown';
  $('record-reason').textContent = reason ||
    `Records ${selectedSource()?.name ?? 'the chosen source'} ${wait}.`;
}

// What the recorder tells the screen: the phase, whether a start is under way, and whether the
// application can record at all.
export function setRecordingState({ phase, starting, canRecord }) {
  if (phase !== undefined) state.phase = phase;
  if (starting !== undefined) state.starting = starting;
  if (canRecord !== undefined) state.canRecord = canRecord;
  updateRecordButton();
}

// Whether Record can be pressed now, and why not.
export function recordState() {
  return readiness();
}

// ---- Permissions -----------------------------------------------------------------------------

const PERMISSIONS = {
  screen: { name: 'Screen capture', why: 'needed to record a display or a window' },
  microphone: { name: 'Microphone', why: 'needed to record your voice' },
  camera: { name: 'Camera', why: 'needed for the webcam bubble' },
  accessibility: { name: 'Accessibility',
                   why: 'lets zooms follow the text caret and see clicks in other apps' },
};

async function permissionAction(run, button) {
  button.disabled = true;
  try {
    await run();
  } catch (error) {
    toast(error.message, 'error');
  } finally {
    button.disabled = false;
  }
  try {
    setPermissions(await call('permissions.status'));
  } catch {
    // The card keeps what it shows.
  }
}

function actionsFor(kind, value) {
  const button = (label, run, primary = false) => {
    const b = el('button', { type: 'button', className: `button ${primary ? 'primary' : 'ghost'}`,
                             text: label });
    b.addEventListener('click', () => permissionAction(() => run(b), b));
    return b;
  };
  const request = () => call('permissions.request', { kind }).then((reply) => {
    if (kind === 'screen' && reply?.needsRestart) {
      toast('Marlune must be relaunched before it can capture the screen.', 'info');
      state.needsRelaunch = true;
    } else if (reply?.granted === false) {
      toast(`${PERMISSIONS[kind].name} was not allowed.`, 'error');
    }
  });
  const openSettings = () => call('permissions.openSettings', { pane: kind });
  const relaunch = () => call('permissions.relaunch');
  const list = [];
  if (value === 'notDetermined') list.push(button(kind === 'accessibility' ? 'Turn on' : 'Allow',
                                                  request, true));
  if (value === 'denied') list.push(button('Open settings', openSettings, true));
  if (kind === 'screen' && (value === 'denied' || state.needsRelaunch)) {
    list.push(button('Relaunch Marlune', relaunch));
  }
  return list;
}

export function setPermissions(permissions) {
  state.permissions = permissions && typeof permissions === 'object' ? permissions : null;
  const card = $('permissions-card');
  const missing = Object.keys(PERMISSIONS).filter((kind) => {
    const value = state.permissions?.[kind];
    return typeof value === 'string' && value !== 'granted';
  });
  const wayland = state.permissions?.session === 'wayland';
  const listed = wayland ? waylandKinds(state.permissions, missing) : missing;
  const check = (button) => permissionAction(async () => {}, button);
  card.hidden = listed.length === 0;
  if (!card.hidden) {
    card.replaceChildren(
      el('h2', { text: 'Permissions' }),
      el('ul', { className: 'permission-list' }, listed.map((kind) => {
        const value = state.permissions[kind];
        if (wayland && isWaylandKind(kind)) {
          return waylandItem(kind, value, actionsFor(kind, value), { onCheck: check });
        }
        return el('li', { dataset: { kind } },
          el('span', { className: 'permission-text' },
            el('strong', { text: PERMISSIONS[kind].name }),
            el('span', { className: `badge ${value}`,
                         text: value === 'denied' ? 'Not allowed' : 'Not set up' }),
            el('span', { className: 'muted', text: PERMISSIONS[kind].why })),
          el('span', { className: 'permission-actions' }, actionsFor(kind, value)));
      })));
  }
  updateRecordButton();
}

// ---- Options ---------------------------------------------------------------------------------

function renderOptions(settings) {
  state.settings = settings ?? {};
  renderSettings($('settings'), state.settings, {
    onSaved: (stored) => {
      state.settings = stored;
      updateRecordButton();
    },
    onError: (error) => toast(error.message || 'The option could not be saved.', 'error'),
  });
}

// The microphones the sound server has, offered beside "System default"; asked again when the
// window comes back (a headset plugged in meanwhile).
async function refreshMicrophones() {
  try {
    const reply = await call('sources.microphones');
    setMicrophones($('settings'), reply?.inputs ?? [], state.settings);
  } catch {
    // An older application or no sound server: the default microphone is used.
  }
}

// ---- Screen ----------------------------------------------------------------------------------

export function initRecordScreen({ settings, permissions, record }) {
  onRecord = record;
  renderOptions(settings);
  refreshMicrophones();
  if (permissions) {
    setPermissions(permissions);
  } else {
    call('permissions.status').then(setPermissions, () => setPermissions(null));
  }
  on('permissionsChanged', (data) => setPermissions(data));
  $('sources-refresh').addEventListener('click', () => refreshSources());
  $('record-button').addEventListener('click', () => {
    const source = selectedSource();
    if (source && readiness().enabled) onRecord(source);
  });
  // What can be recorded changes while the window is in the background.
  window.addEventListener('focus', () => {
    if (state.phase === 'idle' && !state.starting && Date.now() - state.lastListedAt > 1500) {
      refreshSources();
      refreshMicrophones();
    }
  });
  registerScreen('record', {
    onShow: () => {
      if (state.phase === 'idle' && Date.now() - state.lastListedAt > 1500) refreshSources();
    },
  });
  renderSources();
  updateRecordButton();
  refreshSources();
}
