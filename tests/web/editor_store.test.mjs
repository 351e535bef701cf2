import assert from 'node:assert/strict';
import { test } from 'node:test';

import { addZoom, defaultEdit } from '../../web/js/edit_model.js';
import { createStore } from '../../web/js/editor/store.js';
import { newestWins } from '../../web/js/newest.js';

test('renders each view once per frame for the aspects it shows; a recorded step is saved', () => {
  const frames = [];
  const frame = () => frames.splice(0).forEach((fn) => fn());
  const store = createStore({ schedule: (fn) => frames.push(fn) });
  const renders = [];
  store.subscribe(['doc'], (state, aspects) => renders.push(`doc:${[...aspects].sort()}`));
  store.subscribe(['playhead'], (state) => renders.push(`playhead:${state.playheadMs}`));
  const steps = [];
  store.listen((aspects) => aspects.includes('edit') && steps.push(store.doc().zooms.length));
  store.open({ name: 'a.mp4', durationMs: 10000 }, defaultEdit(10000));
  frame();
  renders.length = 0;
  // A drag: many documents shown in one frame, one render, one step once it is let go.
  const added = addZoom(store.doc(), 1000, 10000);
  for (let i = 0; i < 5; i += 1) store.show(added.edit);
  store.seek(-5);
  store.seek(99999);
  assert.equal(frames.length, 1);
  frame();
  assert.deepEqual(renders, ['doc:doc,playhead', 'playhead:10000']);
  assert.deepEqual(steps, []);
  store.select(added.id);
  store.commit();
  store.commit(added.edit);
  assert.deepEqual(steps, [1]);
  // Undo takes the region away and lets go of it; redo brings it back, not chosen.
  store.undo();
  assert.deepEqual([store.doc().zooms, store.state.selected, store.state.history.canRedo],
                   [[], null, true]);
  store.redo();
  assert.deepEqual([store.doc().zooms.length, store.state.selected, steps], [1, null, [1, 0, 1]]);
  store.redo();
  assert.deepEqual(steps, [1, 0, 1], 'nothing to redo is no step');
});

test('newestWins() lets only the newest request count', () => {
  const requests = newestWins();
  const first = requests.begin();
  const second = requests.begin();
  assert.deepEqual([first(), second()], [false, true]);
  requests.drop();
  assert.equal(second(), false);
});
