import assert from 'node:assert/strict';
import { test } from 'node:test';

import { addProposedZooms } from '../../web/js/auto_zoom_model.js';
import { createHistory, restoreEdit } from '../../web/js/edit_model.js';

const DURATION = 30000;
const proposal = (startMs, endMs, fields = {}) => ({ startMs, endMs, scale: 2, fx: 0.3, fy: 0.4,
                                                     follow: true, inMs: 1522.575,
                                                     outMs: 1015.05, typing: false, ...fields });

test('proposed zooms join the edit as regions like hand-made ones, never over one already there',
     () => {
  const handMade = restoreEdit({ zooms: [{ id: 'z1', startMs: 10000, endMs: 13000, scale: 3 }] },
                               DURATION);
  const span = (z) => `${z.startMs}-${z.endMs} ${z.follow} ${z.scale}`;
  for (const [what, proposals, want, skipped] of [
    ['none proposed', [], ['10000-13000 fixed 3'], 0],
    ['pointer, caret and still regions', [proposal(1000, 4000), proposal(4000, 7000,
      { typing: true, scale: 1.5 }), proposal(20000, 25000, { follow: false })],
    ['1000-4000 cursor 2', '4000-7000 caret 1.5', '10000-13000 fixed 3', '20000-25000 fixed 2'], 0],
    ['overlapping the hand-made region: left out', [proposal(8000, 10001), proposal(12999, 16000),
      proposal(7000, 10000)], ['7000-10000 cursor 2', '10000-13000 fixed 3'], 2],
    ['outside the recording or too short', [proposal(29900, 35000), proposal(-500, 200),
      { startMs: 'x', endMs: 5 }, null], ['10000-13000 fixed 3'], 0],
    ['past the end: cut at the end', [proposal(27000, 31000)],
      ['10000-13000 fixed 3', '27000-30000 cursor 2'], 0],
  ]) {
    const got = addProposedZooms(handMade, proposals, DURATION);
    assert.deepEqual(got.edit.zooms.map(span), want, what);
    assert.equal(got.skipped, skipped, what);
    assert.equal(new Set(got.edit.zooms.map((z) => z.id)).size, got.edit.zooms.length, what);
    assert.equal(got.edit.zooms.find((z) => z.id === 'z1').scale, 3, what);
  }
  // Asking again adds nothing; one undo takes the whole proposal back.
  const once = addProposedZooms(handMade, [proposal(1000, 4000), proposal(20000, 25000)],
                                DURATION);
  const again = addProposedZooms(once.edit, [proposal(1000, 4000), proposal(20000, 25000)],
                                 DURATION);
  assert.equal(again.added, 0);
  assert.equal(again.edit, once.edit);
  const history = createHistory(handMade);
  history.commit(once.edit);
  assert.deepEqual(history.undo().zooms, handMade.zooms);
});
