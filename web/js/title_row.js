// The page's header is the window's title row: its empty part moves the window (a double click
// maximises it), and the menu and window buttons at its end act on the window through the bridge.
// GTK draws no title bar of its own, so the header and the title bar are one row.

import { call, isAvailable, on } from './bridge.js';
import { el } from './dom.js';

// Presses on these are the controls' own, never the start of a move.
const INTERACTIVE = 'button, a, input, select, textarea, [role="menu"], [role="menuitem"], .tabs';
// How far (px) a press moves before it becomes a move of the window, so that a click stays one.
const DRAG_THRESHOLD = 4;

let menuItems = [];
let menuEl = null;
let menuButton = null;
let maximizeButton = null;

function isEmptyPart(target) {
  return !target.closest(INTERACTIVE);
}

// A press on the header's empty part that moves past the threshold, button still held, hands the
// window to the window system to move.
function attachDrag(topbar) {
  let press = null;
  topbar.addEventListener('mousedown', (event) => {
    press = event.button === 0 && isEmptyPart(event.target)
      ? { x: event.screenX, y: event.screenY } : null;
  });
  topbar.addEventListener('mousemove', (event) => {
    if (!press || !(event.buttons & 1)) {
      press = null;
      return;
    }
    if (Math.hypot(event.screenX - press.x, event.screenY - press.y) < DRAG_THRESHOLD) return;
    press = null;
    call('window.drag', {}).catch(() => {});
  });
  topbar.addEventListener('mouseup', () => { press = null; });
  topbar.addEventListener('dblclick', (event) => {
    if (event.button === 0 && isEmptyPart(event.target)) toggleMaximize();
  });
}

function toggleMaximize() {
  call('window.toggleMaximize', {}).catch(() => {});
}

function showMaximized(maximized) {
  if (!maximizeButton) return;
  const label = maximized ? 'Restore' : 'Maximise';
  maximizeButton.setAttribute('aria-label', label);
  maximizeButton.title = label;
  maximizeButton.classList.toggle('restore', maximized);
}

// GTK's accelerator text ("<Control>r") as the menu shows it ("Ctrl+R").
export function shortcutText(accel = '') {
  const names = { Control: 'Ctrl', Primary: 'Ctrl', Shift: 'Shift', Alt: 'Alt', Super: 'Super' };
  const mods = [...accel.matchAll(/<([^>]+)>/g)].map((m) => names[m[1]] ?? m[1]);
  const key = accel.replace(/<[^>]+>/g, '');
  return key ? [...mods, key.length === 1 ? key.toUpperCase() : key].join('+') : '';
}

function closeMenu({ focusButton = false } = {}) {
  if (!menuEl || menuEl.hidden) return;
  menuEl.hidden = true;
  menuButton.setAttribute('aria-expanded', 'false');
  if (focusButton) menuButton.focus();
}

function openMenu({ focusFirst = false } = {}) {
  menuEl.replaceChildren(...menuItems.flatMap((section, i) => [
    i > 0 ? el('div', { className: 'title-menu-separator', role: 'separator' }) : null,
    ...section.map((item) => el('button', {
      type: 'button', role: 'menuitem', className: 'title-menu-item', tabindex: '-1',
      dataset: { action: item.action },
      onclick: () => {
        closeMenu({ focusButton: true });
        call('window.menuAction', { action: item.action }).catch(() => {});
      },
    }, el('span', { text: item.label }),
    item.accel ? el('span', { className: 'title-menu-accel', text: shortcutText(item.accel) })
      : null)),
  ]).filter(Boolean));
  menuEl.hidden = false;
  menuButton.setAttribute('aria-expanded', 'true');
  if (focusFirst) menuEl.querySelector('[role="menuitem"]')?.focus();
}

function onMenuKey(event) {
  const items = [...menuEl.querySelectorAll('[role="menuitem"]')];
  const at = items.indexOf(document.activeElement);
  const step = { ArrowDown: 1, ArrowUp: -1 }[event.key];
  if (step) {
    items[(at + step + items.length) % items.length]?.focus();
  } else if (event.key === 'Home') {
    items[0]?.focus();
  } else if (event.key === 'End') {
    items.at(-1)?.focus();
  } else if (event.key === 'Escape' || event.key === 'Tab') {
    closeMenu({ focusButton: event.key === 'Escape' });
    if (event.key === 'Tab') return;
  } else {
    return;
  }
  event.preventDefault();
  event.stopPropagation();
}

function windowButton(kind, label, onclick) {
  return el('button', { type: 'button', className: `window-button ${kind}`, 'aria-label': label,
                        title: label, onclick });
}

// Adds the menu and the window buttons to the header once the program's window answers for them;
// a page shown elsewhere (a browser, the picture tools) keeps its header as it is.
export async function initTitleRow() {
  const topbar = document.querySelector('.topbar');
  if (!topbar || !isAvailable()) return;
  let state;
  try {
    state = await call('window.state', {});
  } catch {
    return;
  }
  if (!state?.menu?.length) return;
  menuItems = state.menu;
  attachDrag(topbar);
  document.documentElement.classList.add('title-row');

  menuButton = el('button', {
    type: 'button', className: 'icon-button title-menu-button', id: 'title-menu-button',
    'aria-label': 'Menu', title: 'Menu', 'aria-haspopup': 'menu', 'aria-expanded': 'false',
    'aria-controls': 'title-menu',
    onclick: () => (menuEl.hidden ? openMenu() : closeMenu()),
    onkeydown: (event) => {
      if (event.key === 'ArrowDown' || event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        openMenu({ focusFirst: true });
      }
    },
  });
  menuEl = el('div', { className: 'title-menu', id: 'title-menu', role: 'menu',
                       'aria-label': 'Menu', hidden: true, onkeydown: onMenuKey });
  maximizeButton = windowButton('maximize', 'Maximise', toggleMaximize);
  const controls = el('div', { className: 'window-buttons', role: 'group',
                               'aria-label': 'Window' },
    windowButton('minimize', 'Minimise', () => call('window.minimize', {}).catch(() => {})),
    maximizeButton,
    windowButton('close', 'Close', () => call('window.close', {}).catch(() => {})));
  const actions = topbar.querySelector('.topbar-actions');
  actions.append(el('div', { className: 'title-menu-anchor' }, menuButton, menuEl), controls);
  showMaximized(Boolean(state.maximized));
  on('windowState', (data) => showMaximized(Boolean(data?.maximized)));
  document.addEventListener('mousedown', (event) => {
    if (!menuEl.hidden && !event.target.closest('.title-menu-anchor')) closeMenu();
  });
}
