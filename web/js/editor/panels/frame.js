// The Frame panel: the padding, corners, shadow and outline around the recording; none of them
// apply without a background.

import { el } from '../../dom.js';
import { bindRange, onRender, panel, percent } from './controls.js';

export function framePanel() {
  const fields = el('div', { className: 'frame-fields' },
    bindRange({ label: 'Padding', section: 'frame', key: 'paddingPct', min: 0, max: 40, step: 1,
                format: percent, id: 'edit-padding' }),
    bindRange({ label: 'Corners', section: 'frame', key: 'radiusPct', min: 0, max: 20, step: 0.5,
                format: percent, id: 'edit-radius' }),
    bindRange({ label: 'Shadow', section: 'frame', key: 'shadowPct', min: 0, max: 100, step: 1,
                format: percent, id: 'edit-shadow' }),
    bindRange({ label: 'Outline', section: 'frame', key: 'outlinePct', min: 0, max: 4, step: 0.1,
                format: (v) => `${v.toFixed(1)} %`, id: 'edit-outline' }));
  const none = el('p', { className: 'muted small-note',
                         text: 'With no background the recording fills the whole picture.' });
  onRender((edit) => {
    const off = edit.frame.type === 'none';
    none.hidden = !off;
    for (const input of fields.querySelectorAll('input')) input.disabled = off;
  });
  return panel('Frame', 'frame', fields, none);
}
