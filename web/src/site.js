// What the page knows of a site, from the messages on its topics: every
// radar's status, place and beam, and the targets of its latest packet.
// Nothing here touches the page, so that node's tests can run it.

import { along } from './transform.js';

// A radar that has sent no packet for this long is shown as silent (ms).
export const silentAfterMs = 2000;

// One colour per radar, by the order of the radars' names.
export const palette = ['#1f6fb4', '#d0341f', '#2a9a3a', '#8a4fc0', '#e07b00', '#139aa8', '#8c564b', '#d6409f'];

// The radar and leaf ("tracks", "status") of a topic under prefix and
// site, or null for any other topic.
export function parseTopic(topic, prefix, site) {
  const head = `${prefix}/${site}/`;
  if (!topic.startsWith(head)) return null;
  const rest = topic.slice(head.length).split('/');
  if (rest.length !== 2 || rest[0] === '' || !['tracks', 'status'].includes(rest[1])) return null;
  return { radar: rest[0], leaf: rest[1] };
}

function finite(value) {
  return typeof value === 'number' && Number.isFinite(value);
}

// The place and beam of a status, when it has them.
function placeOf(status) {
  const p = status.place;
  if (!p || !finite(p.x) || !finite(p.y) || !finite(p.heading)) return null;
  return { x: p.x, y: p.y, heading: p.heading };
}

function beamOf(status) {
  const b = status.beam;
  if (!b || !['bearing', 'halfWidth', 'minRange', 'maxRange'].every((k) => finite(b[k]))) return null;
  return { bearing: b.bearing, halfWidth: b.halfWidth, minRange: b.minRange, maxRange: b.maxRange };
}

export class Site {
  constructor({ prefix, site }) {
    this.prefix = prefix;
    this.site = site;
    this.radars = new Map(); // name -> radar record
    this.badMessages = 0; // payloads that are no JSON object, or lack what they need
  }

  radar(name, nowMs) {
    let r = this.radars.get(name);
    if (!r) {
      r = {
        name,
        online: null, // null until a status or a packet says
        status: null, // the latest status message
        place: null, // { x, y, heading }
        beam: null, // { bearing, halfWidth, minRange, maxRange }
        tracks: null, // the latest tracks message: { timestamp, targets }
        lastTimestamp: null, // of the latest packet, also when offline since (ms)
        lastPacketAt: null, // page time of the latest tracks message (ms)
        knownSince: nowMs, // page time of the first message (ms)
      };
      this.radars.set(name, r);
    }
    return r;
  }

  // Takes one message (its topic and its text) at page time nowMs (ms).
  // Returns what it was about, { radar, leaf, wentOffline }, or null when
  // the topic or the payload is not one of the site's.
  handle(topic, text, nowMs) {
    const where = parseTopic(topic, this.prefix, this.site);
    if (!where) return null;
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      message = null;
    }
    if (message === null || typeof message !== 'object' || Array.isArray(message)) {
      ++this.badMessages;
      return null;
    }
    if (where.leaf === 'status') {
      if (typeof message.online !== 'boolean') {
        ++this.badMessages;
        return null;
      }
      const r = this.radar(where.radar, nowMs);
      const wentOffline = r.online !== false && !message.online;
      r.status = message;
      r.online = message.online;
      r.place = placeOf(message) ?? r.place;
      r.beam = beamOf(message) ?? r.beam;
      // An offline radar has no current targets.
      if (!message.online) r.tracks = null;
      return { ...where, wentOffline };
    }
    if (!finite(message.timestamp) || !Array.isArray(message.targets)) {
      ++this.badMessages;
      return null;
    }
    const targets = message.targets.filter(
      (t) => t && Number.isInteger(t.number) && finite(t.x) && finite(t.y),
    );
    const r = this.radar(where.radar, nowMs);
    r.tracks = { timestamp: message.timestamp, targets };
    r.lastTimestamp = message.timestamp;
    r.lastPacketAt = nowMs;
    r.online = true; // it publishes; its status follows
    return { ...where, wentOffline: false };
  }

  // The radars' names in order.
  names() {
    return [...this.radars.keys()].sort();
  }

  colour(name) {
    const index = this.names().indexOf(name);
    return palette[(index < 0 ? 0 : index) % palette.length];
  }

  // True when an online radar has sent no packet for silentAfterMs.
  silent(name, nowMs) {
    const r = this.radars.get(name);
    if (!r || r.online === false) return false;
    return nowMs - (r.lastPacketAt ?? r.knownSince) > silentAfterMs;
  }

  // Every current target, by radar name and then number.
  rows() {
    const rows = [];
    for (const name of this.names()) {
      const tracks = this.radars.get(name).tracks;
      if (!tracks) continue;
      const targets = [...tracks.targets].sort((a, b) => a.number - b.number);
      for (const t of targets) {
        rows.push({
          radar: name,
          number: t.number,
          distance: t.distance,
          velocity: t.velocity,
          x: t.x,
          y: t.y,
          confirmed: t.confirmed === true,
        });
      }
    }
    return rows;
  }

  // The site points that fitting the map should show: every radar's place
  // and the ends and middle of its beam's far edge. Targets only when no
  // radar's place is known.
  extent() {
    const points = [];
    for (const r of this.radars.values()) {
      if (!r.place) continue;
      points.push({ x: r.place.x, y: r.place.y });
      if (!r.beam) continue;
      for (const off of [-r.beam.halfWidth, 0, r.beam.halfWidth]) {
        points.push(along(r.place.x, r.place.y, r.beam.bearing + off, r.beam.maxRange));
      }
    }
    if (points.length === 0) {
      for (const row of this.rows()) points.push({ x: row.x, y: row.y });
    }
    return points;
  }
}

// The table's text for a target row: distances and positions to the
// decimetre, velocity to 0.1 km/h.
export function rowCells(row) {
  const fixed = (v) => (finite(v) ? v.toFixed(1) : '');
  return [
    row.radar,
    String(row.number),
    fixed(row.distance),
    fixed(row.velocity),
    fixed(row.x),
    fixed(row.y),
    row.confirmed ? 'yes' : 'no',
  ];
}
