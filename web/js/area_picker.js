// The area picker: a dialog over a picture of the chosen display where an area is dragged out,
// moved (drag it, or the arrows), resized (its corner handle, or Shift+arrows), typed to the point
// or set to a usual size. `openAreaPicker` answers the chosen area, or null when cancelled.

import { $, el } from './dom.js';
import { areaFromCorners, clampArea, initialArea, movedArea, presetArea, presetsThatFit,
         resizedArea } from './area_model.js';
import { formatDimensions } from './format.js';

const pct = (v, of) => `${(v / of) * 100}%`;

// `display`: {name, width, height} (points); `picture`: an image URL of it or empty; `area`: the
// area to start from, or null.
export function openAreaPicker({ display, picture, area }) {
  const W = display.width;
  const H = display.height;
  let current = area ? clampArea(area, W, H) : initialArea(W, H);
  const opener = document.activeElement;
  return new Promise((resolve) => {
    const fields = {};
    const number = (key, label) => {
      fields[key] = el('input', { type: 'number', id: `area-${key}`, min: '0', step: '1',
                                  inputmode: 'numeric' });
      fields[key].addEventListener('change', () => {
        show(clampArea({ ...current, [key]: Number(fields[key].value) }, W, H));
      });
      return el('label', { className: 'area-field', for: `area-${key}` },
        el('span', { text: label }), fields[key]);
    };
    const size = el('span', { className: 'area-size', 'aria-hidden': 'true' });
    const handle = el('span', { className: 'area-handle', 'aria-hidden': 'true' });
    const rect = el('div', { className: 'area-rect', id: 'area-rect', tabindex: '0',
                             role: 'group', 'aria-keyshortcuts': 'ArrowLeft ArrowRight ArrowUp ArrowDown',
                             title: 'Drag or use the arrows to move it; Shift+arrows resize it' },
    size, handle);
    const stage = el('div', { className: 'area-stage',
                                  style: `aspect-ratio: ${W} / ${H}; width: min(100%, calc(56vh * ${W / H}))` },
      picture ? el('img', { src: picture, alt: '', draggable: 'false' }) : null, rect);
    const presets = presetsThatFit(W, H).map(([w, h]) => el('button', {
      type: 'button', className: 'button small ghost', text: `${w} × ${h}`,
      dataset: { preset: `${w}x${h}` }, onclick: () => show(presetArea([w, h], current, W, H)),
    }));
    const done = (chosen) => {
      overlay.remove();
      document.removeEventListener('keydown', onEscape, true);
      opener?.focus?.();
      resolve(chosen);
    };
    const use = el('button', { type: 'button', className: 'button primary', id: 'area-use',
                               text: 'Use this area', onclick: () => done(current) });
    const overlay = el('div', { className: 'area-overlay', role: 'dialog', 'aria-modal': 'true',
                                'aria-labelledby': 'area-title' },
    el('div', { className: 'area-dialog card' },
      el('h2', { id: 'area-title', text: `Choose an area of ${display.name}` }),
      el('p', { className: 'muted', text: 'Drag on the picture to draw the area, drag it to ' +
                'move it and its corner to resize it. Only this part of the display is recorded.' }),
      stage,
      el('div', { className: 'area-fields' }, number('x', 'Left'), number('y', 'Top'),
        number('width', 'Width'), number('height', 'Height')),
      presets.length ? el('div', { className: 'area-presets', role: 'group',
                                   'aria-label': 'Usual sizes' }, presets) : null,
      el('div', { className: 'area-actions' },
        el('button', { type: 'button', className: 'button ghost', text: 'Cancel',
                       onclick: () => done(null) }), use)));

    function show(next) {
      current = next;
      Object.assign(rect.style, { left: pct(next.x, W), top: pct(next.y, H),
                                  width: pct(next.width, W), height: pct(next.height, H) });
      size.textContent = formatDimensions(next.width, next.height);
      rect.setAttribute('aria-label', `Area ${formatDimensions(next.width, next.height)} at ` +
                        `${next.x}, ${next.y}`);
      for (const key of Object.keys(fields)) {
        if (document.activeElement !== fields[key]) fields[key].value = String(next[key]);
      }
      for (const b of presets) {
        b.setAttribute('aria-pressed', String(b.dataset.preset === `${next.width}x${next.height}`));
      }
    }

    // Pointer positions in the display's points.
    const at = (event) => {
      const box = stage.getBoundingClientRect();
      return { x: ((event.clientX - box.left) / box.width) * W,
               y: ((event.clientY - box.top) / box.height) * H };
    };
    stage.addEventListener('pointerdown', (event) => {
      if (event.button !== 0) return;
      const from = at(event);
      const start = current;
      const mode = event.target === handle ? 'resize' : event.target.closest('.area-rect')
        ? 'move' : 'draw';
      try {
        stage.setPointerCapture(event.pointerId);
      } catch {
        // A pointer made by a script: the drag still works over the stage.
      }
      const move = (e) => {
        const to = at(e);
        if (mode === 'draw') show(areaFromCorners(from, to, W, H));
        else if (mode === 'move') show(movedArea(start, to.x - from.x, to.y - from.y, W, H));
        else show(resizedArea(start, to.x - from.x, to.y - from.y, W, H));
      };
      const end = () => {
        stage.removeEventListener('pointermove', move);
        stage.removeEventListener('pointerup', end);
        stage.removeEventListener('pointercancel', end);
      };
      stage.addEventListener('pointermove', move);
      stage.addEventListener('pointerup', end);
      stage.addEventListener('pointercancel', end);
      event.preventDefault();
    });
    rect.addEventListener('keydown', (event) => {
      const steps = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };
      const d = steps[event.key];
      if (!d || event.ctrlKey || event.altKey || event.metaKey) return;
      const n = event.shiftKey ? 10 : 1;
      show(event.shiftKey ? resizedArea(current, d[0] * n, d[1] * n, W, H)
        : movedArea(current, d[0] * n, d[1] * n, W, H));
      event.preventDefault();
      event.stopPropagation();
    });
    function onEscape(event) {
      if (event.key === 'Escape') {
        event.preventDefault();
        event.stopPropagation();
        done(null);
      }
    }
    document.addEventListener('keydown', onEscape, true);
    ($('app') ?? document.body).append(overlay);
    show(current);
    rect.focus();
  });
}
