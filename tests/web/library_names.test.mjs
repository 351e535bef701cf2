import assert from 'node:assert/strict';
import { test } from 'node:test';

import { titleParts } from '../../web/js/format.js';

test('a shortened title keeps the end that tells a recording from its copies', () => {
  for (const [title, parts] of [
    ['Marlune 2026-12-08 at 14.30.12', ['Marlune 2026-12-08', ' at 14.30.12']],
    ['Marlune 2026-12-08 at 14.30.12 export', ['Marlune 2026-12-08 at', ' 14.30.12 export']],
    ['Short take', ['', 'Short take']],
    ['averyveryverylongnamewithoutspaces', ['averyveryverylongn', 'amewithoutspaces']],
  ]) assert.deepEqual(titleParts(title), parts, title);
});
