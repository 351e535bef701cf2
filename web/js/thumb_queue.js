// Fetches the library's thumbnails a few at a time, as their cards come into view: the cards
// that came into view last go first (the person scrolled to them), and the cards that came into
// view together go in their order (top left first); each picture once, kept for later listings
// of the same movie. Pure; the fetching is given.

// `fetch(name)` resolves with a data URL or null (no picture can be made) and may reject.
// `onThumb(key, thumb)` hears of every picture known, null included. `onError(error)` hears of
// failures (the card then stays as it is; it is asked for again the next time it is wanted).
export function createThumbQueue({ fetch, onThumb, onError = () => {}, maxInFlight = 3 }) {
  const known = new Map();    // key → data URL or null
  let wanted = [];            // [{key, name}], in the order they go
  let incoming = [];          // wishes made since the last turn, in their order
  let flushing = false;
  const running = new Set();  // keys being fetched
  const dropped = new Set();  // keys being fetched whose movie has left the folder

  // The wishes of one turn (one batch of cards coming into view) go before the older ones.
  function flush() {
    flushing = false;
    const fresh = new Set(incoming.map((w) => w.key));
    wanted = [...incoming, ...wanted.filter((w) => !fresh.has(w.key))];
    incoming = [];
    pump();
  }

  function pump() {
    while (running.size < maxInFlight && wanted.length) {
      const { key, name } = wanted.shift();
      if (known.has(key) || running.has(key)) continue;
      running.add(key);
      Promise.resolve()
        .then(() => fetch(name))
        .then((thumb) => {
          if (dropped.has(key)) return;
          const value = typeof thumb === 'string' ? thumb : null;
          known.set(key, value);
          onThumb(key, value);
        }, (error) => onError(error, key))
        .finally(() => {
          running.delete(key);
          dropped.delete(key);
          pump();
        });
    }
  }

  return {
    // The picture when it is known (a data URL or null), else undefined.
    lookup: (key) => known.get(key),
    // Asks for `name`'s picture (identified by `key`); nothing when known or under way.
    want(key, name) {
      if (known.has(key) || running.has(key) || incoming.some((w) => w.key === key)) return;
      incoming.push({ key, name });
      if (!flushing) {
        flushing = true;
        queueMicrotask(flush);
      }
    },
    // The card went out of view before its turn came.
    unwant(key) {
      wanted = wanted.filter((w) => w.key !== key);
      incoming = incoming.filter((w) => w.key !== key);
    },
    // Forgets everything not in `keys` (movies gone from the folder).
    keepOnly(keys) {
      const keep = new Set(keys);
      for (const key of [...known.keys()]) if (!keep.has(key)) known.delete(key);
      for (const key of running) if (!keep.has(key)) dropped.add(key);
      wanted = wanted.filter((w) => keep.has(w.key));
      incoming = incoming.filter((w) => keep.has(w.key));
    },
    pending: () => wanted.length + incoming.length + running.size,
  };
}
