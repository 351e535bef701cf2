// The page's half of the message bridge. This module alone talks to the native side: `call`
// posts a command and returns a promise for its reply, `on` subscribes to native events.
//
// Wire shapes: the page posts {id, cmd, payload} to the "marlune" message handler; the native
// side answers each command exactly once through window.__marluneDeliver({id, ok, result|error})
// and pushes events through window.__marluneEvent({name, data}). Both globals are defined when
// this module is evaluated, before anyone can send "app.ready".

const pending = new Map();
const listeners = new Map();
let nextId = 1;

// A failed reply: `code` is "error" or "unknown_command"; `message` is meant for people.
export class BridgeError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'BridgeError';
    this.code = code;
  }
}

function nativeHandler() {
  return window.webkit?.messageHandlers?.marlune ?? null;
}

// True inside the application's window.
export function isAvailable() {
  return nativeHandler() !== null;
}

// Sends a command; resolves with its result or rejects with a BridgeError.
export function call(cmd, payload = {}) {
  const handler = nativeHandler();
  if (!handler) {
    return Promise.reject(new BridgeError('unavailable', 'Marlune Studio is not connected.'));
  }
  const id = `p${nextId++}`;
  return new Promise((resolve, reject) => {
    pending.set(id, { resolve, reject });
    try {
      handler.postMessage({ id, cmd, payload });
    } catch (error) {
      pending.delete(id);
      reject(error);
    }
  });
}

// Calls `fn(data)` for every event named `name` ("*" receives every event as `fn(data, name)`).
// Returns a function that unsubscribes.
export function on(name, fn) {
  if (!listeners.has(name)) listeners.set(name, new Set());
  listeners.get(name).add(fn);
  return () => listeners.get(name)?.delete(fn);
}

window.__marluneDeliver = (reply) => {
  const entry = pending.get(reply?.id);
  if (!entry) return;
  pending.delete(reply.id);
  if (reply.ok) {
    entry.resolve(reply.result);
  } else {
    entry.reject(new BridgeError(reply.error?.code ?? 'error', reply.error?.message ?? ''));
  }
};

window.__marluneEvent = (event) => {
  const data = event?.data ?? {};
  const notify = (fn) => {
    try {
      fn(data, event?.name);
    } catch (error) {
      console.error(error);
    }
  };
  for (const fn of listeners.get(event?.name) ?? []) notify(fn);
  for (const fn of listeners.get('*') ?? []) notify(fn);
};
