// Playing the recording in the editor: the movie itself with the edit's styling approximated in
// CSS (background, padding, corners, shadow, zoom regions), the playhead following it; the exact
// picture replaces it once it stops.

import { $ } from '../dom.js';
import { framePlacement, zoomAt } from '../edit_model.js';
import { toast } from '../shell.js';
import { forgetShownPicture, recordingAspect } from './preview.js';
import { store } from './store.js';

const video = () => $('editor-video');

// Wallpapers and live backgrounds to choose from ({wallpapers, live}).
export const backgrounds = { wallpapers: [], live: [] };

export function togglePlay() {
  if (store.state.playing) stopPlaying();
  else startPlaying();
}

function startPlaying() {
  const v = video();
  const doc = store.doc();
  if (!v || !doc || !v.src) {
    if (!v?.src) toast('This recording cannot be played in this version.', 'error');
    return;
  }
  const { state } = store;
  const { startMs, endMs } = doc.range;
  if (state.playheadMs < startMs || state.playheadMs >= endMs - 50) state.playheadMs = startMs;
  v.currentTime = state.playheadMs / 1000;
  store.set({ playing: true }, 'playing', 'playhead');
  styleLive();
  $('editor-live').hidden = false;
  $('editor-preview').hidden = true;
  v.play().catch((error) => {
    stopPlaying();
    if (error?.name !== 'AbortError') toast(`The recording could not be played: ${error.message}`,
                                            'error');
  });
  requestAnimationFrame(followPlayback);
}

export function stopPlaying() {
  const v = video();
  const { state } = store;
  if (!state.playing) return;
  let { playheadMs } = state;
  if (v) {
    v.pause();
    playheadMs = Math.min(Math.max(v.currentTime * 1000, 0), state.durationMs);
  }
  // The movie stays on screen until the exact picture replaces it.
  forgetShownPicture();
  store.set({ playing: false, playheadMs }, 'playing', 'playhead');
}

// Moves the playhead (and the playing movie with it).
export function seek(ms) {
  store.seek(ms);
  const v = video();
  if (store.state.playing && v) v.currentTime = store.state.playheadMs / 1000;
}

function followPlayback() {
  const { state } = store;
  if (!state.playing) return;
  const v = video();
  const ms = v.currentTime * 1000;
  const { endMs } = store.doc().range;
  if (ms >= endMs || v.ended) {
    state.playheadMs = Math.min(ms, endMs);
    stopPlaying();
    return;
  }
  // Played as exported: a cut is jumped over, a sped-up stretch plays at its rate, silent.
  const doc = store.doc();
  const cut = (doc.cuts ?? []).find((c) => c.startMs <= ms && ms < c.endMs);
  if (cut) v.currentTime = cut.endMs / 1000;
  const speed = (doc.speeds ?? []).find((s) => s.startMs <= ms && ms < s.endMs);
  if (v.playbackRate !== (speed ? speed.rate : 1)) v.playbackRate = speed ? speed.rate : 1;
  v.muted = Boolean(speed);
  store.set({ playheadMs: ms }, 'playhead');
  zoomLive(ms);
  requestAnimationFrame(followPlayback);
}

function backgroundStyle(f) {
  const find = (list, id) => list.find((b) => b.id === id);
  if (f.type === 'wallpaper') {
    const item = find(backgrounds.wallpapers, f.id);
    return `center / cover no-repeat url("${item?.full ?? `wallpapers/full/${f.id}.jpg`}")`;
  }
  if (f.type === 'live') {
    const item = find(backgrounds.live, f.id);
    return item ? `center / cover no-repeat url("${item.thumb}")` : f.hex;
  }
  if (f.type === 'gradient') return `linear-gradient(${180 - f.angle}deg, ${f.from}, ${f.to})`;
  if (f.type === 'color') return f.hex;
  // A shaped picture without a background shows the recording on black, as the export does.
  return store.doc()?.shape ? '#000' : 'none';
}

// The styling of the edit in CSS over the playing movie: background, padding, corners, shadow.
function styleLive() {
  const live = $('editor-live');
  const stage = $('editor-stage');
  if (!live || !stage || !store.doc()) return;
  const f = store.doc().frame;
  const W = stage.clientWidth;
  const H = stage.clientHeight;
  const { clip, radius, screen } = framePlacement(W, H, f,
                                                  recordingAspect(store.state, store.doc()));
  live.querySelector('.live-background').style.background = backgroundStyle(f);
  const box = live.querySelector('.live-clip');
  const blur = (f.shadowPct / 100) * Math.min(W, H) * 0.05;
  Object.assign(box.style, {
    left: `${clip.x}px`, top: `${clip.y}px`, width: `${clip.w}px`, height: `${clip.h}px`,
    borderRadius: `${radius}px`,
    boxShadow: f.type !== 'none' && f.shadowPct > 1
      ? `0 ${(0.4 * blur).toFixed(1)}px ${(2 * blur).toFixed(1)}px rgba(0, 0, 0, 0.6)` : 'none',
    outline: f.type !== 'none' && f.outlinePct > 0
      ? `${((f.outlinePct / 100) * Math.min(W, H)).toFixed(1)}px solid rgba(255, 255, 255, 0.45)`
      : 'none',
  });
  Object.assign(video().style, { left: '0', width: `${screen.w}px`, height: `${screen.h}px`,
                                 top: `${screen.y - clip.y}px` });
}

// The zoom regions approximated while playing: the region's scale towards its focus.
function zoomLive(ms) {
  const v = video();
  const zoom = zoomAt(store.doc(), ms);
  if (!zoom || zoom.scale <= 1) {
    v.style.transform = '';
    return;
  }
  const s = zoom.scale;
  const tx = Math.min(Math.max(0.5 - zoom.fx * s, 1 - s), 0);
  const ty = Math.min(Math.max(0.5 - zoom.fy * s, 1 - s), 0);
  v.style.transform = `translate(${(tx * 100).toFixed(2)}%, ${(ty * 100).toFixed(2)}%) scale(${s})`;
}

function renderTransport({ playing }) {
  const button = $('editor-play');
  if (!button) return;
  button.setAttribute('aria-label', playing ? 'Pause' : 'Play');
  button.title = playing ? 'Pause (Space)' : 'Play (Space)';
  button.querySelector('.icon').className = `icon ${playing ? 'pause' : 'play'}`;
}

export function initPlayback() {
  const v = video();
  v.addEventListener('loadedmetadata', () => {
    if (v.videoWidth && v.videoHeight) {
      store.set({ sourceSize: { width: v.videoWidth, height: v.videoHeight } }, 'source');
    }
  });
  v.addEventListener('error', () => stopPlaying());
  store.subscribe(['doc', 'stage'], (state) => {
    if (state.playing) styleLive();
  });
  store.subscribe(['playing', 'open'], renderTransport);
}
