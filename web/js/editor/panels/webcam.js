// The Webcam panel: the webcam bubble's shape, place and size, for recordings made with it.

import { el } from '../../dom.js';
import { projectTracks } from '../../edit_model.js';
import { bindRange, bindSelect, bindSwitch, percent, trackPanel } from './controls.js';

const SHAPES = [['squircle', 'Rounded square'], ['circle', 'Circle'], ['wide', 'Wide']];
const PLACES = [['bottom-right', 'Bottom right'], ['bottom-left', 'Bottom left'],
                ['top-right', 'Top right'], ['top-left', 'Top left'],
                ['bottom-center', 'Bottom centre'], ['top-center', 'Top centre'],
                ['center-left', 'Left'], ['center-right', 'Right'], ['center', 'Centre']];

export function webcamPanel() {
  const none = el('p', { className: 'muted small-note',
                         text: 'This recording was made without the webcam.' });
  const fields = el('div', {},
    bindSwitch({ label: 'Show the webcam', section: 'webcam', key: 'enabled', id: 'edit-webcam' }),
    bindSelect({ label: 'Shape', section: 'webcam', key: 'shape', id: 'edit-webcam-shape',
                 options: SHAPES }),
    bindSelect({ label: 'Place', section: 'webcam', key: 'positionPreset', id: 'edit-webcam-place',
                 options: PLACES }),
    bindRange({ label: 'Size', section: 'webcam', key: 'size', min: 10, max: 60, step: 1,
                format: percent, id: 'edit-webcam-size' }),
    bindSwitch({ label: 'Mirror', section: 'webcam', key: 'mirror', id: 'edit-webcam-mirror' }),
    bindSwitch({ label: 'Shrink while zoomed', section: 'webcam', key: 'reactToZoom',
                 id: 'edit-webcam-react' }));
  return trackPanel('Webcam', 'webcam', none, fields,
                    (project) => projectTracks(project).webcam !== null);
}
