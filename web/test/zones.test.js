// The zones, their states and events on the page: every check at and just
// past its limit, any message on their topics either taken within the
// limits or counted, the list of the latest events, the arrow that shows a
// line's left; the zone editor and its file; the alarms list.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import fc from 'fast-check';

import './seed.js';

import { Api } from '../src/actions.js';
import { alarmText, checkAlarms, listOrder, soundState } from '../src/alarms.js';
import { checkEvent, checkZoneState, checkZones } from '../src/checks.js';
import {
  ZoneEditor, fromGeoJSON, georeference, originOf, parseSchedule, problems, scheduleText, toGeoJSON, zoneClasses,
} from '../src/editor.js';
import { Site } from '../src/site.js';
import { View, geodeticToSite, leftArrow } from '../src/transform.js';
import { EventList, eventCells } from '../src/zones.js';

// The documented limits, as numbers: a changed constant fails here.
const maxZones = 200;
const maxZoneVertices = 10000;
const maxObjects = 1000;
const maxEvents = 100;
const flashMs = 1000;
const maxArmed = 50;

const t0 = 1700000000000;
// A zone of n corners on a circle of 50 m about (cx, 0), closed; a square
// hole in the middle.
const ring = (n, cx = 0, r = 50) => {
  const points = Array.from({ length: n }, (_, k) => [cx + r * Math.cos((2 * Math.PI * k) / n),
    r * Math.sin((2 * Math.PI * k) / n)]);
  return [...points, points[0]];
};
const hole = [[-5, -5], [5, -5], [5, 5], [-5, 5], [-5, -5]];
const zone = (extra = {}) => ({ name: 'yard', kind: 'zone', coordinates: [ring(4), hole], dwell: 30,
  speed_limit: null, confirmed_only: true, ...extra });
const line = (extra = {}) => ({ name: 'fence', kind: 'line', coordinates: [[-60, 0], [60, 0]], dwell: null,
  speed_limit: null, confirmed_only: false, ...extra });
const zoneState = (extra = {}) => ({ zone: 'yard', occupants: [4, 17], entered: 3, exited: 1,
  crossings: { left: 0, right: 0 }, armed: true, ...extra });
const event = (extra = {}) => ({ site: 's', event: 'enter', zone: 'yard', object: 17, time: t0, x: 10, y: -4,
  lat: 52.1, lon: 13.2, speed: 36, ...extra });
const exit = { event: 'exit', dwell: 12.5, lost: false };

const newSite = () => new Site({ prefix: 'trklib', site: 's' });
const send = (site, topic, message, now = 0) =>
  site.handle(`trklib/s/${topic}`, typeof message === 'string' ? message : JSON.stringify(message), now);

// [what, the message for a value, the value at the limit (taken), just
// past it (refused)]: the zones message is refused whole past the number
// of zones or vertices, a zone past any other limit is left out of it.
test('limits of the zones: taken at the limit, refused or left out just past it', () => {
  const zones = (list) => ({ site: 's', zones: list });
  const one = (make) => (v) => zones([make(v)]);
  const named = (n) => Array.from({ length: n }, (_, k) => line({ name: `l${k}` }));
  const cases = [
    ['zones', (v) => zones(named(v)), maxZones, maxZones + 1, 'whole'],
    ['vertices in all, a ring\'s closing point not counted', (v) => zones([zone({ coordinates: [ring(v)] })]),
      maxZoneVertices, maxZoneVertices + 1, 'whole'],
    ['vertices of lines and rings together', (v) => zones([zone({ coordinates: [ring(10), ring(4)] }),
      line({ coordinates: ring(v - 15) })]), maxZoneVertices, maxZoneVertices + 1, 'whole'],
    ['zones no list', (v) => ({ zones: v }), [], {}, 'whole'],
    ['x, east', one((v) => line({ coordinates: [[0, 0], [v, 0]] })), 1e5, 100000.001, 'zone'],
    ['y, south, of a hole', one((v) => zone({ coordinates: [ring(4, 0, 1e5), [[0, v], [1, 0], [0, 0], [0, v]]] })),
      -1e5, -100000.001, 'zone'],
    ['a point of three numbers', one((v) => line({ coordinates: [[0, 0], v] })), [1, 1], [1, 1, 0], 'zone'],
    ['a ring\'s corners', one((v) => zone({ coordinates: [ring(v)] })), 3, 2, 'zone'],
    ['a ring not closed', one((v) => zone({ coordinates: [[...ring(4).slice(0, 4), v]] })), [50, 0], [50, 1], 'zone'],
    ['a zone without rings', one((v) => zone({ coordinates: v })), [ring(3)], [], 'zone'],
    ['a line\'s points', one((v) => line({ coordinates: ring(4).slice(0, v) })), 2, 1, 'zone'],
    ['name length', one((v) => line({ name: 'n'.repeat(v) })), 64, 65, 'zone'],
    ['name characters', one((v) => line({ name: v })), 'a_b-1.2', 'a b', 'zone'],
    ['kind', one((v) => line({ kind: v })), 'line', 'area', 'zone'],
    ['dwell above 0', one((v) => zone({ dwell: v })), 0.001, 0, 'zone'],
    ['a line\'s speed limit', one((v) => line({ speed_limit: v })), null, 20, 'zone'],
    ['speed limit', one((v) => zone({ speed_limit: v })), 1000, 1000.001, 'zone'],
    ['confirmed_only', one((v) => zone({ confirmed_only: v })), false, 'no', 'zone'],
    ['a name twice', (v) => zones([line(), line({ name: v })]), 'gate', 'fence', 'zone'],
  ];
  for (const [what, make, atLimit, past, refused] of cases) {
    for (const [value, taken] of [[atLimit, true], [past, false]]) {
      const site = newSite();
      const message = make(value);
      send(site, 'zones', message);
      const whole = !taken && refused === 'whole';
      const expected = whole ? [1, 1, 0, 0] : [0, 0, taken ? 0 : 1, message.zones.length - (taken ? 0 : 1)];
      assert.deepEqual([site.badMessages, site.zoneMessages.dropped, site.badZones, site.zones.zones.length], expected,
        `${what}: ${JSON.stringify(value).slice(0, 40)}`);
    }
  }
  // What is kept: a copy with the defaults filled in, and its box.
  const site = newSite();
  send(site, 'zones', { zones: [zone({ dwell: null, speed_limit: 50, confirmed_only: undefined })] });
  const [kept] = site.zones.zones;
  assert.deepEqual([kept.dwell, kept.speedLimit, kept.confirmedOnly, kept.coordinates.length], [null, 50, true, 2]);
  assert.deepEqual(kept.box, { minX: -50, maxX: 50, minY: -50, maxY: 50 });
  assert.deepEqual(site.extent(), [{ x: -50, y: -50 }, { x: 50, y: 50 }], 'zones fit on the map');
});

test('limits of zone states and events: taken at the limit, dropped whole just past it', () => {
  const state = (key) => (v) => ['zones/yard', zoneState({ [key]: v })];
  const field = (key, extra = {}) => (v) => ['events', event({ ...extra, [key]: v })];
  const ids = (n, from = 1) => Array.from({ length: n }, (_, k) => from + k);
  const cases = [
    ['occupants', (v) => ['zones/yard', zoneState({ occupants: ids(v) })], maxObjects, maxObjects + 1],
    ['occupants no list', state('occupants'), [], null],
    ['occupants ascending', state('occupants'), [1, 2], [2, 1]],
    ['occupants once each', state('occupants'), [1, 2], [1, 1]],
    ['an occupant past the safe integers', state('occupants'), [2 ** 53 - 1], [2 ** 53]],
    ['an occupant below 1', state('occupants'), [1], [0]],
    ['entered with a fraction', state('entered'), 0, 1.5],
    ['exited below 0', state('exited'), 0, -1],
    ['crossings', state('crossings'), { left: 2, right: 0 }, { left: 2 }],
    ['armed', state('armed'), false, 'no'],
    ['armed, missing', state('armed'), true, undefined],
    ['an override\'s end', state('override'), { armed: false, by: 'ann', since: t0, until: null },
      { armed: false, by: 'ann', since: t0, until: -1 }],
    ['the zone not the topic\'s', state('zone'), 'yard', 'gate'],
    ['a topic of no zone name', (v) => [`zones/${v}`, zoneState({ zone: v })], 'x'.repeat(64), 'x'.repeat(65)],
    ['event kind', field('event'), 'speed', 'leave'],
    ['zone name', field('zone'), 'yard.2', 'yard 2'],
    ['object', field('object'), 1, 0],
    ['time', field('time'), 8.64e15, 8.64e15 + 1],
    ['time below 0', field('time'), 0, -1],
    ['x, east', field('x'), 2e5, 200000.001],
    ['lat', field('lat'), -90, -90.001],
    ['lon', field('lon'), 180, 180.001],
    ['speed', field('speed'), 1000, 1000.001],
    ['speed below 0 (null: none)', field('speed'), null, -0.001],
    ['dwell on an exit', field('dwell', exit), 0, -0.001],
    ['dwell on a dwell event', field('dwell', { event: 'dwell' }), 60, null],
    ['dwell on an enter', field('dwell'), null, 5],
    ['lost on an exit', field('lost', exit), true, 'yes'],
    ['lost without an exit', field('lost', { event: 'speed' }), null, false],
    ['direction of a cross', field('direction', { event: 'cross' }), 'right', 'up'],
    ['direction of a cross, missing', field('direction', { event: 'cross' }), 'left', undefined],
    ['direction of an enter', field('direction'), undefined, 'left'],
  ];
  for (const [what, make, atLimit, past] of cases) {
    for (const [value, taken] of [[atLimit, true], [past, false]]) {
      const site = newSite();
      const [topic, message] = make(value);
      const about = send(site, topic, message);
      const kept = topic === 'events' ? site.events.events.length : site.zones.states.size;
      assert.deepEqual([about !== null, kept, site.badMessages, site.zoneMessages.dropped],
        [taken, taken ? 1 : 0, taken ? 0 : 1, taken ? 0 : 1], `${what}: ${JSON.stringify(value)?.slice(0, 40)}`);
    }
  }
});

test('zone states light their zone while someone is inside; empty messages forget zones and states', () => {
  const site = newSite();
  send(site, 'zones', { zones: [zone(), line()] });
  send(site, 'zones/yard', zoneState());
  send(site, 'zones/fence', zoneState({ zone: 'fence', occupants: [], crossings: { left: 2, right: 1 } }));
  assert.deepEqual([site.zones.lit('yard'), site.zones.lit('fence')], [true, false]);
  send(site, 'zones/fence', zoneState({ zone: 'fence', occupants: [], armed: false }));
  assert.deepEqual([site.zones.disarmed('yard'), site.zones.disarmed('fence'), site.zones.disarmed('gate')],
    [false, true, false], 'marked disarmed by its state alone');
  send(site, 'zones/yard', zoneState({ occupants: [] }));
  assert.equal(site.zones.lit('yard'), false);
  assert.equal(send(site, 'zones/yard', '').forgotten, true);
  assert.equal(send(site, 'zones/yard', ''), null, 'a state not known');
  send(site, 'zones', '');
  assert.deepEqual([site.zones.zones, [...site.zones.states.keys()]], [[], ['fence']]);
  for (let k = 1; k < maxZones; ++k) send(site, `zones/z${k}`, zoneState({ zone: `z${k}` }));
  assert.equal(site.zones.states.size, maxZones);
  assert.equal(send(site, 'zones/one.more', zoneState({ zone: 'one.more' })), null, 'a state past the zones');
  assert.deepEqual([site.badMessages, site.zoneMessages.lastDropped], [1, `zone state: more than ${maxZones} zones`]);
  assert.equal(send(site, 'events', ''), null, 'an empty event is a bad one');
  assert.equal(site.zoneMessages.lastDropped, 'events: no JSON object');
});

test('the events list: newest first, once each, at most its limit; an event flashes its zone for a while', () => {
  const site = newSite();
  const times = [5, 3, 9, 9, 1];
  times.forEach((dt, k) => send(site, 'events', event({ time: t0 + dt, object: k + 1 }), 100));
  // Of one picture, the one that came last first.
  assert.deepEqual(site.events.events.map((e) => [e.time - t0, e.object]), [[9, 4], [9, 3], [5, 1], [3, 2], [1, 5]]);
  assert.equal(send(site, 'events', event({ time: t0 + 5, object: 1 }), 100), null, 'a repeat is not listed');
  assert.equal(site.events.events.length, times.length);

  assert.deepEqual([site.zones.flashing('yard', 100 + flashMs - 1), site.zones.flashing('yard', 100 + flashMs)],
    [true, false]);
  assert.equal(site.zones.flashing('fence', 100), false);
  // Events of as many zones as there may be, none of them drawn: a later
  // event of another still flashes it.
  for (let k = 0; k < maxZones; ++k) send(site, 'events', event({ zone: `z${k}` }), 200);
  send(site, 'events', event({ event: 'cross', zone: 'fence', direction: 'left' }), 5000);
  assert.equal(site.zones.flashing('fence', 5000), true);

  const list = new EventList();
  for (let k = 1; k <= maxEvents + 1; ++k) assert.equal(list.add(checkEvent(event({ time: t0 + k })).value), true);
  assert.deepEqual([list.events.length, list.events[0].time - t0, list.events.at(-1).time - t0],
    [maxEvents, maxEvents + 1, 2], 'the oldest leaves');
  assert.equal(list.add(checkEvent(event({ time: t0 + 1 })).value), false, 'older than all of a full list');
  assert.equal(list.add(checkEvent(event({ time: t0 + 2, object: 2 })).value), true, 'as old as the oldest');
  assert.equal(list.events.length, maxEvents);
  assert.deepEqual(list.keys.size, maxEvents, 'what left can come again');

  const cells = (extra) => eventCells(checkEvent(event({ time: Date.UTC(2026, 0, 2, 13, 4, 5, 67), ...extra })).value);
  assert.deepEqual(cells(exit), ['13:04:05.067', 'exit', 'yard', '17', '12.5 s']);
  assert.deepEqual(cells({ ...exit, lost: true, dwell: 0 }).at(-1), '0.0 s, lost');
  assert.deepEqual(cells({ event: 'cross', direction: 'right' }).at(-1), 'right');
});

// Anything at all in a message's fields, at and past the limits: the
// checks never throw, and what they take is within every limit.
test('any message on the zones\' topics: nothing thrown, what is taken within the limits', () => {
  const wild = fc.oneof(fc.double(), fc.integer(), fc.string({ maxLength: 4 }), fc.constantFrom(null, true, [], {},
    1e5, 100000.001, 2 ** 53, -1, 'left', 'exit', 'zone', 'line'));
  const maybe = (arbitrary) => fc.oneof({ weight: 4, arbitrary }, { weight: 1, arbitrary: wild });
  const coordinate = maybe(fc.double({ min: -1.1e5, max: 1.1e5, noNaN: true }));
  const point = maybe(fc.tuple(coordinate, coordinate));
  const closed = fc.array(point, { minLength: 3, maxLength: 12 }).map((ps) => [...ps, ps[0]]);
  const anyZone = fc.record({
    name: maybe(fc.constantFrom('a', 'b', 'yard')), kind: maybe(fc.constantFrom('zone', 'line')),
    coordinates: maybe(fc.oneof(fc.array(maybe(closed), { maxLength: 3 }), fc.array(point, { maxLength: 8 }))),
    dwell: maybe(fc.double()), speed_limit: maybe(fc.double()), confirmed_only: maybe(fc.boolean()),
  });
  const anyEvent = fc.record({
    event: maybe(fc.constantFrom('enter', 'exit', 'dwell', 'speed', 'cross')), zone: maybe(fc.constant('yard')),
    object: maybe(fc.nat()), time: maybe(fc.nat()), x: coordinate, y: coordinate, speed: maybe(fc.double()),
    lat: maybe(fc.double()), lon: maybe(fc.double()), dwell: maybe(fc.double()),
    direction: maybe(fc.constantFrom('left', 'right')), lost: maybe(fc.boolean()),
  }, { requiredKeys: [] });
  const within = (v, limit) => typeof v === 'number' && Number.isFinite(v) && Math.abs(v) <= limit;
  fc.assert(fc.property(fc.array(maybe(anyZone), { maxLength: 6 }), anyEvent, fc.anything(),
    (zones, ev, anything) => {
      for (const message of [anything, { zones: anything }, { zones: [anything] }]) checkZones(message);
      checkZoneState(anything, 'yard');
      checkEvent(anything);
      const checked = checkZones({ zones });
      for (const z of checked.value.zones) {
        const points = z.kind === 'zone' ? z.coordinates.flat() : z.coordinates;
        assert.ok(points.every((p) => p.length === 2 && within(p[0], 1e5) && within(p[1], 1e5)), z.name);
        const closed = (r) => r.length >= 4 && r[0][0] === r.at(-1)[0] && r[0][1] === r.at(-1)[1];
        if (z.kind === 'zone') assert.ok(z.coordinates.every(closed), z.name);
      }
      const e = checkEvent(ev).value;
      if (e) {
        assert.ok(within(e.x, 2e5) && within(e.y, 2e5) && (e.speed === null || (e.speed >= 0 && e.speed <= 1000)));
        assert.equal(e.direction !== null, e.event === 'cross');
        assert.equal(e.lost !== null, e.event === 'exit');
      }
    }), { numRuns: 1000 });
});

// The arrow on a line's segment points to the side a crossing to the left
// goes to: the cross product of the segment and the arrow is positive on
// the site (y north), whatever the segment and the view.
test('a line\'s arrow points to its left on the site', () => {
  const p = fc.double({ min: -1e5, max: 1e5, noNaN: true });
  fc.assert(fc.property(p, p, p, p, fc.double({ min: 0.02, max: 100, noNaN: true }), (ax, ay, bx, by, scale) => {
    const view = new View({ scale, width: 800, height: 600 });
    const arrow = leftArrow(view.toScreen(ax, ay), view.toScreen(bx, by), 14, 30);
    if (!arrow) return;
    const from = view.toSite(arrow.from.x, arrow.from.y);
    const tip = view.toSite(arrow.tip.x, arrow.tip.y);
    const cross = (bx - ax) * (tip.y - from.y) - (by - ay) * (tip.x - from.x);
    assert.ok(cross > 0, `cross product ${cross}`);
    assert.ok(Math.abs(Math.hypot(arrow.tip.x - arrow.from.x, arrow.tip.y - arrow.from.y) - 14) < 1e-6);
  }));
  assert.equal(leftArrow({ x: 0, y: 0 }, { x: 29.9, y: 0 }, 14, 30), null, 'a segment too short');
  assert.deepEqual(leftArrow({ x: 0, y: 0 }, { x: 30, y: 0 }, 15, 30).tip, { x: 15, y: -15 }, 'east: up on the map');
});

// The zone editor: a file read and written unchanged (heights and other
// properties kept), shapes drawn, dragged, changed and undone, and the
// checks sited would make of the file.
const origin = { lat: 48.137, lon: 11.575, altitude: 0 };
const geo = georeference(origin);
const at = (x, y) => geo.toGeo(x, y);
const square = (x0, y0, side) => [[0, 0], [1, 0], [1, 1], [0, 1], [0, 0]]
  .map(([i, j]) => at(x0 + i * side, y0 + j * side));
const zonesFile = () => ({
  type: 'FeatureCollection',
  name: 'plant',
  features: [
    { type: 'Feature',
      properties: { name: 'yard', dwell: 30, alarm: ['dwell'], classes: ['person', 'animal'], strict: true,
        armed: [{ days: 'Mon-Fri', from: '18:00', to: '07:00' }] },
      geometry: { type: 'Polygon', coordinates: [square(-20, -20, 40), square(-5, -5, 10)] } },
    { type: 'Feature', id: 'f1', properties: { name: 'fence', confirmed_only: false, colour: 'red' },
      geometry: { type: 'LineString', coordinates: [[...at(-50, 40), 512.5], at(50, 40)] } },
  ],
});
const shapesOf = (file) => fromGeoJSON(file, geo).shapes;

test('the zone editor: the file round trip, drawing, dragging, undo and redo', () => {
  const read = fromGeoJSON(zonesFile(), geo);
  assert.deepEqual(toGeoJSON(read.shapes, geo, read.head), zonesFile(), 'what is not edited is written as it was read');
  const found = originOf(11.576, 48.138, ...Object.values(geodeticToSite(origin, 48.138, 11.576)));
  assert.ok(Math.abs(found.lat - origin.lat) < 1e-9 && Math.abs(found.lon - origin.lon) < 1e-9, 'the origin found');

  const e = new ZoneEditor();
  e.load(shapesOf(zonesFile()));
  e.startDrawing('zone');
  for (const [x, y] of [[30, 0], [40, 0]]) e.click(x, y, 1);
  assert.equal(e.click(30.5, 0.5, 1), 'added', 'two corners do not close a zone');
  assert.equal(e.click(30.5, 0.5, 1), 'closed');
  assert.deepEqual([e.shapes.length, e.shape().name, e.shape().paths[0].length, e.edited()], [3, 'zone1', 3, true]);
  assert.equal(e.undo(), true);
  assert.deepEqual([e.shapes.length, e.edited()], [2, false]);
  e.redo();
  assert.equal(e.shapes.length, 3);
  // A line: undo takes back its last point while drawn; a double click
  // (the last point again) ends it.
  e.startDrawing('line');
  for (const [x, y] of [[0, 60], [10, 60], [20, 60]]) e.click(x, y, 1);
  e.undo();
  assert.deepEqual([e.click(10.5, 60, 1), e.shape().paths[0].length], ['closed', 2]);
  assert.equal(e.reshape(e.hit({ x: 5, y: 60.2 }, 1), { x: 5, y: 61 }), true, 'a corner added on the edge');
  assert.deepEqual(e.shape().paths[0].map((c) => [c.x, c.y]), [[0, 60], [5, 61], [10, 60]]);
  assert.equal(e.reshape(e.hit({ x: 0, y: 60 }, 1), null), true);
  assert.equal(e.reshape(e.hit({ x: 10, y: 60 }, 1), null), false, 'a line keeps 2 points');
  e.undo();
  e.undo();
  e.undo();

  // A corner of the yard dragged by (1, 2) m: one undo step; only it
  // moves and only its position is written anew.
  const steps = e.undoStack.length;
  const target = e.hit({ x: 20.2, y: -19.9 }, 0.5);
  assert.deepEqual([target.shape.name, target.path, target.corner], ['yard', 0, 1]);
  e.beginDrag(target);
  e.dragBy(0.5, 0);
  e.dragBy(1, 2);
  e.endDrag();
  const written = toGeoJSON(e.shapes, geo).features[0].geometry.coordinates[0];
  const others = (ring) => ring.filter((p, i) => i !== 1);
  assert.deepEqual(others(written), others(zonesFile().features[0].geometry.coordinates[0]));
  const moved = geodeticToSite(origin, written[1][1], written[1][0]);
  assert.ok(Math.hypot(moved.x - 21, moved.y + 18) < 1e-3, `moved to ${moved.x}, ${moved.y}`);
  assert.equal(e.hit({ x: 0, y: 12 }, 0.5).corner, null, 'inside the yard, outside its hole: the whole shape');
  assert.equal(e.hit({ x: 0, y: 0 }, 0.5), null, 'in the hole');
  e.beginDrag(e.hit({ x: 0, y: 41 }, 1));
  e.endDrag();
  assert.equal(e.undoStack.length, steps + 1, 'a press without a move is no step');
  // Typing into one field is one step.
  e.update({ name: 'y' }, 'zone-name');
  e.update({ name: 'ya' }, 'zone-name');
  assert.equal(e.undoStack.length, steps + 2);
  e.undo();
  assert.deepEqual([e.shape().name, Math.round(e.shapes[0].paths[0][1].x)], ['fence', 21]);
  e.undo();
  assert.equal(Math.round(e.shapes[0].paths[0][1].x), 20, 'the drag undone');
});

test('the zone editor shows every check sited makes of a zones file', () => {
  const bowTie = [[0, 0], [10, 10], [10, 0], [0, 10]].map(([x, y]) => ({ x, y }));
  const cases = [
    ['none', () => {}, []],
    ['a concave ring', (s) => { s[0].paths[0] = [[0, 0], [10, 0], [10, 10], [0, 10], [0, 8], [8, 8], [8, 2], [0, 2]]
      .map(([x, y]) => ({ x, y })); }, []],
    ['a ring crossing itself', (s) => { s[0].paths[0] = bowTie; },
      ['yard: the outer ring crosses itself: edges 1 and 3 meet']],
    ['a corner repeated', (s) => { s[0].paths[1].splice(1, 0, { ...s[0].paths[1][0] }); },
      ['yard: hole 1 repeats position 1 at once']],
    ['two corners', (s) => { s[0].paths[0].splice(2); },
      ['yard: the outer ring has 3 positions; a ring takes at least 4, the first repeated last']],
    ['a line of one point', (s) => { s[1].paths[0].pop(); }, ['fence: a line takes at least 2 points, not 1']],
    ['a name twice', (s) => { s[1].name = 'yard'; }, ['yard: another zone or line has this name; names are unique']],
    ['a name of 65', (s) => { s[1].name = 'f'.repeat(65); }, [/^f+: name: /]],
    ['a corner past 100 km', (s) => { s[1].paths[0][0].x = 100000.001; }, [/^fence: a corner lies more than 100 km/]],
    ['a corner at 100 km', (s) => { s[1].paths[0][0].y = -100000; }, []],
    ['dwell 0', (s) => { s[0].dwell = 0; }, [/^yard: dwell: not a number/]],
    ['a dwell alarm without a dwell', (s) => { s[0].dwell = null; },
      ['yard: alarm: \'dwell\' is not an event this zone raises: it needs a dwell']],
    ['a line\'s enter', (s) => { s[1].alarm = ['cross', 'enter']; },
      ['fence: alarm: \'enter\' is not an event this line raises']],
    ['a bad schedule', (s) => { s[0].armedText = 'Mon-Fri 18:00-07:00\nFry 18:00-07:00'; },
      [/^yard: schedule line 2 'Fry/]],
    ['zones past the limit', (s) => { for (let k = 0; k < maxZones - 1; ++k) s.push({ ...s[1], name: `l${k}` }); },
      [`${maxZones + 1} zones and lines; the site takes at most ${maxZones}`]],
    ['strict without classes', (s) => { s[0].classes = null; },
      ['yard: strict: only with classes; choose the classes it keeps']],
    ['no classes', (s) => { s[0].classes = []; },
      ['yard: classes: a list of at least one of person, two-wheeler, car, truck, animal']],
    ['classes no list', (s) => { s[1].classes = 'car'; }, [/^fence: classes: a list of at least one/]],
    ['a class twice, unknown', (s) => { s[0].classes = ['person', 'unknown', 'person']; },
      ['yard: classes: \'person\' twice', /^yard: classes: 'unknown' is not one of person, /]],
    ['every class, not strict', (s) => { s[0].classes = [...zoneClasses]; s[0].strict = false; }, []],
    ['strict no true or false', (s) => { s[1].strict = 'yes'; }, ['fence: strict: not true or false']],
    ['corners past the limit',
      (s) => { s[1].paths[0] = Array.from({ length: maxZoneVertices - 7 }, (_, k) => ({ x: k, y: 0 })); },
      [`${maxZoneVertices + 1} corners in all; the site takes at most ${maxZoneVertices}`]],
  ];
  for (const [what, change, expected] of cases) {
    const shapes = shapesOf(zonesFile());
    change(shapes);
    const found = problems(shapes);
    assert.equal(found.length, expected.length, `${what}: ${found.join('; ')}`);
    expected.forEach((line, i) => (typeof line === 'string' ? assert.equal(found[i], line, what)
      : assert.match(found[i], line, what)));
  }
});

test('schedule lines and the file\'s armed spans', () => {
  const cases = [
    ['Mon-Fri 18:00-07:00', [{ days: 'Mon-Fri', from: '18:00', to: '07:00' }]],
    ['\n Mon, Wed-Fri  08:00 - 24:00\n\nSat 00:00-00:00', [{ days: 'Mon,Wed-Fri', from: '08:00', to: '24:00' },
      { days: 'Sat', from: '00:00', to: '00:00' }]],
    ['', []],
    ['Fri-Mon 23:59-00:01', [{ days: 'Fri-Mon', from: '23:59', to: '00:01' }]],
    ['Fry 18:00-07:00', /line 1 'Fry 18:00-07:00': days/],
    ['Mon-Tue-Wed 18:00-07:00', /days/],
    ['Mon 24:00-07:00', /from is a time/],
    ['Mon 18:00-24:01', /to is a time/],
    ['Mon 1800-0700', /not DAYS HH:MM-HH:MM/],
    [Array(maxArmed + 1).fill('Sun 01:00-02:00').join('\n'), /51 spans; at most 50/],
    [Array(maxArmed).fill('Sun 01:00-02:00').join('\n'), maxArmed],
  ];
  for (const [text, expected] of cases) {
    const parsed = parseSchedule(text);
    if (expected instanceof RegExp) assert.match(parsed.error ?? '', expected, text);
    else if (typeof expected === 'number') assert.equal(parsed.spans.length, expected);
    else {
      assert.deepEqual(parsed.spans, expected, text);
      assert.deepEqual(parseSchedule(scheduleText(parsed.spans)).spans, expected, 'written back as lines');
    }
  }
});

// The alarms: their message checked, the list's order, the tone, and an
// action's refusal as its one line.
test('the alarms list: checked, the raised first, the tone, and an action refused', async () => {
  const alarm = (id, extra = {}) => ({ id, zone: 'yard', event: 'enter', object: 7, time: t0 + id, x: 1, y: 2,
    state: 'raised', acknowledged: null, left: false, notes: [], ...extra });
  const acked = { state: 'acknowledged', acknowledged: { user: 'ann', time: t0, note: '' } };
  const message = (alarms) => ({ site: 's', time: t0, alarms, shelved: [] });
  const ok = checkAlarms(message([alarm(1), alarm(2, acked), alarm(3), alarm(4, { ...acked, time: t0 })]));
  assert.deepEqual(listOrder(ok.value.alarms).map((a) => a.id), [3, 1, 2, 4]);
  for (const bad of [{ id: 0 }, { state: 'acknowledged' }, { acknowledged: acked.acknowledged }, { event: 'leave' },
    { notes: [{ user: 'ann', time: t0 }] }, { x: null }]) {
    assert.ok(checkAlarms(message([alarm(1), alarm(2, bad)])).error, JSON.stringify(bad));
  }
  // The object's class when the alarm says one the page knows.
  const classed = checkAlarms(message([alarm(1, { class: 'animal' }), alarm(2, { class: 'bus' }), alarm(3)]));
  assert.deepEqual(classed.value.alarms.map((a) => a.class), ['animal', null, null]);
  assert.deepEqual(classed.value.alarms.map((a) => alarmText(a, t0 + 61000).split(',')[1]),
    [' object 7 (animal)', ' object 7', ' object 7']);
  const raised = ok.value.alarms;
  assert.deepEqual([soundState(raised, 'running'), soundState(raised, 'suspended'), soundState(raised, null),
    soundState([raised[1]], 'running')], ['on', 'blocked', 'blocked', 'off']);

  const asked = [];
  const conflict = { error: 'saved by bob since version 3', version: 4 };
  const api = new Api(async (method, path, body) => {
    asked.push([method, path, body]);
    if (path.includes('file')) return { status: 409, text: JSON.stringify(conflict) };
    if (path.includes('shelve')) throw new TypeError('Failed to fetch');
    return { status: 403, text: 'not JSON' };
  });
  await assert.rejects(api.saveZones(3, {}), { message: conflict.error, status: 409, body: conflict });
  await assert.rejects(api.shelve('a b', 5), { message: 'the site service is out of reach', status: 0 });
  await assert.rejects(api.acknowledge(12, 'seen'), { message: 'answered 403', status: 403 });
  assert.deepEqual(asked.slice(1), [['POST', 'api/zones/a%20b/shelve', { minutes: 5 }],
    ['POST', 'api/alarms/12/acknowledge', { note: 'seen' }]]);

  // A camera's actions: take and give without a body, follow with the
  // object or null; sited's answer, or its refusal's line.
  const answers = {
    take: { status: 200, text: '{"camera":"gate.1"}' },
    give: { status: 404, text: '{"error":"no camera yard"}' },
    follow: { status: 400, text: '{"error":"object is no id\\nat 1"}' },
  };
  const cameraAsked = [];
  const cameras = new Api(async (method, path, body) => {
    cameraAsked.push([method, path, body]);
    return answers[path.split('/').at(-1)];
  });
  assert.deepEqual(await cameras.takeCamera('gate.1'), { camera: 'gate.1' });
  await assert.rejects(cameras.giveCamera('yard'), { message: 'no camera yard', status: 404 });
  await assert.rejects(cameras.followWithCamera('gate.1', 12), { message: 'object is no id', status: 400 });
  await assert.rejects(cameras.followWithCamera('gate.1', null));
  assert.deepEqual(cameraAsked, [['POST', 'api/cameras/gate.1/take', undefined],
    ['POST', 'api/cameras/yard/give', undefined], ['POST', 'api/cameras/gate.1/follow', { object: 12 }],
    ['POST', 'api/cameras/gate.1/follow', { object: null }]]);
});
