// The Zoom panel: zooms proposed from the recording's clicks and typing, and the chosen zoom
// region's scale and what its camera follows.

import { addProposedZooms } from '../../auto_zoom_model.js';
import { call, isUnsupported } from '../../bridge.js';
import { el } from '../../dom.js';
import { followModes, projectTracks, updateZoom, zoomById } from '../../edit_model.js';
import { toast } from '../../shell.js';
import { store } from '../store.js';
import { deleteSelected } from '../timeline.js';
import { onRender, panel, times } from './controls.js';

const MODES = [['fixed', 'Fixed point'], ['cursor', 'Pointer'], ['caret', 'Caret']];

function setZoom(patch, record) {
  const next = updateZoom(store.state.history.current, store.state.selected, patch);
  if (record) store.commit(next);
  else store.show(next);
}

function followText(zoom, can) {
  const text = zoom.follow === 'fixed' ? 'Click on the picture to choose where it looks.'
    : !can[zoom.follow] ? 'This recording has no track to follow: the camera holds its point.'
      : zoom.follow === 'caret' ? 'Goes where text is typed; holds still otherwise.'
        : 'Moves when the pointer leaves the middle of the view.';
  return can.cursor ? text
    : `${text} Following needs a recording made with the smoothed cursor.`;
}

function plural(n, one) {
  return `${n} ${one}${n === 1 ? '' : 's'}`;
}

// A proposal is being asked for: the button waits for it.
let asking = false;

// Asks for the proposal and adds what fits to the edit as one step that one undo takes back.
async function autoZoom(button) {
  const { name, durationMs } = store.state;
  if (!name || !store.doc() || asking) return;
  asking = true;
  button.disabled = true;
  try {
    const reply = await call('edit.autoZoom', { name, durationMs });
    if (store.state.name !== name || !store.doc()) return;
    const proposals = Array.isArray(reply?.zooms) ? reply.zooms : [];
    const { edit, added, skipped } = addProposedZooms(store.doc(), proposals, durationMs);
    if (added) store.commit(edit);
    const kept = skipped ? ` (${plural(skipped, 'proposal')} left out: a zoom is already there)`
      : '';
    toast(added ? `Added ${plural(added, 'zoom')}${kept}. Undo takes them all back.`
      : skipped ? 'Every proposed zoom overlaps one already on the timeline.'
        : 'No clicks or typing in this recording to zoom on.', 'info');
  } catch (error) {
    if (store.state.name === name) {
      toast(isUnsupported(error) ? 'Automatic zooms are not available here.'
        : `No automatic zooms: ${error.message}`, 'error');
    }
  } finally {
    asking = false;
    store.changed('selection');
  }
}

export function zoomPanel() {
  const body = el('div', { className: 'zoom-fields' });
  const empty = el('p', { className: 'muted small-note', id: 'zoom-empty',
                          text: 'Add a zoom with the button or Z at the playhead, then drag it on '
                            + 'the timeline; its edges change its length.' });
  const auto = el('button', { type: 'button', className: 'button small', id: 'zoom-auto',
                              title: 'Propose zooms from the clicks and typing of the recording',
                              onclick: () => autoZoom(auto) }, 'Auto zoom');
  const scale = el('input', { type: 'range', min: '1.25', max: '6', step: '0.05',
                              id: 'zoom-scale', 'aria-label': 'Zoom scale' });
  const scaleOut = el('output', { for: 'zoom-scale' });
  scale.addEventListener('input', () => setZoom({ scale: Number(scale.value) }, false));
  scale.addEventListener('change', () => setZoom({ scale: Number(scale.value) }, true));
  const follow = el('div', { className: 'segmented', role: 'group', 'aria-label': 'Camera' },
    MODES.map(([mode, text]) => el('button', {
      type: 'button', text, dataset: { mode }, onclick: () => setZoom({ follow: mode }, true),
    })));
  // How long the camera takes to zoom in and back out, in seconds on the slider.
  const ramps = [['inMs', 'zoom-in-time', 'Zoom in over'],
                 ['outMs', 'zoom-out-time', 'Zoom out over']].map(([key, id, label]) => {
      const input = el('input', { type: 'range', min: '0.1', max: '5', step: '0.1', id,
                                  'aria-label': label });
      const out = el('output', { for: id });
      input.addEventListener('input', () => setZoom({ [key]: Number(input.value) * 1000 }, false));
      input.addEventListener('change', () => setZoom({ [key]: Number(input.value) * 1000 }, true));
      const field = el('div', { className: 'field' }, el('label', { for: id, text: label }),
        el('span', { className: 'range' }, input, out));
      return { key, input, out, field };
    });
  const followNote = el('p', { className: 'muted small-note' });
  const remove = el('button', { type: 'button', className: 'button small danger',
                                id: 'zoom-remove', onclick: () => deleteSelected() },
  el('span', { className: 'icon trash', 'aria-hidden': 'true' }), 'Remove zoom');
  body.append(
    el('div', { className: 'field' }, el('label', { for: 'zoom-scale', text: 'Scale' }),
      el('span', { className: 'range' }, scale, scaleOut)),
    ...ramps.map((r) => r.field),
    el('div', { className: 'field column' }, el('span', { text: 'Camera follows' }), follow),
    followNote,
    el('div', { className: 'zoom-actions' }, remove));
  onRender((edit, state) => {
    const { clicks, caretPath } = projectTracks(state.project);
    auto.disabled = asking || (!clicks.length && !caretPath.length);
    auto.title = auto.disabled && !asking ? 'This recording has no clicks or typing to zoom on.'
      : 'Propose zooms from the clicks and typing of the recording';
    const zoom = state.selected ? zoomById(edit, state.selected) : null;
    body.hidden = !zoom;
    empty.hidden = !!zoom;
    if (!zoom) return;
    if (document.activeElement !== scale) scale.value = String(zoom.scale);
    scaleOut.textContent = times(zoom.scale);
    for (const r of ramps) {
      if (document.activeElement !== r.input) r.input.value = String(zoom[r.key] / 1000);
      r.out.textContent = `${(zoom[r.key] / 1000).toFixed(1)} s`;
    }
    const can = followModes(state.project);
    for (const button of follow.querySelectorAll('button')) {
      button.setAttribute('aria-pressed', String(button.dataset.mode === zoom.follow));
      button.disabled = !can[button.dataset.mode] && button.dataset.mode !== zoom.follow;
    }
    // Why there is no caret to follow, when the recording said.
    follow.querySelector('[data-mode="caret"]').title =
      projectTracks(state.project).missing.caretPath ?? '';
    followNote.textContent = followText(zoom, can);
  });
  return panel('Zoom', 'zoom', el('div', { className: 'zoom-actions' }, auto), empty, body);
}
