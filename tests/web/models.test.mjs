import assert from 'node:assert/strict';
import { test } from 'node:test';

import { formatDate, formatDimensions, formatDuration, formatElapsed, formatPosition, formatSize,
         recordingTitle } from '../../web/js/format.js';
import { filterItems, itemsFromReply, keepSelection, mediaURL, moveInGrid, normalizeItem,
         selectionAfterRemoval, thumbKey, withThumb } from '../../web/js/library_model.js';
import { applyEvent, barControls, initialFlow, viewFor } from '../../web/js/recording_flow.js';
import { cardsFromReply, reconcileSelection, recordReadiness, startPayload } from
  '../../web/js/sources_model.js';
import { clampRange, columnsFromPeaks, moveEdge, msAtX, nearerEdge } from
  '../../web/js/trim_model.js';

const THUMB = 'data:image/jpeg;base64,/9j/AA==';
const check = (cases, fn) => cases.forEach((c) => fn(...c));

test('times show as players do, sizes in decimal units, names without the extension', () => {
  check([
    [999, '0:00', '00:00', '0:00.9'], [65000, '1:05', '01:05', '1:05.0'],
    [3599999, '59:59', '59:59', '59:59.9'], [3723000, '1:02:03', '1:02:03', '1:02:03.0'],
    [-5, '0:00', '00:00', '0:00.0'], [NaN, '0:00', '00:00', '0:00.0'],
  ], (ms, ...texts) => {
    assert.deepEqual([formatDuration(ms), formatElapsed(ms), formatPosition(ms)], texts, `${ms}`);
  });
  check([[1, '1 byte'], [999, '999 bytes'], [1000, '1.0 kB'], [9999, '9.9 kB'], [10000, '10 kB'],
         [999999, '999 kB'], [1.5e9, '1.5 GB'], [NaN, '0 bytes']],
        (bytes, text) => assert.equal(formatSize(bytes), text, `${bytes}`));
  check([['Marlune 2026-12-05 at 19.27.30.mp4', 'Marlune 2026-12-05 at 19.27.30'],
         ['Clip.MP4', 'Clip'], ['sub/Clip trimmed.mp4', 'Clip trimmed'], ['.mp4', '.mp4']],
        (name, title) => assert.equal(recordingTitle(name), title));
  assert.deepEqual([formatDimensions(1920, 1080), formatDimensions(0, 1080)], ['1920 × 1080', '']);
  // Dates relative to today (yesterday across a month too), unknown dates as such.
  const at = (...parts) => new Date(...parts).getTime();
  check([
    [at(2026, 11, 5, 0, 0), 'Today at 00:00'], [at(2026, 11, 4, 23, 59), 'Yesterday at 23:59'],
    [at(2026, 11, 3, 8, 5), '3 Dec 2026 at 08:05'], [NaN, 'Date unknown'],
    [-62135596800000, 'Date unknown'],
  ], (ms, text) => assert.equal(formatDate(ms, at(2026, 11, 5, 20, 0)), text));
  assert.equal(formatDate(at(2026, 10, 30, 12, 0), at(2026, 11, 1, 9, 0)), 'Yesterday at 12:00');
});

test('the library keeps every readable item and marks the damaged ones once known', () => {
  check([
    [{ name: 'a.mp4', size: 10, createdAt: 5, durationMs: 3000, thumb: THUMB },
      { damaged: false, durationMs: 3000, thumb: THUMB, webcam: false }],
    // A movie that could not be read: no duration, no picture.
    [{ name: 'broken.mp4', size: 10, createdAt: 5, durationMs: 0 },
      { damaged: true, durationMs: 0, thumb: null }],
    // A picture but no duration is still playable as far as the page can tell.
    [{ name: 'b.mp4', durationMs: 0, thumb: THUMB }, { damaged: false }],
    [{ name: 'c.mp4', durationMs: 1200.9, webcam: true }, { durationMs: 1200, webcam: true }],
    // Members of the wrong type read as unknown rather than breaking the card.
    [{ name: 'd.mp4', size: '12', createdAt: null, durationMs: 'x', thumb: 'javascript:x' },
      { size: 0, createdAt: -Infinity, durationMs: 0, thumb: null, damaged: true }],
  ], (raw, expected) => {
    const item = normalizeItem(raw);
    for (const [key, value] of Object.entries(expected)) {
      assert.deepEqual(item[key], value, `${raw.name}.${key}`);
    }
  });
  for (const bad of [null, 'a.mp4', {}, { name: '' }, { name: 4 }]) {
    assert.equal(normalizeItem(bad), null);
  }
  // A listing without pictures: the picture is unknown until asked for; one it has is used.
  const lazy = normalizeItem({ name: 'broken.mp4', durationMs: 0 }, 'lazy');
  assert.deepEqual([lazy.thumb, lazy.damaged, withThumb(lazy, null).damaged,
                    withThumb(lazy, THUMB).damaged, withThumb(lazy, 'not a picture').thumb,
                    normalizeItem({ name: 'a.mp4', thumb: THUMB }, 'lazy').thumb,
                    withThumb(normalizeItem({ name: 'f.mp4', durationMs: 900 }, 'lazy'),
                              null).damaged], [undefined, false, true, false, null, THUMB, false]);
  // A file replaced under the same name is a different picture.
  assert.notEqual(thumbKey({ name: 'a', size: 1, createdAt: 2 }),
                  thumbKey({ name: 'a', size: 3, createdAt: 2 }));
  const items = itemsFromReply({ items: [
    { name: 'old.mp4', createdAt: 1000 }, { name: 'unknown.mp4' },
    { name: 'new.mp4', createdAt: 3000 }, { name: 'b-same.mp4', createdAt: 2000 },
    { name: 'a-same.mp4', createdAt: 2000 }, { name: 'new.mp4', createdAt: 1 }, null,
  ] });
  assert.deepEqual(items.map((i) => i.name),
                   ['new.mp4', 'a-same.mp4', 'b-same.mp4', 'old.mp4', 'unknown.mp4']);
  assert.deepEqual(itemsFromReply({ items: [] }), []);
  for (const bad of [null, {}, { items: 'none' }]) assert.throws(() => itemsFromReply(bad));
});

test('the library searches by every word, ignoring case and accents, and moves the choice', () => {
  const items = ['Marlune 2026-12-05 at 19.27.30.mp4', 'Démo produit.mp4', 'Demo trimmed.mp4',
                 'notes.mp4'].map((name) => ({ name }));
  check([['', 4], ['   ', 4], ['demo', 2], ['DEMO trimmed', 1], ['produit demo', 1],
         ['2026 19.27', 1], ['zzz', 0]],
        (query, count) => assert.equal(filterItems(items, query).length, count, `"${query}"`));
  const abc = ['a', 'b', 'c'].map((name) => ({ name }));
  assert.deepEqual([keepSelection(abc, 'b'), keepSelection(abc, 'gone'), keepSelection([], 'b'),
                    selectionAfterRemoval(abc, 'b'), selectionAfterRemoval(abc, 'c'),
                    selectionAfterRemoval([{ name: 'a' }], 'a'),
                    selectionAfterRemoval(abc, 'gone')],
                   ['b', null, null, 'c', 'b', null, null]);
  // 7 cards, 3 a row:  0 1 2 / 3 4 5 / 6
  check([
    [0, 'ArrowLeft', 0], [0, 'ArrowRight', 1], [2, 'ArrowRight', 3], [6, 'ArrowRight', 6],
    [4, 'ArrowUp', 1], [1, 'ArrowUp', 1], [1, 'ArrowDown', 4], [4, 'ArrowDown', 4],
    [3, 'ArrowDown', 6], [5, 'Home', 0], [0, 'End', 6], [-1, 'ArrowRight', 1], [9, 'x', 6],
  ], (from, key, to) => assert.equal(moveInGrid(from, key, 3, 7), to, `${from} ${key}`));
  assert.deepEqual([moveInGrid(0, 'ArrowDown', 3, 0), moveInGrid(0, 'ArrowDown', 0, 2)], [-1, 1]);
  // Movies on the media server, their names escaped.
  const base = 'http://127.0.0.1:4242/tok/';
  check([['Clip.mp4', 'Clip.mp4'], ['sub/x y.mp4', 'sub/x%20y.mp4'],
         ['Marlune 2026-12-05 at 19.27.30.mp4', 'Marlune%202026-12-05%20at%2019.27.30.mp4'],
         ['a#b?c%d.mp4', 'a%23b%3Fc%25d.mp4']],
        (name, path) => assert.equal(mediaURL(base, name), `${base}${path}`));
  assert.equal(mediaURL('http://127.0.0.1:1/t', 'a.mp4'), 'http://127.0.0.1:1/t/a.mp4');
  assert.equal(mediaURL(null, 'a.mp4'), null);
});

test('the source picker offers what can be recorded and says why Record cannot be pressed', () => {
  const cards = cardsFromReply({
    screens: [{ id: 1, kind: 'display', name: 'Display 1', width: 1920, height: 1080,
                thumb: THUMB }],
    windows: [
      { id: 77, kind: 'window', name: 'Terminal', app: 'xterm', width: 800.7, height: 600 },
      { id: -3, kind: 'window', name: 'bad id' }, { id: 77, kind: 'window', name: 'duplicate' },
      { id: 78, kind: 'window', name: '  ', app: 7, width: 'wide' },
    ],
  });
  assert.deepEqual(cards.displays.map((c) => [c.key, c.name, c.thumb !== null]),
                   [['display:1', 'Display 1', true]]);
  assert.deepEqual(cards.windows.map((c) => [c.key, c.name, c.app, c.width]),
                   [['window:77', 'Terminal', 'xterm', 800],
                    ['window:78', 'Untitled window', '', 0]]);
  assert.deepEqual(cardsFromReply({ screens: [], windows: [] }), { displays: [], windows: [] });
  for (const bad of [null, {}, { screens: [] }, { screens: 1, windows: [] }]) {
    assert.throws(() => cardsFromReply(bad));
  }
  check([['window:77', 'window:77', false], ['window:99', null, true], [null, null, false]],
        (was, selected, lost) => assert.deepEqual(reconcileSelection(cards, was),
                                                  { selected, lost }));
  const ready = { sources: 'ready', selected: 'display:1' };
  check([
    [ready, true, ''], [{ sources: 'loading', selected: null }, false, /Looking/],
    [{ sources: 'ready', selected: null }, false, /Choose a display or a window/],
    [{ sources: 'unsupported', selected: null }, false, /cannot list/],
    [{ ...ready, canRecord: false }, false, /not available/],
    [{ ...ready, phase: 'recording' }, false, /under way/],
    [{ ...ready, starting: true }, false, /under way/],
    [{ ...ready, screen: 'denied' }, false, /Permissions/],
    [{ ...ready, screen: 'granted' }, true, ''],
  ], (state, enabled, reason) => {
    const readiness = recordReadiness(state);
    assert.equal(readiness.enabled, enabled, JSON.stringify(state));
    if (reason) assert.match(readiness.reason, reason);
    else assert.equal(readiness.reason, '');
  });
  assert.deepEqual(startPayload({ kind: 'window', id: 77 }, {
    fps: 60, capHeight: 1080, micEnabled: false, systemAudioEnabled: true, webcamEnabled: false,
    hideWindow: true, cursorMode: 'system', webcamShape: 'circle',
  }), { sourceKind: 'window', sourceID: 77, fps: 60, capHeight: 1080, mic: false,
        systemAudio: true, webcam: false, hideWindow: true, cursorMode: 'system' });
  // Options the page does not know are left to the application's settings.
  assert.deepEqual(startPayload({ kind: 'display', id: 0 }, { fps: '60', micEnabled: 1 }),
                   { sourceKind: 'display', sourceID: 0 });
});

// The phases and the bar are driven end to end by the WebDriver bar test; not these events.
test('the recording flow counts down, ignores events it cannot read and starts from zero', () => {
  const run = (...events) => events.reduce((f, [name, data]) => applyEvent(f, name, data),
                                           initialFlow());
  const counting = run(['state', { phase: 'countdown', elapsedMs: 0 }], ['countdown', { n: 2 }]);
  assert.deepEqual([counting.countdown, run(['countdown', { n: 0 }]).countdown], [2, null]);
  const recording = run(['state', { phase: 'recording', elapsedMs: 900 }]);
  for (const [name, data] of [['state', { phase: 'dancing' }], ['state', {}], ['tick', {}],
                              ['tick', { elapsedMs: -4 }], ['countdown', { n: 'three' }],
                              ['saved', { name: 'x' }]]) {
    assert.deepEqual(applyEvent(recording, name, data), recording, `${name} ${data.phase}`);
  }
  assert.equal(run(['state', { phase: 'recording' }], ['tick', { elapsedMs: 9000 }],
                   ['state', { phase: 'idle' }], ['state', { phase: 'countdown' }]).elapsedMs, 0);
  // No bar when the window is hidden.
  assert.deepEqual([viewFor(recording), viewFor(recording, { hideWindow: true })],
                   ['bar', 'normal']);
  const none = { pause: false, resume: false, stop: false, discard: false };
  check([['recording', { ...none, pause: true, stop: true, discard: true }],
         ['paused', { ...none, resume: true, stop: true, discard: true }],
         ['stopping', none], ['countdown', none]],
        (phase, controls) => assert.deepEqual(barControls({ phase }), controls, phase));
});

test('the trim stays inside the recording with its edges apart, on a waveform of columns', () => {
  check([
    [{ startMs: 0, endMs: 3000 }, 3000, [0, 3000]],
    [{ startMs: -50, endMs: 9000 }, 3000, [0, 3000]],
    [{ startMs: 2000, endMs: 1000 }, 3000, [2000, 2100]],
    [{ startMs: 2990, endMs: 3000 }, 3000, [2900, 3000]],
    [{ startMs: 10.4, endMs: 20.6 }, 3000, [10, 110]], [{ startMs: 0, endMs: 40 }, 40, [0, 40]],
    [{ startMs: 'x' }, 3000, [0, 100]],
  ], (range, duration, [startMs, endMs]) => {
    assert.deepEqual(clampRange(range, duration), { startMs, endMs }, JSON.stringify(range));
  });
  const range = { startMs: 1000, endMs: 2000 };
  check([['start', 500, [500, 2000]], ['start', 1950, [1900, 2000]], ['start', -10, [0, 2000]],
         ['end', 2500, [1000, 2500]], ['end', 1000, [1000, 1100]], ['end', 99999, [1000, 3000]]],
        (edge, ms, [startMs, endMs]) => {
          assert.deepEqual(moveEdge(range, edge, ms, 3000), { startMs, endMs }, `${edge} ${ms}`);
        });
  // Halfway, the start is taken.
  assert.deepEqual([nearerEdge(range, 1200), nearerEdge(range, 1500), nearerEdge(range, 1800)],
                   ['start', 'start', 'end']);
  check([[0, 400, 0], [200, 400, 1500], [900, 400, 3000], [-5, 400, 0], [100, 0, 0]],
        (x, width, ms) => assert.equal(msAtX(x, width, 3000), ms, `${x} of ${width}`));
  // Short sounds are not lost; wider than the peaks, each spans several columns.
  const peaks = [0, 0, 0, 1, 0, 0, 0, 0.5];
  check([[peaks, 4, [0, 1, 0, 0.5]], [peaks, 2, [1, 0.5]], [[0.2, 0.8], 4, [0.2, 0.2, 0.8, 0.8]],
         [[2, -1, 'x'], 3, [1, 0, 0]], [[], 3, [0, 0, 0]], [null, 2, [0, 0]]],
        (list, n, columns) => assert.deepEqual(columnsFromPeaks(list, n), columns));
});
