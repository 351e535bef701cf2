import assert from 'node:assert/strict';
import { test } from 'node:test';

import { addProposedZooms } from '../../web/js/auto_zoom_model.js';
import { addZoom, clampRange, createHistory, defaultEdit, exportPayload, followModes,
         formatRemaining, framePlacement, lookOf, MIN_ZOOM_MS, moveRangeEdge, moveZoom,
         outputHeights, pictureToSource, remainingMs, removeZoom, resizeZoom,
         restoreEdit, rulerTicks, setSection, setShape, settleZooms, sourceToPicture, updateZoom,
         withLook, ZOOM_IN_MS, ZOOM_OUT_MS, zoomAt, zoomWindow } from '../../web/js/edit_model.js';
import { zoomBlockKey, zoomFocusKey } from '../../web/js/editor/zoom_keys.js';
import { addStretch, moveStretch, outputLengthMs, removeStretch, setRate, settleStretches } from
  '../../web/js/stretch_model.js';

const PROJECT = {
  version: 1,
  clicks: [{ t: 1200, fx: 0.3, fy: 0.4 }, { fx: 0.2 }],
  cursorPath: [[0, 0.5, 0.5, 0], [33, 0.51, 0.5, 1], 'junk'],
  caretPath: [[500, 0.2, 0.2], [4000, 0.6, 0.3], [9000, 0.7, 0.7]],
  webcam: { file: 'Take.webcam.mp4', offsetMs: 120, enabled: true, shape: 'wide', cornerRadius: 40,
            width: 40, height: 22.5 },
  somethingNewer: { keep: true },
};
const TOP = ['name', 'startMs', 'endMs', 'zooms', 'frame', 'cursor', 'webcam', 'audio',
             'targetHeight'];

const check = (cases, fn) => cases.forEach((c) => fn(...c));

test('starts with the whole recording and no zooms; exports exactly what the export reads', () => {
  check([
    // [project, webcam enabled, webcam shape]
    [null, false, 'squircle'], [{ clicks: [] }, false, 'squircle'], [PROJECT, true, 'wide'],
    [{ webcam: { file: 'a.webcam.mp4', shape: 'circle' } }, true, 'circle'],
    [{ webcam: { file: 'a.mp4', shape: 'circle' } }, false, 'squircle'],
  ], (project, enabled, shape) => {
    const e = defaultEdit(12345.6, project, { wallpaper: 'dawn' });
    assert.deepEqual([e.range, e.zooms, e.frame.id, e.audio, e.targetHeight, e.webcam.enabled,
                      e.webcam.shape, e.webcam.size],
                     [{ startMs: 0, endMs: 12345 }, [], 'dawn', { mic: 1, system: 1 }, 0, enabled,
                      shape, 40]);
  });
  let edit = defaultEdit(10000, PROJECT);
  edit = addZoom(edit, 1000, 10000, { scale: 2.5, fx: 0.2, fy: 0.8, follow: 'cursor' }).edit;
  edit = addZoom(edit, 6000, 10000).edit;
  const payload = exportPayload(edit, 'Take.mp4', PROJECT);
  // Nothing else may be sent.
  assert.deepEqual(Object.keys(payload).sort(), TOP.toSorted());
  const zoom = { startMs: 1000, endMs: 4000, scale: 2.5, fx: 0.2, fy: 0.8, follow: true,
                 inMs: 1522.575, outMs: 1015.05 };
  assert.deepEqual([payload.zooms, payload.audio], [[zoom, {
    ...zoom, startMs: 6000, endMs: 9000, scale: 2, fx: 0.5, fy: 0.5, follow: false }],
  { mic: 1, system: 1 }]);
  // The samples go as recorded (a malformed one left out); the click without time too.
  assert.deepEqual(payload.cursor.path, [[0, 0.5, 0.5, 0], [33, 0.51, 0.5, 1]]);
  assert.deepEqual(payload.cursor.clicks, [{ t: 1200, fx: 0.3, fy: 0.4 }]);
  // Everything a JSON round trip keeps: the bridge sends it as JSON.
  assert.deepEqual(JSON.parse(JSON.stringify(payload)), payload);
  const bare = { version: 1, clicks: [] };
  check([
    // [project, edit change, keys absent]
    [bare, (e) => e, ['cursor', 'webcam']],
    [bare, (e) => setSection(e, 'frame', { type: 'none' }), ['frame', 'cursor', 'webcam']],
    [PROJECT, (e) => setSection(e, 'webcam', { enabled: false }), ['webcam']],
    [{ ...PROJECT, cursorPath: [] }, (e) => e, ['cursor']],
  ], (project, change, absent) => {
    const p = exportPayload(change(defaultEdit(5000, project)), 'a.mp4', project);
    assert.deepEqual(TOP.filter((k) => !(k in p)), absent);
  });
});

test('sends the caret only inside regions that follow it, and knows what can be followed', () => {
  let edit = defaultEdit(10000, PROJECT);
  edit = addZoom(edit, 0, 10000, { follow: 'caret' }).edit;      // 0–3000
  edit = addZoom(edit, 3500, 10000, { follow: 'cursor' }).edit;  // 3500–6500
  edit = addZoom(edit, 8000, 10000, { follow: 'caret' }).edit;   // 7000–10000 (moved to fit)
  assert.deepEqual(exportPayload(edit, 'a.mp4', PROJECT).cursor.caret,
                   [[500, 0.2, 0.2], [9000, 0.7, 0.7]]);
  assert.deepEqual(exportPayload(defaultEdit(10000, PROJECT), 'a.mp4', PROJECT).cursor.caret, []);
  check([[PROJECT, true, true], [{ cursorPath: [[0, 0, 0]] }, true, false],
         [{ caretPath: [[0, 0, 0]] }, false, false], [null, false, false]],
        (project, cursor, caret) => {
          assert.deepEqual(followModes(project), { fixed: true, cursor, caret });
        });
});

test('opens damaged or older edits with defaults for what cannot be used', () => {
  const d = defaultEdit(10000, PROJECT);
  check([
    [null, null], ['edit', null], [{}, d],
    [{ range: { startMs: -50, endMs: 99999 } }, { ...d, range: { startMs: 0, endMs: 10000 } }],
    [{ range: { startMs: 9800, endMs: 9900 } }, { ...d, range: { startMs: 9500, endMs: 10000 } }],
    [{ frame: { type: 'image', paddingPct: 90, radiusPct: -1, hex: 'red', id: '../x' } },
     { ...d, frame: { ...d.frame, paddingPct: 40, radiusPct: 0 } }],
    [{ frame: { from: '#ABCDEF', hex: 'rgb(1,2,3)' } }, { ...d, frame: { ...d.frame,
                                                                      from: '#abcdef' } }],
    [{ cursor: { size: '3', smooth: 7, style: 'weird' } }, { ...d, cursor: { ...d.cursor,
                                                                               smooth: 1 } }],
    [{ audio: { mic: -1, system: 1e9 } }, { ...d, audio: { mic: 0, system: 2 } }],
    [{ targetHeight: 721 }, d],
    [{ targetHeight: 1080 }, { ...d, targetHeight: 1080 }],
  ], (stored, expected) => {
    assert.deepEqual(restoreEdit(stored, 10000, PROJECT), expected, JSON.stringify(stored));
  });
  // A saved webcam with no webcam movie beside the recording stays off.
  assert.equal(restoreEdit({ webcam: { enabled: true } }, 10000, { clicks: [] }).webcam.enabled,
               false);
  // A control sending nonsense leaves the setting as it was.
  const padded = setSection(d, 'frame', { paddingPct: 20 });
  assert.equal(setSection(padded, 'frame', { paddingPct: 'wide' }).frame.paddingPct, 20);
  assert.throws(() => setSection(d, 'zooms', {}));
  assert.deepEqual([outputHeights(1080), outputHeights(0)], [[720, 480],
                                                             [2160, 1440, 1080, 720, 480]]);
});

const D = 20000;
const withRegions = (...spans) => ({
  ...defaultEdit(D),
  zooms: settleZooms(spans.map(([startMs, endMs], i) => ({ id: `z${i + 1}`, startMs, endMs })), D),
});
const span = (edit, id) => {
  const z = edit.zooms.find((r) => r.id === id);
  return z && [z.startMs, z.endMs];
};

test('adds a region at the playhead where there is room', () => {
  check([
    // [existing, playhead, resulting spans or null]
    [[], 1000, [[1000, 4000]]],
    [[[5000, 8000]], 3000, [[2000, 5000], [5000, 8000]]],  // moved back before the next region
    [[[2000, 3000], [5000, 8000]], 3500, [[2000, 3000], [3000, 5000], [5000, 8000]]],  // a gap
    [[[5000, 8000]], 8000, [[5000, 8000], [8000, 11000]]],
    [[[5000, 8000]], 6000, null],                          // inside a region
    [[[5000, 8000], [8200, 9000]], 8000, null],            // 200 ms free: too short
    [[[1000, 4000], [4250, 9000]], 4000, null],
    [[[1000, 4000], [4400, 9000]], 4000, [[1000, 4000], [4000, 4400], [4400, 9000]]],
  ], (existing, at, expected) => {
    const added = addZoom(withRegions(...existing), at, D);
    assert.deepEqual(added && added.edit.zooms.map((z) => [z.startMs, z.endMs]), expected,
                     `${JSON.stringify(existing)} @${at}`);
    if (!added) return;
    const zoom = added.edit.zooms.find((z) => z.id === added.id);
    assert.deepEqual([zoom.scale, zoom.fx, zoom.fy, zoom.follow], [2, 0.5, 0.5, 'fixed']);
  });
});

test('moves and resizes a region between its neighbours, inside the recording', () => {
  const edit = withRegions([2000, 4000], [6000, 9000], [12000, 13000]);
  check([
    ['z2', 7000, [7000, 10000]],
    ['z2', 11000, [9000, 12000]],   // stops against the next region
    ['z2', 1000, [4000, 7000]],     // and against the previous one
    ['z3', 25000, [19000, 20000]],
  ], (id, to, expected) => {
    const moved = moveZoom(edit, id, to, D);
    assert.deepEqual(span(moved, id), expected, `${id} → ${to}`);
    assert.equal(moved.zooms.length, 3);
  });
  assert.equal(moveZoom(edit, 'nope', 0, D), edit);
  check([
    ['z2', 'start', 5000, [5000, 9000]], ['z2', 'start', 3000, [4000, 9000]],
    ['z2', 'start', 8900, [9000 - MIN_ZOOM_MS, 9000]], ['z2', 'end', 15000, [6000, 12000]],
    ['z3', 'end', 40000, [12000, 20000]], ['z1', 'start', -10, [0, 4000]],
  ], (id, edge, to, expected) => {
    assert.deepEqual(span(resizeZoom(edit, id, edge, to, D), id), expected, `${id} ${edge} ${to}`);
  });
});

test('keeps regions apart and in order when reading or changing them', () => {
  const read = settleZooms([
    { id: 'a', startMs: 5000, endMs: 7000, scale: 9, fx: -1, fy: 2, follow: 'caret' },
    { id: 'b', startMs: 1000, endMs: 3000, scale: 0.5 },
    { id: 'c', startMs: 6000, endMs: 8000 },          // overlaps a: dropped
    { id: 'a', startMs: 8000, endMs: 9000 },          // same id: given a new one
    { startMs: 9500, endMs: 9600 },                   // too short
    { startMs: 18000, endMs: 30000 },                 // cut at the end of the recording
    { startMs: 'x', endMs: 1 }, null, 7,
  ], D);
  assert.deepEqual(read.map((z) => [z.id, z.startMs, z.endMs, z.scale]), [
    ['b', 1000, 3000, 1], ['a', 5000, 7000, 6], ['z1', 8000, 9000, 2], ['z2', 18000, 20000, 2]]);
  assert.equal(settleZooms([{ startMs: 0, endMs: MIN_ZOOM_MS }], D).length, 1, 'just long enough');
  assert.deepEqual([read[1].fx, read[1].fy, read[1].follow], [0, 1, 'caret']);
  // The end of a region is not inside it.
  assert.deepEqual([zoomAt({ zooms: read }, 3000), zoomAt({ zooms: read }, 5000).id], [null, 'a']);
  // Scale, focus and follow stay within their limits.
  const edit = withRegions([2000, 4000]);
  const z = (patch) => updateZoom(edit, 'z1', patch).zooms[0];
  assert.deepEqual([z({ scale: 10 }).scale, z({ fx: 1.4, fy: -3 }).fx,
                    z({ follow: 'teleport' }).follow, z({ startMs: 0 }).startMs],
                   [6, 1, 'fixed', 2000]);
  assert.deepEqual(removeZoom(edit, 'z1').zooms, []);
});

test('keeps the export range inside the recording and long enough', () => {
  check([['start', 3000, [3000, 10000]], ['start', 9900, [9500, 10000]], ['end', 100, [0, 500]],
         ['end', 12000, [0, 10000]]], (edge, ms, expected) => {
    const { range } = moveRangeEdge(defaultEdit(10000), edge, ms, 10000);
    assert.deepEqual([range.startMs, range.endMs], expected, `${edge} ${ms}`);
  });
  assert.deepEqual(clampRange({ startMs: 0, endMs: 10000 }, 300), { startMs: 0, endMs: 300 });
});

test('places the recording in the frame as the export does, and the zoomed window inside', () => {
  // 1920 × 1080 with 10 % padding: 108 px all round, the clip hugging the screen.
  const framed = { type: 'color', paddingPct: 10, radiusPct: 5 };
  const { clip, radius, screen } = framePlacement(1920, 1080, framed);
  assert.deepEqual([clip, radius, screen], [{ x: 192, y: 108, w: 1536, h: 864 }, 43.2,
                                            { x: 192, y: 108, w: 1536, h: 864 }]);
  for (const [fx, fy] of [[0, 0], [0.5, 0.5], [1, 1], [0.25, 0.9]]) {
    const { x, y } = sourceToPicture(fx, fy, 1920, 1080, framed);
    const back = pictureToSource(x, y, 1920, 1080, framed);
    assert.ok(Math.abs(back.fx - fx) < 1e-9 && Math.abs(back.fy - fy) < 1e-9);
  }
  // Outside the recording: its nearest edge. No frame: the whole picture.
  assert.deepEqual(pictureToSource(0, 0, 1920, 1080, framed), { fx: 0, fy: 0 });
  assert.deepEqual(pictureToSource(960, 270, 1920, 1080, { type: 'none' }), { fx: 0.5, fy: 0.25 });
  check([
    [0.5, 0.5, 2, { x: 0.25, y: 0.25, w: 0.5, h: 0.5 }],
    [0.1, 0.95, 2, { x: 0, y: 0.5, w: 0.5, h: 0.5 }], [0.3, 0.3, 1, { x: 0, y: 0, w: 1, h: 1 }],
  ], (fx, fy, scale, expected) => assert.deepEqual(zoomWindow(fx, fy, scale), expected));
});

test('a change on its way is dropped before an undo; the past is bounded', () => {
  const b = createHistory(0, { limit: 3 });
  for (let i = 1; i <= 6; i += 1) b.commit(i);
  b.show(7);
  assert.deepEqual([b.undo(), b.undo(), b.undo(), b.undo(), b.undo()], [6, 5, 4, 3, null]);
  b.show(42);
  b.revert();
  assert.equal(b.current, 3);
});

test('estimates the time left once enough is done; the ruler has steps that fit', () => {
  check([
    [500, 0.5, null, 'Estimating time left…'], [4000, 0.01, null, 'Estimating time left…'],
    [2000, 0.5, 2000, 'A few seconds left'], [10000, 0.25, 30000, 'About 30 seconds left'],
    [60000, 0.5, 60000, 'About a minute left'], [60000, 0.2, 240000, 'About 4 minutes left'],
  ], (elapsed, fraction, left, text) => {
    assert.equal(remainingMs(elapsed, fraction), left, `${elapsed} ${fraction}`);
    assert.equal(formatRemaining(left), text);
  });
  assert.deepEqual(rulerTicks(10000, 640), [0, 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000,
                                            9000, 10000]);
  assert.deepEqual(rulerTicks(0, 600), []);
  // Labels read in tenths of a second: every step is a whole number of them.
  for (const [ms, px] of [[3000, 1100], [1500, 900], [800, 1200]]) {
    assert.ok(rulerTicks(ms, px).every((t) => t % 100 === 0), `${ms} ms over ${px} px`);
  }
  assert.ok(rulerTicks(36e5 * 5, 200).length < 10, 'a long recording still has few labels');
});

const project = (shape) => ({ webcam: { file: 'Take.webcam.mp4', offsetMs: 0, shape } });
const webcamOf = (edit, shape) => {
  const w = exportPayload(edit, 'Take.mp4', project(shape)).webcam;
  return [w.positionPreset, w.positionX, w.positionY, w.cornerRadius, w.shadow, w.margin];
};

test('the webcam fields reach the export; a project saved without them exports as before', () => {
  for (const [why, stored, shape, want] of [
    ['old project, squircle', {}, 'squircle', ['bottom-right', 1, 1, 90, 0.67, 24]],
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
    [{ scale: 9, inMs: 10, outMs: 99999 }, [6, 100, 5000]],
  ]) {
    const changed = updateZoom(edit, id, patch);
    assert.deepEqual(zoomOf(changed), want, JSON.stringify(patch));
    // Saved in the project file and read back, the lengths stay.
    const reread = restoreEdit(JSON.parse(JSON.stringify(changed)), 20000);
    assert.deepEqual(zoomOf(reread), want, `read back: ${JSON.stringify(patch)}`);
  }
});

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
    ['a', Array(3).fill({ key: 'ArrowRight', shiftKey: true }), [3000, 6000]],
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

const editWith = (extra = {}) => ({ ...defaultEdit(10000), ...extra });

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
  // An old edit loads and exports without them; a saved one keeps them.
  const old = restoreEdit({ range: { startMs: 0, endMs: 10000 } }, 10000);
  assert.equal('cuts' in old || 'speeds' in old, false);
  assert.equal('cuts' in exportPayload(old, 'a.mp4') || 'speeds' in exportPayload(old, 'a.mp4'),
               false);
  const saved = restoreEdit({ cuts: [{ startMs: 100, endMs: 900 }],
                              speeds: [{ startMs: 1000, endMs: 2000, rate: 3 }] }, 10000);
  assert.deepEqual(exportPayload(saved, 'a.mp4').cuts, [{ startMs: 100, endMs: 900 }]);
  assert.deepEqual(exportPayload(saved, 'a.mp4').speeds, [{ startMs: 1000, endMs: 2000, rate: 3 }]);
});

test('cuts and speeds are added, moved, re-rated and removed on the timeline', () => {
  const one = addStretch(editWith(), 'cuts', 3000, 2000, 10000);
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
  ], (extra, length) => assert.equal(outputLengthMs(editWith(extra)), length));
});

const LONG = 30000;
const proposal = (startMs, endMs, fields = {}) => ({ startMs, endMs, scale: 2, fx: 0.3, fy: 0.4,
                                                     follow: true, inMs: 1522.575,
                                                     outMs: 1015.05, typing: false, ...fields });

test('proposed zooms join the edit as regions like hand-made ones, never over one already there',
     () => {
  const handMade = restoreEdit({ zooms: [{ id: 'z1', startMs: 10000, endMs: 13000, scale: 3 }] },
                               LONG);
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
  ]) {
    const got = addProposedZooms(handMade, proposals, LONG);
    assert.deepEqual(got.edit.zooms.map(span), want, what);
    assert.equal(got.skipped, skipped, what);
    assert.equal(new Set(got.edit.zooms.map((z) => z.id)).size, got.edit.zooms.length, what);
    assert.equal(got.edit.zooms.find((z) => z.id === 'z1').scale, 3, what);
  }
  // Asking again adds nothing; one undo takes the whole proposal back.
  const once = addProposedZooms(handMade, [proposal(1000, 4000), proposal(20000, 25000)],
                                LONG);
  const again = addProposedZooms(once.edit, [proposal(1000, 4000), proposal(20000, 25000)],
                                 LONG);
  assert.equal(again.added, 0);
  assert.equal(again.edit, once.edit);
  const history = createHistory(handMade);
  history.commit(once.edit);
  assert.deepEqual(history.undo().zooms, handMade.zooms);
});
