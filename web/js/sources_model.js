// The source picker's model: the reply of "sources.list" as cards, the selection across
// refreshes, whether Record can be pressed (and why not), and the payload of "recording.start".
// Pure functions; no DOM.

const DATA_IMAGE = /^data:image\/(jpeg|png|webp);base64,/;
const U32 = 0xffffffff;

export function sourceKey(kind, id) {
  return `${kind}:${id}`;
}

function card(raw, kind) {
  if (!raw || typeof raw !== 'object') return null;
  const id = raw.id;
  if (typeof id !== 'number' || !Number.isInteger(id) || id < 0 || id > U32) return null;
  const size = (v) => (typeof v === 'number' && Number.isFinite(v) && v > 0 ? Math.trunc(v) : 0);
  const name = typeof raw.name === 'string' && raw.name.trim() ? raw.name.trim() : '';
  return {
    key: sourceKey(kind, id),
    kind,
    id,
    name: name || (kind === 'display' ? 'Display' : 'Untitled window'),
    app: kind === 'window' && typeof raw.app === 'string' ? raw.app : '',
    width: size(raw.width),
    height: size(raw.height),
    thumb: typeof raw.thumb === 'string' && DATA_IMAGE.test(raw.thumb) ? raw.thumb : null,
    // Wayland: the desktop's own dialog picks the source ("asks"), or picks a window ("chooser").
    asks: raw.asks === true,
    chooser: kind === 'window' && raw.chooser === true,
  };
}

// What a card says when the desktop chooses or asks ('' when it does not): in a few words for the
// card, in full for the preview.
export function desktopNote(card, { full = false } = {}) {
  if (!card?.asks && !card?.chooser) return '';
  if (!full) return card.asks ? 'The desktop will ask' : 'As chosen last time';
  if (card.chooser) {
    return card.asks ? 'The desktop will ask which window to record.'
      : 'The window you chose last time.';
  }
  return card.asks ? 'The desktop will ask before recording.' : '';
}

// The reply of "sources.list" as {displays, windows}, each a list of cards in the reply's order.
// Entries without a usable identifier are left out (they could not be recorded).
export function cardsFromReply(reply) {
  if (!reply || typeof reply !== 'object' || !Array.isArray(reply.screens) ||
      !Array.isArray(reply.windows)) {
    throw new Error('The list of displays and windows could not be read.');
  }
  const pick = (list, kind) => {
    const seen = new Set();
    return list.map((raw) => card(raw, kind)).filter((c) => {
      if (!c || seen.has(c.key)) return false;
      seen.add(c.key);
      return true;
    });
  };
  return { displays: pick(reply.screens, 'display'), windows: pick(reply.windows, 'window') };
}

export function allCards(cards) {
  return [...(cards?.displays ?? []), ...(cards?.windows ?? [])];
}

// The selection after a new listing. A chosen source that is gone is reported as `lost` (the
// window closed, the display was unplugged) so the page can say so; nothing chosen stays nothing.
export function reconcileSelection(cards, selectedKey) {
  if (!selectedKey) return { selected: null, lost: false };
  const found = allCards(cards).find((c) => c.key === selectedKey);
  return found ? { selected: found.key, lost: false } : { selected: null, lost: true };
}

// Whether Record can be pressed, and if not, why (shown beside the button).
// `sources`: "loading" | "ready" | "error" | "unsupported"; `phase`: the recording phase;
// `screen`: the screen permission ("granted", "denied", "notDetermined" or null when unknown);
// `canRecord`: whether the application has the recording commands at all.
export function recordReadiness({ sources, selected, phase = 'idle', screen = null,
                                  canRecord = true, starting = false }) {
  if (!canRecord) {
    return { enabled: false, reason: 'Recording is not available in this version of Marlune.' };
  }
  if (starting || (phase && phase !== 'idle')) {
    return { enabled: false, reason: 'A recording is already under way.' };
  }
  if (screen && screen !== 'granted') {
    return { enabled: false, reason: 'Marlune may not capture the screen yet: see Permissions.' };
  }
  if (sources === 'unsupported') {
    return { enabled: false, reason: 'This version of Marlune cannot list what to record.' };
  }
  if (!selected) {
    return {
      enabled: false,
      reason: sources === 'loading' ? 'Looking for displays and windows…'
        : 'Choose a display or a window to record.',
    };
  }
  return { enabled: true, reason: '' };
}

// The payload of "recording.start" for `source` with the options of `settings` (the settings
// object of the application; missing options are left to the application's own settings).
export function startPayload(source, settings = {}) {
  const payload = { sourceKind: source.kind, sourceID: source.id };
  if (source.kind === 'area' && source.area) payload.area = { ...source.area };
  const copy = (from, to, type) => {
    if (typeof settings[from] === type) payload[to] = settings[from];
  };
  if (Number.isInteger(settings.fps)) payload.fps = settings.fps;
  if (Number.isInteger(settings.capHeight)) payload.capHeight = settings.capHeight;
  copy('micEnabled', 'mic', 'boolean');
  copy('systemAudioEnabled', 'systemAudio', 'boolean');
  copy('webcamEnabled', 'webcam', 'boolean');
  copy('hideWindow', 'hideWindow', 'boolean');
  copy('cursorMode', 'cursorMode', 'string');
  copy('micInput', 'micInput', 'string');
  if ([0, 3, 5].includes(settings.countdown)) payload.countdown = settings.countdown;
  copy('recordAllKeys', 'recordAllKeys', 'boolean');
  return payload;
}
