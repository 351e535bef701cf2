// Controls bound to the edit for the editor's panels. Each control registers how it shows the
// edit; they are all brought up to date once per frame in which the edit, the chosen region, the
// project or the movie changed. Moving a slider shows the change; letting it go records it.

import { el } from '../../dom.js';
import { setSection } from '../../edit_model.js';
import { store } from '../store.js';

const syncs = [];

// `sync(edit, state)` shows the current edit in a control.
export function onRender(sync) {
  syncs.push(sync);
}

export function renderControls(edit, state) {
  for (const sync of syncs) sync(edit, state);
}

// Shows (`record` false) or records a change of one value of a section of the edit.
export function setValue(section, key, value, record) {
  const next = setSection(store.state.history.current, section, { [key]: value });
  if (record) store.commit(next);
  else store.show(next);
}

export const percent = (v) => `${Math.round(v)} %`;
export const amount = (v) => `${Math.round(v * 100)} %`;
export const times = (v) => `${v.toFixed(1)}×`;

// `read(edit)`: the value shown when the edit holds none of its own (a default that depends on
// other settings).
export function bindRange({ label, section, key, min, max, step, format, id, scale = 1,
                            read = (edit) => edit[section][key] }) {
  const input = el('input', { type: 'range', min: String(min), max: String(max),
                              step: String(step), id, 'aria-label': label });
  const output = el('output', { for: id });
  const value = () => Number(input.value) / scale;
  input.addEventListener('input', () => setValue(section, key, value(), false));
  input.addEventListener('change', () => setValue(section, key, value(), true));
  onRender((edit) => {
    const v = read(edit);
    if (document.activeElement !== input || Number(input.value) !== v * scale) {
      input.value = String(v * scale);
    }
    output.textContent = format(v);
  });
  return el('div', { className: 'field' }, el('label', { for: id, text: label }),
    el('span', { className: 'range' }, input, output));
}

export function bindSwitch({ label, section, key, id }) {
  const input = el('input', { id, type: 'checkbox', role: 'switch' });
  input.addEventListener('change', () => setValue(section, key, input.checked, true));
  onRender((edit) => { input.checked = edit[section][key] === true; });
  return el('div', { className: 'field' }, el('label', { for: id, text: label }),
    el('span', { className: 'switch' }, input, el('span')));
}

export function bindSelect({ label, section, key, id, options }) {
  const input = el('select', { id },
    options.map(([value, text]) => el('option', { value, text })));
  input.addEventListener('change', () => setValue(section, key, input.value, true));
  onRender((edit) => { input.value = String(edit[section][key]); });
  return el('div', { className: 'field' }, el('label', { for: id, text: label }), input);
}

export function bindColor({ label, key, id }) {
  const input = el('input', { type: 'color', id, className: 'color-input' });
  input.addEventListener('input', () => setValue('frame', key, input.value, false));
  input.addEventListener('change', () => setValue('frame', key, input.value, true));
  onRender((edit) => { input.value = edit.frame[key]; });
  return el('div', { className: 'field' }, el('label', { for: id, text: label }), input);
}

// A button that shows itself pressed while `isOn(edit)`.
export function toggleButton(attributes, isOn, ...children) {
  const button = el('button', { type: 'button', ...attributes }, ...children);
  onRender((edit) => button.setAttribute('aria-pressed', String(isOn(edit))));
  return button;
}

export function panel(title, key, ...children) {
  return el('section', { className: 'edit-panel', dataset: { panel: key },
                         'aria-labelledby': `panel-${key}` },
  el('h2', { id: `panel-${key}`, text: title }), ...children);
}

// A panel whose fields need a track the recording may not have: `none` says so instead.
export function trackPanel(title, key, none, fields, has) {
  onRender((edit, state) => {
    const there = has(state.project);
    none.hidden = there;
    fields.hidden = !there;
  });
  return panel(title, key, none, fields);
}
