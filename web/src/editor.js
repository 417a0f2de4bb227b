// The zone editor's model: the zones and lines of the site's zones file in
// site metres (what the map draws), drawn by clicks, their corners and the
// whole shapes dragged, renamed, deleted, their rules set, every change
// undone and redone; the checks sited makes of a zones file; and the file's
// GeoJSON (longitude and latitude) read and written. Nothing here touches
// the page.
//
// A shape: { id, kind: 'zone'|'line', name, paths, dwell, speed,
// confirmedOnly, alarm, armedText, classes, strict, extra, member } with
// classes the object classes whose objects raise its events (null: any
// object) and strict whether an object of class unknown does not (both as
// the file has them until edited), paths a zone's rings
// (outer first, each its corners without the closing one) or a line's one
// path of points; a corner { x, y, pos } keeps pos, the file's own
// position, until it moves, so that what was not edited is saved as it was
// read (a height included); extra and member keep the properties and the
// feature's members the editor does not know.

import {
  eventKinds,
  maxDwellS,
  maxSpeedKmh,
  maxZoneM,
  maxZoneVertices,
  maxZones,
  objectClasses,
  radarNamePattern,
  ringFault,
} from './checks.js';
import { geodeticToSite, siteToGeodetic } from './transform.js';

// Undo steps kept, the latest.
export const maxUndo = 200;
// At most this many spans in a zone's schedule (sited's limit).
export const maxArmedSpans = 50;
// Decimals of the degrees written: 1e-9 degrees is a tenth of a millimetre.
const degreeDecimals = 9;

// --- Site metres and the file's longitude and latitude -------------------

// The conversions of an origin { lat, lon, altitude }: toSite(position) of
// a GeoJSON position [lon, lat, height?] to { x, y }, toGeo(x, y) back to
// [lon, lat] on the site's plane.
export function georeference(origin) {
  const round = (v) => Number(v.toFixed(degreeDecimals));
  return {
    origin,
    toSite: ([lon, lat]) => geodeticToSite(origin, lat, lon),
    toGeo: (x, y) => {
      const g = siteToGeodetic(origin, x, y);
      return [round(g.lon), round(g.lat)];
    },
  };
}

// The origin at which a position [lon, lat] lies at site point (x, y): for
// a page that has the zones both in the file and in the zones message, and
// no origin otherwise. The altitude is taken as 0 (a few cm over 1 km at
// 1000 m up).
export function originOf(lon, lat, x, y) {
  const metresPerDegree = (6378137 * Math.PI) / 180;
  const origin = { lat, lon, altitude: 0 };
  for (let i = 0; i < 8; ++i) {
    const at = geodeticToSite(origin, lat, lon);
    origin.lat -= (y - at.y) / metresPerDegree;
    origin.lon -= (x - at.x) / (metresPerDegree * Math.max(Math.cos((origin.lat * Math.PI) / 180), 1e-6));
  }
  return origin;
}

// The origin from a zones file's features and the zones message's zones
// (site metres, by name): the first corner of the first zone in both, or
// null.
export function originFromZones(features, zones) {
  for (const f of features ?? []) {
    const z = zones.find((zone) => zone.name === f?.properties?.name);
    if (!z) continue;
    const type = f.geometry?.type;
    const position = type === 'Polygon' ? f.geometry.coordinates?.[0]?.[0] : f.geometry?.coordinates?.[0];
    const point = z.kind === 'zone' ? z.coordinates[0]?.[0] : z.coordinates[0];
    if (!Array.isArray(position) || position.length !== 2 || !point) continue;
    if ((type === 'Polygon') !== (z.kind === 'zone')) continue;
    return originOf(position[0], position[1], point[0], point[1]);
  }
  return null;
}

// --- Schedules -----------------------------------------------------------

const dayNames = ['Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat', 'Sun'];
const timePattern = /^([01][0-9]|2[0-3]):([0-5][0-9])$/;

// Whether days is a list of days and ranges of them, as sited reads it.
function isDays(days) {
  return days.split(',').every((item) => {
    const ends = item.trim().split('-');
    return ends.length <= 2 && ends.every((d) => dayNames.includes(d.trim()));
  });
}

// The "armed" spans of schedule lines such as "Mon-Fri 18:00-07:00", one a
// line, blank lines left out: { spans: [{ days, from, to }] } or { error }
// naming the line. No lines: always armed (no spans).
export function parseSchedule(text) {
  const spans = [];
  const lines = text.split('\n');
  for (let i = 0; i < lines.length; ++i) {
    const line = lines[i].trim();
    if (line === '') continue;
    const m = /^(.+?)\s+(\d\d:\d\d)\s*-\s*(\d\d:\d\d)$/.exec(line);
    const where = `schedule line ${i + 1} '${line}'`;
    if (!m) return { error: `${where}: not DAYS HH:MM-HH:MM, e.g. Mon-Fri 18:00-07:00` };
    const days = m[1].replace(/\s+/g, '');
    if (!isDays(days)) return { error: `${where}: days are Mon, Tue, Wed, Thu, Fri, Sat, Sun and ranges (Mon-Fri)` };
    if (!timePattern.test(m[2])) return { error: `${where}: from is a time from 00:00 to 23:59` };
    if (!timePattern.test(m[3]) && m[3] !== '24:00') return { error: `${where}: to is a time from 00:00 to 24:00` };
    spans.push({ days, from: m[2], to: m[3] });
  }
  if (spans.length > maxArmedSpans) return { error: `schedule: ${spans.length} spans; at most ${maxArmedSpans}` };
  return { spans };
}

// The schedule lines of a file's "armed" spans.
export function scheduleText(spans) {
  return (spans ?? []).map((s) => `${s.days} ${s.from}-${s.to}`).join('\n');
}

// --- The file's GeoJSON --------------------------------------------------

const known = ['name', 'dwell', 'speed_limit', 'confirmed_only', 'armed', 'alarm', 'classes', 'strict'];
// The classes a zone or line may be limited to: every class but unknown.
export const zoneClasses = objectClasses.filter((name) => name !== 'unknown');
const number = (v) => (typeof v === 'number' ? v : null);

// Members of an object but the given ones, kept as they were.
const others = (object, keys) =>
  Object.fromEntries(Object.entries(object ?? {}).filter(([key]) => !keys.includes(key)));

// The shapes of a zones file's FeatureCollection: { shapes, head } with
// head the collection's other members, or { error }.
export function fromGeoJSON(collection, geo) {
  const features = collection?.type === 'FeatureCollection' && Array.isArray(collection.features)
    ? collection.features : null;
  if (!features) return { error: 'the zones file is no GeoJSON FeatureCollection' };
  const corner = (pos) => ({ ...geo.toSite(pos), pos: [...pos] });
  const shapes = [];
  for (const [i, f] of features.entries()) {
    const p = f?.properties ?? {};
    const g = f?.geometry;
    let kind;
    let paths;
    if (g?.type === 'Polygon' && Array.isArray(g.coordinates)) {
      kind = 'zone';
      paths = g.coordinates.map((ring) => ring.slice(0, -1).map(corner));
    } else if (g?.type === 'LineString' && Array.isArray(g.coordinates)) {
      kind = 'line';
      paths = [g.coordinates.map(corner)];
    } else {
      return { error: `feature ${i + 1}: neither a Polygon nor a LineString` };
    }
    shapes.push({
      id: i + 1, kind, name: String(p.name ?? ''), paths, dwell: number(p.dwell), speed: number(p.speed_limit),
      confirmedOnly: p.confirmed_only !== false, alarm: Array.isArray(p.alarm) ? [...p.alarm] : [],
      armedText: scheduleText(p.armed), classes: p.classes === undefined ? null : p.classes,
      strict: p.strict === undefined ? false : p.strict, extra: others(p, known),
      member: others(f, ['type', 'properties', 'geometry']),
    });
  }
  return { shapes, head: others(collection, ['type', 'features']) };
}

// The FeatureCollection of shapes, as sited's zones file parser takes it: a
// zone's rings closed by their first position again; head and each
// shape's extra properties and members as read.
export function toGeoJSON(shapes, geo, head = {}) {
  const position = (c) => c.pos ?? geo.toGeo(c.x, c.y);
  const features = shapes.map((s) => {
    const properties = { name: s.name };
    if (s.kind === 'zone' && s.dwell !== null) properties.dwell = s.dwell;
    if (s.kind === 'zone' && s.speed !== null) properties.speed_limit = s.speed;
    if (!s.confirmedOnly) properties.confirmed_only = false; // true unless false
    const schedule = parseSchedule(s.armedText);
    if (schedule.spans?.length > 0) properties.armed = schedule.spans;
    if (s.alarm.length > 0) properties.alarm = [...s.alarm];
    if (s.classes !== null) properties.classes = Array.isArray(s.classes) ? [...s.classes] : s.classes;
    if (s.strict !== false) properties.strict = s.strict; // false unless true
    Object.assign(properties, s.extra);
    const geometry = s.kind === 'zone'
      ? { type: 'Polygon', coordinates: s.paths.map((ring) => [...ring, ring[0]].map(position)) }
      : { type: 'LineString', coordinates: s.paths[0].map(position) };
    return { type: 'Feature', ...s.member, properties, geometry };
  });
  return { type: 'FeatureCollection', ...head, features };
}

// --- The checks sited makes of a zones file ------------------------------

// The events an alarm may name: a zone's enter, exit, dwell (with a dwell)
// and speed (with a speed limit), a line's cross.
export function alarmEvents(shape) {
  if (shape.kind === 'line') return ['cross'];
  return ['enter', 'exit', ...(shape.dwell !== null ? ['dwell'] : []), ...(shape.speed !== null ? ['speed'] : [])];
}

function shapeProblems(s) {
  const out = [];
  if (!radarNamePattern.test(s.name)) out.push(`name: '${s.name}'; use 1 to 64 letters, digits, '_', '-' or '.'`);
  const far = s.paths.flat().find((c) => !(Math.abs(c.x) <= maxZoneM && Math.abs(c.y) <= maxZoneM));
  if (far) out.push(`a corner lies more than ${maxZoneM / 1000} km east, west, north or south of the origin`);
  if (s.kind === 'zone') {
    s.paths.forEach((ring, r) => {
      const fault = ringFault([...ring, ring[0]].map((c) => [c.x, c.y]));
      if (fault) out.push(`${r === 0 ? 'the outer ring' : `hole ${r}`} ${fault}`);
    });
  } else if (s.paths[0].length < 2) {
    out.push(`a line takes at least 2 points, not ${s.paths[0].length}`);
  }
  for (const [value, what, unit, most] of [[s.dwell, 'dwell', 'seconds', maxDwellS],
    [s.speed, 'speed limit', 'km/h', maxSpeedKmh]]) {
    if (value !== null && !(value > 0 && value <= most)) {
      out.push(`${what}: not a number of ${unit} above 0 and at most ${most}`);
    }
  }
  const allowed = alarmEvents(s);
  for (const event of s.alarm) {
    if (!eventKinds.includes(event) || !allowed.includes(event)) {
      const needs = { dwell: ': it needs a dwell', speed: ': it needs a speed limit' }[event] ?? '';
      out.push(`alarm: '${event}' is not an event this ${s.kind} raises${s.kind === 'zone' ? needs : ''}`);
    }
  }
  const schedule = parseSchedule(s.armedText);
  if (schedule.error) out.push(schedule.error);
  out.push(...classProblems(s));
  return out;
}

// What sited refuses of a shape's classes and strict: classes a list of
// at least one of zoneClasses, none twice; strict true or false, and true
// only with classes.
function classProblems({ classes, strict }) {
  const out = [];
  if (classes !== null) {
    const names = Array.isArray(classes) ? classes : [];
    if (names.length === 0) out.push(`classes: a list of at least one of ${zoneClasses.join(', ')}`);
    for (const name of new Set(names)) {
      if (!zoneClasses.includes(name)) out.push(`classes: '${name}' is not one of ${zoneClasses.join(', ')}`);
      else if (names.indexOf(name) !== names.lastIndexOf(name)) out.push(`classes: '${name}' twice`);
    }
  }
  if (typeof strict !== 'boolean') out.push('strict: not true or false');
  else if (strict && classes === null) out.push('strict: only with classes; choose the classes it keeps');
  return out;
}

// Every check of the shapes that fails, one line each, each naming its
// shape; none when sited would take them.
export function problems(shapes) {
  const out = [];
  if (shapes.length > maxZones) out.push(`${shapes.length} zones and lines; the site takes at most ${maxZones}`);
  const corners = shapes.reduce((n, s) => n + s.paths.reduce((m, p) => m + p.length, 0), 0);
  if (corners > maxZoneVertices) out.push(`${corners} corners in all; the site takes at most ${maxZoneVertices}`);
  const seen = new Set();
  shapes.forEach((s, i) => {
    const label = s.name === '' ? `shape ${i + 1}` : s.name;
    if (seen.has(s.name)) out.push(`${label}: another zone or line has this name; names are unique`);
    seen.add(s.name);
    for (const line of shapeProblems(s)) out.push(`${label}: ${line}`);
  });
  return out;
}

// --- Editing -------------------------------------------------------------

// A name not yet taken: zone1, zone2, ... or line1, ...
export function freshName(shapes, kind) {
  const names = new Set(shapes.map((s) => s.name));
  for (let n = 1; ; ++n) if (!names.has(`${kind}${n}`)) return `${kind}${n}`;
}

function cross(ax, ay, bx, by) {
  return ax * by - ay * bx;
}

// The distance (m) from p to the segment ab.
function segmentDistance(p, a, b) {
  const dx = b.x - a.x;
  const dy = b.y - a.y;
  const length2 = dx * dx + dy * dy;
  const t = length2 === 0 ? 0 : Math.max(0, Math.min(1, ((p.x - a.x) * dx + (p.y - a.y) * dy) / length2));
  return Math.hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

// Whether p is inside a zone (even-odd over its rings).
function inside(shape, p) {
  let odd = false;
  for (const ring of shape.paths) {
    for (let i = 0, j = ring.length - 1; i < ring.length; j = i++) {
      const a = ring[j];
      const b = ring[i];
      if ((a.y > p.y) !== (b.y > p.y) && (cross(b.x - a.x, b.y - a.y, p.x - a.x, p.y - a.y) > 0) === (b.y > a.y)) {
        odd = !odd;
      }
    }
  }
  return odd;
}

// The shapes' content, without ids and the file's own positions: what
// tells an edit from the file as loaded.
const plain = (shapes) => JSON.stringify(shapes.map(({ id, paths, ...rest }) =>
  ({ ...rest, paths: paths.map((p) => p.map((c) => [c.x, c.y])) })));

export class ZoneEditor {
  constructor() {
    this.shapes = [];
    this.selected = null; // the selected shape's id
    this.drawing = null; // { kind, corners } while a shape is drawn
    this.undoStack = [];
    this.redoStack = [];
    this.coalesce = null; // the key of the change that the last undo step began
    this.drag = null;
    this.nextId = 1;
    this.baseline = plain([]);
  }

  // Starts afresh from shapes (the file as read); with keepHistory the
  // shapes before are an undo step (a reload that the user may undo).
  load(shapes, { keepHistory = false } = {}) {
    if (keepHistory) {
      this.record();
    } else {
      this.undoStack = [];
      this.redoStack = [];
    }
    this.shapes = structuredClone(shapes);
    // Ids only grow: the shapes of an undo step before keep theirs.
    this.nextId = Math.max(this.nextId, ...this.shapes.map((s) => s.id + 1));
    this.selected = null;
    this.drawing = null;
    this.baseline = plain(this.shapes);
  }

  // True when the shapes differ from those last loaded or saved.
  edited() {
    return plain(this.shapes) !== this.baseline;
  }

  markSaved() {
    this.baseline = plain(this.shapes);
  }

  // Keeps the shapes as they are for undo before a change; a change with
  // the key of the one before (typing into one field) joins its step.
  record(key = null) {
    if (key !== null && key === this.coalesce) return;
    this.undoStack.push(structuredClone({ shapes: this.shapes, selected: this.selected }));
    if (this.undoStack.length > maxUndo) this.undoStack.shift();
    this.redoStack = [];
    this.coalesce = key;
  }

  // Undo and redo: false when there is nothing to.
  undo() {
    return this.step(this.undoStack, this.redoStack);
  }

  redo() {
    return this.step(this.redoStack, this.undoStack);
  }

  // While a shape is drawn, undo takes back its last corner (and redo
  // nothing); the drawing ends with its first.
  step(from, to) {
    if (this.drawing) {
      if (from !== this.undoStack) return false;
      this.drawing.corners.pop();
      if (this.drawing.corners.length === 0) this.drawing = null;
      return true;
    }
    const state = from.pop();
    if (!state) return false;
    to.push(structuredClone({ shapes: this.shapes, selected: this.selected }));
    this.shapes = state.shapes;
    this.selected = this.shapes.some((s) => s.id === state.selected) ? state.selected : null;
    this.coalesce = null;
    return true;
  }

  shape(id = this.selected) {
    return this.shapes.find((s) => s.id === id) ?? null;
  }

  select(id) {
    this.selected = id;
    this.coalesce = null;
  }

  // Drawing: clicks add corners; one on the first corner (within tolM)
  // closes the shape, as finish() does. Returns 'added' or 'closed'.
  startDrawing(kind) {
    this.drawing = { kind, corners: [] };
    this.selected = null;
  }

  click(x, y, tolM) {
    const d = this.drawing;
    const first = d.corners[0];
    if (first && d.corners.length >= (d.kind === 'zone' ? 3 : 2) && Math.hypot(x - first.x, y - first.y) <= tolM) {
      return this.finish() ? 'closed' : 'added';
    }
    const last = d.corners.at(-1);
    // A second click on the last corner (a double click) ends the shape.
    if (last && Math.hypot(x - last.x, y - last.y) <= tolM) return this.finish() ? 'closed' : 'added';
    d.corners.push({ x, y });
    return 'added';
  }

  // Ends the drawing: a zone of 3 corners or more, a line of 2 points or
  // more becomes a shape, selected; false (drawing on) for fewer.
  finish() {
    const d = this.drawing;
    if (!d || d.corners.length < (d.kind === 'zone' ? 3 : 2)) return false;
    this.record();
    const shape = {
      id: this.nextId++, kind: d.kind, name: freshName(this.shapes, d.kind), paths: [d.corners],
      dwell: null, speed: null, confirmedOnly: true, alarm: [], armedText: '', classes: null, strict: false,
      extra: {}, member: {},
    };
    this.shapes.push(shape);
    this.drawing = null;
    this.selected = shape.id;
    return true;
  }

  // The selected shape's rules: { name, dwell, speed, confirmedOnly,
  // alarm, armedText, classes, strict } in part; key joins typing into one field in one
  // undo step.
  update(patch, key = null) {
    const s = this.shape();
    if (!s) return false;
    this.record(key === null ? null : `${key}:${s.id}`);
    Object.assign(s, patch);
    return true;
  }

  // A double click on a shape (what hit() found at p): on a corner takes
  // it away (while the shape keeps enough), on an edge adds one there.
  // False when nothing changed.
  reshape(target, p) {
    const { shape, path, corner } = target;
    const least = shape.kind === 'zone' ? 3 : 2;
    if (corner !== null) {
      if (shape.paths[path].length <= least) return false;
      this.record();
      shape.paths[path].splice(corner, 1);
      return true;
    }
    let best = null;
    shape.paths.forEach((corners, at) => corners.forEach((c, i) => {
      const next = corners[i + 1] ?? (shape.kind === 'zone' ? corners[0] : null);
      const d = next ? segmentDistance(p, c, next) : Infinity;
      if (!best || d < best.d) best = { d, at, i };
    }));
    if (!best || best.d === Infinity) return false;
    this.record();
    shape.paths[best.at].splice(best.i + 1, 0, { x: p.x, y: p.y });
    return true;
  }

  remove() {
    const at = this.shapes.findIndex((s) => s.id === this.selected);
    if (at < 0) return false;
    this.record();
    this.shapes.splice(at, 1);
    this.selected = null;
    return true;
  }

  // What is at site point p within tolM: a corner of the selected shape,
  // then of any, then a shape (inside a zone, on a line): { shape, path,
  // corner } (path and corner null for the whole shape), or null.
  hit(p, tolM) {
    const order = [...this.shapes].sort((a, b) => (b.id === this.selected) - (a.id === this.selected));
    for (const shape of order) {
      for (const [path, corners] of shape.paths.entries()) {
        const corner = corners.findIndex((c) => Math.hypot(c.x - p.x, c.y - p.y) <= tolM);
        if (corner >= 0) return { shape, path, corner };
      }
    }
    for (const shape of order) {
      const near = shape.paths.some((corners) => corners.some((c, i) => {
        const next = corners[i + 1] ?? (shape.kind === 'zone' ? corners[0] : null);
        return next && segmentDistance(p, c, next) <= tolM;
      }));
      if (near || (shape.kind === 'zone' && inside(shape, p))) return { shape, path: null, corner: null };
    }
    return null;
  }

  // Dragging what hit() found by (dx, dy) m from where it started: one undo
  // step, none when it did not move.
  beginDrag(target) {
    const redo = this.redoStack;
    this.record();
    this.select(target.shape.id);
    this.drag = { ...target, start: structuredClone(target.shape.paths), moved: false, redo };
  }

  dragBy(dx, dy) {
    const d = this.drag;
    if (!d) return;
    const shape = this.shape(d.shape.id);
    d.moved = d.moved || dx !== 0 || dy !== 0;
    shape.paths = d.start.map((corners, path) => corners.map((c, corner) => {
      if (d.corner !== null && (path !== d.path || corner !== d.corner)) return c;
      return { x: c.x + dx, y: c.y + dy };
    }));
  }

  endDrag() {
    if (this.drag && !this.drag.moved) {
      this.undoStack.pop();
      this.redoStack = this.drag.redo;
    }
    this.drag = null;
  }
}
