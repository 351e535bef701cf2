// The library's list model: what "library.list" replied, checked and put in order, the search,
// the selection, and the media address of a recording. Pure functions; no DOM.

const DATA_IMAGE = /^data:image\/(jpeg|png|webp);base64,/;

// One listing item as the page uses it, or null when the item is unusable (no name). Every other
// member falls back to "unknown": a damaged movie is listed with no duration and no picture, and
// its card says so instead of breaking the grid. `thumbs`: "included" when the listing carries
// the pictures (a missing one is known to be missing), "lazy" when they come later (a missing
// one is not known yet: `thumb` is undefined until `withThumb`).
export function normalizeItem(raw, thumbs = 'included') {
  if (!raw || typeof raw !== 'object' || typeof raw.name !== 'string' || !raw.name) return null;
  const number = (v) => (typeof v === 'number' && Number.isFinite(v) ? v : 0);
  const item = {
    name: raw.name,
    size: Math.max(0, number(raw.size)),
    createdAt: typeof raw.createdAt === 'number' && Number.isFinite(raw.createdAt)
      ? raw.createdAt : -Infinity,
    durationMs: Math.max(0, Math.trunc(number(raw.durationMs))),
    webcam: raw.webcam === true,
  };
  const thumb = typeof raw.thumb === 'string' && DATA_IMAGE.test(raw.thumb) ? raw.thumb : null;
  return withThumb(item, thumb === null && thumbs === 'lazy' ? undefined : thumb);
}

// `item` with its picture known: a data URL, null (none can be made) or undefined (not asked
// yet). A movie with neither a length nor a picture is damaged.
export function withThumb(item, thumb) {
  const picture = typeof thumb === 'string' && DATA_IMAGE.test(thumb) ? thumb
    : thumb === undefined ? undefined : null;
  return { ...item, thumb: picture, damaged: item.durationMs === 0 && picture === null };
}

// What identifies a listed movie's content for caching its picture: a file replaced under the
// same name gets a new picture.
export function thumbKey(item) {
  return `${item.name}|${item.size}|${item.createdAt}`;
}

// Newest first; equal times by name, so the order does not change between listings.
export function compareNewestFirst(a, b) {
  if (a.createdAt !== b.createdAt) return a.createdAt > b.createdAt ? -1 : 1;
  return a.name < b.name ? -1 : a.name > b.name ? 1 : 0;
}

// The reply of "library.list" as a sorted list of items (`thumbs` as for normalizeItem). A reply without an "items" array is an
// error of the application, reported as such rather than shown as an empty library.
export function itemsFromReply(reply, thumbs = 'included') {
  if (!reply || !Array.isArray(reply.items)) {
    throw new Error('The library answered with something that is not a list of recordings.');
  }
  const seen = new Set();
  const items = [];
  for (const raw of reply.items) {
    const item = normalizeItem(raw, thumbs);
    if (!item || seen.has(item.name)) continue;
    seen.add(item.name);
    items.push(item);
  }
  return items.sort(compareNewestFirst);
}

function folded(text) {
  return text.normalize('NFD').replace(/[\u0300-\u036f]/g, '').toLowerCase();
}

// The items whose name holds every word of `query` (case and accents ignored), in their order.
export function filterItems(items, query) {
  const words = folded(String(query ?? '')).split(/\s+/).filter(Boolean);
  if (!words.length) return items;
  return items.filter((item) => {
    const name = folded(item.name);
    return words.every((word) => name.includes(word));
  });
}

// The selection after a new listing: kept when the recording is still there, else none.
export function keepSelection(items, selectedName) {
  return items.some((item) => item.name === selectedName) ? selectedName : null;
}

// Which recording to select once `name` is removed from `items` (the one after it, else the one
// before it, else none), so that Delete can be pressed again without reaching for the mouse.
export function selectionAfterRemoval(items, name) {
  const index = items.findIndex((item) => item.name === name);
  if (index < 0) return null;
  return items[index + 1]?.name ?? items[index - 1]?.name ?? null;
}

// The grid position reached from `index` by an arrow key, with `columns` cards a row; -1 when
// there are no items. Left and right run through the rows; up and down stay in the column and stop
// at the edges.
export function moveInGrid(index, key, columns, count) {
  if (count <= 0) return -1;
  const cols = Math.max(1, Math.floor(columns) || 1);
  const at = Math.min(Math.max(index, 0), count - 1);
  switch (key) {
    case 'ArrowLeft': return Math.max(0, at - 1);
    case 'ArrowRight': return Math.min(count - 1, at + 1);
    case 'ArrowUp': return at - cols >= 0 ? at - cols : at;
    case 'ArrowDown': return at + cols < count ? at + cols : at;
    case 'Home': return 0;
    case 'End': return count - 1;
    default: return at;
  }
}

// The loopback address that plays `name` (a file name in the recordings folder, possibly with
// folder parts): each part escaped on its own so that spaces, "#", "?" and "%" survive.
export function mediaURL(baseURL, name) {
  if (typeof baseURL !== 'string' || !baseURL) return null;
  const base = baseURL.endsWith('/') ? baseURL : `${baseURL}/`;
  return base + String(name).split('/').map(encodeURIComponent).join('/');
}
