// The Looks panel: styling kept in the settings to use again (background and frame, cursor,
// webcam, output shape). The default look styles every recording opened without an edit of its
// own; named looks are picked from here and apply to the recording open now (one undo step).

import { call } from '../../bridge.js';
import { el } from '../../dom.js';
import { lookOf, withLook } from '../../edit_model.js';
import { toast } from '../../shell.js';
import { store } from '../store.js';
import { onRender, panel } from './controls.js';

const looks = { defaultLook: null, named: [], loading: null };
const views = [];

function take(reply) {
  looks.defaultLook = reply?.defaultLook && typeof reply.defaultLook === 'object'
    ? reply.defaultLook : null;
  looks.named = Array.isArray(reply?.looks)
    ? reply.looks.filter((l) => typeof l?.name === 'string' && l.look) : [];
  for (const view of views) view();
}

// The looks in the settings, read once; each change answers with them all again.
export function loadLooks() {
  looks.loading ??= call('looks.get', {}).then(take, () => take(null));
  return looks.loading;
}

// The default look (null: none), for a recording opened without an edit of its own.
export async function defaultLook() {
  await loadLooks();
  return looks.defaultLook;
}

async function change(command, payload, done) {
  try {
    take(await call(command, payload));
    if (done) toast(done);
  } catch (error) {
    toast(error.message || 'The look could not be kept.', 'bad');
  }
}

export function looksPanel() {
  const pick = el('select', { id: 'look-pick', 'aria-label': 'Saved looks' });
  const remove = el('button', { type: 'button', className: 'button ghost small', id: 'look-delete',
                                text: 'Delete' });
  const name = el('input', { type: 'text', id: 'look-name', placeholder: 'Name of this look',
                             maxlength: '60', 'aria-label': 'Name of this look' });
  const save = el('button', { type: 'button', className: 'button ghost small', id: 'look-save',
                              text: 'Save look' });
  const makeDefault = el('button', { type: 'button', className: 'button ghost small',
                                     id: 'look-default', text: 'Save as default look' });
  const forget = el('button', { type: 'button', className: 'button ghost small',
                                id: 'look-forget-default', text: 'Forget default' });
  const note = el('p', { className: 'muted small-note', id: 'look-note' });

  const chosen = () => looks.named.find((l) => l.name === pick.value) ?? null;
  const render = () => {
    const wanted = looks.named.map((l) => l.name).join('\n');
    if (pick.dataset.names !== wanted) {
      const keep = pick.value;
      pick.dataset.names = wanted;
      pick.replaceChildren(el('option', { value: '', text: looks.named.length
        ? 'Apply a saved look…' : 'No saved looks yet' }),
        ...looks.named.map((l) => el('option', { value: l.name, text: l.name })));
      pick.value = looks.named.some((l) => l.name === keep) ? keep : '';
    }
    pick.disabled = !looks.named.length;
    remove.disabled = !chosen();
    save.disabled = !name.value.trim();
    forget.hidden = !looks.defaultLook;
    note.textContent = looks.defaultLook
      ? 'Recordings opened without an edit of their own take the default look.'
      : 'No default look: new recordings open with the standard one.';
  };
  views.push(render);
  onRender(render);

  pick.addEventListener('change', () => {
    const look = chosen();
    if (look && store.doc()) store.commit(withLook(store.doc(), look.look));
    render();
  });
  remove.addEventListener('click', () => {
    const look = chosen();
    if (look) change('looks.delete', { name: look.name }, `Deleted the look “${look.name}”.`);
  });
  name.addEventListener('input', render);
  const saveNamed = () => {
    const text = name.value.trim();
    if (!text || !store.doc()) return;
    change('looks.save', { name: text, look: lookOf(store.doc()) }, `Saved the look “${text}”.`)
      .then(() => {
        name.value = '';
        pick.value = text;
        render();
      });
  };
  save.addEventListener('click', saveNamed);
  name.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') saveNamed();
  });
  makeDefault.addEventListener('click', () => {
    if (store.doc()) {
      change('looks.save', { default: true, look: lookOf(store.doc()) },
             'New recordings will open with this look.');
    }
  });
  forget.addEventListener('click', () => change('looks.delete', { default: true },
                                                 'New recordings open with the standard look.'));
  loadLooks();
  return panel('Looks', 'looks',
    el('div', { className: 'field' }, pick, remove),
    el('div', { className: 'field' }, name, save),
    el('div', { className: 'field' }, makeDefault, forget),
    note);
}
