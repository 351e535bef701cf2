// The sound of a recording drawn as bars on a canvas, at the screen's pixel density: the library's
// trim waveform and the editor's timeline share it.

import { columnsFromPeaks } from './trim_model.js';

// Sizes `canvas` to the space it is shown in and draws `peaks` (values 0 to 1) across it; without
// peaks it is left empty. The colour is the `--wave` property as `colourFrom` sees it.
export function drawWaveform(canvas, peaks, colourFrom = canvas) {
  const ratio = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
  canvas.width = width;
  canvas.height = height;
  const g = canvas.getContext('2d');
  g.clearRect(0, 0, width, height);
  if (!Array.isArray(peaks)) return;
  g.fillStyle = getComputedStyle(colourFrom).getPropertyValue('--wave').trim() || '#8b7cf6';
  const step = Math.max(1, Math.round(2 * ratio));
  const mid = height / 2;
  columnsFromPeaks(peaks, Math.floor(width / step)).forEach((v, i) => {
    const h = Math.max(ratio, v * (height - 4 * ratio));
    g.fillRect(i * step, mid - h / 2, Math.max(1, step - ratio), h);
  });
}
