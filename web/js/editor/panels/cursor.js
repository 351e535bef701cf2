// The Cursor panel: how the recorded pointer is drawn, for recordings made with the smoothed
// cursor (whose path is in the project file).

import { el } from '../../dom.js';
import { projectTracks } from '../../edit_model.js';
import { amount, bindRange, bindSelect, bindSwitch, onRender, times, trackPanel }
  from './controls.js';

const STYLES = [['arrow', 'Arrow'], ['system', 'Classic'], ['tahoe', 'Tahoe'],
                ['tahoe-inverted', 'Tahoe dark'], ['figma', 'Figma'], ['dot', 'Dot'],
                ['invert', 'Inverted arrow']];

const slider = (label, key, id) => bindRange({ label, section: 'cursor', key, min: 0, max: 1,
                                               step: 0.05, format: amount, id });

export function cursorPanel() {
  const none = el('p', { className: 'muted small-note', text: 'The cursor is part of the '
    + 'recorded picture: record with the smoothed cursor to restyle it here.' });
  const fields = el('div', {},
    bindSwitch({ label: 'Show the cursor', section: 'cursor', key: 'render', id: 'edit-cursor' }),
    bindSelect({ label: 'Style', section: 'cursor', key: 'style', id: 'edit-cursor-style',
                 options: STYLES }),
    bindRange({ label: 'Size', section: 'cursor', key: 'size', min: 1, max: 3, step: 0.1,
                format: times, id: 'edit-cursor-size' }),
    slider('Smoothing', 'smooth', 'edit-cursor-smooth'),
    slider('Tilt', 'sway', 'edit-cursor-sway'),
    slider('Click bounce', 'bounce', 'edit-cursor-bounce'),
    slider('Motion blur', 'motionBlur', 'edit-cursor-blur'),
    bindSwitch({ label: 'Click ripple', section: 'cursor', key: 'ripple', id: 'edit-ripple' }));
  // Why the click effects have nothing to show, when the recording knew it could not see clicks.
  const noClicks = el('p', { className: 'muted small-note', id: 'edit-no-clicks' });
  onRender((edit, state) => {
    const reason = projectTracks(state.project).missing.clicks;
    noClicks.hidden = !reason;
    noClicks.textContent = reason ?? '';
  });
  const section = trackPanel('Cursor', 'cursor', none, fields,
                             (project) => projectTracks(project).cursorPath.length > 0);
  section.append(noClicks);
  return section;
}
