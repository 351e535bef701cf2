import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { createThumbQueue } from '../../web/js/thumb_queue.js';

// A fetch whose answers the test gives by hand.
function manualFetch() {
  const calls = [];
  const fetch = (name) => new Promise((resolve, reject) => calls.push({ name, resolve, reject }));
  return { fetch, calls };
}

const settle = () => new Promise((resolve) => setTimeout(resolve, 0));

describe('thumbnail queue', () => {
  it('fetches a few at a time: cards in view together in order, newer ones first', async () => {
    const { fetch, calls } = manualFetch();
    const heard = [];
    const queue = createThumbQueue({ fetch, maxInFlight: 2,
                                     onThumb: (key, thumb) => heard.push([key, thumb]) });
    for (const name of ['a', 'b', 'c', 'd']) queue.want(name, `${name}.mp4`);
    await settle();
    assert.deepEqual(calls.map((c) => c.name), ['a.mp4', 'b.mp4']);
    assert.equal(queue.pending(), 4);
    // The person scrolls on: these cards go before "c" and "d".
    queue.want('e', 'e.mp4');
    queue.want('f', 'f.mp4');
    calls[0].resolve('data:image/jpeg;base64,AA');
    await settle();
    assert.deepEqual(calls.map((c) => c.name), ['a.mp4', 'b.mp4', 'e.mp4']);
    calls[1].resolve(null);
    calls[2].reject(new Error('gone'));
    await settle();
    assert.deepEqual(calls.map((c) => c.name).slice(3), ['f.mp4', 'c.mp4']);
    assert.deepEqual(heard, [['a', 'data:image/jpeg;base64,AA'], ['b', null]]);
    assert.equal(queue.lookup('a'), 'data:image/jpeg;base64,AA');
    assert.equal(queue.lookup('b'), null);
    // A failure is not remembered: the card asks again next time.
    assert.equal(queue.lookup('e'), undefined);
  });

  it('asks for each picture once, and not for cards that left the view', async () => {
    const { fetch, calls } = manualFetch();
    const queue = createThumbQueue({ fetch, maxInFlight: 1, onThumb: () => {} });
    queue.want('a', 'a.mp4');
    queue.want('a', 'a.mp4');
    queue.want('b', 'b.mp4');
    queue.want('c', 'c.mp4');
    queue.unwant('b');
    await settle();
    calls[0].resolve('data:image/png;base64,AA');
    await settle();
    queue.want('a', 'a.mp4');
    await settle();
    assert.deepEqual(calls.map((c) => c.name), ['a.mp4', 'c.mp4']);
  });

  it('forgets movies that left the folder', async () => {
    const { fetch, calls } = manualFetch();
    const queue = createThumbQueue({ fetch, maxInFlight: 1, onThumb: () => {} });
    queue.want('a', 'a.mp4');
    queue.want('b', 'b.mp4');
    queue.want('c', 'c.mp4');
    await settle();
    calls[0].resolve('data:image/png;base64,AA');
    queue.keepOnly(['b']);
    await settle();
    // "a" went first and is forgotten; "c" is no longer wanted; "b" still is.
    assert.deepEqual(calls.map((c) => c.name), ['a.mp4', 'b.mp4']);
    assert.equal(queue.lookup('a'), undefined);
    calls[1].resolve(null);
    await settle();
    assert.equal(queue.pending(), 0);
  });
});
