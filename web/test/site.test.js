// What the page makes of the broker's messages: topics, statuses with the
// radar's place, tracks, the table's rows, silence, and its settings.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import { pageOptions, topics } from '../src/options.js';
import { maxRadars, maxTargets } from '../src/checks.js';
import { Site, parseTopic, rowCells } from '../src/site.js';
import { Trails } from '../src/trails.js';
import { along } from '../src/transform.js';

const place = { x: 35, y: 0, heading: 270 };
const beam = { bearing: 270, halfWidth: 12, minRange: 10.9, maxRange: 299.96 };
const status = (online, extra = {}) => JSON.stringify({ online, place, beam, ...extra });
const tracks = (timestamp, targets) => JSON.stringify({ site: 's', radar: 'r', timestamp, received: 0, targets });
const target = (number, x, confirmed = true) => ({
  number, elevation: -2, azimuth: 1, distance: 100 + number, velocity: -50.04, confirmed, x, y: -x,
});

test('topics of the site, and no others', () => {
  const cases = [
    ['plant/trklib/s/north/tracks', { radar: 'north', leaf: 'tracks' }],
    ['plant/trklib/s/east.2/status', { radar: 'east.2', leaf: 'status' }],
    ['plant/trklib/other/north/tracks', null],
    ['plant/trklib/s/north/extra/tracks', null],
    ['plant/trklib/s//tracks', null],
    ['plant/trklib/s/north/log', null],
    ['trklib/s/north/tracks', null],
  ];
  for (const [topic, expected] of cases) assert.deepEqual(parseTopic(topic, 'plant/trklib', 's'), expected, topic);
});

test('statuses and tracks make the radars, their places, the rows and the trails', () => {
  const trails = new Trails();
  const site = new Site({ prefix: 'trklib', site: 's', trails });
  assert.deepEqual(site.handle('trklib/s/north/status', status(true, { rate: 20 }), 0), {
    radar: 'north', leaf: 'status', wentOffline: false, forgotten: false,
  });
  site.handle('trklib/s/north/tracks', tracks(1000, [target(7, 1), target(2, 2, false)]), 10);
  site.handle('trklib/s/east/tracks', tracks(5000, [target(1, 3)]), 20);
  assert.deepEqual(site.names(), ['east', 'north']);
  assert.deepEqual(site.radars.get('north').place, place);
  assert.deepEqual(site.radars.get('north').beam, beam);
  assert.equal(site.radars.get('east').online, true, 'a radar that sends packets is online');
  assert.notEqual(site.colour('east'), site.colour('north'));

  // Rows by radar, then number; the newest packet of a radar replaces its rows.
  assert.deepEqual(site.rows().map((r) => `${r.radar}/${r.number}`), ['east/1', 'north/2', 'north/7']);
  site.handle('trklib/s/north/tracks', tracks(1050, [target(7, 4)]), 30);
  assert.deepEqual(site.rows().map((r) => `${r.radar}/${r.number}`), ['east/1', 'north/7']);
  assert.deepEqual(rowCells(site.rows()[1]), ['north', '7', '107.0', '-50.0', '4.0', '-4.0', 'yes']);
  assert.deepEqual(rowCells({ ...site.rows()[1], confirmed: false }).at(-1), 'no');

  assert.deepEqual(trails.trail('north', 7).map((p) => p.x), [1, 4]);

  // Offline (trackd stopped, or its last will): no current targets nor
  // trails, the place stays; a second offline status is no news.
  assert.equal(site.handle('trklib/s/north/status', JSON.stringify({ online: false }), 40).wentOffline, true);
  assert.deepEqual(site.rows().map((r) => r.radar), ['east']);
  assert.deepEqual([trails.trail('north', 7), trails.trail('east', 1).length], [[], 1]);
  assert.deepEqual(site.radars.get('north').place, place);
  assert.equal(site.handle('trklib/s/north/status', status(false), 50).wentOffline, false);
});

test('messages that are not the site\'s are ignored; broken ones are dropped, counted, and mark their radar', () => {
  const site = new Site({ prefix: 'trklib', site: 's' });
  const cases = [
    ['trklib/t/north/status', status(true), null],
    ['trklib/s/north/status', '{"online":tru', 'no JSON object'],
    ['trklib/s/north/status', '[1,2]', 'no JSON object'],
    ['trklib/s/north/status', '{"packets":3}', 'online is no true or false'],
    ['trklib/s/north/tracks', '{"timestamp":"soon","targets":[]}', 'timestamp is no time in ms'],
    ['trklib/s/north/tracks', '{"timestamp":5}', 'targets is no list'],
  ];
  for (const [topic, text, reason] of cases) {
    const before = site.badMessages;
    assert.equal(site.handle(topic, text, 0), null, text);
    assert.equal(site.badMessages - before, reason ? 1 : 0, text);
    if (reason) assert.equal(site.radars.get('north').lastDropped, reason, text);
  }
  const north = site.radars.get('north');
  assert.equal(north.dropped, 5);
  assert.equal(north.statusError, 'online is no true or false', 'a bad status marks its radar');
  assert.deepEqual([north.place, north.status, north.tracks], [null, null, null]);
  assert.deepEqual(site.extent(), []);
  site.handle('trklib/s/north/status', status(true), 0);
  assert.equal(north.statusError, null, 'until a good status comes');

  // A bad status keeps the place that the radar had; a target without a
  // position is left out and counted.
  site.handle('trklib/s/north/status', JSON.stringify({ online: true, place: { x: 'near' } }), 0);
  assert.deepEqual([north.place, north.beam], [place, beam]);
  assert.equal(north.statusError, 'place: x or y is no number within 100 km');
  site.handle('trklib/s/north/tracks', tracks(1, [target(1, 1), { number: 2, x: null, y: 1 }]), 0);
  assert.deepEqual(site.rows().map((r) => r.number), [1]);
  assert.equal(site.badTargets, 1);
});

test('an empty message (a retained one cleared) forgets the radar, or its targets', () => {
  const trails = new Trails();
  const site = new Site({ prefix: 'trklib', site: 's', trails });
  site.handle('trklib/s/far/status', status(true), 0);
  site.handle('trklib/s/far/tracks', tracks(1, [target(1, 1)]), 0);
  assert.equal(trails.size(), 1, 'the site feeds the trails');
  assert.equal(site.handle('trklib/s/far/tracks', '', 0).forgotten, false);
  assert.deepEqual(site.rows(), []);
  assert.deepEqual(site.radars.get('far').place, place);
  assert.deepEqual(site.handle('trklib/s/far/status', '', 0), {
    radar: 'far', leaf: 'status', wentOffline: false, forgotten: true,
  });
  assert.deepEqual([site.names(), site.extent(), trails.size()], [[], [], 0]);
  assert.equal(site.handle('trklib/s/gone/status', '', 0), null, 'an unknown radar');
  assert.equal(site.badMessages, 0);
});

// Every limit of the checks, at the limit (kept) and just past it
// (dropped): statuses and tracks whole, targets one by one.
test('limits of statuses, tracks and targets: kept at the limit, dropped just past it', () => {
  const at = (x, y = x) => ({ ...place, x, y });
  const statusCases = [
    ['place at +100 km', { place: at(1e5) }, true],
    ['place at -100 km', { place: at(-1e5) }, true],
    ['place x past +100 km', { place: at(100000.001, 0) }, false],
    ['place y past -100 km', { place: at(0, -100000.001) }, false],
    ['place far away', { place: at(1e20, 0) }, false],
    ['heading at -360', { place: { ...place, heading: -360 } }, true],
    ['heading past 360', { place: { ...place, heading: 360.001 } }, false],
    ['heading past -360', { place: { ...place, heading: -360.001 } }, false],
    ['place no object', { place: [1, 2] }, false],
    ['bearing at 360', { beam: { ...beam, bearing: 360 } }, true],
    ['bearing past -360', { beam: { ...beam, bearing: -360.001 } }, false],
    ['half-width at 180', { beam: { ...beam, halfWidth: 180 } }, true],
    ['half-width past 180', { beam: { ...beam, halfWidth: 180.001 } }, false],
    ['half-width below 0', { beam: { ...beam, halfWidth: -0.001 } }, false],
    ['ranges from 0 to 100 km', { beam: { ...beam, minRange: 0, maxRange: 1e5 } }, true],
    ['min range below 0', { beam: { ...beam, minRange: -0.001 } }, false],
    ['max range past 100 km', { beam: { ...beam, maxRange: 100000.001 } }, false],
    ['max range below min range', { beam: { ...beam, minRange: 50, maxRange: 49.999 } }, false],
    ['beam with a string', { beam: { ...beam, maxRange: '300' } }, false],
    ['rate at 10000', { rate: 10000 }, true],
    ['rate past 10000', { rate: 10000.001 }, false],
    ['rate below 0', { rate: -0.001 }, false],
    ['rate null (trackd: no rate yet)', { rate: null }, true],
    ['a count at 2^53 - 1', { packets: 2 ** 53 - 1 }, true],
    ['a count at 2^53', { packets: 2 ** 53 }, false],
    ['a count below 0', { senders: -1 }, false],
    ['a count with a fraction', { readErrors: 1.5 }, false],
  ];
  for (const [what, fields, kept] of statusCases) {
    const site = new Site({ prefix: 'trklib', site: 's' });
    const message = { online: true, place, beam, ...fields };
    site.handle('trklib/s/r/status', JSON.stringify(message), 0);
    const r = site.radars.get('r');
    assert.equal(site.badMessages, kept ? 0 : 1, what);
    assert.equal(r.statusError === null, kept, what);
    assert.deepEqual([r.place, r.beam], kept ? [message.place, message.beam] : [null, null], what);
    if (kept) assert.equal(r.status.rate, message.rate ?? null, what);
  }

  const many = (n) => Array.from({ length: n }, (_, k) => target(k, 1));
  const tracksCases = [
    ['timestamp 0', 0, many(1), true],
    ['timestamp below 0', -1, many(1), false],
    ['timestamp with a fraction', 1.5, many(1), false],
    ['timestamp at the last date', 8.64e15, many(1), true],
    ['timestamp past the last date', 8.64e15 + 1, many(1), false],
    ['1000 targets', 1, many(maxTargets), true],
    ['1001 targets', 1, many(maxTargets + 1), false],
  ];
  for (const [what, timestamp, targets, kept] of tracksCases) {
    const site = new Site({ prefix: 'trklib', site: 's' });
    site.handle('trklib/s/r/tracks', tracks(timestamp, targets), 0);
    assert.equal(site.badMessages, kept ? 0 : 1, what);
    assert.equal(site.rows().length, kept ? targets.length : 0, what);
    assert.equal(site.radars.get('r').lastTimestamp, kept ? timestamp : null, what);
  }

  const t = (fields) => ({ ...target(1, 1), ...fields });
  const targetCases = [
    ['x and y at +200 km', t({ x: 2e5, y: 2e5 }), true],
    ['x and y at -200 km', t({ x: -2e5, y: -2e5 }), true],
    ['x past +200 km', t({ x: 200000.001 }), false],
    ['y past -200 km', t({ y: -200000.001 }), false],
    ['x null', t({ x: null }), false],
    ['number 0', t({ number: 0 }), true],
    ['number below 0', t({ number: -1 }), false],
    ['number at 2^31 - 1', t({ number: 2 ** 31 - 1 }), true],
    ['number at 2^31', t({ number: 2 ** 31 }), false],
    ['number with a fraction', t({ number: 1.5 }), false],
    ['distance from 0', t({ distance: 0 }), true],
    ['distance to 100 km', t({ distance: 1e5 }), true],
    ['distance below 0', t({ distance: -0.001 }), false],
    ['distance past 100 km', t({ distance: 100000.001 }), false],
    ['no distance (trackd: null)', t({ distance: null }), true],
    ['velocity at -1000 km/h', t({ velocity: -1000 }), true],
    ['velocity at +1000 km/h', t({ velocity: 1000 }), true],
    ['velocity past +1000 km/h', t({ velocity: 1000.001 }), false],
    ['velocity past -1000 km/h', t({ velocity: -1000.001 }), false],
    ['velocity as text', t({ velocity: '5' }), false],
    ['no object', null, false],
  ];
  for (const [what, bad, kept] of targetCases) {
    const site = new Site({ prefix: 'trklib', site: 's' });
    site.handle('trklib/s/r/tracks', tracks(1, [target(2, 2), bad]), 0);
    assert.equal(site.badMessages, 0, what);
    assert.equal(site.badTargets, kept ? 0 : 1, what);
    assert.equal(site.rows().length, kept ? 2 : 1, what);
  }
});

test('limits of the radars: names of up to 64 letters, 1000 radars, messages of up to 256 KiB', () => {
  const nameCases = [
    ['r'.repeat(64), true],
    ['r'.repeat(65), false],
    ['n\u00f6rth', false],
    ['a b', false],
  ];
  for (const [name, kept] of nameCases) {
    const site = new Site({ prefix: 'trklib', site: 's' });
    site.handle(`trklib/s/${name}/status`, status(true), 0);
    assert.deepEqual([site.names().length, site.badMessages], kept ? [1, 0] : [0, 1], name);
  }

  const site = new Site({ prefix: 'trklib', site: 's' });
  for (let k = 0; k < maxRadars; ++k) site.handle(`trklib/s/r${k}/status`, status(true), 0);
  assert.equal(site.names().length, 1000);
  assert.equal(site.handle('trklib/s/one-more/status', status(true), 0), null);
  assert.deepEqual([site.names().length, site.badMessages], [1000, 1]);

  // A tracks message padded to the limit with spaces, and one byte more.
  const encoder = new TextEncoder();
  const sizeCases = [
    [256 * 1024, true],
    [256 * 1024 + 1, false],
  ];
  for (const [bytes, kept] of sizeCases) {
    const s = new Site({ prefix: 'trklib', site: 's' });
    const payload = encoder.encode(tracks(1, [target(1, 1)]).padEnd(bytes, ' '));
    assert.equal(payload.length, bytes);
    assert.equal(s.receive('trklib/s/r/tracks', payload, 0) !== null, kept, `${bytes} bytes`);
    assert.equal(s.tooLargeMessages, kept ? 0 : 1, `${bytes} bytes`);
    assert.equal(s.rows().length, kept ? 1 : 0, `${bytes} bytes`);
    if (!kept) assert.equal(s.radars.get('r').lastDropped, 'larger than 256 KiB');
  }
});

test('a radar is silent once no packet came for more than 2 s, from when it was first heard of', () => {
  const site = new Site({ prefix: 'trklib', site: 's' });
  site.handle('trklib/s/r/status', status(true), 1000);
  site.handle('trklib/s/q/status', status(true), 1000);
  site.handle('trklib/s/q/tracks', tracks(1, []), 5000);
  site.handle('trklib/s/o/status', status(false), 1000);
  const cases = [
    ['r', 3000, false],
    ['r', 3001, true],
    ['q', 7000, false],
    ['q', 7001, true],
    ['o', 99999, false], // offline is no silence
    ['unknown', 99999, false],
  ];
  for (const [name, now, silent] of cases) assert.equal(site.silent(name, now), silent, `${name} at ${now}`);
});

test('the map fits the radars and their beams; without places, the targets', () => {
  const site = new Site({ prefix: 'trklib', site: 's' });
  site.handle('trklib/s/r/tracks', tracks(1, [target(1, 10)]), 0);
  assert.deepEqual(site.extent(), [{ x: 10, y: -10 }]);
  site.handle('trklib/s/r/status', status(true), 0);
  assert.deepEqual(site.extent(), [
    { x: 35, y: 0 },
    ...[258, 270, 282].map((bearing) => along(35, 0, bearing, beam.maxRange)),
  ]);
});

test('the page\'s settings come from its query string, with defaults', () => {
  const at = { protocol: 'http:', hostname: 'sitehost' };
  const cases = [
    ['', { broker: 'ws://sitehost:9001', site: 'demo', prefix: 'trklib', errors: [] }],
    ['?broker=wss://b.example:8443/mqtt&site=north&prefix=plant/trklib',
      { broker: 'wss://b.example:8443/mqtt', site: 'north', prefix: 'plant/trklib', errors: [] }],
    ['?broker=tcp://b:1883', { errors: ["broker: 'tcp://b:1883' is no ws:// or wss:// address"] }],
    ['?site=%2B', { errors: ["site: '+' is no topic level of its own"] }],
    ['?site=a/b', { errors: ["site: 'a/b' is no topic level of its own"] }],
    ['?prefix=x/', { errors: ["prefix: 'x/' is no topic prefix"] }],
  ];
  for (const [search, expected] of cases) {
    const options = pageOptions(search, at);
    for (const [key, value] of Object.entries(expected)) assert.deepEqual(options[key], value, `${search}: ${key}`);
  }
  assert.equal(pageOptions('', { protocol: 'https:', hostname: 'h' }).broker, 'wss://h:9001');
  assert.deepEqual(topics({ prefix: 'p', site: 's' }), ['p/s/+/tracks', 'p/s/+/status']);
});
