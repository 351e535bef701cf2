import assert from 'node:assert/strict';
import { test } from 'node:test';

import { addZoom, restoreEdit } from '../../web/js/edit_model.js';
import { zoomBlockKey, zoomFocusKey } from '../../web/js/editor/zoom_keys.js';

const DURATION = 10000;

test('keys on a zoom block move it and change its length, inside the recording and its neighbours',
     () => {
  // Two regions: 1000–4000 and 6000–9000.
  const edit = restoreEdit({ zooms: [{ id: 'a', startMs: 1000, endMs: 4000, scale: 2 },
                                   { id: 'b', startMs: 6000, endMs: 9000, scale: 2 }] }, DURATION);
  const span = (e, id) => {
    const z = e.zooms.find((x) => x.id === id);
    return [z.startMs, z.endMs];
  };
  for (const [id, keys, want] of [
    ['a', [{ key: 'ArrowRight' }], [1100, 4100]],
    ['a', [{ key: 'ArrowLeft', shiftKey: true }], [0, 3000]],
    ['a', [{ key: 'ArrowLeft', shiftKey: true }, { key: 'ArrowLeft' }], [0, 3000]],
    ['a', Array(3).fill({ key: 'ArrowRight', shiftKey: true }), [3000, 6000]],
    ['b', Array(2).fill({ key: 'ArrowRight', shiftKey: true }), [7000, 10000]],
    ['a', [{ key: '+' }, { key: '=' }], [1000, 4200]],
    ['a', Array(40).fill({ key: '-' }), [1000, 1300]],
    ['a', Array(30).fill({ key: '+', shiftKey: true }), [1000, 6000]],
  ]) {
    const after = keys.reduce((e, k) => zoomBlockKey(e, id, k, DURATION), edit);
    assert.deepEqual(span(after, id), want, `${id} ${JSON.stringify(keys[0])} ×${keys.length}`);
  }
  assert.equal(zoomBlockKey(edit, 'a', { key: 'x' }, DURATION), null);
  assert.equal(zoomBlockKey(edit, 'gone', { key: 'ArrowLeft' }, DURATION), null);
});

test('arrows on the focus point move where the zoom looks, inside the picture', () => {
  const { edit, id } = addZoom(restoreEdit({}, DURATION), 2000, DURATION);
  const focus = (e) => [e.zooms[0].fx, e.zooms[0].fy];
  for (const [keys, want] of [
    [[{ key: 'ArrowRight' }], [0.51, 0.5]],
    [[{ key: 'ArrowUp', shiftKey: true }, { key: 'ArrowLeft' }], [0.49, 0.4]],
    [Array(8).fill({ key: 'ArrowDown', shiftKey: true }), [0.5, 1]],
    [Array(60).fill({ key: 'ArrowLeft' }), [0, 0.5]],
  ]) {
    const after = keys.reduce((e, k) => zoomFocusKey(e, id, k), edit);
    assert.deepEqual(focus(after), want, `${JSON.stringify(keys[0])} ×${keys.length}`);
  }
  assert.equal(zoomFocusKey(edit, id, { key: 'Enter' }), null);
});
