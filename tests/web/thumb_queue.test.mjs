import assert from 'node:assert/strict';
import { test } from 'node:test';

import { createThumbQueue } from '../../web/js/thumb_queue.js';

// A queue whose fetches the test answers by hand.
function manual(maxInFlight) {
  const calls = [];
  const heard = [];
  const queue = createThumbQueue({
    fetch: (name) => new Promise((resolve, reject) => calls.push({ name, resolve, reject })),
    maxInFlight, onThumb: (key, thumb) => heard.push([key, thumb]) });
  const want = (...keys) => keys.forEach((key) => queue.want(key, `${key}.mp4`));
  return { queue, want, heard, calls, asked: () => calls.map((c) => c.name.slice(0, -4)).join('') };
}

const settle = () => new Promise((resolve) => setTimeout(resolve, 0));
const A = 'data:image/jpeg;base64,AA';

test('fetches a few at a time: cards in view together in order, newer ones first', async () => {
  const { queue, want, heard, calls, asked } = manual(2);
  want('a', 'b', 'c', 'd');
  await settle();
  assert.deepEqual([asked(), queue.pending()], ['ab', 4]);
  // The person scrolls on: these cards go before "c" and "d".
  want('e', 'f');
  calls[0].resolve(A);
  await settle();
  assert.equal(asked(), 'abe');
  calls[1].resolve(null);
  calls[2].reject(new Error('gone'));
  await settle();
  assert.equal(asked(), 'abefc');
  assert.deepEqual(heard, [['a', A], ['b', null]]);
  // A failure is not remembered: the card asks again next time.
  assert.deepEqual([queue.lookup('a'), queue.lookup('b'), queue.lookup('e')], [A, null, undefined]);
});

test('asks for each picture once, and not for cards or movies that left', async () => {
  const { queue, want, calls, asked } = manual(1);
  want('a', 'a', 'b', 'c');
  queue.unwant('b');
  await settle();
  calls[0].resolve(A);
  await settle();
  want('a');
  await settle();
  assert.equal(asked(), 'ac');
  // "a" went first and is forgotten; "d" is no longer wanted; "c" and "e" still are.
  want('d', 'e');
  queue.keepOnly(['c', 'e']);
  calls[1].resolve(A);
  await settle();
  calls[2].resolve(null);
  await settle();
  assert.deepEqual([asked(), queue.lookup('a'), queue.lookup('c'), queue.pending()],
                   ['ace', undefined, A, 0]);
});
