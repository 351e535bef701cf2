// The account screen: signing in with the browser or with an e-mailed link, the wait for the
// browser (with Cancel), the signed-in profile, the export count and signing out. Every failure
// is shown beside the control that met it. The account is optional: nothing else on the page
// depends on it.

import { call, on } from './bridge.js';
import { $, el } from './dom.js';
import { accountView, applyAuthChanged, applyStartAnswer, initialAccount, initialsOf,
         readAuthState } from './account_model.js';
import { registerScreen, showScreen } from './shell.js';

let model = initialAccount();
let busy = '';
let events = 0;  // "authChanged" events heard: an older "auth.state" answer is dropped  // the command under way: "google", "email", "cancel", "signOut" or ""

function errorLine(place) {
  const text = model.errors[place];
  return text ? el('p', { className: 'inline-error', role: 'alert', id: `account-error-${place}`,
                          dataset: { place }, text }) : null;
}

function avatar(auth, size) {
  const box = el('span', { className: `avatar ${size}`, 'aria-hidden': 'true' },
    el('span', { className: 'avatar-initials', text: initialsOf(auth) }));
  if (auth.photo.startsWith('https://')) {
    const img = el('img', { src: auth.photo, alt: '', referrerpolicy: 'no-referrer' });
    img.addEventListener('load', () => box.classList.add('has-photo'));
    box.prepend(img);
  }
  return box;
}

function exportsBlock(auth) {
  const noun = auth.exportCount === 1 ? 'export' : 'exports';
  return el('div', { className: 'account-exports' },
    el('span', { className: 'account-count', id: 'account-export-count',
                 text: String(auth.exportCount) }),
    el('span', { className: 'muted', text: auth.signedIn ? `${noun} made with Marlune Studio`
      : `${noun} on this computer, added to your account when you sign in` }));
}

function button(label, kind, onclick, extra = {}) {
  return el('button', { type: 'button', className: `button ${kind}`, text: label, onclick,
                        disabled: busy !== '', ...extra });
}

function signedInCard(auth) {
  return el('div', { className: 'card account-card' },
    el('div', { className: 'account-profile' },
      avatar(auth, 'large'),
      el('div', { className: 'account-who' },
        el('h2', { id: 'account-name', text: auth.name || auth.email || 'Signed in' }),
        auth.name && auth.email
          ? el('p', { className: 'muted', id: 'account-email', text: auth.email }) : null)),
    exportsBlock(auth),
    el('div', { className: 'account-actions' },
      button('Sign out', 'ghost', signOut, { id: 'account-sign-out' })),
    errorLine('signOut'));
}

function waitingCard(view) {
  const byMail = view.waitingFor === 'email';
  return el('div', { className: 'card account-card account-waiting', 'aria-busy': 'true' },
    el('span', { className: 'account-spinner', 'aria-hidden': 'true' }),
    el('h2', { text: byMail ? 'Check your e-mail' : 'Waiting for your browser…' }),
    el('p', { className: 'muted', id: 'account-wait-text', text: byMail
      ? `A sign-in link was sent to ${view.email || 'your address'}. Open it on this computer ` +
        'to finish signing in.'
      : 'Finish signing in in the browser window that opened. Marlune Studio notices by itself ' +
        'when you are done.' }),
    el('div', { className: 'account-actions' },
      button('Cancel', 'ghost', cancel, { id: 'account-cancel' })));
}

function signedOutCard(auth) {
  const input = el('input', { type: 'email', id: 'account-email-input', name: 'email',
                              autocomplete: 'email', placeholder: 'you@example.com',
                              value: model.email, spellcheck: 'false',
                              'aria-invalid': model.errors.email ? 'true' : null,
                              'aria-describedby': model.errors.email ? 'account-error-email' : null,
                              disabled: busy !== '' });
  const form = el('form', { className: 'account-email', novalidate: true },
    el('label', { for: 'account-email-input',
                  text: 'Or get a sign-in link by e-mail' }),
    el('div', { className: 'account-email-row' }, input,
      button(busy === 'email' ? 'Sending…' : 'Email me a link', 'ghost', null,
             { type: 'submit', id: 'account-email-send' })),
    errorLine('email'));
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    signInByEmail(input.value);
  });
  return el('div', { className: 'card account-card' },
    el('h2', { text: 'Sign in' }),
    el('p', { className: 'muted', text: 'Signing in is optional: recording, editing and ' +
              'exporting work the same without an account. Signed in, your export count is ' +
              'kept with your account.' }),
    errorLine('wait'),
    button(busy === 'google' ? 'Opening the browser…' : 'Sign in with the browser', 'primary',
           signInWithBrowser, { id: 'account-google' }),
    errorLine('google'),
    form,
    el('div', { className: 'account-local' }, exportsBlock(auth)));
}

function render() {
  const view = accountView(model);
  const { auth } = model;
  const box = $('account-body');
  const typing = document.activeElement?.id === 'account-email-input';
  const focused = document.activeElement?.id;
  box.dataset.mode = view.mode;
  if (view.mode === 'signedIn') box.replaceChildren(signedInCard(auth));
  else if (view.mode === 'waiting') box.replaceChildren(waitingCard(view));
  else box.replaceChildren(signedOutCard(auth));
  // The focus stays on the control it was on when that control is still there.
  const again = focused ? document.getElementById(focused) : null;
  if (again && !again.disabled) again.focus();
  else if (typing) $('account-email-input')?.focus();
  renderTopbar();
}

function renderTopbar() {
  const { auth } = model;
  const chip = $('account-button');
  chip.replaceChildren(auth.signedIn ? avatar(auth, 'small')
    : el('span', { className: 'avatar small signed-out', 'aria-hidden': 'true' }));
  const label = auth.signedIn ? `Account: ${auth.name || auth.email}` : 'Account: not signed in';
  chip.setAttribute('aria-label', label);
  chip.title = label;
}

async function run(what, command, payload) {
  busy = what;
  render();
  try {
    return { result: await call(command, payload) };
  } catch (error) {
    return { error: error.message || 'Something went wrong.' };
  } finally {
    busy = '';
  }
}

async function signInWithBrowser() {
  const { error } = await run('google', 'auth.google');
  model = applyStartAnswer(model, 'google', { error });
  render();
  if (!error) $('account-cancel')?.focus();
}

async function signInByEmail(address) {
  model = { ...model, email: address };
  const { error } = await run('email', 'auth.magicLink', { email: address });
  model = applyStartAnswer(model, 'email', { error, email: address });
  render();
  if (error) $('account-email-input')?.focus();
  else $('account-cancel')?.focus();
}

// Stops waiting: signing out while signed out only ends the wait for the browser.
async function cancel() {
  await run('cancel', 'auth.signOut');
  render();
  $('account-google')?.focus();
}

async function signOut() {
  const { error } = await run('signOut', 'auth.signOut');
  if (error) model = { ...model, errors: { signOut: error } };
  render();
  if (!error) $('account-google')?.focus();
}

export function initAccountScreen() {
  on('authChanged', (data) => {
    events += 1;
    model = applyAuthChanged(model, data);
    render();
  });
  $('account-button').addEventListener('click', () => showScreen('account', { focus: true }));
  registerScreen('account', {});
  const before = events;
  call('auth.state').then((data) => {
    if (events === before) model = { ...model, auth: readAuthState(data) };
    render();
  }, () => render());
  render();
}
