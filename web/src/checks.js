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
  if (!absent(o.lat) && !within(o.lat, -maxLatitudeDeg, maxLatitudeDeg)) return null;
  if (!absent(o.lon) && !within(o.lon, -maxLongitudeDeg, maxLongitudeDeg)) return null;
  if (!absent(o.vx) && !within(o.vx, -maxVelocityMps, maxVelocityMps)) return null;
  if (!absent(o.vy) && !within(o.vy, -maxVelocityMps, maxVelocityMps)) return null;
  if (!absent(o.speed) && !within(o.speed, 0, maxSpeedKmh)) return null;
  if (!absent(o.heading) && !within(o.heading, 0, maxBearingDeg)) return null;
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

// The site service's status: { value: { online, radars, objects, pictures,
// lateMessages } } with radars a Map of name -> seconds since its last
// message (null: none yet) and null for a count it lacks, or { error }.
export function checkSiteStatus(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  if (typeof message.online !== 'boolean') return { error: 'online is no true or false' };
  const value = { online: message.online, radars: new Map(), objects: null, pictures: null, lateMessages: null };
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
  for (const key of ['objects', 'pictures', 'lateMessages']) {
    if (absent(message[key])) continue;
    if (!isCount(message[key])) return { error: `${key} is no count` };
    value[key] = message[key];
  }
  return { value };
}
