// Small helpers for building the page's elements.

// `el('button', {className: 'x', text: 'Go', onclick: fn, 'aria-label': 'Go'}, child…)`.
// Attributes whose value is null, undefined or false are left out; `true` sets an empty one.
export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === null || value === undefined || value === false) continue;
    if (name === 'className') node.className = value;
    else if (name === 'text') node.textContent = value;
    else if (name === 'dataset') Object.assign(node.dataset, value);
    else if (name.startsWith('on') && typeof value === 'function') {
      node.addEventListener(name.slice(2), value);
    } else node.setAttribute(name, value === true ? '' : String(value));
  }
  node.append(...children.flat().filter((c) => c !== null && c !== undefined && c !== false));
  return node;
}

export const $ = (id) => document.getElementById(id);

// True while the keyboard's focus is somewhere typing goes (so single-key shortcuts stay out).
export function isTyping(target = document.activeElement) {
  if (!target) return false;
  if (target.isContentEditable) return true;
  const tag = target.tagName;
  if (tag === 'TEXTAREA' || tag === 'SELECT') return true;
  if (tag !== 'INPUT') return false;
  return !['checkbox', 'radio', 'range', 'button', 'submit'].includes(target.type);
}

// A state shown in place of a list: loading, empty or error, with optional actions
// ({label, onClick, primary}).
export function stateNote(kind, title, detail = '', actions = []) {
  return el('div', { className: `state-note ${kind}`, role: kind === 'error' ? 'alert' : null },
    el('p', { className: 'state-title', text: title }),
    detail ? el('p', { className: 'state-detail', text: detail }) : null,
    actions.length ? el('div', { className: 'state-actions' },
      actions.map(({ label, onClick, primary }) => el('button', {
        type: 'button', className: `button ${primary ? 'primary' : 'ghost'}`, text: label,
        onclick: onClick,
      }))) : null);
}

// Follows a pressed pointer from its `pointerdown` `event` on `target` until it is let go:
// `onMove(e)` for each move once it has gone `threshold` pixels sideways (so that a click is not a
// drag), `onEnd(e)` once when it is released or cancelled. The pointer is captured, so that its
// events keep coming to `target` when it leaves it; a pointer that is not pressed (events made by
// a script) cannot be captured, and the drag then still works over the target.
export function drag(target, event, { onMove, onEnd, threshold = 0 }) {
  const startX = event.clientX;
  let moved = threshold <= 0;
  try {
    target.setPointerCapture(event.pointerId);
  } catch {
    // Not a pressed pointer: nothing to keep.
  }
  const move = (e) => {
    if (!moved && Math.abs(e.clientX - startX) < threshold) return;
    moved = true;
    onMove?.(e);
  };
  const end = (e) => {
    target.removeEventListener('pointermove', move);
    target.removeEventListener('pointerup', end);
    target.removeEventListener('pointercancel', end);
    onEnd?.(e);
  };
  target.addEventListener('pointermove', move);
  target.addEventListener('pointerup', end);
  target.addEventListener('pointercancel', end);
  event.preventDefault();
}
