// The permissions card in a Wayland session, where the desktop, not Marlune, holds the keys: the
// screen is shared through the desktop's own dialog, clicks need the input devices, and the hot
// key needs the desktop's global shortcuts. The card explains each, also once it is allowed.

import { el } from './dom.js';

// The one command that lets this account read the input devices (after logging in again).
export const INPUT_GROUP_COMMAND = 'sudo usermod -aG input "$USER"';

const TEXTS = {
  screen: {
    name: 'Screen capture',
    granted: 'Asked by the desktop',
    why: 'Your desktop asks which screen or window to share, in its own dialog. Marlune keeps '
      + 'the desktop’s answer (a restore token), so recording the same source again does not '
      + 'ask; the desktop’s privacy settings can withdraw it.',
    denied: 'No screen-sharing portal answers on this desktop: install xdg-desktop-portal with '
      + 'your desktop’s portal back end, then relaunch Marlune.',
  },
  inputDevices: {
    name: 'Clicks',
    granted: 'Allowed',
    why: 'Wayland keeps clicks in other apps private, so Marlune reads the mouse and touchpad '
      + 'devices directly (never the keyboard) to show click effects.',
    denied: 'This command allows it for your account; log out and back in afterwards. Members '
      + 'of the input group can read every input device, keyboards included. Without it '
      + 'recordings have no click track, and the editor says why the click effects are missing.',
    notDetermined: 'No mouse or touchpad was found.',
  },
  hotkey: {
    name: 'Hot key Ctrl+Shift+2',
    granted: 'Allowed',
    why: 'Bound through the desktop’s global shortcuts; the desktop may ask you to confirm it, '
      + 'or let you choose another key in its settings.',
    denied: 'This desktop does not let apps set a global shortcut. Stop a recording from the '
      + 'tray icon or the recording bar instead.',
  },
};

const BADGES = { denied: 'Not allowed', notDetermined: 'Not set up' };

// The kinds the card lists: Wayland's own always, the others (`missing`) when not allowed.
export function waylandKinds(permissions, missing) {
  const own = Object.keys(TEXTS).filter((kind) => typeof permissions?.[kind] === 'string');
  return [...own, ...missing.filter((kind) => !own.includes(kind))];
}

export const isWaylandKind = (kind) => kind in TEXTS;

// One row of the card; `actions` are the generic ones (allow, settings, relaunch) for the screen.
export function waylandItem(kind, value, actions, { onCheck }) {
  const text = TEXTS[kind];
  const badge = value === 'granted' || (kind === 'screen' && value !== 'denied') ? text.granted
    : kind === 'hotkey' ? 'Not offered'
      : kind === 'inputDevices' && value === 'notDetermined' ? 'No device' : BADGES[value];
  const extra = value === 'granted' ? '' : text[value] ?? '';
  const detail = kind === 'screen' && extra ? extra : [text.why, extra].filter(Boolean).join(' ');
  const buttons = [];
  if (kind === 'screen' && value === 'denied') buttons.push(...actions);
  if (kind === 'inputDevices' && value !== 'granted') {
    buttons.push(el('button', { type: 'button', className: 'button ghost', text: 'Check again',
                                onclick: (e) => onCheck(e.currentTarget) }));
  }
  return el('li', { dataset: { kind } },
    el('span', { className: 'permission-text' },
      el('strong', { text: text.name }),
      el('span', { className: `badge ${value}`, text: badge }),
      el('span', { className: 'muted', text: detail }),
      kind === 'inputDevices' && value === 'denied'
        ? el('code', { className: 'permission-command', text: INPUT_GROUP_COMMAND }) : null),
    el('span', { className: 'permission-actions' }, buttons));
}
