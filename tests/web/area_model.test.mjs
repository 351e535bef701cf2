import assert from 'node:assert/strict';
import { test } from 'node:test';

import { areaFromCorners, clampArea, initialArea, movedArea, presetArea, presetsThatFit,
         resizedArea } from '../../web/js/area_model.js';

const box = (a) => [a.x, a.y, a.width, a.height];

test('areas stay whole, on the display and at least 16 points; presets only when they fit', () => {
  const [W, H] = [1920, 1080];
  for (const [why, got, want] of [
    ['first offer', initialArea(W, H), [320, 180, 1280, 720]],
    ['first offer on a small display', initialArea(1000, 600), [100, 60, 800, 480]],
    ['typed past the right edge', clampArea({ x: 1800, y: 10.4, width: 400, height: 300 }, W, H),
     [1520, 10, 400, 300]],
    ['typed too small or not a number', clampArea({ x: NaN, y: 5, width: 3, height: 'x' }, W, H),
     [0, 5, 16, 16]],
    ['larger than the display', clampArea({ x: 0, y: 0, width: 5000, height: 5000 }, W, H),
     [0, 0, 1920, 1080]],
    ['drawn up and left, past the edge', areaFromCorners({ x: 500, y: 400 }, { x: -50, y: 100 },
                                                         W, H), [0, 100, 500, 300]],
    ['moved against the bottom right', movedArea({ x: 1000, y: 500, width: 800, height: 500 },
                                                 400, 400, W, H), [1120, 580, 800, 500]],
    ['resized past the edge keeps its corner', resizedArea({ x: 1000, y: 500, width: 800,
                                                             height: 500 }, 400, -600, W, H),
    [1000, 500, 920, 16]],
    ['a preset around the middle, pushed inside', presetArea([1280, 720], { x: 1800, y: 1000,
                                                                            width: 100,
                                                                            height: 60 }, W, H),
    [640, 360, 1280, 720]],
  ]) {
    assert.deepEqual(box(got), want, why);
  }
  assert.deepEqual(presetsThatFit(W, H), [[1280, 720], [1920, 1080], [1080, 1080]]);
  assert.deepEqual(presetsThatFit(1080, 1920), [[1080, 1080], [1080, 1920]]);
  assert.deepEqual(presetsThatFit(800, 600), []);
});
