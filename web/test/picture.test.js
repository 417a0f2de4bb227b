// The site service's messages on the page: its pictures and status checked
// at and past every limit, any JSON on its topics either taken or counted,
// the service coming and going, and the switch between the fused picture
// and the radars' own tracks.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import fc from 'fast-check';

import './seed.js';

import { maxCameras, maxObjects, maxRadars } from '../src/checks.js';
import { pageOptions, shownView, viewSwitch, withHidden, withView } from '../src/options.js';
import {
  Site, alignmentGlyph, alignmentText, cameraState, cameraText, historyText, objectCells, objectColour,
  serviceTrails,
} from '../src/site.js';
import { Trails, maxTrailPoints } from '../src/trails.js';

const t0 = 1700000000000;
const object = (id, extra = {}) => ({
  id, x: 10.25, y: -4, lat: 52.1, lon: 13.2, vx: 10, vy: 0, speed: 36, heading: 90, confirmed: true,
  radars: [{ radar: 'north', number: 3 }, { radar: 'east', number: 250 }], since: t0 - 5000, ...extra,
});
const picture = (time, objects) => JSON.stringify({ site: 's', time, objects });
const serviceStatus = (extra = {}) => JSON.stringify({
  online: true, radars: { north: 0.05, east: 1.5 }, objects: 2, pictures: 40, lateMessages: 1, ...extra,
});
const camera = (extra = {}) => ({
  online: true, problem: null, x_m: -5, y_m: -20, bearing_deg: 45, fov_deg: 30, reach_m: 500, following: 12,
  why: 'alarm 7', taken_over: false, commands: 40, commands_per_s: 2, errors: 0, ...extra,
});

const newSite = (trails = null) => new Site({ prefix: 'trklib', site: 's', trails });
const send = (site, leaf, text, now = 0) => site.handle(`trklib/s/site/${leaf}`, text, now);

// [what, a message for a value, the value at the limit (taken), just past
// it (refused)]. Pictures and statuses are dropped whole, objects one by one.
test('limits of pictures, objects and the site status: taken at the limit, refused just past it', () => {
  const many = (n) => Array.from({ length: n }, (_, k) => object(k + 1));
  const pictureLimits = [
    ['time below 0', (v) => picture(v, many(1)), 0, -1],
    ['time with a fraction', (v) => picture(v, many(1)), 1, 1.5],
    ['time past the last date', (v) => picture(v, many(1)), 8.64e15, 8.64e15 + 1],
    ['objects', (v) => picture(t0, many(v)), maxObjects, maxObjects + 1],
    ['objects no list', (v) => JSON.stringify({ time: t0, objects: v }), [], {}],
  ];
  for (const [what, make, atLimit, past] of pictureLimits) {
    for (const [value, taken] of [[atLimit, true], [past, false]]) {
      const site = newSite();
      send(site, 'tracks', make(value));
      const { picture: p, dropped } = site.service;
      assert.deepEqual([site.badMessages, dropped, p !== null, site.serviceAvailable()],
        [taken ? 0 : 1, taken ? 0 : 1, taken, taken], `${what}: ${value}`);
    }
  }

  const inRadar = (key) => (v) => object(1, { radars: [{ radar: 'north', number: 3, [key]: v }] });
  const field = (key) => (v) => object(1, { [key]: v });
  const objectLimits = [
    ['id below 1', field('id'), 1, 0],
    ['id past the safe integers', field('id'), 2 ** 53 - 1, 2 ** 53],
    ['id with a fraction', field('id'), 2, 2.5],
    ['x, east', field('x'), 2e5, 200000.001],
    ['y, south', field('y'), -2e5, -200000.001],
    ['no position', field('y'), 0, null],
    ['lat', field('lat'), 90, 90.000001],
    ['lat, south (null: no origin)', (v) => object(1, { lat: v, lon: v === null ? null : 13.2 }), null, -90.000001],
    ['lat alone', field('lon'), 13.2, null],
    ['lon', field('lon'), -180, -180.000001],
    ['vx (m/s)', field('vx'), 1000 / 3.6, 1000 / 3.6 + 0.001],
    ['vy, the other way', field('vy'), -1000 / 3.6, -1000 / 3.6 - 0.001],
    ['speed (km/h)', field('speed'), 1000, 1000.001],
    ['speed below 0', field('speed'), 0, -0.001],
    ['heading, short of a full turn', field('heading'), 359.999, 360],
    ['heading below 0 (null: too slow)', field('heading'), null, -0.001],
    ['since', field('since'), 8.64e15, 8.64e15 + 1],
    ['radar number', inRadar('number'), 2 ** 31 - 1, 2 ** 31],
    ['radar number below 0', inRadar('number'), 0, -1],
    ['radar name', inRadar('radar'), 'r'.repeat(64), 'r'.repeat(65)],
    ['radars', (v) => object(1, { radars: Array.from({ length: v }, (_, k) => ({ radar: `r${k}`, number: 1 })) }),
      maxRadars, maxRadars + 1],
    ['radars no list', field('radars'), [], 'north:3'],
    ['no object', (v) => v, object(1), [object(1)]],
  ];
  for (const [what, make, atLimit, past] of objectLimits) {
    for (const [value, taken] of [[atLimit, true], [past, false]]) {
      const site = newSite();
      send(site, 'tracks', picture(t0, [object(7), make(value)]));
      assert.deepEqual([site.badMessages, site.badObjects, site.objectRows().length], [0, taken ? 0 : 1, taken ? 2 : 1],
        `${what}: ${JSON.stringify(value)?.slice(0, 40)}`);
    }
  }

  const statusLimits = [
    ['a radar\'s age', (v) => ({ radars: { north: v } }), 8.64e12, 8.64e12 + 1],
    ['a radar\'s age below 0 (null: none yet)', (v) => ({ radars: { north: v } }), null, -0.001],
    ['a radar\'s name', (v) => ({ radars: { [v]: 1 } }), 'n'.repeat(64), 'n'.repeat(65)],
    ['radars', (v) => ({ radars: Object.fromEntries(Array.from({ length: v }, (_, k) => [`r${k}`, 1])) }),
      maxRadars, maxRadars + 1],
    ['radars no object', (v) => ({ radars: v }), {}, ['north']],
    ['objects', (v) => ({ objects: v }), 2 ** 53 - 1, 2 ** 53],
    ['pictures below 0', (v) => ({ pictures: v }), 0, -1],
    ['lateMessages with a fraction', (v) => ({ lateMessages: v }), 3, 3.5],
    ['online', (v) => ({ online: v }), false, 'yes'],
  ];
  for (const [what, make, atLimit, past] of statusLimits) {
    for (const [value, taken] of [[atLimit, true], [past, false]]) {
      const site = newSite();
      send(site, 'status', serviceStatus(make(value)));
      const s = site.service;
      assert.deepEqual([site.badMessages, s.status !== null, s.statusError === null], [taken ? 0 : 1, taken, taken],
        `${what}: ${JSON.stringify(value)?.slice(0, 40)}`);
    }
  }

  // A camera beside a good one: left out alone, and counted, just past a
  // limit; the rest of the status kept.
  const inCamera = (key, extra = {}) => (v) => ['yard', camera({ ...extra, [key]: v })];
  const offline = { online: false, problem: 'no answer' };
  const cameraLimits = [
    ['x', inCamera('x_m'), 1e5, 100000.001],
    ['y, south', inCamera('y_m'), -1e5, -100000.001],
    ['bearing', inCamera('bearing_deg'), -360, -360.001],
    ['bearing as text (null: not known yet)', inCamera('bearing_deg'), null, '45'],
    ['field of view', inCamera('fov_deg'), 180, 180.001],
    ['field of view of 0', inCamera('fov_deg'), 0.001, 0],
    ['reach', inCamera('reach_m'), 1e5, 100000.001],
    ['reach below 0', inCamera('reach_m'), 0, -0.001],
    ['following', inCamera('following'), 2 ** 53 - 1, 2 ** 53],
    ['following below 1 (null: none)', inCamera('following'), null, 0],
    ['why, an alarm', inCamera('why'), `alarm ${2 ** 53 - 1}`, `alarm ${2 ** 53}`],
    ['why, of no alarm', inCamera('why'), 'operator', 'alarm 0'],
    ['why, no reason', inCamera('why'), 'watch', 'Home'],
    ['commands', inCamera('commands'), 2 ** 53 - 1, 2 ** 53],
    ['errors below 0', inCamera('errors'), 0, -1],
    ['commands per second', inCamera('commands_per_s'), 1000, 1000.001],
    ['online', inCamera('online', offline), false, 'no'],
    ['taken over', inCamera('taken_over'), true, 1],
    ['a problem while online', inCamera('problem'), null, 'flaky'],
    ['no problem while offline', inCamera('problem', offline), 'no answer', null],
    ['a problem\'s length', inCamera('problem', offline), 'p'.repeat(1000), 'p'.repeat(1001)],
    ['a problem of two lines', inCamera('problem', offline), 'refused', 'refused\nagain'],
    ['name', (v) => [v, camera()], 'c'.repeat(64), 'c'.repeat(65)],
    ['name with a space', (v) => [v, camera()], 'a-b.c_1', 'a b'],
    ['no camera', (v) => ['yard', v], camera(), [camera()]],
  ];
  for (const [what, make, atLimit, past] of cameraLimits) {
    for (const [value, taken] of [[atLimit, true], [past, false]]) {
      const site = newSite();
      const [name, c] = make(value);
      send(site, 'status', serviceStatus({ cameras: { gate: camera(), [name]: c } }));
      const { cameras, pictures } = site.service.status;
      assert.deepEqual([site.badMessages, [...cameras.keys()], pictures],
        [taken ? 0 : 1, taken ? ['gate', name] : ['gate'], 40], `${what}: ${JSON.stringify(value)?.slice(0, 40)}`);
    }
  }
  // The cameras whole: none, at most maxCameras, an object.
  const cameras = (n) => Object.fromEntries(Array.from({ length: n }, (_, k) => [`c${k}`, camera()]));
  const wholeCases = [
    [null, 0, null],
    [{}, 0, 0],
    [cameras(maxCameras), 0, maxCameras],
    [cameras(maxCameras + 1), 1, null],
    [[camera()], 1, null],
  ];
  for (const [value, bad, size] of wholeCases) {
    const site = newSite();
    send(site, 'status', serviceStatus({ cameras: value }));
    assert.deepEqual([site.badMessages, site.service.status.cameras?.size ?? null], [bad, size],
      JSON.stringify(value)?.slice(0, 40));
  }
});

// Any JSON at all, and picture-shaped messages with any field, on the site
// service's topics: nothing throws, and each message is either taken (the
// picture is the message's, every object kept or counted) or dropped whole
// and counted, the picture before it kept.
test('any JSON on the site service\'s topics is taken or counted, never thrown', () => {
  const anything = fc.oneof(fc.jsonValue(), fc.double(), fc.string({ maxLength: 6 }));
  const anyObject = fc.oneof(
    {
      weight: 3,
      arbitrary: fc.record({ id: fc.integer({ min: -2, max: 20 }), x: anything, y: fc.double(), radars: anything }),
    },
    fc.constant(object(1)),
    anything,
  );
  const pictures = fc.record({ time: fc.oneof(fc.integer({ min: -1, max: 2 * t0 }), anything), objects: fc.oneof(
    { weight: 3, arbitrary: fc.array(anyObject, { maxLength: 12 }) }, anything) });
  const statuses = fc.record({ online: fc.oneof(fc.boolean(), anything), radars: fc.dictionary(fc.string(), anything),
    objects: anything, pictures: fc.nat() });
  const message = fc.record({
    leaf: fc.constantFrom('tracks', 'status'),
    text: fc.oneof(fc.json(), pictures.map((m) => JSON.stringify(m)), statuses.map((m) => JSON.stringify(m))),
  });
  fc.assert(fc.property(fc.array(message, { maxLength: 20 }), (messages) => {
    const trails = new Trails();
    const site = newSite(trails);
    for (const { leaf, text } of messages) {
      const before = { bad: site.badMessages, objects: site.badObjects, picture: site.service.picture };
      const taken = send(site, leaf, text) !== null;
      assert.equal(site.badMessages - before.bad, taken ? 0 : 1, text);
      assert.equal(site.radars.size, 0, 'the service is no radar');
      if (!taken) {
        assert.equal(site.service.picture, before.picture, text);
        continue;
      }
      if (leaf !== 'tracks') continue;
      const sent = JSON.parse(text);
      const { picture: p } = site.service;
      assert.equal(p.time, sent.time);
      assert.equal(p.objects.length + site.badObjects - before.objects, sent.objects.length, text);
      assert.equal(new Set(p.objects.map((o) => o.id)).size, p.objects.length, 'one object per id');
      for (const o of p.objects) assert.ok(trails.trail(serviceTrails, o.id).length <= maxTrailPoints);
    }
  }), { numRuns: 400 });
});

test('the site service comes and goes: its picture, trails, colours and the panel\'s cells', () => {
  const trails = new Trails();
  const site = newSite(trails);
  assert.equal(site.serviceAvailable(), false, 'not heard of');
  // Pictures alone make it available; an object's trail follows its id.
  for (let k = 0; k < 3; ++k) send(site, 'tracks', picture(t0 + 100 * k, [object(9, { x: k }), object(4)]), 10 * k);
  assert.equal(site.serviceAvailable(), true);
  assert.deepEqual(site.objectRows().map((o) => o.id), [4, 9]);
  assert.deepEqual(trails.trail(serviceTrails, 9).map((p) => p.x), [0, 1, 2]);
  assert.deepEqual(objectCells(site.objectRows()[1]),
    ['9', '2.0', '-4.0', '36.0', '90', 'north:3 east:250', 'yes', 'unknown']);
  assert.deepEqual(objectCells(object(1, { heading: null, speed: 0.4, confirmed: false, radars: [], class: 'car' }))
    .slice(3), ['0.4', '', '', 'no', 'car']);
  // The class and its probability; unknown from a service that classifies
  // none, or of a class the page does not know; probabilities out of 0 to
  // 1 are none.
  const p = { person: 0.01, 'two-wheeler': 0, car: 0.934, truck: 0.05, animal: 0.006, unknown: 0 };
  const classCases = [
    [{ class: 'car', classes: p }, 'car 0.93'],
    [{ class: 'two-wheeler', classes: { ...p, 'two-wheeler': 1 } }, 'two-wheeler 1.00'],
    [{ class: 'car' }, 'car'],
    [{ class: 'bus', classes: p }, 'unknown 0.00'],
    [{ class: 'truck', classes: { ...p, truck: 1.001 } }, 'truck'],
    [{ class: 'animal', classes: { ...p, person: -0.001 } }, 'animal'],
    [{ class: 'person', classes: { person: 1 } }, 'person 1.00'],
  ];
  for (const [fields, text] of classCases) {
    const classed = newSite();
    send(classed, 'tracks', picture(t0, [object(1, fields)]));
    assert.equal(objectCells(classed.objectRows()[0])[7], text, JSON.stringify(fields));
  }
  // The filter leaves out the classes hidden, an object without one as unknown.
  const mixed = newSite();
  send(mixed, 'tracks', picture(t0, [object(3, { class: 'car' }), object(1, { class: 'person' }), object(2)]));
  const kept = (hidden) => mixed.objectRows(new Set(hidden)).map((o) => o.id);
  assert.deepEqual([kept([]), kept(['car']), kept(['unknown', 'person']), kept(['truck'])],
    [[1, 2, 3], [1, 2], [3], [1, 2, 3]]);
  // Neighbouring ids differ in colour.
  assert.notEqual(objectColour(9), objectColour(10));
  assert.deepEqual(site.extent(), [{ x: 10.25, y: -4 }, { x: 2, y: -4 }], 'no radar place: the objects');

  // Silent after 2 s without a picture; offline: no picture, no trails.
  assert.deepEqual([site.serviceSilent(2020), site.serviceSilent(2021)], [false, true]);
  send(site, 'status', serviceStatus({ online: false }), 30);
  assert.deepEqual([site.serviceAvailable(), site.service.picture, trails.size()], [false, null, 0]);
  send(site, 'status', serviceStatus(), 40);
  assert.equal(site.serviceAvailable(), true, 'a retained status online');
  // A bad status keeps the last good one; an empty one forgets the service.
  // The history's size and days, each kept or left out alone.
  const history = { historyBytes: 1499999999, historyOldestDay: '2026-11-09', historyNewestDay: '2026-12-08' };
  const cases = [
    [history, 'history: 1.5 GB, 2026-11-09 to 2026-12-08'],
    [{ ...history, historyBytes: 999, historyOldestDay: '2026-12-08' }, 'history: 999 B, 2026-12-08'],
    [{ historyBytes: 1000, historyOldestDay: null, historyNewestDay: null }, 'history: 1.0 kB'],
    [{ historyBytes: null }, null],
  ];
  for (const [fields, text] of cases) {
    send(site, 'status', serviceStatus(fields), 45);
    assert.equal(historyText(site.service.status), text, JSON.stringify(fields));
  }
  // The alignment: a radar's line and glyph (the heading turned ten times
  // its error, the ring at its estimated place, dimmed while not certain);
  // a bad alignment is left out and the rest of the status kept.
  const east = {
    observable: true, why: null, anchor: false, certain: false, applied: false, heading_deg: -0.5, x_m: 1.5,
    y_m: -0.25, range_m: 0.3, heading_sigma_deg: 0.04, x_sigma_m: 0.1, y_sigma_m: 0.1, range_sigma_m: 0.05,
    co_sightings: 120,
  };
  const unseen = {
    ...east, observable: false, why: 'shares no objects with the other radars', heading_deg: null, x_m: null,
    y_m: null, range_m: null, heading_sigma_deg: null, x_sigma_m: null, y_sigma_m: null, range_sigma_m: null,
  };
  const aligned = (radars) => serviceStatus({ alignment: { mode: 'apply', radars } });
  send(site, 'status', aligned({ east, north: { ...east, anchor: true }, west: unseen }), 44);
  const a = site.service.status.alignment;
  assert.deepEqual([a.mode, alignmentText(a.radars.get('west')), alignmentText(a.radars.get('north'))],
    ['apply', 'alignment: not observable, shares no objects with the other radars', 'alignment: the anchor']);
  assert.equal(alignmentText(a.radars.get('east')),
    'alignment: heading -0.50° ± 0.04, x +1.50 m, y -0.25 m, range +0.30 m (120 co-sightings, not certain yet)');
  const place = { x: 10, y: 20, heading: 90 };
  assert.deepEqual(alignmentGlyph(place, a.radars.get('east')),
    { fileHeading: 90, trueHeading: 85, label: '-0.50°', from: { x: 10, y: 20 }, to: { x: 11.5, y: 19.75 }, dimmed: true });
  assert.deepEqual([alignmentGlyph(place, a.radars.get('west')), alignmentGlyph(place, a.radars.get('north'))],
    [null, null]);
  const bad = site.badMessages;
  send(site, 'status', aligned({ east: { ...east, why: 'moved' } }), 44);
  assert.deepEqual([site.service.status.alignment, site.service.status.pictures, site.badMessages - bad], [null, 40, 1]);
  // The cameras in name order, copied, with their lines and the map's states.
  const yard = camera({ online: false, problem: 'the device refused the password', bearing_deg: null, fov_deg: null,
    following: null, why: 'operator', taken_over: true, commands_per_s: 0, errors: 1 });
  send(site, 'status', serviceStatus({ cameras: { yard, gate: camera() } }), 45);
  const taken = site.cameras();
  assert.deepEqual(taken.map(([name]) => name), ['gate', 'yard']);
  assert.deepEqual(taken[1][1], {
    online: false, problem: 'the device refused the password', xM: -5, yM: -20, bearingDeg: null, fovDeg: null,
    reachM: 500, following: null, why: 'operator', takenOver: true, commands: 40, commandsPerS: 0, errors: 1,
  });
  assert.deepEqual(taken.map(([name, c]) => [cameraText(c), cameraState(name, c)]), [
    ['online · follows 12 (alarm 7) · 2.0 commands/s · 0 errors', 'gate:online:following=12'],
    ['offline: the device refused the password · follows nothing (operator) · taken over · 0.0 commands/s · '
      + '1 error', 'yard:offline:taken-over'],
  ]);
  assert.notEqual(site.cameraColour('gate'), site.cameraColour('yard'));
  assert.deepEqual(site.extent().slice(0, 2), [{ x: -5, y: -20 }, { x: -5, y: -20 }], 'the cameras\' places');
  send(site, 'status', serviceStatus({ historyNewestDay: '2026-12-8' }), 46);
  assert.equal(site.service.statusError, 'historyNewestDay is no day');
  send(site, 'status', '{"online":1}', 50);
  assert.deepEqual([site.service.statusError, site.service.status.pictures], ['online is no true or false', 40]);
  assert.equal(send(site, 'status', '', 60).forgotten, true);
  assert.deepEqual([site.serviceAvailable(), site.service.status, site.names()], [false, null, []]);
  // A picture too large for the page is counted against the service.
  site.receive('trklib/s/site/tracks', new Uint8Array(256 * 1024 + 1), 70);
  assert.deepEqual([site.tooLargeMessages, site.service.dropped, site.names()], [1, 1, []]);
});

test('the switch: the fused picture by default while it is available, the radars otherwise or when chosen', () => {
  const cases = [
    // [view option, service available, shown, a press chooses]
    [null, true, 'site', 'radars'],
    ['site', true, 'site', 'radars'],
    ['radars', true, 'radars', 'site'],
    [null, false, 'radars', null],
    ['site', false, 'radars', null],
    ['radars', false, 'radars', null],
  ];
  for (const [view, available, shown, next] of cases) {
    const s = viewSwitch(view, available);
    assert.deepEqual([shownView(view, available), s.shown, s.next, s.available], [shown, shown, next, available],
      `${view}, ${available}`);
  }
  assert.equal(viewSwitch(null, false).text, 'Site picture: not available');

  assert.equal(pageOptions('').view, null);
  assert.deepEqual([pageOptions('?view=radars').view, pageOptions('?view=radars').errors], ['radars', []]);
  assert.deepEqual(pageOptions('?view=map').errors, ["view: 'map' is no site or radars"]);
  // Switching keeps every other option as it was.
  const search = withView('?broker=ws%3A%2F%2Fh%3A1&site=north&view=site&user=a%26b', 'radars');
  assert.deepEqual(pageOptions(search), { ...pageOptions('?broker=ws://h:1&site=north&user=a%26b'), view: 'radars' });
  // The classes hidden, kept in the query string in their order; a name of
  // no class is an error.
  assert.deepEqual([...pageOptions('?hide=animal,car').hide], ['animal', 'car']);
  assert.deepEqual(pageOptions('?hide=car,bus').errors, ["hide: 'bus' is no list of person, two-wheeler, car, truck, " +
    'animal, unknown']);
  const hidden = withHidden('?view=site&hide=car', new Set(['unknown', 'person']));
  assert.deepEqual([hidden, withHidden(hidden, new Set())], ['?view=site&hide=person%2Cunknown', '?view=site']);
  assert.deepEqual([...pageOptions(hidden).hide], ['person', 'unknown']);
});
