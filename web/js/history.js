// The editor's undo history, kept apart from the edit's rules so that it can serve any document.

const same = (a, b) => a === b || JSON.stringify(a) === JSON.stringify(b);

// The undo history of one edit. `show(doc)` makes `doc` current without recording it (a drag or
// a slider on its way); `commit()` records the current document as one step, undone as one;
// `revert()` goes back to the last recorded document. At most `limit` steps are kept.
export function createHistory(initial, { limit = 200 } = {}) {
  let past = [];
  let future = [];
  let committed = initial;
  let current = initial;
  return {
    get current() { return current; },
    get canUndo() { return past.length > 0 || !same(current, committed); },
    get canRedo() { return future.length > 0; },
    show(doc) {
      current = doc;
    },
    // Records `doc` (or what is shown); false when nothing changed.
    commit(doc = current) {
      current = doc;
      if (same(doc, committed)) {
        current = committed;
        return false;
      }
      past.push(committed);
      if (past.length > limit) past = past.slice(past.length - limit);
      future = [];
      committed = doc;
      return true;
    },
    revert() {
      current = committed;
    },
    undo() {
      // A change on its way is dropped first.
      if (!same(current, committed)) {
        current = committed;
        return current;
      }
      if (!past.length) return null;
      future.push(committed);
      committed = past.pop();
      current = committed;
      return current;
    },
    redo() {
      if (!future.length) return null;
      past.push(committed);
      committed = future.pop();
      current = committed;
      return current;
    },
  };
}
