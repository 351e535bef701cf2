// The Webcam panel: the webcam bubble's shape, place and size, for recordings made with it.

import { el } from '../../dom.js';
import { projectTracks, webcamCorners } from '../../edit_model.js';
import { bindRange, bindSelect, bindSwitch, onRender, percent, trackPanel } from './controls.js';

const SHAPES = [['squircle', 'Rounded square'], ['circle', 'Circle'], ['wide', 'Wide']];
const PLACES = [['bottom-right', 'Bottom right'], ['bottom-left', 'Bottom left'],
                ['top-right', 'Top right'], ['top-left', 'Top left'],
                ['bottom-center', 'Bottom centre'], ['top-center', 'Top centre'],
                ['center-left', 'Left'], ['center-right', 'Right'], ['center', 'Centre'],
                ['custom', 'Custom']];
// Lengths in 1/1080 of the picture: pixels of a 1080p export.
const px = (v) => `${Math.round(v)} px`;

export function webcamPanel() {
  const none = el('p', { className: 'muted small-note',
                         text: 'This recording was made without the webcam.' });
  // A place of one's own: across and down the room the bubble leaves, as the presets are.
  const custom = el('div', { className: 'field-group', id: 'edit-webcam-custom' },
    bindRange({ label: 'Across', section: 'webcam', key: 'positionX', min: 0, max: 100, step: 1,
                scale: 100, format: (v) => percent(v * 100), id: 'edit-webcam-x' }),
    bindRange({ label: 'Down', section: 'webcam', key: 'positionY', min: 0, max: 100, step: 1,
                scale: 100, format: (v) => percent(v * 100), id: 'edit-webcam-y' }));
  onRender((edit) => { custom.hidden = edit.webcam.positionPreset !== 'custom'; });
  const fields = el('div', {},
    bindSwitch({ label: 'Show the webcam', section: 'webcam', key: 'enabled', id: 'edit-webcam' }),
    bindSelect({ label: 'Shape', section: 'webcam', key: 'shape', id: 'edit-webcam-shape',
                 options: SHAPES }),
    bindSelect({ label: 'Place', section: 'webcam', key: 'positionPreset', id: 'edit-webcam-place',
                 options: PLACES }),
    custom,
    bindRange({ label: 'Size', section: 'webcam', key: 'size', min: 10, max: 60, step: 1,
                format: percent, id: 'edit-webcam-size' }),
    bindRange({ label: 'Corners', section: 'webcam', key: 'cornerRadius', min: 0, max: 200,
                step: 2, format: px, id: 'edit-webcam-corners',
                read: (edit) => webcamCorners(edit.webcam) }),
    bindRange({ label: 'Shadow', section: 'webcam', key: 'shadow', min: 0, max: 100, step: 1,
                scale: 100, format: (v) => percent(v * 100), id: 'edit-webcam-shadow' }),
    bindRange({ label: 'Margin', section: 'webcam', key: 'margin', min: 0, max: 160, step: 2,
                format: px, id: 'edit-webcam-margin' }),
    bindSwitch({ label: 'Mirror', section: 'webcam', key: 'mirror', id: 'edit-webcam-mirror' }),
    bindSwitch({ label: 'Shrink while zoomed', section: 'webcam', key: 'reactToZoom',
                 id: 'edit-webcam-react' }));
  return trackPanel('Webcam', 'webcam', none, fields,
                    (project) => projectTracks(project).webcam !== null);
}
