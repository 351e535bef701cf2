// The library screen: the recordings as a searchable grid, newest first; the chosen one played in
// place with its waveform, a trimmed copy picked on the waveform (library_trim.js), and the
// actions on the file.

import { call, isUnsupported, on } from './bridge.js';
import { $, el, isTyping, stateNote } from './dom.js';
import { formatDate, formatDuration, formatSize, recordingTitle, titleParts } from './format.js';
import { filterItems, itemsFromReply, keepSelection, mediaURL, moveInGrid,
         selectionAfterRemoval, thumbKey, withThumb } from './library_model.js';
import { currentScreen, hasEditor, openInEditor, registerScreen, showScreen, toast } from
  './shell.js';
import { copyFile, renamableTitle } from './library_file.js';
import { dropWaveform, forgetWaveform, initTrim, loadWaveform, onTrimProgress, redrawWaveform,
         trimSection } from './library_trim.js';
import { xAtMs } from './trim_model.js';
import { createThumbQueue } from './thumb_queue.js';
import { mark } from './timings.js';

const state = {
  status: 'idle',        // "idle" | "loading" | "ready" | "error" | "unsupported"
  items: [],
  error: '',
  query: '',
  selected: null,        // name of the chosen recording
  wanted: null,          // a name to choose once it shows up in a listing (a new recording)
  listing: null,
  again: false,          // list again once the listing under way has answered
  mediaBase: null,
  cards: new Map(),      // name → card element of the current listing
  detailFor: null,       // the recording (and its version) the detail shows
  deleting: false,
  // "lazy": the listing comes without pictures and each card asks for its own as it comes into
  // view; "included" when the application cannot make them one by one.
  thumbs: 'lazy',
};

const thumbQueue = createThumbQueue({
  fetch: (name) => call('library.thumb', { name }).then((reply) => reply?.thumb ?? null),
  onThumb: (key, thumb) => applyThumb(key, thumb),
  onError: (error) => {
    if (isUnsupported(error) && state.thumbs === 'lazy') {
      state.thumbs = 'included';
      refreshLibrary();
    }
  },
});

// Cards without a picture ask for it once they are near the visible part of the list.
let thumbObserver = null;
function observeForThumb(node) {
  if (!thumbObserver) {
    thumbObserver = new IntersectionObserver((entries) => {
      for (const entry of entries) {
        const item = state.items.find((i) => i.name === entry.target.dataset.name);
        if (!item || item.thumb !== undefined) {
          thumbObserver.unobserve(entry.target);
        } else if (entry.isIntersecting) {
          thumbQueue.want(thumbKey(item), item.name);
        } else {
          thumbQueue.unwant(thumbKey(item));
        }
      }
    }, { root: $('library-list'), rootMargin: '400px 0px' });
  }
  thumbObserver.observe(node);
}

function applyThumb(key, thumb) {
  const index = state.items.findIndex((i) => thumbKey(i) === key);
  if (index < 0) return;
  const before = state.items[index];
  const item = withThumb(before, thumb);
  state.items[index] = item;
  const node = state.cards.get(item.name);
  if (!node) return;
  thumbObserver?.unobserve(node);
  if (item.damaged !== before.damaged) {
    // The card and the detail say something else now: made again.
    renderList();
    renderDetail();
  } else if (item.thumb) {
    node.querySelector('.thumb-missing')?.replaceWith(thumbImage(item));
  } else {
    node.querySelector('.thumb-missing')?.classList.remove('pending');
  }
}

const selectedItem = () => state.items.find((i) => i.name === state.selected) ?? null;

// The listing's item for recording `name` (duration, size…), when the library has listed it.
export function knownRecording(name) {
  return state.items.find((i) => i.name === name) ?? null;
}

// ---- Listing ---------------------------------------------------------------------------------

export async function refreshLibrary() {
  if (state.status === 'unsupported') return;
  if (state.listing) {
    // A listing under way may predate the change that asked for this one: list again after it.
    state.again = true;
    return;
  }
  if (!state.items.length) state.status = 'loading';
  renderList();
  state.listing = call('library.list', state.thumbs === 'lazy' ? { thumbs: false } : {});
  try {
    let items = itemsFromReply(await state.listing, state.thumbs);
    // Pictures already fetched for the same movies are used at once.
    items = items.map((item) => (item.thumb === undefined && thumbQueue.lookup(thumbKey(item))
      !== undefined ? withThumb(item, thumbQueue.lookup(thumbKey(item))) : item));
    thumbQueue.keepOnly(items.map(thumbKey));
    const before = state.selected;
    state.items = items;
    state.status = 'ready';
    state.error = '';
    state.selected = keepSelection(items, state.wanted ?? state.selected);
    if (state.selected === state.wanted) state.wanted = null;
    if (before && !state.selected && !state.deleting) {
      toast(`“${recordingTitle(before)}” is no longer in the recordings folder.`, 'info');
    }
  } catch (error) {
    state.status = isUnsupported(error) ? 'unsupported' : 'error';
    state.error = error.message || 'The recordings could not be listed.';
  } finally {
    state.listing = null;
  }
  renderList();
  renderDetail();
  if (state.again) {
    state.again = false;
    refreshLibrary();
  }
}

// Shows `name` (a recording just saved) once the listing has it.
export function revealRecording(name) {
  state.wanted = name;
  state.query = '';
  $('library-search').value = '';
  showScreen('library');
  refreshLibrary();
}

function summaryText(shown) {
  const n = state.items.length;
  if (state.status !== 'ready' || !n) return '';
  if (shown !== n) return `${shown} of ${n}`;
  return n === 1 ? '1 recording' : `${n} recordings`;
}

// What a card shows of an item: a card is made again only when this changes.
function itemVersion(item) {
  return [item.size, item.createdAt, item.durationMs, item.webcam, item.damaged].join('|');
}

function thumbImage(item) {
  const img = el('img', { src: item.thumb, alt: '', decoding: 'async', draggable: 'false' });
  img.addEventListener('load', () => mark('firstThumbnail'), { once: true });
  return img;
}

function card(item) {
  const picture = item.thumb ? thumbImage(item)
    : el('span', { className: `thumb-missing${item.thumb === undefined ? ' pending' : ''}`,
                   'aria-hidden': 'true' });
  const badges = [];
  if (item.damaged) badges.push(el('span', { className: 'badge bad', text: 'Can’t be read' }));
  if (item.webcam) badges.push(el('span', { className: 'badge cam', text: 'Webcam' }));
  const node = el('div', {
    className: `rec-card${item.damaged ? ' damaged' : ''}`,
    'data-version': itemVersion(item),
    role: 'option',
    tabindex: '-1',
    'aria-selected': 'false',
    'aria-label': `${recordingTitle(item.name)}, ${item.damaged ? 'cannot be read'
      : formatDuration(item.durationMs)}, ${formatDate(item.createdAt)}`,
    dataset: { name: item.name },
  },
  el('span', { className: 'rec-thumb' }, picture,
    // No length shown until it is known (a movie with none is damaged or still being checked).
    item.damaged || !item.durationMs ? null : el('span', { className: 'rec-duration',
                                                           text: formatDuration(item.durationMs) }),
    badges.length ? el('span', { className: 'rec-badges' }, badges) : null),
  el('span', { className: 'rec-name', title: item.name },
    ...titleParts(recordingTitle(item.name)).map((text, i) => el('span', {
      className: i ? 'rec-name-tail' : 'rec-name-head', text }))),
  el('span', { className: 'rec-meta' },
    el('span', { text: formatDate(item.createdAt) }),
    el('span', { text: formatSize(item.size) })));
  if (item.thumb === undefined) observeForThumb(node);
  node.addEventListener('click', () => select(item.name, { focus: true }));
  node.addEventListener('dblclick', () => {
    if (hasEditor() && !item.damaged) openInEditor(item.name);
  });
  return node;
}

function renderList() {
  const box = $('library-list');
  $('library-refresh').classList.toggle('busy', state.listing !== null);
  const count = $('library-count');
  count.textContent = state.status === 'ready' && state.items.length ? String(state.items.length)
    : '';
  if (state.status === 'unsupported') {
    box.replaceChildren(stateNote('unsupported', 'The library is not available',
      'This version of Marlune Studio cannot list recordings.'));
    state.cards.clear();
    $('library-summary').textContent = '';
    return;
  }
  if (!state.items.length) {
    state.cards.clear();
    $('library-summary').textContent = '';
    if (state.status === 'loading' || state.status === 'idle') {
      box.replaceChildren(stateNote('loading', 'Loading recordings…'));
    } else if (state.status === 'error') {
      box.replaceChildren(stateNote('error', 'The recordings could not be listed', state.error,
        [{ label: 'Try again', primary: true, onClick: () => refreshLibrary() }]));
    } else {
      box.replaceChildren(stateNote('empty', 'No recordings yet',
        'Recordings you make appear here, newest first.',
        [{ label: 'Record something', primary: true, onClick: () => showScreen('record') },
         { label: 'Open folder', onClick: () => call('library.openFolder').catch(() => {}) }]));
    }
    return;
  }
  // A card is made once per recording and kept while the recording is unchanged, so that a
  // refresh neither reloads pictures nor loses the keyboard's focus; searching only hides cards.
  let grid = $('library-grid');
  if (!grid) {
    grid = el('div', { className: 'rec-grid', role: 'listbox', id: 'library-grid',
                       'aria-label': 'Recordings' });
    grid.addEventListener('keydown', onGridKey);
  }
  const cards = new Map();
  for (const item of state.items) {
    const old = state.cards.get(item.name);
    cards.set(item.name, old && old.dataset.version === itemVersion(item) ? old : card(item));
  }
  state.cards = cards;
  const wanted = [...cards.values()];
  // Only what changed moves in the document.
  wanted.forEach((node, i) => {
    if (grid.children[i] !== node) grid.insertBefore(node, grid.children[i] ?? null);
  });
  while (grid.children.length > wanted.length) grid.lastElementChild.remove();
  const children = [grid, $('library-no-match') ?? el('p', { className: 'no-match muted',
                                                             id: 'library-no-match', hidden: true })];
  if (state.status === 'error') {
    children.unshift(el('p', { className: 'inline-error', role: 'alert',
                               text: `Could not refresh: ${state.error}` }));
  }
  if (box.children.length !== children.length ||
      children.some((child, i) => box.children[i] !== child)) {
    box.replaceChildren(...children);
  }
  applyFilter();
  markSelection();
}

function visibleNames() {
  return filterItems(state.items, state.query).map((i) => i.name);
}

function applyFilter() {
  const visible = new Set(visibleNames());
  for (const [name, node] of state.cards) node.hidden = !visible.has(name);
  $('library-summary').textContent = summaryText(visible.size);
  const note = $('library-no-match');
  if (note) {
    note.hidden = visible.size > 0 || !state.items.length;
    note.textContent = `No recording’s name matches “${state.query.trim()}”.`;
  }
  // Exactly one card can take the keyboard's focus: the chosen one, else the first shown.
  const focusable = (state.selected && visible.has(state.selected) && state.selected) ||
    [...visible][0];
  for (const [name, node] of state.cards) node.tabIndex = name === focusable ? 0 : -1;
}

function markSelection() {
  for (const [name, node] of state.cards) {
    node.setAttribute('aria-selected', String(name === state.selected));
  }
  applyFilter();
}

function select(name, { focus = false } = {}) {
  if (state.selected !== name) {
    state.selected = name;
    markSelection();
    renderDetail();
  }
  if (focus) state.cards.get(name)?.focus();
}

function gridColumns(grid) {
  const cards = [...grid.querySelectorAll('.rec-card:not([hidden])')];
  if (cards.length < 2) return 1;
  const top = cards[0].offsetTop;
  const index = cards.findIndex((c) => c.offsetTop !== top);
  return index < 0 ? cards.length : index;
}

function onGridKey(event) {
  const names = visibleNames();
  if (['ArrowLeft', 'ArrowRight', 'ArrowUp', 'ArrowDown', 'Home', 'End'].includes(event.key)) {
    const at = names.indexOf(state.selected);
    const next = moveInGrid(at, event.key, gridColumns(event.currentTarget), names.length);
    if (next >= 0) select(names[next], { focus: true });
    event.preventDefault();
  } else if (event.key === 'Enter' && state.selected && hasEditor()) {
    openInEditor(state.selected);
    event.preventDefault();
  }
}

// ---- Detail: player, trim (library_trim.js), actions ---------------------------------------

let player = null;

function actionButton(label, icon, onClick, { danger = false, disabled = false, title } = {}) {
  return el('button', { type: 'button', className: `button small ${danger ? 'danger' : 'ghost'}`,
                        disabled, title, onclick: onClick },
  el('span', { className: `icon ${icon}`, 'aria-hidden': 'true' }), label);
}

// Shows the chosen recording; a refresh that leaves it unchanged leaves its player alone.
function renderDetail({ force = false } = {}) {
  const box = $('library-detail');
  const item = selectedItem();
  const shown = item ? `${item.name}|${itemVersion(item)}` : null;
  if (!force && shown === state.detailFor) return;
  state.detailFor = shown;
  $('screen-library').classList.toggle('has-detail', item !== null);
  if (player) {
    player.pause();
    player.removeAttribute('src');
    player.load();
    player = null;
  }
  dropWaveform();
  if (!item) {
    box.hidden = true;
    box.replaceChildren();
    return;
  }
  box.hidden = false;
  const url = mediaURL(state.mediaBase, item.name);
  let stage;
  if (item.damaged) {
    stage = el('div', { className: 'player-message bad', role: 'note' },
      el('strong', { text: 'This movie can’t be read.' }),
      el('span', { text: 'It may be damaged, or still being written.' }));
  } else if (!url) {
    stage = el('div', { className: 'player-message' },
      el('span', { text: 'Playing is not available in this version.' }));
  } else if (/\.gif$/i.test(item.name)) {
    // A GIF export loops on its own and has no sound to show.
    stage = el('img', { src: url, alt: item.name, className: 'player-gif' });
  } else {
    player = el('video', { src: url, controls: true, preload: 'metadata', playsinline: true,
                           poster: item.thumb ?? null, 'aria-label': `Play ${item.name}`,
                           id: 'library-player' });
    player.addEventListener('error', () => {
      const message = player?.error?.code === 4 ? 'This movie can’t be played. It may be damaged.'
        : 'This movie could not be loaded. It may have been moved or deleted.';
      const frame = $('player-frame');
      frame?.replaceChildren(el('div', { className: 'player-message bad', role: 'alert' },
        el('strong', { text: message })));
    });
    player.addEventListener('timeupdate', drawPlayhead);
    player.addEventListener('seeked', drawPlayhead);
    stage = player;
  }
  const editorButton = actionButton('Open in editor', 'edit', () => openInEditor(item.name), {
    disabled: !hasEditor() || item.damaged,
    title: hasEditor() ? null : 'The editor is not available in this version',
  });
  box.replaceChildren(
    el('div', { className: 'detail-head' },
      renamableTitle(item.name, (renamed) => {
        forgetWaveform(item.name);
        state.wanted = renamed;
        refreshLibrary();
      }),
      el('button', { type: 'button', className: 'icon-button close', 'aria-label': 'Close',
                     onclick: () => { select(null); } })),
    el('p', { className: 'detail-meta muted' },
      [formatDate(item.createdAt), item.damaged ? 'unreadable' : formatDuration(item.durationMs),
       formatSize(item.size), item.webcam ? 'with webcam' : null].filter(Boolean).join(' · ')),
    el('div', { className: 'player-frame', id: 'player-frame' }, stage),
    item.damaged ? null : trimSection(item),
    el('div', { className: 'detail-actions' },
      editorButton,
      actionButton('Show in folder', 'folder', () => call('library.reveal', { name: item.name })
        .catch((e) => toast(e.message, 'error'))),
      actionButton('Open in player', 'play', () => call('library.open', { name: item.name })
        .catch((e) => toast(e.message, 'error'))),
      actionButton('Copy', 'copy', () => copyFile(item.name)),
      actionButton('Move to trash', 'trash', () => deleteRecording(item.name), { danger: true })));
  if (!item.damaged) loadWaveform(item);
}

function drawPlayhead() {
  const head = $('playhead');
  const item = selectedItem();
  if (!head || !player || !item?.durationMs) return;
  head.style.left = `${(xAtMs(player.currentTime * 1000, 1, item.durationMs) * 100).toFixed(3)}%`;
}

async function deleteRecording(name) {
  if (state.deleting) return;
  let answer;
  try {
    answer = await call('app.confirm', {
      title: `Move “${recordingTitle(name)}” to the trash?`,
      message: 'Its project and webcam movie go with it. You can restore them from the trash.',
      okLabel: 'Move to Trash',
    });
  } catch (error) {
    toast(error.message, 'error');
    return;
  }
  if (!answer?.ok) return;
  state.deleting = true;
  const next = selectionAfterRemoval(filterItems(state.items, state.query), name);
  try {
    await call('library.delete', { name });
    state.items = state.items.filter((i) => i.name !== name);
    forgetWaveform(name);
    if (state.selected === name) state.selected = next;
    toast(`Moved “${recordingTitle(name)}” to the trash.`, 'info');
    renderList();
    renderDetail();
    if (state.selected) state.cards.get(state.selected)?.focus();
  } catch (error) {
    toast(error.message || 'The recording could not be moved to the trash.', 'error');
  } finally {
    state.deleting = false;
  }
  refreshLibrary();
}

// ---- Screen ----------------------------------------------------------------------------------

function onKey(event) {
  if (event.ctrlKey || event.altKey || event.metaKey || isTyping(event.target)) {
    if (event.key === 'Escape' && event.target === $('library-search') && state.query) {
      $('library-search').value = '';
      state.query = '';
      applyFilter();
      return true;
    }
    return false;
  }
  const onControl = event.target.closest?.('button, video, [role="slider"], a');
  if (event.key === ' ' && !onControl && player) {
    if (player.paused) player.play().catch(() => {});
    else player.pause();
    return true;
  }
  if (event.key === 'Delete' && state.selected) {
    deleteRecording(state.selected);
    return true;
  }
  if (event.key === '/') {
    $('library-search').focus();
    return true;
  }
  return false;
}

export function initLibraryScreen({ mediaBaseURL }) {
  state.mediaBase = typeof mediaBaseURL === 'string' ? mediaBaseURL : null;
  $('library-search').addEventListener('input', (event) => {
    state.query = event.target.value;
    applyFilter();
  });
  $('library-refresh').addEventListener('click', () => refreshLibrary());
  $('library-folder').addEventListener('click', () => {
    call('library.openFolder').catch((e) => toast(e.message, 'error'));
  });
  on('saved', () => refreshLibrary());
  on('exportProgress', onTrimProgress);
  initTrim({
    player: () => player,
    selected: () => state.selected,
    saved: (name) => {
      state.wanted = name;
      refreshLibrary();
    },
  });
  document.addEventListener('marlune:library-changed', () => refreshLibrary());
  document.addEventListener('marlune:editor', () => renderDetail({ force: true }));
  // The folder may have changed behind the page's back while the window was elsewhere.
  window.addEventListener('focus', () => {
    if (currentScreen() === 'library' && !document.body.classList.contains('bar-mode')) {
      refreshLibrary();
    }
  });
  window.addEventListener('resize', () => redrawWaveform(state.selected));
  registerScreen('library', {
    onShow: () => {
      mark('libraryShown');
      refreshLibrary();
    },
    onHide: () => player?.pause(),
    onKey,
  });
}
