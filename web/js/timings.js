// Moments the page reaches, as wall-clock milliseconds, for the speed measurements: each name
// keeps its first time. Read from outside as window.__marluneTimings.

const timings = {};
window.__marluneTimings = timings;

export function mark(name) {
  if (!(name in timings)) timings[name] = Date.now();
}
