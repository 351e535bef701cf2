// The Keystrokes panel: the recorded shortcuts shown over the picture, for recordings that kept
// key presses.

import { el } from '../../dom.js';
import { keysMissing, recordedKeys, setKeys, settleKeys } from '../../keystroke_model.js';
import { store } from '../store.js';
import { onRender, panel } from './controls.js';

const PLACES = [['bottom-center', 'Bottom centre'], ['bottom-left', 'Bottom left'],
                ['bottom-right', 'Bottom right'], ['top-center', 'Top centre'],
                ['top-left', 'Top left'], ['top-right', 'Top right']];
const STYLES = [['dark', 'Dark'], ['light', 'Light']];

// Shows (`record` false) or records a change of the overlay.
function change(patch, record) {
  const next = setKeys(store.state.history.current, patch);
  if (record) store.commit(next);
  else store.show(next);
}

function field(label, id, input) {
  return el('div', { className: 'field' }, el('label', { for: id, text: label }), input);
}

export function keystrokesPanel() {
  const none = el('p', { className: 'muted small-note', id: 'edit-no-keys' });
  const show = el('input', { id: 'edit-keys', type: 'checkbox', role: 'switch' });
  show.addEventListener('change', () => change({ enabled: show.checked }, true));
  const place = el('select', { id: 'edit-keys-place' },
    PLACES.map(([value, text]) => el('option', { value, text })));
  place.addEventListener('change', () => change({ position: place.value }, true));
  const style = el('select', { id: 'edit-keys-style' },
    STYLES.map(([value, text]) => el('option', { value, text })));
  style.addEventListener('change', () => change({ style: style.value }, true));
  const size = el('input', { type: 'range', min: '50', max: '200', step: '10',
                             id: 'edit-keys-size', 'aria-label': 'Size' });
  const sizeOut = el('output', { for: 'edit-keys-size' });
  size.addEventListener('input', () => change({ size: Number(size.value) / 100 }, false));
  size.addEventListener('change', () => change({ size: Number(size.value) / 100 }, true));
  const fields = el('div', {},
    field('Show keystrokes', 'edit-keys', el('span', { className: 'switch' }, show, el('span'))),
    field('Place', 'edit-keys-place', place),
    el('div', { className: 'field' }, el('label', { for: 'edit-keys-size', text: 'Size' }),
      el('span', { className: 'range' }, size, sizeOut)),
    field('Style', 'edit-keys-style', style));
  onRender((edit, state) => {
    const count = recordedKeys(state.project).length;
    none.hidden = count > 0;
    fields.hidden = count === 0;
    none.textContent = keysMissing(state.project)
      ?? 'No shortcuts were pressed in this recording.';
    const keys = settleKeys(edit.keys);
    show.checked = keys.enabled;
    place.value = keys.position;
    style.value = keys.style;
    if (document.activeElement !== size) size.value = String(Math.round(keys.size * 100));
    sizeOut.textContent = `${Math.round(keys.size * 100)} %`;
  });
  return panel('Keystrokes', 'keys', none, fields);
}
