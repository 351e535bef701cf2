// The bridge bound to the application's window: commands go to the "marlune" message handler,
// replies and events come back through the two globals the native side calls. Both globals are
// defined when this module is evaluated, before anyone can send "app.ready".

import { BridgeError, createBridgeClient, isTimeout, isUnsupported } from './bridge_client.js';

export { BridgeError, isTimeout, isUnsupported };

function nativeHandler() {
  return window.webkit?.messageHandlers?.marlune ?? null;
}

const timeoutListeners = new Set();
const answerListeners = new Set();

const client = createBridgeClient({
  post: nativeHandler() ? (message) => nativeHandler().postMessage(message) : undefined,
  onTimeout: (cmd) => {
    for (const fn of timeoutListeners) fn(cmd);
  },
});

// True inside the application's window.
export function isAvailable() {
  return nativeHandler() !== null;
}

// Sends a command; resolves with its result or rejects with a BridgeError.
export function call(cmd, payload, options) {
  const reply = client.call(cmd, payload, options);
  reply.then(() => { for (const fn of answerListeners) fn(cmd); }, () => {});
  return reply;
}

// Calls `fn(data, name)` for every event named `name` ("*" hears every event). Returns a function
// that unsubscribes.
export const on = client.on;

// Calls `fn(cmd)` whenever a command is given up on for lack of an answer.
export function onTimeout(fn) {
  timeoutListeners.add(fn);
  return () => timeoutListeners.delete(fn);
}

// Calls `fn(cmd)` whenever a command is answered with success.
export function onAnswer(fn) {
  answerListeners.add(fn);
  return () => answerListeners.delete(fn);
}

window.__marluneDeliver = (reply) => client.deliver(reply);
window.__marluneEvent = (event) => client.dispatchEvent(event, (error) => console.error(error));
