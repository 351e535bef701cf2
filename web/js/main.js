// The starter page: announces itself to the application, then shows the version, the
// permissions and the recording settings.

import { call, isAvailable } from './bridge.js';
import { renderSettings } from './settings.js';

const $ = (id) => document.getElementById(id);

// ---------------------------------------------------------------------------------------------
// Theme: the page's choice, remembered in local storage; the window's chrome follows it.

const THEME_KEY = 'marlune.theme';

function storedTheme() {
  try {
    return localStorage.getItem(THEME_KEY) === 'light' ? 'light' : 'dark';
  } catch {
    return 'dark';
  }
}

function applyTheme(theme) {
  document.documentElement.dataset.theme = theme;
  $('theme-toggle').title = theme === 'dark' ? 'Switch to light chrome' : 'Switch to dark chrome';
  try {
    localStorage.setItem(THEME_KEY, theme);
  } catch {
    // Not remembered; the choice still holds for this session.
  }
  if (isAvailable()) call('app.setChrome', { dark: theme === 'dark' }).catch(() => {});
}

// ---------------------------------------------------------------------------------------------
// Status line

let statusTimer = 0;
function showStatus(text, kind = 'ok') {
  const status = $('status');
  status.textContent = text;
  status.dataset.kind = kind;
  clearTimeout(statusTimer);
  if (kind === 'ok') statusTimer = setTimeout(() => { status.textContent = ''; }, 2000);
}

// ---------------------------------------------------------------------------------------------
// Permissions

const PERMISSION_NAMES = {
  screen: 'Screen recording',
  microphone: 'Microphone',
  camera: 'Camera',
  accessibility: 'Accessibility',
};

function renderPermissions(permissions) {
  const list = $('permissions');
  list.replaceChildren();
  if (!permissions || typeof permissions !== 'object' || !Object.keys(permissions).length) {
    const item = document.createElement('li');
    item.className = 'muted';
    item.textContent = 'This version does not check permissions yet.';
    list.append(item);
    return;
  }
  for (const [key, value] of Object.entries(permissions)) {
    const item = document.createElement('li');
    const name = document.createElement('span');
    name.textContent = PERMISSION_NAMES[key] ?? key;
    const badge = document.createElement('span');
    const state = typeof value === 'boolean' ? (value ? 'granted' : 'denied') : String(value);
    badge.className = `badge ${state}`;
    badge.textContent = state.replace(/([A-Z])/g, ' $1').toLowerCase();
    item.append(name, badge);
    list.append(item);
  }
}

// ---------------------------------------------------------------------------------------------

function setConnected(connected, text) {
  $('bridge-dot').classList.toggle('on', connected);
  $('bridge-state').textContent = text;
}

async function start() {
  applyTheme(storedTheme());
  $('theme-toggle').addEventListener('click', () => {
    applyTheme(document.documentElement.dataset.theme === 'dark' ? 'light' : 'dark');
  });

  if (!isAvailable()) {
    setConnected(false, 'Open this page in Marlune Studio to use it.');
    return;
  }
  try {
    const ready = await call('app.ready');
    $('version').textContent = `v${ready.version}`;
    setConnected(true, 'Ready to record.');
    renderPermissions(ready.permissions);
    renderSettings($('settings'), ready.settings, {
      onSaved: () => showStatus('Saved'),
      onError: (error) => showStatus(error.message || 'Could not save the setting', 'error'),
    });
  } catch (error) {
    setConnected(false, error.message || 'Marlune did not answer.');
  }
}

start();
