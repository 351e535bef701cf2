// The editor's keys: Ctrl+Z / Ctrl+Shift+Z / Ctrl+Y, Space to play, Z to add a zoom, Delete to
// remove the chosen one, Esc to let go of it, arrows, Home and End to move the playhead.

import { isTyping } from '../dom.js';
import { seek, togglePlay } from './playback.js';
import { store } from './store.js';
import { addZoomAtPlayhead, deleteSelected } from './timeline.js';

// Arrow keys step by one picture of a 30 fps recording (the recorder's default), Shift by a second.
const FRAME_MS = 1000 / 30;

// True when the key was the editor's.
export function onKey(event) {
  const doc = store.doc();
  if (!doc || document.querySelector('.player-layer')) return false;
  const key = event.key;
  const ctrl = event.ctrlKey || event.metaKey;
  if (ctrl && !event.altKey && (key === 'z' || key === 'Z')) {
    if (isTyping(event.target)) return false;
    if (event.shiftKey) store.redo();
    else store.undo();
    return true;
  }
  if (ctrl && !event.altKey && (key === 'y' || key === 'Y')) {
    store.redo();
    return true;
  }
  if (ctrl || event.altKey || isTyping(event.target)) return false;
  const onControl = event.target.closest?.('input, select, [role="slider"]');
  switch (key) {
    case ' ':
      if (event.target.closest?.('select')) return false;
      togglePlay();
      return true;
    case 'Delete':
    case 'Backspace':
      return deleteSelected();
    case 'z':
    case 'Z':
      addZoomAtPlayhead();
      return true;
    case 'Escape':
      if (!store.state.selected) return false;
      store.select(null);
      return true;
    case 'ArrowLeft':
    case 'ArrowRight': {
      if (onControl) return false;
      const step = (event.shiftKey ? 1000 : FRAME_MS) * (key === 'ArrowLeft' ? -1 : 1);
      seek(store.state.playheadMs + step);
      return true;
    }
    case 'Home':
      if (onControl) return false;
      seek(doc.range.startMs);
      return true;
    case 'End':
      if (onControl) return false;
      seek(doc.range.endMs);
      return true;
    default:
      return false;
  }
}
