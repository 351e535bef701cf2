// A recording's file from the library and the export panel: renaming it (the movie, its project
// and its webcam movie move together on the native side) and copying it to the clipboard as a
// file, so that it pastes into a chat, a mail or a file manager.

import { call } from './bridge.js';
import { el } from './dom.js';
import { recordingTitle, titleParts } from './format.js';
import { toast } from './shell.js';
import { flushSave } from './editor/save.js';
import { store } from './editor/store.js';

export async function copyFile(name) {
  try {
    await call('library.copy', { name });
    toast(`Copied “${recordingTitle(name)}”: paste it into a chat, a mail or a folder.`,
          'success');
  } catch (error) {
    toast(error.message || 'The movie could not be copied.', 'error');
  }
}

// Renames `name` to `newName` (without its extension); resolves with the new file name, or null
// when nothing was renamed (the failure is shown in `errorBox`). A recording open in the editor
// keeps its edits: they are saved first and the editor follows the new name.
export async function renameRecording(name, newName, errorBox) {
  const open = store.state.name === name;
  if (open) await flushSave();
  let renamed;
  try {
    renamed = (await call('library.rename', { name, newName }))?.name;
  } catch (error) {
    errorBox.textContent = error.message || 'The recording could not be renamed.';
    errorBox.hidden = false;
    return null;
  }
  if (renamed && renamed !== name && open) {
    const { openRecording } = await import('./editor.js');
    openRecording(renamed);
  }
  return renamed ?? null;
}

// The title of the chosen recording as a heading with a Rename button; the button turns the
// heading into a field (Enter renames, Escape gives up). `onRenamed(newName)` runs after a rename.
export function renamableTitle(name, onRenamed) {
  const title = recordingTitle(name);
  // Cut in the middle, as the cards are: the end tells a recording from its exports.
  const heading = el('h2', { title: name, id: 'detail-title' },
    ...titleParts(title, 24).map((text, i) => el('span', {
      className: i ? 'rec-name-tail' : 'rec-name-head', text })));
  const box = el('div', { className: 'detail-title' }, heading);
  const error = el('p', { className: 'inline-error rename-error', role: 'alert', hidden: true });
  const startEditing = () => {
    const field = el('input', { type: 'text', className: 'rename-field', id: 'rename-field',
                                value: title, 'aria-label': 'New name', spellcheck: 'false' });
    let busy = false;
    const finish = async (save) => {
      if (busy) return;
      if (!save || field.value.trim() === title) {
        box.replaceChildren(heading, renameButton);
        renameButton.focus();
        return;
      }
      busy = true;
      const renamed = await renameRecording(name, field.value, error);
      busy = false;
      if (renamed) onRenamed(renamed);
      else field.focus();
    };
    field.addEventListener('keydown', (event) => {
      if (event.key === 'Enter') finish(true);
      else if (event.key === 'Escape') finish(false);
      else return;
      event.preventDefault();
      event.stopPropagation();
    });
    field.addEventListener('input', () => { error.hidden = true; });
    box.replaceChildren(field, el('button', {
      type: 'button', className: 'button small primary', text: 'Rename',
      onclick: () => finish(true) }), error);
    field.focus();
    field.select();
  };
  const renameButton = el('button', { type: 'button', className: 'button small ghost',
                                      id: 'rename-button', text: 'Rename',
                                      'aria-label': `Rename ${title}`, onclick: startEditing });
  box.append(renameButton);
  return box;
}
