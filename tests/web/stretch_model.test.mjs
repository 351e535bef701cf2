import assert from 'node:assert/strict';
import { test } from 'node:test';

import { defaultEdit, exportPayload, restoreEdit } from '../../web/js/edit_model.js';
import { addStretch, moveStretch, outputLengthMs, removeStretch, setRate,
         settleStretches } from '../../web/js/stretch_model.js';

const edit = (extra = {}) => ({ ...defaultEdit(10000), ...extra });
const check = (cases, fn) => cases.forEach((c) => fn(...c));

test('saved cuts and speeds are settled as the export restores them', () => {
  check([
    // [saved, speed, settled]
    [undefined, false, []],
    ['junk', true, []],
    [[{ startMs: 500.4, endMs: 1499.6 }, { startMs: 2 }, 7], false, [{ startMs: 500, endMs: 1500 }]],
    [[{ startMs: -50, endMs: 60 }], false, []],  // 60 ms inside the recording
    [[{ startMs: 9950, endMs: 20000 }], false, []],  // 50 ms left inside the recording
    [[{ startMs: 3000, endMs: 5000 }, { startMs: 1000, endMs: 4000 }], false,
     [{ startMs: 1000, endMs: 4000 }]],  // overlapping: the earlier stays
    [[{ startMs: 0, endMs: 1000, rate: 20 }, { startMs: 2000, endMs: 3000 }], true,
     [{ startMs: 0, endMs: 1000, rate: 8 }, { startMs: 2000, endMs: 3000, rate: 2 }]],
    [[{ startMs: 0, endMs: 1000, rate: 1 }], true, [{ startMs: 0, endMs: 1000, rate: 1.25 }]],
  ], (saved, speed, settled) => {
    assert.deepEqual(settleStretches(saved, 10000, speed), settled);
  });
});

test('cuts and speeds are added, moved, re-rated and removed on the timeline', () => {
  const one = addStretch(edit(), 'cuts', 3000, 2000, 10000);
  assert.deepEqual(one.cuts, [{ startMs: 2000, endMs: 3000 }]);
  check([
    // [kind, start, end, added?]
    ['cuts', 2500, 4000, false],   // overlaps the cut
    ['cuts', 3000, 4000, true],    // touches it
    ['cuts', 5000, 5050, false],   // too short
    ['speeds', 2500, 4000, true],  // speeds and cuts may overlap: the cut wins in the export
  ], (kind, a, b, added) => {
    assert.equal(addStretch(one, kind, a, b, 10000) !== null, added, `${kind} ${a}-${b}`);
  });
  const two = addStretch(addStretch(one, 'cuts', 6000, 7000, 10000), 'speeds', 0, 1000, 10000, 4);
  // Moves keep the length and stop at the neighbours and the recording's ends.
  check([[5000, 5000], [2800, 3000], [9500, 9000], [4000, 4000]], (to, start) => {
    assert.deepEqual(moveStretch(two, 'cuts', 1, to, 10000).cuts[1],
                     { startMs: start, endMs: start + 1000 });
  });
  assert.equal(setRate(two, 0, 99).speeds[0].rate, 8);
  const gone = removeStretch(removeStretch(two, 'cuts', 0), 'cuts', 0);
  assert.equal('cuts' in gone, false);
  assert.deepEqual(exportPayload(gone, 'a.mp4').speeds, [{ startMs: 0, endMs: 1000, rate: 4 }]);
  assert.equal('cuts' in exportPayload(gone, 'a.mp4'), false);
});

test('the exported length counts cuts out and speeds at their rate', () => {
  check([
    [{}, 10000],
    [{ cuts: [{ startMs: 1000, endMs: 3000 }] }, 8000],
    [{ speeds: [{ startMs: 0, endMs: 4000, rate: 4 }] }, 7000],
    [{ cuts: [{ startMs: 1000, endMs: 3000 }], speeds: [{ startMs: 2000, endMs: 6000, rate: 2 }] },
     6500],
    [{ range: { startMs: 2000, endMs: 5000 }, cuts: [{ startMs: 0, endMs: 3000 }] }, 2000],
  ], (extra, length) => assert.equal(outputLengthMs(edit(extra)), length));
});

test('an old edit loads and exports unchanged; a saved one keeps its cuts and speeds', () => {
  const old = restoreEdit({ range: { startMs: 0, endMs: 10000 } }, 10000);
  assert.equal('cuts' in old || 'speeds' in old, false);
  assert.equal('cuts' in exportPayload(old, 'a.mp4') || 'speeds' in exportPayload(old, 'a.mp4'),
               false);
  const saved = restoreEdit({ cuts: [{ startMs: 100, endMs: 900 }],
                              speeds: [{ startMs: 1000, endMs: 2000, rate: 3 }] }, 10000);
  assert.deepEqual(exportPayload(saved, 'a.mp4').cuts, [{ startMs: 100, endMs: 900 }]);
  assert.deepEqual(exportPayload(saved, 'a.mp4').speeds, [{ startMs: 1000, endMs: 2000, rate: 3 }]);
});
