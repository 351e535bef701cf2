// The page's half of the message bridge, without the browser: request ids, one answer per
// request, time-outs and event listeners. `bridge.js` binds it to the window's message handler;
// the unit tests bind it to a fake.
//
// Wire shapes: the page posts {id, cmd, payload}; the native side answers each command once with
// {id, ok, result} or {id, ok: false, error: {code, message}} and pushes events as {name, data}.

// How long a command may take before the page stops waiting for it, in milliseconds. Commands
// that wait for a person (a confirmation) or report their own progress (exports) have none; the
// start of a recording includes its three-second countdown; listings read every movie.
export const DEFAULT_TIMEOUT_MS = 15000;
export const COMMAND_TIMEOUTS_MS = Object.freeze({
  'app.confirm': 0,
  'edit.exportTrim': 0,
  'edit.exportRender': 0,
  'permissions.request': 120000,
  'recording.start': 60000,
  'recording.stop': 60000,
  'library.list': 120000,
  'media.waveform': 60000,
  'sources.list': 30000,
  'sources.preview': 30000,
});

// A failed command. `code` is the native side's ("error", "unknown_command") or the page's own
// ("timeout", "unavailable", "closed"); `message` is meant for people.
export class BridgeError extends Error {
  constructor(code, message, cmd = '') {
    super(message);
    this.name = 'BridgeError';
    this.code = code;
    this.cmd = cmd;
  }
}

// True when the application has no such command (an older or partial build): the page shows
// that the feature is unavailable instead of an error.
export function isUnsupported(error) {
  return error instanceof BridgeError && error.code === 'unknown_command';
}

export function isTimeout(error) {
  return error instanceof BridgeError && error.code === 'timeout';
}

// `post(message)` hands one command message to the native side (it may throw). `timers` provides
// setTimeout/clearTimeout (the fake clock of the tests). `onTimeout(cmd)` hears of every command
// given up on, so the page can say so once, wherever it was sent from.
export function createBridgeClient({ post, timers = globalThis, timeouts = COMMAND_TIMEOUTS_MS,
                                     defaultTimeoutMs = DEFAULT_TIMEOUT_MS, onTimeout } = {}) {
  const pending = new Map();
  const listeners = new Map();
  let nextId = 1;

  function settle(id) {
    const entry = pending.get(id);
    if (!entry) return null;
    pending.delete(id);
    if (entry.timer !== null) timers.clearTimeout(entry.timer);
    return entry;
  }

  // Sends `cmd`; resolves with its result or rejects with a BridgeError. `timeoutMs` overrides
  // the command's time-out (0: wait for ever).
  function call(cmd, payload = {}, { timeoutMs } = {}) {
    if (typeof post !== 'function') {
      return Promise.reject(new BridgeError('unavailable', 'Marlune Studio is not connected.', cmd));
    }
    const id = `p${nextId++}`;
    const limit = timeoutMs ?? timeouts[cmd] ?? defaultTimeoutMs;
    return new Promise((resolve, reject) => {
      const entry = { cmd, resolve, reject, timer: null };
      pending.set(id, entry);
      if (limit > 0) {
        entry.timer = timers.setTimeout(() => {
          if (!settle(id)) return;
          reject(new BridgeError('timeout', `Marlune did not answer in time (${cmd}).`, cmd));
          onTimeout?.(cmd);
        }, limit);
      }
      try {
        post({ id, cmd, payload });
      } catch (error) {
        settle(id);
        reject(new BridgeError('unavailable', error?.message || 'Marlune Studio is not connected.',
                               cmd));
      }
    });
  }

  // One reply from the native side. Replies for unknown ids (answered twice, or after their
  // time-out) are ignored.
  function deliver(reply) {
    if (!reply || typeof reply !== 'object') return;
    const entry = settle(reply.id);
    if (!entry) return;
    if (reply.ok === true) {
      entry.resolve(reply.result ?? {});
    } else {
      const code = typeof reply.error?.code === 'string' ? reply.error.code : 'error';
      const message = typeof reply.error?.message === 'string' && reply.error.message
        ? reply.error.message
        : `${entry.cmd} failed.`;
      entry.reject(new BridgeError(code, message, entry.cmd));
    }
  }

  // Calls `fn(data, name)` for every event named `name` ("*" hears all). Returns the unsubscriber.
  function on(name, fn) {
    if (!listeners.has(name)) listeners.set(name, new Set());
    listeners.get(name).add(fn);
    return () => listeners.get(name)?.delete(fn);
  }

  // One event from the native side. A listener that throws does not keep the others from
  // hearing it; `report(error)` gets the exception.
  function dispatchEvent(event, report = () => {}) {
    if (!event || typeof event !== 'object' || typeof event.name !== 'string') return;
    const data = event.data && typeof event.data === 'object' ? event.data : {};
    const notify = (fn) => {
      try {
        fn(data, event.name);
      } catch (error) {
        report(error);
      }
    };
    for (const fn of [...(listeners.get(event.name) ?? [])]) notify(fn);
    for (const fn of [...(listeners.get('*') ?? [])]) notify(fn);
  }

  // Fails every request still waiting (the page is going away).
  function closeAll(message = 'Marlune Studio closed the connection.') {
    for (const id of [...pending.keys()]) {
      const entry = settle(id);
      entry.reject(new BridgeError('closed', message, entry.cmd));
    }
  }

  return { call, deliver, on, dispatchEvent, closeAll, pendingCount: () => pending.size };
}
