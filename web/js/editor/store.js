// The editor's state in one place: the recording open, its edit with the undo history, the chosen
// zoom region and the playhead. Changes say which parts of the state they touched ("aspects");
// views subscribe to the aspects they show and are rendered at most once per animation frame,
// however many changes came in between (a drag moves the pointer many times a frame).
//
// Aspects: doc (the edit), selection, playhead, playing, project (the project file and its
// recorded tracks), source (the movie's size), peaks (its sound), picture (the preview shown),
// stage (the picture's place was fitted again), layout (the screen was resized), open (another
// recording), save (the saving state). A recorded step of the edit also carries "edit": the
// listeners told at once (not per frame) save it.

import { createHistory, zoomById } from '../edit_model.js';

export function createStore({ schedule = (fn) => requestAnimationFrame(fn) } = {}) {
  const state = {
    mediaBase: null,      // where the application serves movies from (null: it cannot)
    name: null,
    durationMs: 0,
    project: null,        // the project file as read (null: none yet)
    projectError: null,   // the project could not be read: nothing is saved over it
    history: null,
    selected: null,       // id of the chosen zoom region
    playheadMs: 0,
    playing: false,
    sourceSize: null,     // {width, height} of the recording, once the movie has said
    peaks: null,
    picture: null,        // {width, height} of the preview shown
  };
  const views = [];
  const listeners = [];
  let due = new Set();
  let scheduled = false;

  const doc = () => state.history?.current ?? null;

  function flush() {
    scheduled = false;
    const aspects = due;
    due = new Set();
    for (const view of views) {
      if (view.aspects.some((a) => aspects.has(a))) view.render(state, aspects);
    }
  }

  function changed(...aspects) {
    for (const aspect of aspects) due.add(aspect);
    for (const listener of listeners) listener(aspects, state);
    if (!scheduled) {
      scheduled = true;
      schedule(flush);
    }
  }

  // After undo or redo the chosen region may be gone.
  function keepSelection() {
    if (state.selected && !zoomById(doc(), state.selected)) state.selected = null;
  }

  return {
    state,
    doc,
    changed,
    // Renders what is due now instead of at the next frame.
    flush,
    // `render(state, aspects)` once per frame in which one of `aspects` changed.
    subscribe(aspects, render) {
      views.push({ aspects, render });
    },
    // `listener(aspects, state)` at once on every change.
    listen(listener) {
      listeners.push(listener);
    },
    // A recording opened with its first edit (`edit` null: still opening).
    open(fields, edit = null) {
      Object.assign(state, { durationMs: 0, project: null, projectError: null, selected: null,
                             playheadMs: 0, sourceSize: null, peaks: null, picture: null },
                    fields);
      state.history = edit ? createHistory(edit) : null;
      if (edit) state.playheadMs = edit.range.startMs;
      changed('open', 'doc', 'selection', 'playhead', 'project', 'source', 'peaks', 'picture');
    },
    // Shows `next` without recording it (a drag or a slider on its way).
    show(next) {
      state.history.show(next);
      changed('doc');
    },
    // Records `next` (default: what is shown) as one step that Ctrl+Z undoes.
    commit(next) {
      if (state.history.commit(next)) changed('doc', 'edit');
      else changed('doc');
    },
    undo() {
      if (!state.history?.undo()) return;
      keepSelection();
      changed('doc', 'selection', 'edit');
    },
    redo() {
      if (!state.history?.redo()) return;
      keepSelection();
      changed('doc', 'selection', 'edit');
    },
    select(id) {
      if (state.selected === id) return;
      state.selected = id;
      changed('selection');
    },
    seek(ms) {
      state.playheadMs = Math.min(Math.max(ms, 0), state.durationMs);
      changed('playhead');
    },
    set(fields, ...aspects) {
      Object.assign(state, fields);
      changed(...aspects);
    },
  };
}

// The editor screen's one store.
export const store = createStore();
