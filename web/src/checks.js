// What the page accepts of the broker's messages. Every field it reads is
// checked here: a status or tracks message that fails is dropped whole, a
// target that fails is left out, and what passes is copied field by field,
// so that nothing else of a message reaches the map or the panel. The
// limits keep the drawing's cost and the page's memory bounded whatever a
// publisher sends.

// Payloads above this are dropped unread (bytes). The page asks the broker
// for MQTT packets of at most this size too, so larger ones do not reach it.
export const maxMessageBytes = 256 * 1024;
// Targets in one tracks message: four times the radar's 255 target numbers,
// and at about 200 bytes a target they fit in maxMessageBytes.
export const maxTargets = 1000;
// Radars the page keeps; messages of further radars are dropped.
export const maxRadars = 1000;
// A radar's place: x and y within 100 km of the site's origin (m).
export const maxPlaceM = 100e3;
// Ranges: a beam's ends, a target's distance from its radar (m).
export const maxRangeM = 100e3;
// A target's x and y on the site: a range away from a place (m).
export const maxTargetM = maxPlaceM + maxRangeM;
// Headings and bearings, either way round (degrees).
export const maxBearingDeg = 360;
// A beam's half-width (degrees).
export const maxHalfWidthDeg = 180;
// A target's radial velocity, either way (km/h).
export const maxSpeedKmh = 1000;
// A radar's packet rate (packets per second).
export const maxRatePps = 10000;
// Packet timestamps: whole ms from 1970 to the end of JavaScript's dates.
export const maxTimestampMs = 8.64e15;
// Target numbers: the library's 32-bit signed numbers, from 0.
export const maxTargetNumber = 2 ** 31 - 1;
// Radar names as trackd's site file allows them.
export const radarNamePattern = /^[A-Za-z0-9_.-]{1,64}$/;

// trackd's counters of a radar, as its status has them.
export const counterKeys = [
  'packets',
  'readErrors',
  'badHeaders',
  'foreignDatagrams',
  'strayDatagrams',
  'abandonedPackets',
  'senders',
  'competingDatagrams',
];

function within(value, min, max) {
  return typeof value === 'number' && Number.isFinite(value) && value >= min && value <= max;
}

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

// Absent: undefined or null, as trackd writes a number it has not got.
function absent(value) {
  return value === undefined || value === null;
}

function checkPlace(p) {
  if (!isObject(p)) return { error: 'place is no object' };
  if (!within(p.x, -maxPlaceM, maxPlaceM) || !within(p.y, -maxPlaceM, maxPlaceM)) {
    return { error: `place: x or y is no number within ${maxPlaceM / 1000} km` };
  }
  if (!within(p.heading, -maxBearingDeg, maxBearingDeg)) {
    return { error: `place: heading is no number within ${maxBearingDeg} degrees` };
  }
  return { value: { x: p.x, y: p.y, heading: p.heading } };
}

function checkBeam(b) {
  if (!isObject(b)) return { error: 'beam is no object' };
  if (!within(b.bearing, -maxBearingDeg, maxBearingDeg)) {
    return { error: `beam: bearing is no number within ${maxBearingDeg} degrees` };
  }
  if (!within(b.halfWidth, 0, maxHalfWidthDeg)) {
    return { error: `beam: halfWidth is no number from 0 to ${maxHalfWidthDeg} degrees` };
  }
  if (!within(b.minRange, 0, maxRangeM) || !within(b.maxRange, b.minRange, maxRangeM)) {
    return { error: `beam: minRange to maxRange is no range within ${maxRangeM / 1000} km` };
  }
  return {
    value: { bearing: b.bearing, halfWidth: b.halfWidth, minRange: b.minRange, maxRange: b.maxRange },
  };
}

// A status: { value: { online, place, beam, rate, counters } } with null
// for what it lacks, or { error } saying what is wrong.
export function checkStatus(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  if (typeof message.online !== 'boolean') return { error: 'online is no true or false' };
  const value = { online: message.online, place: null, beam: null, rate: null, counters: {} };
  for (const [key, check] of [['place', checkPlace], ['beam', checkBeam]]) {
    if (absent(message[key])) continue;
    const checked = check(message[key]);
    if (checked.error) return checked;
    value[key] = checked.value;
  }
  if (!absent(message.rate)) {
    if (!within(message.rate, 0, maxRatePps)) return { error: `rate is no number from 0 to ${maxRatePps}` };
    value.rate = message.rate;
  }
  for (const key of counterKeys) {
    const count = message[key];
    if (absent(count)) continue;
    if (!Number.isSafeInteger(count) || count < 0) return { error: `${key} is no count` };
    value.counters[key] = count;
  }
  return { value };
}

// One target, copied, or null when it cannot be shown.
function checkTarget(t) {
  if (!isObject(t)) return null;
  if (!Number.isInteger(t.number) || t.number < 0 || t.number > maxTargetNumber) return null;
  if (!within(t.x, -maxTargetM, maxTargetM) || !within(t.y, -maxTargetM, maxTargetM)) return null;
  if (!absent(t.distance) && !within(t.distance, 0, maxRangeM)) return null;
  if (!absent(t.velocity) && !within(t.velocity, -maxSpeedKmh, maxSpeedKmh)) return null;
  return {
    number: t.number,
    x: t.x,
    y: t.y,
    distance: absent(t.distance) ? null : t.distance,
    velocity: absent(t.velocity) ? null : t.velocity,
    confirmed: t.confirmed === true,
  };
}

// A tracks message: { value: { timestamp, targets }, leftOut } with the
// number of targets left out, or { error }.
export function checkTracks(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  const { timestamp, targets } = message;
  if (!Number.isInteger(timestamp) || timestamp < 0 || timestamp > maxTimestampMs) {
    return { error: 'timestamp is no time in ms' };
  }
  if (!Array.isArray(targets)) return { error: 'targets is no list' };
  if (targets.length > maxTargets) return { error: `more than ${maxTargets} targets` };
  const kept = [];
  for (const t of targets) {
    const checked = checkTarget(t);
    if (checked) kept.push(checked);
  }
  return { value: { timestamp, targets: kept }, leftOut: targets.length - kept.length };
}

// The site service's messages: the fused picture on <prefix>/<site>/site/tracks
// and its status on .../site/status. Checked as the radars' messages: a bad
// picture or status is dropped whole, a bad object is left out.

// Objects in one picture: as many as targets in a tracks message.
export const maxObjects = 1000;
// Object ids: whole numbers from 1 that JavaScript holds exactly.
export const maxObjectId = Number.MAX_SAFE_INTEGER;
// An object's speed (km/h) and each of its velocity's components (m/s).
export const maxVelocityMps = maxSpeedKmh / 3.6;
// Latitude and longitude (degrees).
export const maxLatitudeDeg = 90;
export const maxLongitudeDeg = 180;
// Seconds since a radar's last message in the site status: up to the
// last JavaScript date.
export const maxAgeS = maxTimestampMs / 1000;

function isTime(value) {
  return Number.isInteger(value) && value >= 0 && value <= maxTimestampMs;
}

function isCount(value) {
  return Number.isSafeInteger(value) && value >= 0;
}

// The classes of the site service's objects, in the order of its messages.
// An object of a service that classifies none (no "class") is unknown.
export const objectClasses = ['person', 'two-wheeler', 'car', 'truck', 'animal', 'unknown'];

// An object's class: one of objectClasses, unknown when absent or none
// the page knows.
function checkClass(name) {
  return objectClasses.includes(name) ? name : 'unknown';
}

// An object's probabilities by class: an object with every class of
// objectClasses (0 for one it lacks), or null when absent or when one is
// no number from 0 to 1.
function checkClassProbabilities(classes) {
  if (!isObject(classes)) return null;
  const value = {};
  for (const name of objectClasses) {
    const p = classes[name];
    if (absent(p)) value[name] = 0;
    else if (within(p, 0, 1)) value[name] = p;
    else return null;
  }
  return value;
}

// The radar tracks joined in an object: [{ radar, number }], or null.
function checkObjectRadars(list) {
  if (!Array.isArray(list) || list.length > maxRadars) return null;
  const radars = [];
  for (const r of list) {
    if (!isObject(r) || typeof r.radar !== 'string' || !radarNamePattern.test(r.radar)) return null;
    if (!Number.isInteger(r.number) || r.number < 0 || r.number > maxTargetNumber) return null;
    radars.push({ radar: r.radar, number: r.number });
  }
  return radars;
}

// One object of a picture, copied, or null when it cannot be shown.
function checkObject(o) {
  if (!isObject(o)) return null;
  if (!Number.isInteger(o.id) || o.id < 1 || o.id > maxObjectId) return null;
  if (!within(o.x, -maxTargetM, maxTargetM) || !within(o.y, -maxTargetM, maxTargetM)) return null;
  // A place on the earth is both or neither.
  if (absent(o.lat) !== absent(o.lon)) return null;
  if (!absent(o.lat) && !within(o.lat, -maxLatitudeDeg, maxLatitudeDeg)) return null;
  if (!absent(o.lon) && !within(o.lon, -maxLongitudeDeg, maxLongitudeDeg)) return null;
  if (!absent(o.vx) && !within(o.vx, -maxVelocityMps, maxVelocityMps)) return null;
  if (!absent(o.vy) && !within(o.vy, -maxVelocityMps, maxVelocityMps)) return null;
  if (!absent(o.speed) && !within(o.speed, 0, maxSpeedKmh)) return null;
  // A heading from 0 up to, not including, a full turn.
  if (!absent(o.heading) && !(within(o.heading, 0, maxBearingDeg) && o.heading < maxBearingDeg)) return null;
  if (!absent(o.since) && !isTime(o.since)) return null;
  const radars = checkObjectRadars(o.radars ?? []);
  if (!radars) return null;
  const value = (v) => (absent(v) ? null : v);
  return {
    id: o.id,
    x: o.x,
    y: o.y,
    lat: value(o.lat),
    lon: value(o.lon),
    speed: value(o.speed),
    heading: value(o.heading),
    confirmed: o.confirmed === true,
    radars,
    since: value(o.since),
    class: checkClass(o.class),
    classes: checkClassProbabilities(o.classes),
  };
}

// A picture: { value: { time, objects }, leftOut } with the number of
// objects left out, or { error }. An id twice in one picture leaves out
// the later ones: an id is one object.
export function checkPicture(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  const { time, objects } = message;
  if (!isTime(time)) return { error: 'time is no time in ms' };
  if (!Array.isArray(objects)) return { error: 'objects is no list' };
  if (objects.length > maxObjects) return { error: `more than ${maxObjects} objects` };
  const kept = [];
  const ids = new Set();
  for (const o of objects) {
    const checked = checkObject(o);
    if (!checked || ids.has(checked.id)) continue;
    ids.add(checked.id);
    kept.push(checked);
  }
  return { value: { time, objects: kept }, leftOut: objects.length - kept.length };
}

// A UTC date as the site service writes the history's days.
const dayPattern = /^[0-9]{4}-[0-9]{2}-[0-9]{2}$/;

// A radar's estimated mounting error (degrees, metres): at most a turn and
// the largest place error of a site; its sigmas at least 0.
const maxAlignmentDeg = maxBearingDeg;
const maxAlignmentM = maxPlaceM;
const alignmentFigures = [
  ['heading_deg', 'headingDeg', maxAlignmentDeg],
  ['x_m', 'xM', maxAlignmentM],
  ['y_m', 'yM', maxAlignmentM],
  ['range_m', 'rangeM', maxAlignmentM],
];

// One radar's alignment: observable with every figure and no why, or not
// with no figure and a why; null when it is neither.
function checkRadarAlignment(a) {
  if (!isObject(a)) return null;
  const flags = ['observable', 'anchor', 'certain', 'applied'];
  if (flags.some((key) => typeof a[key] !== 'boolean') || !isCount(a.co_sightings)) return null;
  const value = { why: null, coSightings: a.co_sightings };
  for (const key of flags) value[key] = a[key];
  for (const [key, field, max] of alignmentFigures) {
    const sigma = key.replace(/_(deg|m)$/, '_sigma_$1');
    const known = within(a[key], -max, max) && within(a[sigma], 0, max);
    const none = a[key] === null && a[sigma] === null;
    if (a.observable ? !known : !none) return null;
    value[field] = a.observable ? a[key] : null;
    value[`${field}Sigma`] = a.observable ? a[sigma] : null;
  }
  if (a.observable ? a.why !== null : typeof a.why !== 'string') return null;
  value.why = a.why;
  return value;
}

// The status's alignment: { mode, radars: Map of name -> its alignment },
// or null when it is not a whole one.
function checkAlignment(a) {
  if (!isObject(a) || !['report', 'apply'].includes(a.mode) || !isObject(a.radars)) return null;
  const entries = Object.entries(a.radars);
  if (entries.length > maxRadars) return null;
  const radars = new Map();
  for (const [name, radar] of entries) {
    const checked = checkRadarAlignment(radar);
    if (!radarNamePattern.test(name) || !checked) return null;
    radars.set(name, checked);
  }
  return { mode: a.mode, radars };
}

// The site's PTZ cameras in the site service's status: at most this many,
// each a row of the panel and a view on the map; a camera's names as a
// radar's.
export const maxCameras = 100;
// A camera's horizontal field of view (degrees): above 0, at most half a turn.
export const maxFovDeg = 180;
// Moves sent to a camera per second: sited sends at most one a picture.
export const maxCommandsPerS = 1000;
// A camera's problem: one line of at most this many characters.
export const maxProblemChars = 1000;
// Why a camera points where it does, but for an alarm ("alarm N", N the
// alarm's id): the object an operator chose, an object in a watched zone,
// its home, an operator's hand.
export const cameraReasons = ['followed', 'watch', 'home', 'operator'];
const alarmReasonPattern = /^alarm [1-9][0-9]*$/;

function isReason(why) {
  if (typeof why !== 'string') return false;
  return cameraReasons.includes(why) || (alarmReasonPattern.test(why) && Number.isSafeInteger(Number(why.slice(6))));
}

// One camera, copied, or null when it cannot be shown. A problem while it
// is offline and only then; a view's bearing and width, and what it
// follows, may be unknown (null or absent).
function checkCamera(c) {
  if (!isObject(c) || typeof c.online !== 'boolean' || typeof c.taken_over !== 'boolean') return null;
  const oneLine = (p) => typeof p === 'string' && p !== '' && p.length <= maxProblemChars && !/[\r\n]/.test(p);
  if (c.online ? !absent(c.problem) : !oneLine(c.problem)) return null;
  if (!within(c.x_m, -maxPlaceM, maxPlaceM) || !within(c.y_m, -maxPlaceM, maxPlaceM)) return null;
  if (!absent(c.bearing_deg) && !within(c.bearing_deg, -maxBearingDeg, maxBearingDeg)) return null;
  if (!absent(c.fov_deg) && !(within(c.fov_deg, 0, maxFovDeg) && c.fov_deg > 0)) return null;
  if (!within(c.reach_m, 0, maxRangeM)) return null;
  if (!absent(c.following) && !(Number.isInteger(c.following) && c.following >= 1 && c.following <= maxObjectId)) {
    return null;
  }
  if (!isReason(c.why) || !isCount(c.commands) || !isCount(c.errors)) return null;
  if (!within(c.commands_per_s, 0, maxCommandsPerS)) return null;
  const value = (v) => (absent(v) ? null : v);
  return {
    online: c.online,
    problem: value(c.problem),
    xM: c.x_m,
    yM: c.y_m,
    bearingDeg: value(c.bearing_deg),
    fovDeg: value(c.fov_deg),
    reachM: c.reach_m,
    following: value(c.following),
    why: c.why,
    takenOver: c.taken_over,
    commands: c.commands,
    commandsPerS: c.commands_per_s,
    errors: c.errors,
  };
}

// The status's cameras: { cameras: Map of name -> its camera, leftOut }
// with the cameras left out (a bad name or camera); cameras null, one left
// out, when they are no object or more than maxCameras.
function checkCameras(c) {
  if (!isObject(c)) return { cameras: null, leftOut: 1 };
  const entries = Object.entries(c);
  if (entries.length > maxCameras) return { cameras: null, leftOut: 1 };
  const cameras = new Map();
  for (const [name, camera] of entries) {
    const checked = radarNamePattern.test(name) ? checkCamera(camera) : null;
    if (checked) cameras.set(name, checked);
  }
  return { cameras, leftOut: entries.length - cameras.size };
}

// The site service's status: { value: { online, radars, objects, pictures,
// lateMessages, droppedEvents, droppedRecords, historyBytes, historyOldestDay, historyNewestDay,
// alignment, cameras }, leftOut } with radars a Map of name -> seconds since its last message
// (null: none yet) and null for a count or day it lacks; alignment (checkAlignment) null when the
// status has none, or a bad one, which counts one left out; cameras (checkCameras) null when the
// status has none, its bad cameras left out and counted; or { error }.
export function checkSiteStatus(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  if (typeof message.online !== 'boolean') return { error: 'online is no true or false' };
  const value = {
    online: message.online, radars: new Map(), objects: null, pictures: null, lateMessages: null,
    droppedEvents: null, droppedRecords: null, historyBytes: null, historyOldestDay: null, historyNewestDay: null,
    alignment: null, cameras: null,
  };
  if (!absent(message.radars)) {
    if (!isObject(message.radars)) return { error: 'radars is no object' };
    const entries = Object.entries(message.radars);
    if (entries.length > maxRadars) return { error: `more than ${maxRadars} radars` };
    for (const [name, age] of entries) {
      if (!radarNamePattern.test(name)) return { error: 'radars: a name is no radar name' };
      if (!absent(age) && !within(age, 0, maxAgeS)) return { error: `radars: ${name} is no age in seconds` };
      value.radars.set(name, absent(age) ? null : age);
    }
  }
  for (const key of ['objects', 'pictures', 'lateMessages', 'droppedEvents', 'droppedRecords', 'historyBytes']) {
    if (absent(message[key])) continue;
    if (!isCount(message[key])) return { error: `${key} is no count` };
    value[key] = message[key];
  }
  for (const key of ['historyOldestDay', 'historyNewestDay']) {
    if (absent(message[key])) continue;
    if (typeof message[key] !== 'string' || !dayPattern.test(message[key])) return { error: `${key} is no day` };
    value[key] = message[key];
  }
  let leftOut = 0;
  if (!absent(message.alignment)) {
    value.alignment = checkAlignment(message.alignment);
    if (!value.alignment) ++leftOut;
  }
  if (!absent(message.cameras)) {
    const checked = checkCameras(message.cameras);
    value.cameras = checked.cameras;
    leftOut += checked.leftOut;
  }
  return { value, leftOut };
}

// The zones and their events, from the site service: the zones on
// <prefix>/<site>/zones and each zone's state on .../zones/<name> (both
// retained), its events on .../events. A zones message past a limit, a
// state or an event that fails is dropped whole; a zone that fails is
// left out of its message, as an object of a picture.

// Zones in one message, and their vertices in all (a ring's closing point,
// which repeats its first, not counted): enough for a site's fences and
// areas, and what the map redraws every frame.
export const maxZones = 200;
export const maxZoneVertices = 10000;
// A zone's coordinates: within 100 km of the origin, as a radar's place (m).
export const maxZoneM = maxPlaceM;
// A zone's dwell (s): up to the last JavaScript date.
export const maxDwellS = maxAgeS;
export const zoneKinds = ['zone', 'line'];
export const eventKinds = ['enter', 'exit', 'dwell', 'speed', 'cross'];
export const directions = ['left', 'right'];

function checkPoint(p) {
  return Array.isArray(p) && p.length === 2 && within(p[0], -maxZoneM, maxZoneM) && within(p[1], -maxZoneM, maxZoneM);
}

// A ring of a zone: at least three corners, its last point its first again.
function checkRing(ring) {
  if (!Array.isArray(ring) || ring.length < 4 || !ring.every(checkPoint)) return false;
  const [first, last] = [ring[0], ring.at(-1)];
  return first[0] === last[0] && first[1] === last[1];
}

// The vertices a zone's coordinates claim, before they are checked, so that
// a message past the limit costs no more than counting.
function claimedVertices(z) {
  if (!isObject(z) || !Array.isArray(z.coordinates)) return 0;
  if (z.kind === 'line') return z.coordinates.length;
  return z.coordinates.reduce((n, ring) => n + (Array.isArray(ring) ? Math.max(ring.length - 1, 0) : 0), 0);
}

// One zone or line, copied, or null when it cannot be shown. A zone's
// coordinates are its rings, outer first; a line's its points.
function checkZone(z) {
  if (!isObject(z) || typeof z.name !== 'string' || !radarNamePattern.test(z.name)) return null;
  if (!zoneKinds.includes(z.kind) || !Array.isArray(z.coordinates)) return null;
  if (z.kind === 'zone' ? z.coordinates.length < 1 || !z.coordinates.every(checkRing)
    : z.coordinates.length < 2 || !z.coordinates.every(checkPoint)) return null;
  // A dwell or speed limit is above 0, and only a zone's: a line raises
  // crossings alone.
  const limit = (v, max) => absent(v) || (z.kind === 'zone' && within(v, 0, max) && v > 0);
  if (!limit(z.dwell, maxDwellS) || !limit(z.speed_limit, maxSpeedKmh)) return null;
  if (!absent(z.confirmed_only) && typeof z.confirmed_only !== 'boolean') return null;
  const points = z.kind === 'zone' ? z.coordinates.flat() : z.coordinates;
  return {
    name: z.name,
    kind: z.kind,
    coordinates: z.kind === 'zone' ? z.coordinates.map((ring) => ring.map(([x, y]) => [x, y]))
      : z.coordinates.map(([x, y]) => [x, y]),
    dwell: absent(z.dwell) ? null : z.dwell,
    speedLimit: absent(z.speed_limit) ? null : z.speed_limit,
    confirmedOnly: z.confirmed_only !== false,
    // The box around it (m), for fitting the map.
    box: {
      minX: Math.min(...points.map((p) => p[0])), maxX: Math.max(...points.map((p) => p[0])),
      minY: Math.min(...points.map((p) => p[1])), maxY: Math.max(...points.map((p) => p[1])),
    },
  };
}

// The zones: { value: { zones }, leftOut } with the number of zones left
// out, or { error }. A name already in the message is left out: a name is
// one zone.
export function checkZones(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  const { zones } = message;
  if (!Array.isArray(zones)) return { error: 'zones is no list' };
  if (zones.length > maxZones) return { error: `more than ${maxZones} zones` };
  let vertices = 0;
  for (const z of zones) vertices += claimedVertices(z);
  if (vertices > maxZoneVertices) return { error: `more than ${maxZoneVertices} vertices` };
  const kept = [];
  const names = new Set();
  for (const z of zones) {
    const checked = checkZone(z);
    if (!checked || names.has(checked.name)) continue;
    names.add(checked.name);
    kept.push(checked);
  }
  return { value: { zones: kept }, leftOut: zones.length - kept.length };
}

// An operator's arming or disarming of a zone until a time (null: the
// schedule's next change): { armed, by, since, until }, or null when the
// state has none, undefined when it is no such thing.
function checkOverride(o) {
  if (absent(o)) return null;
  if (!isObject(o) || typeof o.armed !== 'boolean' || typeof o.by !== 'string' || !isTime(o.since)) return undefined;
  if (!absent(o.until) && !isTime(o.until)) return undefined;
  return { armed: o.armed, by: o.by, since: o.since, until: absent(o.until) ? null : o.until };
}

// A zone's state, of the zone named in its topic: { value: { zone,
// occupants, entered, exited, crossings: { left, right }, armed, override } }
// or { error }. A disarmed zone raises its events but no alarms.
export function checkZoneState(message, name) {
  if (!isObject(message)) return { error: 'no JSON object' };
  if (message.zone !== name) return { error: 'zone is not the topic\'s' };
  const { occupants, crossings } = message;
  if (!Array.isArray(occupants) || occupants.length > maxObjects) {
    return { error: `occupants is no list of at most ${maxObjects}` };
  }
  for (let i = 0; i < occupants.length; ++i) {
    const id = occupants[i];
    if (!Number.isInteger(id) || id < 1 || id > maxObjectId || (i > 0 && id <= occupants[i - 1])) {
      return { error: 'occupants are no ids in ascending order' };
    }
  }
  for (const key of ['entered', 'exited']) {
    if (!isCount(message[key])) return { error: `${key} is no count` };
  }
  if (!isObject(crossings) || !isCount(crossings.left) || !isCount(crossings.right)) {
    return { error: 'crossings is no left and right count' };
  }
  if (typeof message.armed !== 'boolean') return { error: 'armed is not true or false' };
  const override = checkOverride(message.override);
  if (override === undefined) return { error: 'override is no { armed, by, since, until }' };
  return {
    value: {
      zone: name,
      occupants: [...occupants],
      entered: message.entered,
      exited: message.exited,
      crossings: { left: crossings.left, right: crossings.right },
      armed: message.armed,
      override,
    },
  };
}

// The fields only some events have: the events that have them and the
// check of a value.
const eventExtras = {
  dwell: [['exit', 'dwell'], (v) => within(v, 0, maxDwellS)],
  direction: [['cross'], (v) => directions.includes(v)],
  lost: [['exit'], (v) => typeof v === 'boolean'],
};

// An event: { value: { event, zone, object, time, x, y, lat, lon, speed,
// dwell, direction, lost } } with null for what it has not got, or
// { error }. A field of another kind of event makes it bad.
export function checkEvent(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  const m = message;
  if (!eventKinds.includes(m.event)) return { error: `event is no ${eventKinds.join(', ')}` };
  if (typeof m.zone !== 'string' || !radarNamePattern.test(m.zone)) return { error: 'zone is no zone name' };
  if (!Number.isInteger(m.object) || m.object < 1 || m.object > maxObjectId) return { error: 'object is no id' };
  if (!isTime(m.time)) return { error: 'time is no time in ms' };
  if (!within(m.x, -maxTargetM, maxTargetM) || !within(m.y, -maxTargetM, maxTargetM)) {
    return { error: `x or y is no number within ${maxTargetM / 1000} km` };
  }
  if (!absent(m.lat) && !within(m.lat, -maxLatitudeDeg, maxLatitudeDeg)) return { error: 'lat is no latitude' };
  if (!absent(m.lon) && !within(m.lon, -maxLongitudeDeg, maxLongitudeDeg)) return { error: 'lon is no longitude' };
  if (!absent(m.speed) && !within(m.speed, 0, maxSpeedKmh)) {
    return { error: `speed is no number from 0 to ${maxSpeedKmh} km/h` };
  }
  const value = (v) => (absent(v) ? null : v);
  const checked = {
    event: m.event, zone: m.zone, object: m.object, time: m.time, x: m.x, y: m.y,
    lat: value(m.lat), lon: value(m.lon), speed: value(m.speed),
  };
  for (const [key, [events, check]] of Object.entries(eventExtras)) {
    const has = events.includes(m.event);
    if (absent(m[key]) ? has : !has || !check(m[key])) return { error: `${key} is wrong for ${m.event}` };
    checked[key] = value(m[key]);
  }
  return { value: checked };
}

// The plane geometry of a zones file's rings, as sited checks them: the
// sign of the cross product (b - a) x (c - a), and whether segments ab and
// pq share a point (touching counts).
function orientation(a, b, c) {
  return Math.sign((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]));
}

function inBox(a, b, p) {
  return p[0] >= Math.min(a[0], b[0]) && p[0] <= Math.max(a[0], b[0]) &&
    p[1] >= Math.min(a[1], b[1]) && p[1] <= Math.max(a[1], b[1]);
}

function segmentsMeet(a, b, p, q) {
  const p1 = orientation(a, b, p);
  const q1 = orientation(a, b, q);
  const a1 = orientation(p, q, a);
  const b1 = orientation(p, q, b);
  if (p1 * q1 < 0 && a1 * b1 < 0) return true;
  return (p1 === 0 && inBox(a, b, p)) || (q1 === 0 && inBox(a, b, q)) ||
    (a1 === 0 && inBox(p, q, a)) || (b1 === 0 && inBox(p, q, b));
}

// Why a closed ring (points [x, y], its first repeated last) cannot bound
// a zone, in sited's words, or '' when it can: at least a triangle, no
// corner repeated at once, no two edges meeting but neighbours at their
// shared corner (a neighbour folding back over its edge meets it too).
export function ringFault(ring) {
  const positions = ring.length;
  if (positions < 4) return `has ${positions} positions; a ring takes at least 4, the first repeated last`;
  const same = (a, b) => a[0] === b[0] && a[1] === b[1];
  if (!same(ring[0], ring[positions - 1])) return 'is not closed: its last position is not its first';
  const edges = positions - 1;
  for (let i = 0; i < edges; ++i) {
    if (same(ring[i], ring[i + 1])) return `repeats position ${i + 1} at once`;
  }
  for (let i = 0; i < edges; ++i) {
    const [a, b] = [ring[i], ring[i + 1]];
    const c = ring[(i + 2) % positions === 0 ? 1 : (i + 2) % positions];
    if (orientation(a, b, c) === 0 && (b[0] - a[0]) * (c[0] - b[0]) + (b[1] - a[1]) * (c[1] - b[1]) < 0) {
      return `crosses itself: edge ${((i + 1) % edges) + 1} folds back over edge ${i + 1}`;
    }
    for (let j = i + 2; j < edges; ++j) {
      if (i === 0 && j === edges - 1) continue; // neighbours through the closing corner
      if (segmentsMeet(a, b, ring[j], ring[j + 1])) return `crosses itself: edges ${i + 1} and ${j + 1} meet`;
    }
  }
  return '';
}
