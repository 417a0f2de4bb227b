// History replay: the site's recorded pictures and events, from sited's
// HTTP API (GET /api/health, /api/picture?time=, /api/events?from=&to=),
// played back on a clock of their own at 1x to 60x, paused, stepped one
// picture at a time.

import { checkEvent, maxTimestampMs } from './checks.js';

// Playback speeds offered, times the recorded time.
export const speeds = [1, 2, 5, 10, 30, 60];
export const minSpeed = 1;
export const maxSpeed = 60;
// Events the API answers at most in one request (its own limit).
export const maxApiEvents = 10000;
// Events of the period the page asks for: the API's default.
export const eventsAsked = 1000;
// The first probe back from the latest picture when looking for the first
// one (ms); doubled until there is none.
const firstProbeMs = 1000;

// The clock of a replay over [first, last] (ms since the epoch): paused
// at first until played.
export class ReplayClock {
  constructor(first, last) {
    this.first = first;
    this.last = Math.max(first, last);
    this.time = first;
    this.speed = minSpeed;
    this.paused = true;
  }

  // A speed from minSpeed to maxSpeed; false (and no change) for others.
  setSpeed(speed) {
    if (!Number.isFinite(speed) || speed < minSpeed || speed > maxSpeed) return false;
    this.speed = speed;
    return true;
  }

  // Plays on; from the start again when at the end.
  play() {
    if (this.time >= this.last) this.time = this.first;
    this.paused = false;
  }

  pause() {
    this.paused = true;
  }

  // Moves to time, held within the period; returns where it is.
  seek(time) {
    if (Number.isFinite(time)) this.time = Math.min(this.last, Math.max(this.first, time));
    return this.time;
  }

  // Moves on by elapsedMs of the page's time at the clock's speed while it
  // plays; pauses at the end. Returns the clock's time.
  advance(elapsedMs) {
    if (this.paused || !(elapsedMs > 0)) return this.time;
    this.time = Math.min(this.last, this.time + elapsedMs * this.speed);
    if (this.time >= this.last) this.paused = true;
    return this.time;
  }
}

function isObject(value) {
  return typeof value === 'object' && value !== null && !Array.isArray(value);
}

function isTime(value) {
  return Number.isInteger(value) && value >= 0 && value <= maxTimestampMs;
}

// The API's health: { value: { database, state, latest } } with latest
// null while nothing is recorded, or { error }.
export function checkHealth(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  if (!['sqlite', 'postgresql'].includes(message.database)) return { error: 'database is no sqlite or postgresql' };
  if (!['ok', 'away'].includes(message.state)) return { error: 'state is no ok or away' };
  if (message.latest !== null && !isTime(message.latest)) return { error: 'latest is no time in ms' };
  return { value: { database: message.database, state: message.state, latest: message.latest } };
}

// The API's events: { value: [checkEvent's values], leftOut } with the
// number of bad events left out, or { error }.
export function checkEvents(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  if (!Array.isArray(message.events)) return { error: 'events is no list' };
  if (message.events.length > maxApiEvents) return { error: `more than ${maxApiEvents} events` };
  const value = [];
  for (const e of message.events) {
    const checked = checkEvent(e);
    if (checked.value) value.push(checked.value);
  }
  return { value, leftOut: message.events.length - value.length };
}

// sited's HTTP API at base (http://HOST:PORT). fetchText(url) resolves to
// { status, text }. Every answer is checked; a bad one rejects with a
// one-line error.
export class HistoryApi {
  constructor(base, fetchText) {
    this.base = base.replace(/\/+$/, '');
    this.fetchText = fetchText;
  }

  async get(path, allowed = [200]) {
    const { status, text } = await this.fetchText(`${this.base}${path}`);
    if (!allowed.includes(status)) throw new Error(`${path}: answered ${status}`);
    if (status !== 200) return null;
    try {
      return JSON.parse(text);
    } catch {
      throw new Error(`${path}: no JSON`);
    }
  }

  async health() {
    const checked = checkHealth(await this.get('/api/health'));
    if (checked.error) throw new Error(`/api/health: ${checked.error}`);
    return checked.value;
  }

  // The recorded picture at or just before time as its JSON text (checked
  // by whoever draws it, as the broker's pictures are) and its time, or
  // null when there is none.
  async picture(time) {
    const path = `/api/picture?time=${Math.floor(time)}`;
    const message = await this.get(path, [200, 404]);
    if (message === null) return null;
    if (!isObject(message) || !isTime(message.time)) throw new Error(`${path}: time is no time in ms`);
    return { time: message.time, text: JSON.stringify(message) };
  }

  async events(from, to) {
    const path = `/api/events?from=${from}&to=${to}&limit=${eventsAsked}`;
    const checked = checkEvents(await this.get(path));
    if (checked.error) throw new Error(`${path}: ${checked.error}`);
    return checked;
  }

  // The recorded period: { first, last } picture times, or null when
  // nothing is recorded. The latest comes from the health; the first is
  // found by probing further back until there is no picture, then halving.
  async period() {
    const { latest } = await this.health();
    if (latest === null) return null;
    const lastPicture = await this.picture(latest);
    if (!lastPicture) return null;
    let found = lastPicture.time; // the earliest picture seen
    let none = null; // a time with no picture at or before it
    for (let back = firstProbeMs; none === null; back *= 2) {
      const probe = Math.max(0, found - back);
      const p = await this.picture(probe);
      if (!p) none = probe;
      else if (probe === 0) return { first: p.time, last: lastPicture.time };
      else found = p.time;
    }
    while (found - none > 1) {
      const mid = Math.floor((found + none) / 2);
      const p = await this.picture(mid);
      if (p) found = p.time;
      else none = mid;
    }
    return { first: found, last: lastPicture.time };
  }

  // The picture before the one at time, or null at the first.
  async previous(time) {
    return time > 0 ? this.picture(time - 1) : null;
  }

  // The picture after the one at time up to last, or null at the last:
  // probes ahead at doubling distances, then back to the nearest.
  async next(time, last) {
    let found = null;
    for (let ahead = 1; !found; ahead *= 2) {
      const probe = Math.min(last, time + ahead);
      const p = await this.picture(probe);
      if (p && p.time > time) found = p;
      else if (probe >= last) return null;
    }
    for (;;) {
      const p = await this.picture(found.time - 1);
      if (!p || p.time <= time) return found;
      found = p;
    }
  }
}
