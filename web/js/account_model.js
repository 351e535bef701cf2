// What the account screen shows, from the application's auth state and what the person last
// did. Pure: the screen (account.js) draws it.

// The auth state as the application sends it ("auth.state" and every "authChanged"), with
// anything missing or of the wrong type read as signed out and empty.
export function readAuthState(data) {
  const d = data && typeof data === 'object' ? data : {};
  const text = (v) => (typeof v === 'string' ? v : '');
  const count = Number.isFinite(d.exportCount) && d.exportCount > 0 ? Math.floor(d.exportCount) : 0;
  return {
    signedIn: d.signedIn === true,
    uid: text(d.uid),
    email: text(d.email),
    name: text(d.name),
    photo: text(d.photo),
    exportCount: count,
    waitingForBrowser: d.waitingForBrowser === true,
    error: text(d.error),
  };
}

// The initials shown when there is no picture (or it does not load): the first letters of the
// first two words of the name, else the first letter of the address.
export function initialsOf({ name = '', email = '' }) {
  const words = name.trim().split(/\s+/).filter(Boolean);
  const letters = words.length ? words.slice(0, 2).map((w) => [...w][0]) : [[...email.trim()][0]];
  return letters.filter(Boolean).join('').toUpperCase() || '?';
}

// The screen's state: `mode` is "signedIn", "waiting" or "signedOut"; `waitingFor` says which
// sign-in is awaited ("browser" or "email", with the address); `errors` holds the failure texts
// by the place they are shown: "google" (the browser button), "email" (the address field),
// "wait" (a sign-in that ended without success, shown above both ways of signing in) and
// "signOut".
export function initialAccount() {
  return { auth: readAuthState(null), waitingFor: null, email: '', errors: {} };
}

export function accountView(model) {
  const { auth } = model;
  if (auth.signedIn) return { mode: 'signedIn' };
  if (auth.waitingForBrowser) {
    return { mode: 'waiting', waitingFor: model.waitingFor ?? 'browser', email: model.email };
  }
  return { mode: 'signedOut' };
}

// The model after an "authChanged" event.
export function applyAuthChanged(model, data) {
  const auth = readAuthState(data);
  const errors = {};
  if (auth.error) errors.wait = auth.error;
  // The wait is over: a later wait starts from whichever button begins it.
  const waitingFor = auth.waitingForBrowser ? model.waitingFor : null;
  return { ...model, auth, waitingFor, errors };
}

// The model once a sign-in was asked for (`how` "google" or "email") and answered: `error` is the
// failure's text, or empty when the application now waits for the browser.
export function applyStartAnswer(model, how, { error = '', email = '' } = {}) {
  if (error) return { ...model, errors: { [how]: error } };
  const auth = { ...model.auth, waitingForBrowser: true, error: '' };
  return { ...model, auth, waitingFor: how === 'email' ? 'email' : 'browser',
           email: how === 'email' ? email.trim() : '', errors: {} };
}
