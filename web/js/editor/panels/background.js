// The Background panel: none, a wallpaper, a gradient, a colour or a live background behind the
// recording.

import { el } from '../../dom.js';
import { setSection } from '../../edit_model.js';
import { backgrounds } from '../playback.js';
import { store } from '../store.js';
import { bindColor, bindRange, onRender, panel, toggleButton } from './controls.js';

const GRADIENTS = [
  ['#7f5af0', '#2cb1bc'], ['#ff7e5f', '#feb47b'], ['#1d2b64', '#f8cdda'], ['#0f2027', '#2c5364'],
  ['#ee9ca7', '#ffdde1'], ['#134e5e', '#71b280'],
];
const COLOURS = ['#1b1a26', '#0e1121', '#f4f5f9', '#ffffff', '#8b7cf6', '#2a8ea0', '#ff6b81',
                 '#f7b955'];
const TYPES = [['none', 'None'], ['wallpaper', 'Wallpaper'], ['gradient', 'Gradient'],
               ['color', 'Colour'], ['live', 'Live']];

const setFrame = (patch) => store.commit(setSection(store.state.history.current, 'frame', patch));

function pickType(type) {
  const edit = store.state.history.current;
  const patch = { type };
  // A wallpaper or live background needs one of its own kind.
  if (type === 'wallpaper' && !backgrounds.wallpapers.some((w) => w.id === edit.frame.id)) {
    patch.id = backgrounds.wallpapers[0]?.id ?? edit.frame.id;
  }
  if (type === 'live' && !backgrounds.live.some((w) => w.id === edit.frame.id)) {
    patch.id = backgrounds.live[0]?.id ?? edit.frame.id;
    const hex = backgrounds.live[0]?.hex;
    if (hex) patch.hex = hex;
  }
  setFrame(patch);
}

function thumbs(list, type) {
  return el('div', { className: 'wallpapers', dataset: { kind: type } },
    list.map((item) => toggleButton({
      className: 'wallpaper', 'aria-label': item.name, title: item.name, dataset: { id: item.id },
      onclick: () => setFrame({ type, id: item.id,
                                ...(type === 'live' && item.hex ? { hex: item.hex } : {}) }),
    }, (edit) => edit.frame.type === type && edit.frame.id === item.id,
    el('img', { src: item.thumb, alt: '', loading: 'lazy', draggable: 'false' }))));
}

const swatch = (label, style, patch, isOn) => toggleButton(
  { className: 'swatch', 'aria-label': label, title: label, style,
    onclick: () => setFrame(patch) }, isOn);

export function backgroundPanel() {
  const kinds = el('div', { className: 'segmented', role: 'group', 'aria-label': 'Background' },
    TYPES.map(([type, text]) => toggleButton({ text, dataset: { type },
                                               onclick: () => pickType(type) },
    (edit) => edit.frame.type === type)));
  const wallpapers = el('div', { className: 'bg-options', dataset: { for: 'wallpaper' } },
    thumbs(backgrounds.wallpapers, 'wallpaper'));
  const live = el('div', { className: 'bg-options', dataset: { for: 'live' } },
    thumbs(backgrounds.live, 'live'),
    el('p', { className: 'muted small-note', text: 'Loops behind the recording in the export.' }));
  const gradient = el('div', { className: 'bg-options', dataset: { for: 'gradient' } },
    el('div', { className: 'swatches' }, GRADIENTS.map(([from, to]) => swatch(
      `Gradient from ${from} to ${to}`, `background: linear-gradient(135deg, ${from}, ${to})`,
      { type: 'gradient', from, to },
      ({ frame: f }) => f.type === 'gradient' && f.from === from && f.to === to))),
    bindColor({ label: 'From', key: 'from', id: 'edit-from' }),
    bindColor({ label: 'To', key: 'to', id: 'edit-to' }),
    bindRange({ label: 'Angle', section: 'frame', key: 'angle', min: 0, max: 360, step: 5,
                format: (v) => `${Math.round(v)}°`, id: 'edit-angle' }));
  const colour = el('div', { className: 'bg-options', dataset: { for: 'color' } },
    el('div', { className: 'swatches' }, COLOURS.map((hex) => swatch(
      `Colour ${hex}`, `background: ${hex}`, { type: 'color', hex },
      (edit) => edit.frame.type === 'color' && edit.frame.hex === hex))),
    bindColor({ label: 'Colour', key: 'hex', id: 'edit-hex' }));
  onRender((edit) => {
    for (const box of [wallpapers, live, gradient, colour]) {
      box.hidden = box.dataset.for !== edit.frame.type;
    }
  });
  return panel('Background', 'background', kinds, wallpapers, live, gradient, colour);
}
