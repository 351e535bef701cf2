import assert from 'node:assert/strict';
import { test } from 'node:test';

import { defaultEdit, exportPayload, lookOf, restoreEdit, setShape,
         withLook } from '../../web/js/edit_model.js';

const WEBCAM = { webcam: { file: 'a.webcam.mp4' } };

test('a shape is kept, restored and sent only when it is not the recording\'s own', () => {
  for (const [stored, sent] of [['9:16', '9:16'], ['1:1', '1:1'], ['original', undefined],
    ['5:4', undefined], [7, undefined], [undefined, undefined]]) {
    const edit = restoreEdit({ shape: stored }, 5000);
    assert.equal(exportPayload(edit, 'a.mp4').shape, sent, `stored ${stored}`);
    assert.equal(exportPayload(setShape(edit, 'original'), 'a.mp4').shape, undefined);
  }
});

test('a look styles a new edit, checked like a saved one; the webcam shows as recorded', () => {
  const styled = setShape(defaultEdit(5000, WEBCAM), '4:3');
  const look = lookOf({ ...styled, frame: { ...styled.frame, type: 'color', hex: '#112233' },
                        webcam: { ...styled.webcam, shape: 'circle', enabled: false } });
  assert.equal('enabled' in look.webcam, false);
  const applied = withLook(defaultEdit(5000, WEBCAM), JSON.parse(JSON.stringify(look)));
  assert.deepEqual([applied.frame.hex, applied.webcam.shape, applied.webcam.enabled, applied.shape],
                   ['#112233', 'circle', true, '4:3']);
  // A damaged look from the settings: each bad value keeps the edit's own.
  const damaged = withLook(defaultEdit(5000), { frame: { paddingPct: 99, type: 'plaid' },
                                                cursor: 'big', shape: 'tall' });
  assert.deepEqual([damaged.frame.paddingPct, damaged.frame.type, damaged.shape],
                   [40, 'wallpaper', undefined]);
  assert.deepEqual(damaged.cursor, defaultEdit(5000).cursor);
  assert.deepEqual(withLook(defaultEdit(5000), null), defaultEdit(5000));
});
