import assert from 'node:assert/strict';
import { test } from 'node:test';

import { STALL_MS, takeParts, watchSound } from
  '../../web/js/editor/playback_stream.js';

const bytes = (...pieces) => {
  const chunks = pieces.map((p) => (typeof p === 'string' ? new TextEncoder().encode(p) : p));
  const out = new Uint8Array(chunks.reduce((n, c) => n + c.length, 0));
  let at = 0;
  for (const c of chunks) out.set(c, (at += c.length) - c.length);
  return out;
};
// A picture whose bytes hold what a head ends with, as a JPEG may.
const PICTURE = bytes('\xff\xd8', '\r\n\r\n--marlunepicture\r\n', '\xff\xd9');
const part = (tMs, picture = PICTURE) => bytes('--marlunepicture\r\nContent-Type: image/jpeg\r\n' +
  `Content-Length: ${picture.length}\r\nX-Marlune-Time: ${tMs}\r\n\r\n`, picture, '\r\n');

test('parts are taken whole, in order, however the bytes were split', () => {
  const two = bytes(part(1000), part(1033.333));
  const first = part(1000).length;
  for (const [name, input, times, used] of [
    ['both', two, [1000, 1033.333], two.length],
    ['the second cut in its picture', two.subarray(0, two.length - 3), [1000], first],
    ['the first without its line end', two.subarray(0, first - 1), [], 0],
    ['nothing', new Uint8Array(0), [], 0],
    ['then the closing boundary', bytes(part(5), '--marlunepicture--\r\n'), [5], part(5).length],
  ]) {
    const { parts, used: took } = takeParts(input);
    assert.deepEqual(parts.map((p) => p.tMs), times, name);
    assert.equal(took, used, name);
    for (const p of parts) assert.deepEqual([...p.jpeg], [...PICTURE], name);
  }
});

test('a stream that is not made of parts is refused', () => {
  for (const input of [
    'HTTP/1.1 200 OK\r\n\r\n',
    '--marlunepicture\r\nContent-Length: 3\r\n\r\nabc\r\n',
    '--marlunepicture\r\nContent-Length: x\r\nX-Marlune-Time: 5\r\n\r\n',
  ]) {
    assert.throws(() => takeParts(bytes(input)), /damaged/, JSON.stringify(input));
  }
});

test('a sound clock that stops is restarted once, then left for the wall clock', () => {
  const S = STALL_MS;
  for (const [name, samples, want] of [
    ['moving', [[0, 0], [40, 500], [90, 2000], [140, 4000]], 'moving'],
    ['waiting for its first sound', [[0, 0], [0, S - 1]], 'moving'],
    ['stopped', [[0, 0], [0, S]], 'kick'],
    ['moved after the kick', [[0, 0], [0, S], [20, S + 100], [20, S + 200]], 'moving'],
    ['still stopped after the kick', [[0, 0], [0, S], [0, 2 * S - 1]], 'moving'],
    ['stopped for good', [[0, 0], [0, S], [0, 2 * S]], 'stalled'],
    ['stopped again later, restarted again', [[0, 0], [0, S], [5, S + 10], [5, 2 * S + 10]],
      'kick'],
  ]) {
    const watch = {};
    let got;
    for (const [soundMs, nowMs] of samples) got = watchSound(watch, soundMs, nowMs);
    assert.equal(got, want, name);
  }
});
