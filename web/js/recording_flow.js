// What the page knows of the recording in progress, kept from the application's "state",
// "countdown" and "tick" events, and what the window should look like for it. Pure; no DOM.

export const PHASES = Object.freeze(['idle', 'countdown', 'preparing', 'recording', 'paused',
                                     'stopping']);

// The compact bar's size in pixels (the window becomes exactly this size in bar mode).
export const BAR_SIZE = Object.freeze({ w: 340, h: 56 });

export function initialFlow() {
  return { phase: 'idle', elapsedMs: 0, countdown: null };
}

function count(value) {
  return typeof value === 'number' && Number.isFinite(value) && value >= 0 ? Math.trunc(value)
    : null;
}

// The flow after one event. Events of other names, and data of the wrong shape, change nothing.
export function applyEvent(flow, name, data = {}) {
  switch (name) {
    case 'state': {
      if (!PHASES.includes(data.phase)) return flow;
      const next = { ...flow, phase: data.phase };
      const elapsed = count(data.elapsedMs);
      if (elapsed !== null) next.elapsedMs = elapsed;
      if (data.phase !== 'countdown') next.countdown = null;
      // A new recording counts from zero, whatever the last one reached.
      if (data.phase === 'countdown' || data.phase === 'preparing') next.elapsedMs = 0;
      return next;
    }
    case 'countdown': {
      const n = count(data.n);
      if (n === null) return flow;
      return { ...flow, countdown: n > 0 ? n : null };
    }
    case 'tick': {
      const elapsed = count(data.elapsedMs);
      return elapsed === null ? flow : { ...flow, elapsedMs: elapsed };
    }
    default:
      return flow;
  }
}

export function isActive(flow) {
  return flow.phase !== 'idle';
}

// How the window shows the flow: "normal" (the app), "countdown" (the app under the big number)
// or "bar" (the compact recording bar). A recording that hides the window shows no bar: the
// window stays hidden until the recording ends.
export function viewFor(flow, { hideWindow = false } = {}) {
  if (flow.phase === 'countdown' || flow.phase === 'preparing') return 'countdown';
  if (flow.phase === 'recording' || flow.phase === 'paused' || flow.phase === 'stopping') {
    return hideWindow ? 'normal' : 'bar';
  }
  return 'normal';
}

// The bar's controls: which are usable in the current phase.
export function barControls(flow) {
  return {
    pause: flow.phase === 'recording',
    resume: flow.phase === 'paused',
    stop: flow.phase === 'recording' || flow.phase === 'paused',
    discard: flow.phase === 'recording' || flow.phase === 'paused',
  };
}

export function phaseLabel(flow) {
  switch (flow.phase) {
    case 'countdown': return 'Starting';
    case 'preparing': return 'Getting ready';
    case 'recording': return 'Recording';
    case 'paused': return 'Paused';
    case 'stopping': return 'Saving';
    default: return 'Ready';
  }
}
