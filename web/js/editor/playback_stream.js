// The export's own pictures while the editor plays: the application makes them from the playing
// time on and sends them through the media server as one multipart answer, each part a JPEG with
// the recording time it shows ("X-Marlune-Time"). They are decoded as they come and each is
// drawn when the sound reaches its time; one whose time has passed before it could be drawn is
// skipped, so the picture never drifts from the sound.

const encoder = new TextEncoder();
const decoder = new TextDecoder();
const HEAD_END = encoder.encode('\r\n\r\n');

function indexOf(bytes, what, from = 0) {
  outer: for (let i = from; i <= bytes.length - what.length; i += 1) {
    for (let j = 0; j < what.length; j += 1) if (bytes[i + j] !== what[j]) continue outer;
    return i;
  }
  return -1;
}

// The whole parts at the front of `bytes` ({tMs, jpeg}) and how many bytes they took. A part is
// "--boundary" and its fields, a blank line, then Content-Length bytes; a part that has not fully
// arrived is left for the next call. Throws on bytes that are not such parts.
export function takeParts(bytes) {
  const parts = [];
  let at = 0;
  for (;;) {
    const end = indexOf(bytes, HEAD_END, at);
    if (end < 0) break;
    const fields = decoder.decode(bytes.subarray(at, end)).split('\r\n').filter(Boolean);
    if (!fields[0]?.startsWith('--') || fields[0].endsWith('--')) {
      throw new Error('The picture stream is damaged.');
    }
    const field = (name) => fields.find((f) => f.toLowerCase().startsWith(`${name}:`))
      ?.slice(name.length + 1).trim();
    const length = Number(field('content-length'));
    const tMs = Number(field('x-marlune-time'));
    if (!Number.isInteger(length) || length < 0 || !Number.isFinite(tMs)) {
      throw new Error('The picture stream is damaged.');
    }
    const start = end + HEAD_END.length;
    if (bytes.length < start + length + 2) break;
    parts.push({ tMs, jpeg: bytes.subarray(start, start + length) });
    at = start + length + 2;
  }
  return { parts, used: at };
}

// Of the pictures waiting (in time order), the one to draw at `clockMs`: the last one due by
// then (a picture is due a little before its time, so that the display's next refresh shows it
// on time), or -1 when none is due yet. Those before it are skipped.
export const EARLY_MS = 8;
export function dueIndex(waiting, clockMs) {
  let due = -1;
  for (let i = 0; i < waiting.length && waiting[i].tMs <= clockMs + EARLY_MS; i += 1) due = i;
  return due;
}

// The sound's clock can stop while its player says it plays (the sound server stalled under
// load): once it has not moved for STALL_MS it is sought where it stands, which restarts the
// player ('kick'); if it still does not move, the pictures go on by the wall clock ('stalled').
// `watch` ({ms, since, kicked}) is the caller's, fresh for each start of the sound.
export const STALL_MS = 1500;
export function watchSound(watch, soundMs, nowMs) {
  if (watch.ms !== soundMs || watch.since === undefined) {
    Object.assign(watch, { ms: soundMs, since: nowMs, kicked: false });
    return 'moving';
  }
  if (nowMs - watch.since < STALL_MS) return 'moving';
  if (watch.kicked) return 'stalled';
  Object.assign(watch, { since: nowMs, kicked: true });
  return 'kick';
}

// Reads the stream at `url`, calling onPicture({tMs, image, release}) in order as each is decoded
// (release() lets go of the image once drawn) and
// onEnd(error or null) once. close() stops it (onEnd is not called then).
export function readPictureStream(url, { onPicture, onEnd }) {
  const abort = new AbortController();
  let closed = false;
  let decoding = Promise.resolve();
  (async () => {
    const response = await fetch(url, { signal: abort.signal, cache: 'no-store' });
    if (!response.ok) throw new Error(`The pictures could not be played (${response.status}).`);
    const reader = response.body.getReader();
    let buffer = new Uint8Array(0);
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      const joined = new Uint8Array(buffer.length + value.length);
      joined.set(buffer);
      joined.set(value, buffer.length);
      const { parts, used } = takeParts(joined);
      buffer = joined.slice(used);
      for (const { tMs, jpeg } of parts) {
        // Decoded by the image decoder's own threads, not on the page's.
        const picture = new Image();
        picture.src = URL.createObjectURL(new Blob([jpeg], { type: 'image/jpeg' }));
        const ready = picture.decode();
        const release = () => URL.revokeObjectURL(picture.src);
        decoding = decoding.then(() => ready).then(() => {
          if (closed) release();
          else onPicture({ tMs, image: picture, release });
        }, release);
      }
    }
    await decoding;
  })().then(() => closed || onEnd(null), (error) => closed || onEnd(error));
  return {
    close() {
      closed = true;
      abort.abort();
    },
  };
}
