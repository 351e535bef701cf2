// The keystroke overlay of an edit: whether the recorded key presses show over the picture, and
// where, how large and in which colours. Pure functions over plain objects, like edit_model.js;
// an edit the overlay was never touched in has no "keys" member (and shows none). The C++ side
// restores saved ones with the same rules (src/app/export_edit_payload_keys.cpp).

export const KEY_PLACES = Object.freeze(['bottom-center', 'bottom-left', 'bottom-right',
                                         'top-center', 'top-left', 'top-right']);
export const KEY_STYLES = Object.freeze(['dark', 'light']);

const isNumber = (v) => typeof v === 'number' && Number.isFinite(v);
const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);

// A saved "keys" section as the editor keeps it: anything missing or of another kind takes its
// default (off, bottom centre, size 1, dark), the size within 0.5–2.
export function settleKeys(raw) {
  const k = isObject(raw) ? raw : {};
  return {
    enabled: k.enabled === true,
    position: KEY_PLACES.includes(k.position) ? k.position : 'bottom-center',
    size: isNumber(k.size) ? Math.min(Math.max(k.size, 0.5), 2) : 1,
    style: KEY_STYLES.includes(k.style) ? k.style : 'dark',
  };
}

// The key presses the project file recorded: [t, "Ctrl+S"] pairs.
export function recordedKeys(project) {
  const keys = isObject(project) && Array.isArray(project.keys) ? project.keys : [];
  return keys.filter((k) => Array.isArray(k) && k.length >= 2 && isNumber(k[0])
                            && typeof k[1] === 'string').map((k) => [k[0], k[1]]);
}

// Why the recording has no key presses, when it said.
export function keysMissing(project) {
  const reason = isObject(project) && isObject(project.missing) ? project.missing.keys : null;
  return typeof reason === 'string' && reason ? reason : null;
}

// `edit` with its overlay changed by `patch`.
export function setKeys(edit, patch) {
  return { ...edit, keys: settleKeys({ ...settleKeys(edit.keys), ...patch }) };
}

// The payload's "keys" section: only when the overlay is on and there is something to show.
export function keysPayload(edit, project) {
  const keys = settleKeys(edit.keys);
  const events = recordedKeys(project);
  if (!keys.enabled || !events.length) return null;
  return { ...keys, events };
}
