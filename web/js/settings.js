// The recording settings form. Each control saves its own setting with "settings.set" as soon as
// it changes; the form then shows what the application stored (which may be clamped, e.g. a
// webcam zoom of 5 comes back as 2).

import { call } from './bridge.js';

const GROUPS = [
  {
    title: 'Capture',
    fields: [
      { key: 'fps', label: 'Frame rate', kind: 'select', numeric: true,
        options: [[30, '30 fps'], [60, '60 fps']] },
      { key: 'capHeight', label: 'Largest height', kind: 'select', numeric: true,
        options: [[720, '720p'], [1080, '1080p'], [1440, '1440p'], [2160, '2160p']] },
      { key: 'cursorMode', label: 'Cursor', kind: 'select',
        options: [['smooth', 'Smoothed and restyled'], ['system', 'As recorded']] },
      { key: 'showCursor', label: 'Show the cursor', kind: 'switch' },
      { key: 'countdown', label: 'Countdown', kind: 'select', numeric: true,
        options: [[0, 'None'], [3, '3 seconds'], [5, '5 seconds']] },
      { key: 'hideWindow', label: 'Hide this window while recording', kind: 'switch' },
      // Off: only shortcuts (with Ctrl, Alt or Super) and keys like Enter, Esc and the arrows.
      { key: 'recordAllKeys', label: 'Record all keys', kind: 'switch' },
    ],
  },
  {
    title: 'Audio',
    fields: [
      { key: 'micEnabled', label: 'Microphone', kind: 'switch' },
      // Filled with the sound server's inputs by setMicrophones.
      { key: 'micInput', label: 'Microphone input', kind: 'select',
        options: [['', 'System default']] },
      { key: 'systemAudioEnabled', label: 'System audio', kind: 'switch' },
    ],
  },
  {
    title: 'Webcam',
    fields: [
      { key: 'webcamEnabled', label: 'Webcam bubble', kind: 'switch' },
      { key: 'webcamCorner', label: 'Corner', kind: 'select',
        options: [['tl', 'Top left'], ['tr', 'Top right'], ['bl', 'Bottom left'],
                  ['br', 'Bottom right']] },
      { key: 'webcamSize', label: 'Size', kind: 'select',
        options: [['s', 'Small'], ['m', 'Medium'], ['l', 'Large']] },
      { key: 'webcamShape', label: 'Shape', kind: 'select',
        options: [['circle', 'Circle'], ['squircle', 'Rounded square'], ['wide', 'Wide']] },
      { key: 'webcamRing', label: 'Ring', kind: 'switch' },
      { key: 'webcamZoom', label: 'Zoom', kind: 'range', min: 1, max: 2, step: 0.05 },
    ],
  },
];

function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'className') node.className = value;
    else if (name === 'text') node.textContent = value;
    else node.setAttribute(name, value);
  }
  node.append(...children);
  return node;
}

function control(field) {
  const id = `setting-${field.key}`;
  if (field.kind === 'switch') {
    const input = element('input', { id, type: 'checkbox', role: 'switch' });
    return { input, node: element('span', { className: 'switch' }, input, element('span')) };
  }
  if (field.kind === 'range') {
    const input = element('input', { id, type: 'range', min: field.min, max: field.max,
                                     step: field.step });
    const output = element('output', { for: id });
    input.addEventListener('input', () => {
      output.textContent = `${Number(input.value).toFixed(2)}×`;
    });
    return { input, output, node: element('span', { className: 'range' }, input, output) };
  }
  const input = element('select', { id });
  for (const [v, text] of field.options) input.append(element('option', { value: String(v), text }));
  return { input, node: input };
}

// Shows `value` in a control made by `control`, in place: the focus and what a screen reader
// has read stay.
function show(field, { input, output }, value) {
  if (value === undefined || value === null) return;
  if (field.kind === 'switch') {
    input.checked = value === true;
  } else if (field.kind === 'range') {
    input.value = value;
    output.textContent = `${Number(input.value).toFixed(2)}×`;
  } else {
    // A stored value the list does not offer stays selectable rather than being silently
    // replaced.
    if (![...input.options].some((o) => o.value === String(value))) {
      input.append(element('option', { value: String(value), text: `Custom (${value})` }));
    }
    input.value = String(value);
  }
}

function readValue(field, input) {
  if (field.kind === 'switch') return input.checked;
  if (field.kind === 'range' || field.numeric) return Number(input.value);
  return input.value;
}

const built = new WeakMap();  // form → [{field, control}]

// Fills `form` with one control per setting, the first time; later calls show `settings` in the
// same controls. `onSaved(settings)` and `onError(error)` report the outcome of each change.
export function renderSettings(form, settings, { onSaved, onError } = {}) {
  let controls = built.get(form);
  if (!controls) {
    controls = [];
    form.replaceChildren();
    for (const group of GROUPS) {
      const fieldset = element('fieldset', {}, element('legend', { text: group.title }));
      for (const field of group.fields) {
        const made = control(field);
        const { input } = made;
        controls.push({ field, made });
        input.addEventListener('change', async () => {
          // Busy rather than disabled: a disabled control loses the keyboard's focus.
          input.setAttribute('aria-busy', 'true');
          try {
            const stored = await call('settings.set', { [field.key]: readValue(field, input) });
            renderSettings(form, stored);
            onSaved?.(stored);
          } catch (error) {
            onError?.(error);
          } finally {
            input.removeAttribute('aria-busy');
          }
        });
        fieldset.append(element('label', { className: 'field', for: input.id },
                                element('span', { className: 'label', text: field.label }),
                                made.node));
      }
      form.append(fieldset);
    }
    built.set(form, controls);
  }
  for (const { field, made } of controls) show(field, made, settings?.[field.key]);
}

// Offers the sound server's `inputs` ([{name, description, default}]) in the form's microphone
// list, after "System default", keeping the chosen one (a chosen input that is gone stays listed
// as such until another is chosen).
export function setMicrophones(form, inputs, settings) {
  const select = form.querySelector('#setting-micInput');
  if (!select) return;
  const chosen = settings?.micInput ?? select.value;
  const offered = [['', 'System default'],
    ...inputs.filter((i) => typeof i?.name === 'string' && i.name)
      .map((i) => [i.name, i.description || i.name])];
  const same = offered.length === select.options.length &&
    offered.every(([v, t], k) => select.options[k].value === v && select.options[k].text === t);
  if (!same) {
    select.replaceChildren(...offered.map(([v, text]) => element('option', { value: v, text })));
  }
  if (chosen && !offered.some(([v]) => v === chosen)) {
    select.append(element('option', { value: chosen, text: 'Unplugged input' }));
  }
  select.value = chosen ?? '';
}
