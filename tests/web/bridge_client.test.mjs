import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { BridgeError, createBridgeClient, isTimeout, isUnsupported } from
  '../../web/js/bridge_client.js';

// A clock the tests advance by hand.
function fakeTimers() {
  let now = 0;
  let nextHandle = 1;
  const due = new Map();
  return {
    setTimeout(fn, ms) {
      const handle = nextHandle++;
      due.set(handle, { at: now + ms, fn });
      return handle;
    },
    clearTimeout(handle) {
      due.delete(handle);
    },
    advance(ms) {
      now += ms;
      for (const [handle, { at, fn }] of [...due]) {
        if (at <= now) {
          due.delete(handle);
          fn();
        }
      }
    },
    get armed() {
      return due.size;
    },
  };
}

function harness(options = {}) {
  const sent = [];
  const timers = fakeTimers();
  const timedOut = [];
  const client = createBridgeClient({
    post: (message) => sent.push(message),
    timers,
    onTimeout: (cmd) => timedOut.push(cmd),
    ...options,
  });
  return { client, sent, timers, timedOut };
}

const settled = (promise) => promise.then((value) => ({ value }), (error) => ({ error }));

describe('bridge client', () => {
  it('gives every request its own id and matches replies to them in any order', async () => {
    const { client, sent } = harness();
    const a = client.call('settings.get');
    const b = client.call('library.list', { x: 1 });
    assert.equal(sent.length, 2);
    assert.notEqual(sent[0].id, sent[1].id);
    assert.deepEqual(sent[1], { id: sent[1].id, cmd: 'library.list', payload: { x: 1 } });
    client.deliver({ id: sent[1].id, ok: true, result: { items: [] } });
    client.deliver({ id: sent[0].id, ok: true, result: { fps: 30 } });
    assert.deepEqual(await a, { fps: 30 });
    assert.deepEqual(await b, { items: [] });
    assert.equal(client.pendingCount(), 0);
  });

  it('turns failed replies into errors people can read', async () => {
    const cases = [
      [{ ok: false, error: { code: 'unknown_command', message: 'Unknown command: sources.list' } },
        'unknown_command', 'Unknown command: sources.list', true],
      [{ ok: false, error: { code: 'error', message: 'Invalid file name.' } },
        'error', 'Invalid file name.', false],
      // A malformed failure still fails, with a message naming the command.
      [{ ok: false }, 'error', 'sources.list failed.', false],
      [{ ok: false, error: { code: 7, message: '' } }, 'error', 'sources.list failed.', false],
    ];
    for (const [reply, code, message, unsupported] of cases) {
      const { client, sent } = harness();
      const outcome = settled(client.call('sources.list'));
      client.deliver({ id: sent[0].id, ...reply });
      const { error } = await outcome;
      assert.ok(error instanceof BridgeError, JSON.stringify(reply));
      assert.equal(error.code, code);
      assert.equal(error.message, message);
      assert.equal(error.cmd, 'sources.list');
      assert.equal(isUnsupported(error), unsupported);
    }
  });

  it('gives up on a reply that never comes, and ignores it if it comes late', async () => {
    const { client, sent, timers, timedOut } = harness();
    const outcome = settled(client.call('library.delete', { name: 'a.mp4' }));
    timers.advance(14999);
    assert.equal(client.pendingCount(), 1);
    timers.advance(1);
    const { error } = await outcome;
    assert.ok(isTimeout(error));
    assert.match(error.message, /did not answer in time \(library\.delete\)/);
    assert.deepEqual(timedOut, ['library.delete']);
    // The late answer finds nobody waiting and changes nothing.
    client.deliver({ id: sent[0].id, ok: true, result: {} });
    assert.equal(client.pendingCount(), 0);
  });

  it('waits as long as each command needs', async () => {
    const cases = [
      // [command, options, still waiting at (ms), given up by (ms) or null for never]
      ['settings.get', {}, 14000, 15000],
      ['recording.start', {}, 59000, 60000],
      ['library.list', {}, 119000, 120000],
      ['app.confirm', {}, 3600000, null],
      ['edit.exportTrim', {}, 3600000, null],
      ['settings.get', { timeoutMs: 50 }, 49, 50],
      ['settings.get', { timeoutMs: 0 }, 3600000, null],
    ];
    for (const [cmd, options, waiting, givenUp] of cases) {
      const { client, sent, timers } = harness();
      const outcome = settled(client.call(cmd, {}, options));
      timers.advance(waiting);
      assert.equal(client.pendingCount(), 1, `${cmd} at ${waiting}`);
      if (givenUp === null) {
        assert.equal(timers.armed, 0, `${cmd} has no time-out`);
        client.deliver({ id: sent[0].id, ok: true, result: { ok: true } });
        assert.deepEqual((await outcome).value, { ok: true });
      } else {
        timers.advance(givenUp - waiting);
        assert.ok(isTimeout((await outcome).error), `${cmd} given up at ${givenUp}`);
      }
    }
  });

  it('clears the time-out once answered', async () => {
    const { client, sent, timers, timedOut } = harness();
    const reply = client.call('settings.get');
    client.deliver({ id: sent[0].id, ok: true });
    assert.deepEqual(await reply, {});
    assert.equal(timers.armed, 0);
    timers.advance(60000);
    assert.deepEqual(timedOut, []);
  });

  it('fails at once when the message cannot be sent', async () => {
    const cases = [
      [undefined, 'unavailable'],
      [() => { throw new Error('handler gone'); }, 'unavailable'],
    ];
    for (const [post, code] of cases) {
      const timers = fakeTimers();
      const client = createBridgeClient({ post, timers });
      const { error } = await settled(client.call('app.ready'));
      assert.equal(error.code, code);
      assert.equal(client.pendingCount(), 0);
      assert.equal(timers.armed, 0);
    }
  });

  it('ignores replies that are not for anyone', () => {
    const { client } = harness();
    for (const reply of [null, undefined, 42, 'x', {}, { id: 'nobody', ok: true }]) {
      assert.doesNotThrow(() => client.deliver(reply));
    }
  });

  it('hands events to their listeners, and a failing listener spoils nothing', () => {
    const { client } = harness();
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

  it('fails everything still waiting when closed', async () => {
    const { client, timers } = harness();
    const a = settled(client.call('library.list'));
    const b = settled(client.call('app.confirm'));
    client.closeAll();
    assert.equal((await a).error.code, 'closed');
    assert.equal((await b).error.code, 'closed');
    assert.equal(timers.armed, 0);
  });
});
