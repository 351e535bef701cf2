import assert from 'node:assert/strict';
import { test } from 'node:test';

import { BridgeError, createBridgeClient, isTimeout, isUnsupported } from
  '../../web/js/bridge_client.js';

// A clock the tests advance by hand.
function fakeTimers() {
  let now = 0;
  let next = 1;
  const due = new Map();
  return {
    setTimeout: (fn, ms) => due.set(next, { at: now + ms, fn }) && next++,
    clearTimeout: (handle) => due.delete(handle),
    advance(ms) {
      now += ms;
      for (const [handle, { at, fn }] of [...due]) if (at <= now && due.delete(handle)) fn();
    },
    get armed() { return due.size; },
  };
}

function harness(options = {}) {
  const sent = [];
  const timers = fakeTimers();
  const timedOut = [];
  const client = createBridgeClient({ post: (message) => sent.push(message), timers,
                                      onTimeout: (cmd) => timedOut.push(cmd), ...options });
  return { client, sent, timers, timedOut };
}

const settled = (promise) => promise.then((value) => ({ value }), (error) => ({ error }));

test('replies match their requests in any order; failures become readable errors', async () => {
  const { client, sent, timers } = harness();
  const a = client.call('settings.get');
  const b = client.call('library.list', { x: 1 });
  assert.notEqual(sent[0].id, sent[1].id);
  assert.deepEqual(sent[1], { id: sent[1].id, cmd: 'library.list', payload: { x: 1 } });
  client.deliver({ id: sent[1].id, ok: true, result: { items: [] } });
  client.deliver({ id: sent[0].id, ok: true });
  assert.deepEqual([await a, await b], [{}, { items: [] }]);
  assert.deepEqual([client.pendingCount(), timers.armed], [0, 0]);
  const failed = 'sources.list failed.';
  for (const [reply, code, message, unsupported] of [
    [{ error: { code: 'unknown_command', message: 'Unknown command: sources.list' } },
      'unknown_command', 'Unknown command: sources.list', true],
    [{ error: { code: 'error', message: 'Invalid file name.' } }, 'error',
      'Invalid file name.', false],
    // A malformed failure still fails, with a message naming the command.
    [{}, 'error', failed, false], [{ error: { code: 7, message: '' } }, 'error', failed, false],
  ]) {
    const outcome = settled(client.call('sources.list'));
    client.deliver({ id: sent.at(-1).id, ok: false, ...reply });
    const { error } = await outcome;
    assert.ok(error instanceof BridgeError, JSON.stringify(reply));
    assert.deepEqual([error.code, error.message, error.cmd, isUnsupported(error)],
                     [code, message, 'sources.list', unsupported]);
  }
});

test('waits as long as each command needs and ignores an answer too late', async () => {
  for (const [cmd, options, waiting, givenUp] of [
    // [command, options, still waiting at (ms), given up by (ms) or null for never]
    ['settings.get', {}, 14999, 15000], ['library.list', {}, 119000, 120000],
    ['app.confirm', {}, 3600000, null], ['edit.exportTrim', {}, 3600000, null],
    ['settings.get', { timeoutMs: 50 }, 49, 50],
  ]) {
    const { client, sent, timers, timedOut } = harness();
    const outcome = settled(client.call(cmd, {}, options));
    timers.advance(waiting);
    assert.equal(client.pendingCount(), 1, `${cmd} at ${waiting}`);
    if (givenUp === null) {
      assert.equal(timers.armed, 0, `${cmd} has no time-out`);
      client.deliver({ id: sent[0].id, ok: true, result: { ok: true } });
      assert.deepEqual((await outcome).value, { ok: true });
      continue;
    }
    timers.advance(givenUp - waiting);
    const { error } = await outcome;
    assert.ok(isTimeout(error), `${cmd} given up at ${givenUp}`);
    assert.ok(error.message.includes(`did not answer in time (${cmd})`));
    assert.deepEqual(timedOut, [cmd]);
    // The late answer finds nobody waiting and changes nothing.
    client.deliver({ id: sent[0].id, ok: true, result: {} });
    assert.equal(client.pendingCount(), 0);
  }
});

test('fails at once when nothing can be sent, and all that waits when closed', async () => {
  for (const post of [undefined, () => { throw new Error('handler gone'); }]) {
    const timers = fakeTimers();
    const client = createBridgeClient({ post, timers });
    const { error } = await settled(client.call('app.ready'));
    assert.deepEqual([error.code, client.pendingCount(), timers.armed], ['unavailable', 0, 0]);
  }
  const { client, timers } = harness();
  const waiting = [settled(client.call('library.list')), settled(client.call('app.confirm'))];
  client.closeAll();
  assert.deepEqual((await Promise.all(waiting)).map((o) => o.error.code), ['closed', 'closed']);
  assert.equal(timers.armed, 0);
});

test('events reach their listeners; a failing listener or stray reply spoils nothing', () => {
  const { client } = harness();
  for (const reply of [null, undefined, 42, 'x', {}, { id: 'nobody', ok: true }]) {
    assert.doesNotThrow(() => client.deliver(reply));
  }
  const heard = [];
  const problems = [];
  client.on('tick', () => { throw new Error('broken listener'); });
  const stop = client.on('tick', (data, name) => heard.push([name, data.elapsedMs]));
  client.on('*', (data, name) => heard.push(['*', name]));
  client.dispatchEvent({ name: 'tick', data: { elapsedMs: 500 } }, (e) => problems.push(e));
  client.dispatchEvent({ name: 'saved' }, (e) => problems.push(e));
  for (const bad of [null, {}, { name: 3 }]) client.dispatchEvent(bad);
  stop();
  client.dispatchEvent({ name: 'tick', data: { elapsedMs: 1000 } }, () => {});
  assert.deepEqual(heard, [['tick', 500], ['*', 'tick'], ['*', 'saved'], ['*', 'tick']]);
  assert.equal(problems.length, 1);
});
