// The shell around the screens: navigation, toasts, the connection line, the theme and the hooks
// by which screens reach one another (the library opens a recording in the editor when an editor
// is registered).

import { call, isAvailable } from './bridge.js';
import { $, el, isTyping } from './dom.js';
import { initTitleRow } from './title_row.js';

const screens = new Map();  // name → {onShow, onHide, onKey}
let current = 'record';
let editor = null;

// Adds a screen's hooks: `onShow()`, `onHide()`, `onKey(event)` (returns true when it used the
// key) and `beforeLeave()` (a promise of whether another screen may be shown: work under way may
// ask first). The screen's element is the section whose data-screen is `name`.
export function registerScreen(name, hooks = {}) {
  screens.set(name, hooks);
}

export function currentScreen() {
  return current;
}

export function showScreen(name, { focus = false, asked = false } = {}) {
  const section = document.querySelector(`section.screen[data-screen="${name}"]`);
  const tab = document.querySelector(
    `.tab[data-screen="${name}"], .account-button[data-screen="${name}"]`);
  if (!section || tab?.disabled) return false;
  const leaving = screens.get(current)?.beforeLeave;
  if (name !== current && leaving && !asked) {
    // Shown once the screen being left agrees.
    Promise.resolve(leaving()).then((ok) => {
      if (ok) showScreen(name, { focus, asked: true });
    });
    return false;
  }
  if (name !== current) {
    screens.get(current)?.onHide?.();
    current = name;
  }
  for (const s of document.querySelectorAll('section.screen')) s.hidden = s !== section;
  for (const t of document.querySelectorAll('.tab, .account-button')) {
    if (t === tab) t.setAttribute('aria-current', 'page');
    else t.removeAttribute('aria-current');
  }
  screens.get(name)?.onShow?.();
  if (focus) section.querySelector('h1, [autofocus]')?.focus?.();
  return true;
}

// The editor, once there is one: `open(name)` shows the recording in it. Enables the Editor tab
// and the library's "Open in editor".
export function registerEditor(open) {
  editor = open;
  const tab = document.querySelector('.tab[data-screen="editor"]');
  if (tab) {
    tab.disabled = false;
    tab.removeAttribute('title');
  }
  document.dispatchEvent(new CustomEvent('marlune:editor'));
}

export function hasEditor() {
  return editor !== null;
}

export function openInEditor(name) {
  if (!editor) return false;
  showScreen('editor');
  editor(name);
  return true;
}

// ---- Toasts ----------------------------------------------------------------------------------

const TOAST_MS = { info: 5000, success: 4000, error: 9000 };

// Shows a short message at the bottom of the window. Errors stay longer and are read out at once.
export function toast(message, kind = 'info') {
  if (!message) return;
  const box = $('toasts');
  // The same message twice in a row is shown once, with its time renewed.
  const last = box.lastElementChild;
  if (last && last.dataset.message === message && last.dataset.kind === kind) {
    clearTimeout(Number(last.dataset.timer));
    last.dataset.timer = String(setTimeout(() => last.remove(), TOAST_MS[kind] ?? 5000));
    return;
  }
  const close = el('button', { type: 'button', className: 'toast-close', 'aria-label': 'Dismiss',
                               onclick: () => item.remove() });
  const item = el('div', { className: `toast ${kind}`, role: kind === 'error' ? 'alert' : 'status',
                           dataset: { message, kind } },
    el('span', { className: 'toast-text', text: message }), close);
  box.append(item);
  while (box.children.length > 4) box.firstElementChild.remove();
  item.dataset.timer = String(setTimeout(() => item.remove(), TOAST_MS[kind] ?? 5000));
}

// ---- Connection line and theme ---------------------------------------------------------------

export function setConnection(state, text) {
  $('bridge-dot').className = `dot ${state}`;
  $('bridge-state').textContent = text;
}

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
  const label = theme === 'dark' ? 'Switch to light chrome' : 'Switch to dark chrome';
  $('theme-toggle').title = label;
  $('theme-toggle').setAttribute('aria-label', label);
  try {
    localStorage.setItem(THEME_KEY, theme);
  } catch {
    // Not remembered; the choice still holds for this session.
  }
  if (isAvailable()) call('app.setChrome', { dark: theme === 'dark' }).catch(() => {});
}

// ---- Keyboard --------------------------------------------------------------------------------

const SCREEN_KEYS = { 1: 'record', 2: 'library', 3: 'editor', 4: 'account' };

function onKeyDown(event) {
  if (document.body.classList.contains('bar-mode')) return;
  if (event.altKey && !event.ctrlKey && !event.metaKey && SCREEN_KEYS[event.key]) {
    if (showScreen(SCREEN_KEYS[event.key], { focus: true })) event.preventDefault();
    return;
  }
  if (event.defaultPrevented) return;
  if (screens.get(current)?.onKey?.(event)) {
    event.preventDefault();
    return;
  }
  // Keys every screen shares: R records with the current choices.
  if (!event.ctrlKey && !event.altKey && !event.metaKey && !isTyping(event.target) &&
      (event.key === 'r' || event.key === 'R')) {
    document.dispatchEvent(new CustomEvent('marlune:record-shortcut'));
    event.preventDefault();
  }
}

export function initShell() {
  applyTheme(storedTheme());
  $('theme-toggle').addEventListener('click', () => {
    applyTheme(document.documentElement.dataset.theme === 'dark' ? 'light' : 'dark');
  });
  for (const tab of document.querySelectorAll('.tab')) {
    tab.addEventListener('click', () => showScreen(tab.dataset.screen));
  }
  document.addEventListener('keydown', onKeyDown);
  initTitleRow();
}
