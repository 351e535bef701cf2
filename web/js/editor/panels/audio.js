// The Audio panel: the microphone's and the system sound's volumes in the export.

import { amount, bindRange, panel } from './controls.js';

export function audioPanel() {
  return panel('Audio', 'audio',
    bindRange({ label: 'Microphone', section: 'audio', key: 'mic', min: 0, max: 200, step: 5,
                scale: 100, format: amount, id: 'edit-mic' }),
    bindRange({ label: 'System audio', section: 'audio', key: 'system', min: 0, max: 200, step: 5,
                scale: 100, format: amount, id: 'edit-system' }));
}
