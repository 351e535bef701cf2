// Playing the recording in the editor: the sound from an <audio> element is the clock, and the
// pictures are the export's own (playback_stream.js), drawn as the sound reaches each one. The
// stream is opened from the playing time with the edit as it is, and opened again on a seek or
// a change of the edit; the exact still picture replaces the last one once playing stops.

import { call } from '../bridge.js';
import { $, el } from '../dom.js';
import { toast } from '../shell.js';
import { forgetShownPicture, previewPayload, previewWidth, sendTracks,
         stageNote } from './preview.js';
import { dueIndex, readPictureStream, watchSound } from './playback_stream.js';
import { store } from './store.js';

const video = () => $('editor-video');

// Wallpapers and live backgrounds to choose from ({wallpapers, live}).
export const backgrounds = { wallpapers: [], live: [] };

// Longest the sound waits for the first picture after Play or a seek.
const FIRST_PICTURE_WAIT_MS = 600;
// Pictures kept for the figures the bench reads (window.__marlunePlayback).
const KEPT_LAGS = 4000;

// One opening of the stream at a time; `serial` tells a late answer from an earlier one.
const play = { serial: 0, stream: null, waiting: [], sound: 'waiting', fromMs: 0, wallAt: 0,
               releaseShown: null, allowed: false, watch: {} };

function audio() {
  let a = $('editor-audio');
  if (!a) {
    a = el('audio', { id: 'editor-audio', preload: 'auto', 'aria-hidden': 'true' });
    a.addEventListener('error', () => {
      if (store.state.playing && play.sound !== 'wall') stopPlaying();
    });
    $('editor-stage').append(a);
  }
  return a;
}

// The picture drawn last stays on screen (and its image alive) until the next replaces it.
function showImage(image, release) {
  image.id = 'editor-playing';
  image.alt = '';
  image.setAttribute('aria-hidden', 'true');
  image.draggable = false;
  const shown = $('editor-playing');
  if (shown) shown.replaceWith(image);
  else $('editor-preview').after(image);
  // The playing picture covers the stage: what lies under it need not be painted again with
  // every picture (the web view paints on the CPU here).
  $('editor-stage').classList.add('playing');
  play.releaseShown?.();
  play.releaseShown = release;
}

function hideImage() {
  $('editor-stage')?.classList.remove('playing');
  $('editor-playing')?.remove();
  play.releaseShown?.();
  play.releaseShown = null;
}

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
  const a = audio();
  if (a.src !== v.src) a.src = v.src;
  // The sound starts once the first picture is in, outside the press that asked for it, which
  // the web view allows only to an element that was played inside one: this is that play.
  if (!play.allowed) {
    play.allowed = true;
    a.play().catch(() => {});
    a.pause();
  }
  window.__marlunePlayback = { shown: 0, skipped: 0, lags: [], startedAt: performance.now() };
  store.set({ playing: true }, 'playing', 'playhead');
  begin(state.playheadMs);
  requestAnimationFrame(follow);
}

// The time the sound is at: the recording time, ms. Until the sound starts it is where playing
// began; without a sound that can play, the wall clock stands in.
function clockMs() {
  if (play.sound === 'playing') return audio().currentTime * 1000;
  if (play.sound === 'wall') return play.fromMs + (performance.now() - play.wallAt);
  return play.fromMs;
}

// (Re)opens the stream at `fromMs`, the sound paused there until the first picture comes.
function begin(fromMs) {
  const mine = ++play.serial;
  endStream();
  play.fromMs = fromMs;
  play.sound = 'waiting';
  const a = audio();
  a.pause();
  a.currentTime = fromMs / 1000;
  const { name } = store.state;
  openStream(name, fromMs).then((url) => {
    if (mine !== play.serial) return;
    play.stream = readPictureStream(url, {
      onPicture(picture) {
        if (mine !== play.serial) return picture.release();
        play.waiting.push(picture);
        startSound(mine);
      },
      onEnd(error) {
        if (mine === play.serial && error) stageNote(`No pictures: ${error.message}`, 'bad');
      },
    });
  }, (error) => {
    if (mine === play.serial) stageNote(`No pictures: ${error.message}`, 'bad');
  });
  // Pictures that are late do not hold the sound back.
  setTimeout(() => startSound(mine), FIRST_PICTURE_WAIT_MS);
}

async function openStream(name, fromMs) {
  // Exactly as wide as the stage (unlike a still picture, whose width goes up in steps): every
  // picture is made and decoded at the size it is shown at.
  const stage = $('editor-stage');
  const width = stage?.clientWidth ? Math.ceil(stage.clientWidth * (window.devicePixelRatio || 1))
    : previewWidth();
  const payload = { ...previewPayload(), tMs: Math.round(fromMs), maxWidth: width };
  if (payload.cursor) await sendTracks(name);
  let reply = await call('edit.previewStream', payload);
  if (reply?.needsTracks) {
    await sendTracks(name, true);
    reply = await call('edit.previewStream', payload);
  }
  if (typeof reply?.url !== 'string') throw new Error('the application sent no stream');
  return reply.url;
}

function startSound(mine) {
  if (mine !== play.serial || play.sound !== 'waiting' || !store.state.playing) return;
  play.sound = 'playing';
  play.watch = {};
  audio().play().catch((error) => {
    if (mine !== play.serial || error?.name === 'AbortError') return;
    // A recording without sound (or one the player refuses) plays on the wall clock.
    if (window.__marlunePlayback) window.__marlunePlayback.soundError = String(error);
    playByWallClock(play.fromMs);
  });
}

function playByWallClock(fromMs) {
  play.sound = 'wall';
  play.fromMs = fromMs;
  play.wallAt = performance.now();
}

// A sound whose clock stopped is restarted once, then left for the wall clock: the pictures
// never freeze while the button says Pause.
function keepSoundMoving(a) {
  if (play.sound !== 'playing' || a.paused) return;
  const heard = watchSound(play.watch, a.currentTime * 1000, performance.now());
  if (heard === 'kick') {
    a.currentTime = a.currentTime;
  } else if (heard === 'stalled') {
    a.pause();
    playByWallClock(a.currentTime * 1000);
    if (window.__marlunePlayback) window.__marlunePlayback.soundStalled = true;
  }
}

function endStream() {
  play.stream?.close();
  play.stream = null;
  for (const picture of play.waiting) picture.release();
  play.waiting = [];
}

export function stopPlaying() {
  const { state } = store;
  if (!state.playing) return;
  const playheadMs = Math.min(Math.max(clockMs(), 0), state.durationMs);
  play.serial += 1;
  endStream();
  audio().pause();
  // The last picture drawn stays on screen until the exact still picture replaces it.
  forgetShownPicture();
  store.set({ playing: false, playheadMs }, 'playing', 'playhead');
}

// Moves the playhead (and what plays with it).
export function seek(ms) {
  store.seek(ms);
  if (store.state.playing) begin(store.state.playheadMs);
}

function follow() {
  const { state } = store;
  if (!state.playing) return;
  const a = audio();
  const doc = store.doc();
  keepSoundMoving(a);
  const ms = clockMs();
  if (ms >= doc.range.endMs || (play.sound === 'playing' && a.ended)) {
    state.playheadMs = Math.min(ms, doc.range.endMs);
    stopPlaying();
    return;
  }
  // Played as exported: a cut is jumped over, a sped-up stretch plays at its rate, silent.
  const cut = (doc.cuts ?? []).find((c) => c.startMs <= ms && ms < c.endMs);
  if (cut && play.sound === 'playing') a.currentTime = cut.endMs / 1000;
  else if (cut && play.sound === 'wall') playByWallClock(cut.endMs);
  const speed = (doc.speeds ?? []).find((s) => s.startMs <= ms && ms < s.endMs);
  if (a.playbackRate !== (speed ? speed.rate : 1)) a.playbackRate = speed ? speed.rate : 1;
  a.muted = Boolean(speed);
  store.set({ playheadMs: ms }, 'playhead');
  if (window.__marlunePlayback) window.__marlunePlayback.clockMs = ms;
  draw(ms);
  requestAnimationFrame(follow);
}

// Draws the picture due at `ms`, skipping those whose time has passed.
function draw(ms) {
  const due = dueIndex(play.waiting, ms);
  if (due < 0) return;
  const stats = window.__marlunePlayback;
  for (const skipped of play.waiting.splice(0, due)) skipped.release();
  // An image decoded already is swapped in, which costs the page far less than drawing it
  // into a canvas.
  const { tMs, image, release } = play.waiting.shift();
  image.dataset.tMs = String(tMs);
  showImage(image, release);
  if (stats) {
    if (!stats.shown) Object.assign(stats, { firstAt: performance.now(), firstClockMs: ms });
    stats.shown += 1;
    stats.skipped += due;
    if (stats.lags.length < KEPT_LAGS) stats.lags.push(ms - tMs);
  }
}

function renderTransport({ playing }) {
  const button = $('editor-play');
  if (!button) return;
  button.setAttribute('aria-label', playing ? 'Pause' : 'Play');
  button.title = playing ? 'Pause (Space)' : 'Play (Space)';
  button.querySelector('.icon').className = `icon ${playing ? 'pause' : 'play'}`;
}

// Lets go of the sound's movie: without a new load the element keeps its source, and the media
// server its file, open.
function releaseSound() {
  const a = $('editor-audio');
  if (!a?.hasAttribute('src')) return;
  a.pause();
  a.removeAttribute('src');
  a.load();
}

export function initPlayback() {
  const v = video();
  v.addEventListener('loadedmetadata', () => {
    if (v.videoWidth && v.videoHeight) {
      store.set({ sourceSize: { width: v.videoWidth, height: v.videoHeight } }, 'source');
    }
    // The sound is made ready before Play, so that it starts at once.
    if (audio().src !== v.src) audio().src = v.src;
  });
  v.addEventListener('emptied', () => {
    if (!v.hasAttribute('src')) releaseSound();
  });
  // While playing, the stream follows the edit as it changes.
  store.subscribe(['doc'], (state) => {
    if (state.playing) begin(clockMs());
  });
  // The exact still picture is on screen again.
  store.subscribe(['picture'], (state) => {
    if (!state.playing) hideImage();
  });
  store.subscribe(['playing', 'open'], renderTransport);
}
