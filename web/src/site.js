// What the page knows of a site, from the messages on its topics: every
// radar's status, place and beam, and the targets of its latest packet;
// the site service's status and its latest fused picture; the site's zones
// and lines, their states and latest events. Nothing here touches the
// page, so that node's tests can run it.

import {
  checkEvent,
  checkPicture,
  checkSiteStatus,
  checkStatus,
  checkTracks,
  checkZoneState,
  checkZones,
  maxMessageBytes,
  maxRadars,
  maxZones,
  radarNamePattern,
} from './checks.js';
import { along } from './transform.js';
import { EventList, Zones } from './zones.js';

// A radar that has sent no packet for this long is shown as silent (ms).
export const silentAfterMs = 2000;

// One colour per radar, by the order of the radars' names.
export const palette = ['#1f6fb4', '#d0341f', '#2a9a3a', '#8a4fc0', '#e07b00', '#139aa8', '#8c564b', '#d6409f'];

// The topic level of the site service, in place of a radar's name (no
// radar may have it).
export const serviceLevel = 'site';
// The key of the fused objects' trails among the radars' (no radar name
// has a '#').
export const serviceTrails = '#site';

// One colour per fused object, by its id alone: an object keeps its colour
// from picture to picture and through a handover between radars.
export const objectPalette = ['#0b5394', '#b45f06', '#38761d', '#741b47', '#cc0000', '#134f5c', '#7f6000',
  '#351c75', '#a61c00', '#274e13'];
export function objectColour(id) {
  return objectPalette[id % objectPalette.length];
}

// One colour per PTZ camera, by the order of the cameras' names: apart from
// the radars' and the objects' hues.
export const cameraPalette = ['#c2185b', '#00796b', '#5d4037', '#9e9d24', '#4527a0', '#ad1457'];

// The topic levels of the zones (on <prefix>/<site>/zones, each one's state
// on .../zones/<name>, so no radar may have the name) and of their events.
export const zonesLevel = 'zones';
export const eventsLevel = 'events';

// Of a topic under prefix and site: the radar and leaf ("tracks",
// "status"); { leaf: 'zones' }, { leaf: 'zone', zone } or { leaf: 'events' }
// for the zones' topics; null for any other topic.
export function parseTopic(topic, prefix, site) {
  const head = `${prefix}/${site}/`;
  if (!topic.startsWith(head)) return null;
  const rest = topic.slice(head.length).split('/');
  if (rest.length === 1 && [zonesLevel, eventsLevel].includes(rest[0])) return { leaf: rest[0] };
  if (rest.length === 2 && rest[0] === zonesLevel) return { leaf: 'zone', zone: rest[1] };
  if (rest.length !== 2 || rest[0] === '' || !['tracks', 'status'].includes(rest[1])) return null;
  return { radar: rest[0], leaf: rest[1] };
}

// The objects of a picture but those of the classes hidden (a Set of
// names), in their order.
export const noClassHidden = new Set();
export function shownObjects(objects, hidden) {
  return hidden.size === 0 ? [...objects] : objects.filter((o) => !hidden.has(o.class));
}

// An object's class as the table says it: its name, and its probability
// to the hundredth when the picture gives them ("car 0.93").
export function classText(o) {
  const p = o.classes?.[o.class];
  return p === undefined ? o.class : `${o.class} ${p.toFixed(2)}`;
}

function finite(value) {
  return typeof value === 'number' && Number.isFinite(value);
}

const decoder = new TextDecoder();

export class Site {
  // trails, when given, follows every tracks message of the site.
  constructor({ prefix, site, trails = null }) {
    this.prefix = prefix;
    this.site = site;
    this.trails = trails;
    this.radars = new Map(); // name -> radar record
    // Messages of the site's topics that were dropped: above
    // maxMessageBytes (unread), failing checkStatus or checkTracks (or of
    // a radar name or radar too many), and targets left out of a message.
    this.tooLargeMessages = 0;
    this.badMessages = 0;
    this.badTargets = 0;
    // Objects left out of the site service's pictures.
    this.badObjects = 0;
    this.service = Site.newService();
    // Zones left out of the zones message; the dropped messages of the
    // zones' topics and why the latest was.
    this.badZones = 0;
    this.zoneMessages = { dropped: 0, lastDropped: null };
    this.zones = new Zones();
    this.events = new EventList();
  }

  // The site service as the page knows it before it has heard of one.
  static newService() {
    return {
      online: null, // null until a status or a picture says
      status: null, // the latest good status: checkSiteStatus's value
      statusError: null, // what was wrong with the latest status, while it was bad
      picture: null, // the latest picture: { time, objects }
      lastPictureAt: null, // page time of the latest picture (ms)
      knownSince: null, // page time of the first message (ms)
      dropped: 0, // of its messages
      lastDropped: null, // why the latest of them was dropped
    };
  }

  // True while the site service publishes: its status says online, or its
  // pictures arrive.
  serviceAvailable() {
    return this.service.online === true;
  }

  // True when the online site service has sent no picture for silentAfterMs.
  serviceSilent(nowMs) {
    const s = this.service;
    if (s.online !== true) return false;
    return nowMs - (s.lastPictureAt ?? s.knownSince) > silentAfterMs;
  }

  // The record of a radar, made at its first message; null for a new radar
  // beyond maxRadars.
  radar(name, nowMs) {
    let r = this.radars.get(name);
    if (!r) {
      if (this.radars.size >= maxRadars) return null;
      r = {
        name,
        online: null, // null until a status or a packet says
        status: null, // the latest good status: checkStatus's value
        statusError: null, // what was wrong with the latest status, while it was bad
        place: null, // { x, y, heading }
        beam: null, // { bearing, halfWidth, minRange, maxRange }
        tracks: null, // the latest tracks message: { timestamp, targets }
        lastTimestamp: null, // of the latest packet, also when offline since (ms)
        lastPacketAt: null, // page time of the latest tracks message (ms)
        knownSince: nowMs, // page time of the first message (ms)
        dropped: 0, // of its messages
        lastDropped: null, // why the latest of them was dropped
      };
      this.radars.set(name, r);
    }
    return r;
  }

  // Takes one message as it came from the broker, its payload in bytes:
  // one above maxMessageBytes is counted and dropped before it is read.
  receive(topic, payload, nowMs) {
    const where = parseTopic(topic, this.prefix, this.site);
    if (!where) return null;
    if (payload.length > maxMessageBytes) {
      ++this.tooLargeMessages;
      const reason = `larger than ${maxMessageBytes / 1024} KiB`;
      if (where.radar === undefined) return this.dropZones(reason);
      return where.radar === serviceLevel ? this.dropService(where, reason, nowMs) : this.drop(where, reason, nowMs);
    }
    return this.handle(topic, decoder.decode(payload), nowMs);
  }

  // Takes one message (its topic and its text) at page time nowMs (ms).
  // Returns what it was about, { radar, leaf, wentOffline, forgotten } (of
  // the zones' topics: parseTopic's leaf and zone in place of radar), or
  // null when the topic is not one of the site's or the message was
  // dropped. An empty message is the broker clearing a retained one: the
  // page forgets the radar (status) or its targets (tracks), the zones or
  // a zone's state.
  handle(topic, text, nowMs) {
    const where = parseTopic(topic, this.prefix, this.site);
    if (!where) return null;
    if (where.radar === undefined) return this.handleZones(where, text, nowMs);
    if (where.radar === serviceLevel) return this.handleService(where, text, nowMs);
    if (!radarNamePattern.test(where.radar)) {
      ++this.badMessages;
      return null;
    }
    if (text === '') return this.clear(where);
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      message = undefined;
    }
    const checked = where.leaf === 'status' ? checkStatus(message) : checkTracks(message);
    if (checked.error) {
      ++this.badMessages;
      return this.drop(where, checked.error, nowMs);
    }
    const r = this.radar(where.radar, nowMs);
    if (!r) {
      ++this.badMessages;
      return null;
    }
    if (where.leaf === 'status') {
      const status = checked.value;
      const wentOffline = r.online !== false && !status.online;
      r.status = status;
      r.statusError = null;
      r.online = status.online;
      r.place = status.place ?? r.place;
      r.beam = status.beam ?? r.beam;
      // An offline radar has no current targets, nor trails.
      if (!status.online) {
        r.tracks = null;
        this.trails?.clear(r.name);
      }
      return { ...where, wentOffline, forgotten: false };
    }
    this.badTargets += checked.leftOut;
    const { timestamp, targets } = checked.value;
    r.tracks = { timestamp, targets };
    r.lastTimestamp = timestamp;
    r.lastPacketAt = nowMs;
    r.online = true; // it publishes; its status follows
    this.trails?.add(r.name, timestamp, targets);
    return { ...where, wentOffline: false, forgotten: false };
  }

  // Counts a dropped message against its radar; a bad status marks the
  // radar until a good one comes. Returns null.
  drop(where, reason, nowMs) {
    const r = radarNamePattern.test(where.radar) ? this.radar(where.radar, nowMs) : null;
    if (r) {
      ++r.dropped;
      r.lastDropped = reason;
      if (where.leaf === 'status') r.statusError = reason;
    }
    return null;
  }

  // A message of the site service: its status or a picture.
  handleService(where, text, nowMs) {
    const s = this.service;
    if (text === '') return this.clearService(where);
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      message = undefined;
    }
    const checked = where.leaf === 'status' ? checkSiteStatus(message) : checkPicture(message);
    if (checked.error) {
      ++this.badMessages;
      return this.dropService(where, checked.error, nowMs);
    }
    s.knownSince ??= nowMs;
    if (where.leaf === 'status') {
      const status = checked.value;
      // A bad alignment or camera is left out, the rest of the status kept.
      this.badMessages += checked.leftOut ?? 0;
      const wentOffline = s.online !== false && !status.online;
      s.status = status;
      s.statusError = null;
      s.online = status.online;
      // An offline service has no current picture, nor trails.
      if (!status.online) {
        s.picture = null;
        this.trails?.clear(serviceTrails);
      }
      return { ...where, wentOffline, forgotten: false };
    }
    this.badObjects += checked.leftOut;
    const picture = checked.value;
    s.picture = picture;
    s.lastPictureAt = nowMs;
    s.online = true; // it publishes; its status follows
    this.trails?.add(serviceTrails, picture.time,
      picture.objects.map((o) => ({ number: o.id, x: o.x, y: o.y })));
    return { ...where, wentOffline: false, forgotten: false };
  }

  dropService(where, reason, nowMs) {
    const s = this.service;
    s.knownSince ??= nowMs;
    ++s.dropped;
    s.lastDropped = reason;
    if (where.leaf === 'status') s.statusError = reason;
    return null;
  }

  // An empty status: the service is forgotten; empty tracks: its picture.
  clearService(where) {
    if (this.service.knownSince === null) return null;
    this.trails?.clear(serviceTrails);
    if (where.leaf === 'status') {
      this.service = Site.newService();
      return { ...where, wentOffline: false, forgotten: true };
    }
    this.service.picture = null;
    return { ...where, wentOffline: false, forgotten: false };
  }

  // The zones, a zone's state or an event. An event that was listed
  // already (delivered twice) changes nothing: returns null.
  handleZones(where, text, nowMs) {
    if (text === '' && where.leaf !== eventsLevel) return this.clearZones(where);
    if (where.leaf === 'zone' && !radarNamePattern.test(where.zone)) {
      ++this.badMessages;
      return this.dropZones('a state of no zone name');
    }
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      message = undefined;
    }
    const checked = where.leaf === zonesLevel ? checkZones(message)
      : where.leaf === 'zone' ? checkZoneState(message, where.zone) : checkEvent(message);
    if (checked.error) {
      ++this.badMessages;
      return this.dropZones(`${where.leaf === 'zone' ? 'zone state' : where.leaf}: ${checked.error}`);
    }
    if (where.leaf === zonesLevel) {
      this.badZones += checked.leftOut;
      this.zones.setZones(checked.value.zones);
    } else if (where.leaf === 'zone') {
      if (!this.zones.setState(checked.value)) {
        ++this.badMessages;
        return this.dropZones(`zone state: more than ${maxZones} zones`);
      }
    } else {
      if (!this.events.add(checked.value)) return null;
      this.zones.flash(checked.value.zone, nowMs);
    }
    return { ...where, wentOffline: false, forgotten: false };
  }

  dropZones(reason) {
    ++this.zoneMessages.dropped;
    this.zoneMessages.lastDropped = reason;
    return null;
  }

  // An empty zones message: the site has no zones; an empty state: the
  // zone's state is forgotten.
  clearZones(where) {
    if (where.leaf === zonesLevel) this.zones.setZones([]);
    else if (!this.zones.forgetState(where.zone)) return null;
    return { ...where, wentOffline: false, forgotten: true };
  }

  clear(where) {
    const r = this.radars.get(where.radar);
    if (!r) return null;
    if (where.leaf === 'status') {
      this.radars.delete(where.radar);
      this.trails?.clear(where.radar);
      return { ...where, wentOffline: false, forgotten: true };
    }
    r.tracks = null;
    return { ...where, wentOffline: false, forgotten: false };
  }

  // The site service's cameras, [name, camera] in name order; none before
  // a status with them.
  cameras() {
    const cameras = this.service.status?.cameras;
    return cameras ? [...cameras].sort(([a], [b]) => (a < b ? -1 : a > b ? 1 : 0)) : [];
  }

  cameraColour(name) {
    const index = this.cameras().findIndex(([n]) => n === name);
    return cameraPalette[(index < 0 ? 0 : index) % cameraPalette.length];
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

  // The current fused objects by id, as the panel's table has them, but
  // those of the classes hidden (a Set of names).
  objectRows(hidden = noClassHidden) {
    return shownObjects(this.service.picture?.objects ?? [], hidden).sort((a, b) => a.id - b.id);
  }

  // The site points that fitting the map should show: every radar's place
  // and the ends and middle of its beam's far edge, every camera's place,
  // and the corners of the box around every zone and line. Targets and
  // fused objects only when there is none of these.
  extent() {
    const points = [];
    for (const [, c] of this.cameras()) points.push({ x: c.xM, y: c.yM });
    for (const { box } of this.zones.zones) {
      points.push({ x: box.minX, y: box.minY }, { x: box.maxX, y: box.maxY });
    }
    for (const r of this.radars.values()) {
      if (!r.place) continue;
      points.push({ x: r.place.x, y: r.place.y });
      if (!r.beam) continue;
      for (const off of [-r.beam.halfWidth, 0, r.beam.halfWidth]) {
        points.push(along(r.place.x, r.place.y, r.beam.bearing + off, r.beam.maxRange));
      }
    }
    if (points.length === 0) {
      for (const row of [...this.rows(), ...this.objectRows()]) points.push({ x: row.x, y: row.y });
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

// The site service's history as its status says it: its size in decimal
// units and the days it holds; null when the status says neither.
export function historyText(status) {
  const bytes = status?.historyBytes ?? null;
  const oldest = status?.historyOldestDay ?? null;
  const newest = status?.historyNewestDay ?? null;
  const parts = [];
  if (bytes !== null) {
    const units = [[1e12, 'TB'], [1e9, 'GB'], [1e6, 'MB'], [1e3, 'kB']];
    const [scale, unit] = units.find(([s]) => bytes >= s) ?? [1, 'B'];
    parts.push(scale === 1 ? `${bytes} B` : `${(bytes / scale).toFixed(1)} ${unit}`);
  }
  if (oldest !== null && newest !== null) parts.push(oldest === newest ? oldest : `${oldest} to ${newest}`);
  return parts.length > 0 ? `history: ${parts.join(', ')}` : null;
}

// The table's text for a fused object: positions to the decimetre, speed
// to 0.1 km/h, heading to the degree (empty when null), and the radar
// tracks joined in it as name:number, and its class (classText).
export function objectCells(o) {
  const fixed = (v, digits) => (finite(v) ? v.toFixed(digits) : '');
  return [
    String(o.id),
    fixed(o.x, 1),
    fixed(o.y, 1),
    fixed(o.speed, 1),
    fixed(o.heading, 0),
    o.radars.map((r) => `${r.radar}:${r.number}`).join(' '),
    o.confirmed ? 'yes' : 'no',
    classText(o),
  ];
}

// How much the page turns a radar's estimated heading error, so that a
// tenth of a degree shows.
export const alignmentExaggeration = 10;

const signed = (value, digits) => `${value < 0 ? '-' : '+'}${Math.abs(value).toFixed(digits)}`;

// A radar's line of the site service's alignment (checkAlignment's radar):
// the anchor, why it is not observable, or its estimates and whether they
// are certain and applied; null without one.
export function alignmentText(a) {
  if (!a) return null;
  if (a.anchor) return 'alignment: the anchor';
  if (!a.observable) return `alignment: not observable, ${a.why}`;
  const state = a.applied ? 'applied' : a.certain ? 'certain' : 'not certain yet';
  return `alignment: heading ${signed(a.headingDeg, 2)}° ± ${a.headingDegSigma.toFixed(2)}, ` +
    `x ${signed(a.xM, 2)} m, y ${signed(a.yM, 2)} m, range ${signed(a.rangeM, 2)} m ` +
    `(${a.coSightings} co-sightings, ${state})`;
}

// What the map draws of a radar's alignment at its place (x, y, heading as
// the site file has them): the file's heading and the estimated true one
// turned alignmentExaggeration times as far, labelled with the error in
// degrees; the estimated place; dimmed while not certain. Null for the
// anchor, a radar not observable, or without an alignment.
export function alignmentGlyph(place, a) {
  if (!place || !a || a.anchor || !a.observable) return null;
  return {
    fileHeading: place.heading,
    trueHeading: place.heading + alignmentExaggeration * a.headingDeg,
    label: `${signed(a.headingDeg, 2)}°`,
    from: { x: place.x, y: place.y },
    to: { x: place.x + a.xM, y: place.y + a.yM },
    dimmed: !a.certain,
  };
}

// A camera's line in the panel (checkCameras's camera): online or its
// problem, what it follows and why, whether an operator drives it, its
// moves per second and failed requests.
export function cameraText(c) {
  const follows = c.following === null ? 'follows nothing' : `follows ${c.following}`;
  const errors = `${c.errors} ${c.errors === 1 ? 'error' : 'errors'}`;
  const state = c.online ? 'online' : `offline: ${c.problem}`;
  return [state, `${follows} (${c.why})`, ...(c.takenOver ? ['taken over'] : []),
    `${c.commandsPerS.toFixed(1)} commands/s`, errors].join(' · ');
}

// A camera as the map's data-cameras has it: NAME:online or NAME:offline,
// then :following=ID and :taken-over when so.
export function cameraState(name, c) {
  return [name, c.online ? 'online' : 'offline', ...(c.following === null ? [] : [`following=${c.following}`]),
    ...(c.takenOver ? ['taken-over'] : [])].join(':');
}
