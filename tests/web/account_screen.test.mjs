import assert from 'node:assert/strict';
import { test } from 'node:test';

import { accountView, applyAuthChanged, applyStartAnswer, initialAccount } from
  '../../web/js/account_model.js';

const SIGNED_IN = { signedIn: true, uid: 'u1', email: 'ann@example.com', name: 'Ann Example',
                    photo: '', exportCount: 3, waitingForBrowser: false };

test('each sign-in path leads to the right screen, with failures where they happened', () => {
  const steps = (model, ...fns) => fns.reduce((m, fn) => fn(m), model);
  const start = initialAccount();
  for (const [why, model, view, errors] of [
    ['browser started', steps(start, (m) => applyStartAnswer(m, 'google')),
     { mode: 'waiting', waitingFor: 'browser', email: '' }, {}],
    ['browser failed', steps(start, (m) => applyStartAnswer(m, 'google', { error: 'No browser' })),
     { mode: 'signedOut' }, { google: 'No browser' }],
    ['link sent, then the event', steps(start,
      (m) => applyStartAnswer(m, 'email', { email: ' ann@example.com ' }),
      (m) => applyAuthChanged(m, { waitingForBrowser: true })),
    { mode: 'waiting', waitingFor: 'email', email: 'ann@example.com' }, {}],
    ['bad address', steps(start, (m) => applyStartAnswer(m, 'email',
      { error: 'Enter a valid email address', email: 'ann' })),
    { mode: 'signedOut' }, { email: 'Enter a valid email address' }],
    ['wait ended by the browser with an error', steps(start, (m) => applyStartAnswer(m, 'google'),
      (m) => applyAuthChanged(m, { waitingForBrowser: false, error: 'access_denied' })),
    { mode: 'signedOut' }, { wait: 'access_denied' }],
    ['cancelled (no error)', steps(start, (m) => applyStartAnswer(m, 'email', { email: 'a@b' }),
      (m) => applyAuthChanged(m, { waitingForBrowser: false })), { mode: 'signedOut' }, {}],
    ['signed in clears an earlier failure', steps(start,
      (m) => applyStartAnswer(m, 'google', { error: 'No browser' }),
      (m) => applyAuthChanged(m, SIGNED_IN)), { mode: 'signedIn' }, {}],
    ['a second wait is by the browser after an e-mail wait ended', steps(start,
      (m) => applyStartAnswer(m, 'email', { email: 'a@b' }),
      (m) => applyAuthChanged(m, { waitingForBrowser: false }),
      (m) => applyAuthChanged(m, { waitingForBrowser: true })),
    { mode: 'waiting', waitingFor: 'browser', email: 'a@b' }, {}],
  ]) {
    assert.deepEqual(accountView(model), view, why);
    assert.deepEqual(model.errors, errors, why);
  }
});
