import assert from 'node:assert/strict';
import { test } from 'node:test';

import { ZOOM_IN_MS, ZOOM_OUT_MS, addZoom, exportPayload, restoreEdit, setSection, updateZoom }
  from '../../web/js/edit_model.js';

const project = (shape) => ({ webcam: { file: 'Take.webcam.mp4', offsetMs: 0, shape } });
const webcamOf = (edit, shape) => {
  const w = exportPayload(edit, 'Take.mp4', project(shape)).webcam;
  return [w.positionPreset, w.positionX, w.positionY, w.cornerRadius, w.shadow, w.margin];
};

test('the webcam fields reach the export; a project saved without them exports as before', () => {
  for (const [why, stored, shape, want] of [
    ['old project, squircle', {}, 'squircle', ['bottom-right', 1, 1, 90, 0.67, 24]],
    ['old project, wide', {}, 'wide', ['bottom-right', 1, 1, 40, 0.67, 24]],
    ['old project, circle', {}, 'circle', ['bottom-right', 1, 1, 999, 0.67, 24]],
    ['custom place and look', { positionPreset: 'custom', positionX: 0.25, positionY: 0.5,
                                cornerRadius: 12, shadow: 0.2, margin: 60 }, 'squircle',
    ['custom', 0.25, 0.5, 12, 0.2, 60]],
    ['a circle stays round', { shape: 'circle', cornerRadius: 12 }, 'circle',
     ['bottom-right', 1, 1, 999, 0.67, 24]],
    ['out of range is brought in', { positionX: 3, positionY: -1, cornerRadius: 900, shadow: 2,
                                     margin: -5 }, 'squircle',
    ['bottom-right', 1, 0, 200, 1, 0]],
    ['wrong kinds fall back', { positionPreset: 'elsewhere', cornerRadius: '12', shadow: null },
     'wide', ['bottom-right', 1, 1, 40, 0.67, 24]],
  ]) {
    const edit = restoreEdit({ webcam: { enabled: true, ...stored } }, 10000, project(shape));
    assert.deepEqual(webcamOf(edit, shape), want, why);
  }
  // A change made in the editor, then the shape's own corners again by choosing none.
  let edit = restoreEdit({}, 10000, project('squircle'));
  edit = setSection(edit, 'webcam', { cornerRadius: 30, margin: 10 });
  assert.deepEqual(webcamOf(edit, 'squircle').slice(3), [30, 0.67, 10]);
});

test('a zoom keeps its own transition lengths and scale up to 6', () => {
  const { edit, id } = addZoom(restoreEdit({}, 20000), 1000, 20000);
  const zoomOf = (e) => {
    const z = exportPayload(e, 'Take.mp4').zooms[0];
    return [z.scale, z.inMs, z.outMs];
  };
  for (const [patch, want] of [
    [{}, [2, ZOOM_IN_MS, ZOOM_OUT_MS]],
    [{ scale: 6, inMs: 400, outMs: 2500 }, [6, 400, 2500]],
    [{ scale: 9, inMs: 10, outMs: 99999 }, [6, 100, 5000]],
    [{ inMs: 'fast', outMs: null }, [2, ZOOM_IN_MS, ZOOM_OUT_MS]],
  ]) {
    const changed = updateZoom(edit, id, patch);
    assert.deepEqual(zoomOf(changed), want, JSON.stringify(patch));
    // Saved in the project file and read back, the lengths stay.
    const reread = restoreEdit(JSON.parse(JSON.stringify(changed)), 20000);
    assert.deepEqual(zoomOf(reread), want, `read back: ${JSON.stringify(patch)}`);
  }
});
