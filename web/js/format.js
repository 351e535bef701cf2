// Formatting of times, sizes, dates and names for people. Pure functions; no DOM.

const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov',
                'Dec'];

function whole(value) {
  return Number.isFinite(value) && value > 0 ? Math.floor(value) : 0;
}

const pad2 = (n) => String(n).padStart(2, '0');

// A length of time in milliseconds as "0:07", "12:05" or "1:02:03" (seconds truncated, as a
// player shows them). Unknown or negative lengths read "0:00".
export function formatDuration(ms) {
  const total = Math.floor(whole(ms) / 1000);
  const h = Math.floor(total / 3600);
  const m = Math.floor((total % 3600) / 60);
  const s = total % 60;
  return h > 0 ? `${h}:${pad2(m)}:${pad2(s)}` : `${m}:${pad2(s)}`;
}

// The elapsed time of a recording in progress: "00:07", "59:59", then "1:00:00".
export function formatElapsed(ms) {
  const total = Math.floor(whole(ms) / 1000);
  if (total >= 3600) return formatDuration(total * 1000);
  return `${pad2(Math.floor(total / 60))}:${pad2(total % 60)}`;
}

// A position in a movie with tenths, for trim handles: "0:03.4", "1:02:03.0".
export function formatPosition(ms) {
  const t = whole(ms);
  return `${formatDuration(t)}.${Math.floor((t % 1000) / 100)}`;
}

// A file size in decimal units as file managers show them: "0 bytes", "1 byte", "950 bytes",
// "1.2 kB", "34 MB", "1.5 GB".
export function formatSize(bytes) {
  const n = whole(bytes);
  if (n < 1000) return n === 1 ? '1 byte' : `${n} bytes`;
  const units = ['kB', 'MB', 'GB', 'TB'];
  let unit = 0;
  let divisor = 1000;
  while (n >= divisor * 1000 && unit < units.length - 1) {
    divisor *= 1000;
    unit += 1;
  }
  // Truncated like the durations: one decimal below 10, whole numbers above. Integer steps, so
  // that 4100 bytes read 4.1 kB and never 4.0.
  const tenths = (n * 10 - ((n * 10) % divisor)) / divisor;
  const text = tenths < 100 ? `${Math.floor(tenths / 10)}.${tenths % 10}`
    : String(Math.floor(tenths / 10));
  return `${text} ${units[unit]}`;
}

function sameDay(a, b) {
  return a.getFullYear() === b.getFullYear() && a.getMonth() === b.getMonth() &&
    a.getDate() === b.getDate();
}

// When a recording was made, in local time: "Today at 19:27", "Yesterday at 08:05",
// "5 Dec 2026 at 19:27". Times before 1971 (the listing's stand-in for an unknown creation time)
// read "Date unknown".
export function formatDate(ms, now = Date.now()) {
  if (!Number.isFinite(ms) || ms < 365 * 24 * 3600 * 1000) return 'Date unknown';
  const date = new Date(ms);
  const today = new Date(now);
  const time = `${pad2(date.getHours())}:${pad2(date.getMinutes())}`;
  if (sameDay(date, today)) return `Today at ${time}`;
  const yesterday = new Date(today.getFullYear(), today.getMonth(), today.getDate() - 1);
  if (sameDay(date, yesterday)) return `Yesterday at ${time}`;
  return `${date.getDate()} ${MONTHS[date.getMonth()]} ${date.getFullYear()} at ${time}`;
}

// "1920 × 1080"; empty when either side is unknown.
export function formatDimensions(width, height) {
  return whole(width) && whole(height) ? `${whole(width)} × ${whole(height)}` : '';
}

// A recording's file name as its title: the folder part and a final ".mp4" (any case) dropped.
// A title cut in two for showing in a narrow place: the head, which may be shortened with an
// ellipsis, and the tail (from the last word that starts within its last `keep` characters),
// which always shows, since the end is what tells "… at 14.30.12" from "… at 14.30.12 export".
export function titleParts(title, keep = 16) {
  const text = String(title ?? '');
  if (text.length <= keep) return ['', text];
  const cut = text.indexOf(' ', text.length - keep);
  const at = cut < 0 ? text.length - keep : cut;
  return [text.slice(0, at), text.slice(at)];
}

export function recordingTitle(name) {
  const base = String(name ?? '').split('/').pop();
  return base.replace(/\.mp4$/i, '') || base;
}
