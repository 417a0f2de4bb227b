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
    ['plant/trklib/s/zones', { leaf: 'zones' }],
    ['plant/trklib/s/zones/fence', { leaf: 'zone', zone: 'fence' }],
    ['plant/trklib/s/zones/tracks', { leaf: 'zone', zone: 'tracks' }],
    ['plant/trklib/s/zones/a/b', null],
    ['plant/trklib/s/events', { leaf: 'events' }],
    ['plant/trklib/s/events/x', null],
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
  // A good status without a field keeps the place and beam the radar had.
  for (const key of ['place', 'beam', 'rate']) {
    const { [key]: _, ...without } = { online: true, place, beam, rate: 20 };
    site.handle('trklib/s/north/status', JSON.stringify(without), 60);
    const north = site.radars.get('north');
    assert.deepEqual([north.online, north.statusError, north.place, north.beam, north.status.rate],
      [true, null, place, beam, key === 'rate' ? null : 20], `without ${key}`);
  }
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

// Every limit of the checks: [what, message for a value, the value at the
// limit (kept), just past it (dropped)]. Statuses and tracks are dropped
// whole, targets one by one.
test('limits of statuses, tracks and targets: kept at the limit, dropped just past it', () => {
  const inPlace = (key) => (v) => ({ place: { ...place, [key]: v } });
  const inBeam = (key) => (v) => ({ beam: { ...beam, [key]: v } });
  const field = (key) => (v) => ({ [key]: v });
  const statusLimits = [
    ['place x, east', inPlace('x'), 1e5, 100000.001],
    ['place x, west', inPlace('x'), -1e5, -100000.001],
    ['place y, north', inPlace('y'), 1e5, 100000.001],
    ['place y, south', inPlace('y'), -1e5, -100000.001],
    ['place far away', inPlace('x'), 0, 1e20],
    ['place no object', field('place'), null, [1, 2]],
    ['heading', inPlace('heading'), 360, 360.001],
    ['heading, the other way', inPlace('heading'), -360, -360.001],
    ['bearing', inBeam('bearing'), 360, 360.001],
    ['bearing, the other way', inBeam('bearing'), -360, -360.001],
    ['half-width', inBeam('halfWidth'), 180, 180.001],
    ['half-width below 0', inBeam('halfWidth'), 0, -0.001],
    ['min range below 0', inBeam('minRange'), 0, -0.001],
    ['max range', inBeam('maxRange'), 1e5, 100000.001],
    ['max range below min range', inBeam('maxRange'), beam.minRange, beam.minRange - 0.001],
    ['beam with a string', inBeam('maxRange'), 300, '300'],
    ['rate', field('rate'), 10000, 10000.001],
    ['rate below 0 (null: no rate yet)', field('rate'), null, -0.001],
    ['a count', field('packets'), 2 ** 53 - 1, 2 ** 53],
    ['a count below 0', field('senders'), 0, -1],
    ['a count with a fraction', field('readErrors'), 1, 1.5],
  ];
  for (const [what, make, atLimit, past] of statusLimits) {
    for (const [value, kept] of [[atLimit, true], [past, false]]) {
      const site = new Site({ prefix: 'trklib', site: 's' });
      const message = { online: true, place, beam, ...make(value) };
      site.handle('trklib/s/r/status', JSON.stringify(message), 0);
      const r = site.radars.get('r');
      const expected = kept ? [null, message.place, message.beam] : ['bad', null, null];
      assert.deepEqual([r.statusError && 'bad', r.place, r.beam], expected, `${what}: ${value}`);
      assert.equal(site.badMessages, kept ? 0 : 1, `${what}: ${value}`);
      if (kept) assert.equal(r.status.rate, message.rate ?? null, `${what}: ${value}`);
    }
  }

  const many = (n) => Array.from({ length: n }, (_, k) => target(k, 1));
  const tracksLimits = [
    ['timestamp below 0', (v) => [v, many(1)], 0, -1],
    ['timestamp with a fraction', (v) => [v, many(1)], 1, 1.5],
    ['timestamp past the last date', (v) => [v, many(1)], 8.64e15, 8.64e15 + 1],
    ['targets', (v) => [1, many(v)], maxTargets, maxTargets + 1],
  ];
  for (const [what, make, atLimit, past] of tracksLimits) {
    for (const [value, kept] of [[atLimit, true], [past, false]]) {
      const site = new Site({ prefix: 'trklib', site: 's' });
      const [timestamp, targets] = make(value);
      site.handle('trklib/s/r/tracks', tracks(timestamp, targets), 0);
      const expected = kept ? [0, targets.length, timestamp] : [1, 0, null];
      assert.deepEqual([site.badMessages, site.rows().length, site.radars.get('r').lastTimestamp], expected,
        `${what}: ${value}`);
    }
  }

  const inTarget = (key) => (v) => ({ ...target(1, 1), [key]: v });
  const targetLimits = [
    ['x, east', inTarget('x'), 2e5, 200000.001],
    ['x, west', inTarget('x'), -2e5, -200000.001],
    ['y, north', inTarget('y'), 2e5, 200000.001],
    ['y, south', inTarget('y'), -2e5, -200000.001],
    ['no position', inTarget('x'), 0, null],
    ['number below 0', inTarget('number'), 0, -1],
    ['number', inTarget('number'), 2 ** 31 - 1, 2 ** 31],
    ['number with a fraction', inTarget('number'), 1, 1.5],
    ['distance below 0', inTarget('distance'), 0, -0.001],
    ['distance', inTarget('distance'), 1e5, 100000.001],
    ['distance as text (null: none)', inTarget('distance'), null, '5'],
    ['velocity', inTarget('velocity'), 1000, 1000.001],
    ['velocity, the other way', inTarget('velocity'), -1000, -1000.001],
    ['no object', (v) => v, target(1, 1), null],
  ];
  for (const [what, make, atLimit, past] of targetLimits) {
    for (const [value, kept] of [[atLimit, true], [past, false]]) {
      const site = new Site({ prefix: 'trklib', site: 's' });
      site.handle('trklib/s/r/tracks', tracks(1, [target(2, 2), make(value)]), 0);
      assert.deepEqual([site.badMessages, site.badTargets, site.rows().length], [0, kept ? 0 : 1, kept ? 2 : 1],
        `${what}: ${value}`);
    }
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
  const at = { protocol: 'http:', hostname: 'sitehost', origin: 'http://sitehost:8088' };
  const ws = 'broker=ws://sitehost:9001';
  const never = 'password: never taken from the address; type it into the page';
  const cases = [
    ['', {
      source: 'sited', broker: null, site: 'demo', prefix: 'trklib', user: undefined, api: 'http://sitehost:8088', errors: [],
    }],
    [`?${ws}`, { source: 'broker', broker: 'ws://sitehost:9001', api: null, errors: [] }],
    [`?${ws}&user=viewer`, { user: 'viewer', errors: [] }],
    [`?${ws}&user=viewer&password=secret`, { errors: [never] }],
    [`?${ws}&user=viewer&password=`, { errors: [never] }],
    ['?password=secret', { source: 'sited', errors: [never] }],
    ['?user=viewer', { errors: ['user: for the broker; sited\'s page logs in on its login page'] }],
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
  assert.deepEqual(topics({ prefix: 'p', site: 's' }),
    ['p/s/+/tracks', 'p/s/+/status', 'p/s/zones', 'p/s/zones/+', 'p/s/events']);
});

test('the login page says what the login\'s answer means', async () => {
  const { loginOutcome } = await import('../src/login.js');
  assert.deepEqual(loginOutcome(200, null).state, 'done');
  assert.deepEqual(loginOutcome(401, null), { state: 'wrong', text: 'Wrong name or password' });
  assert.deepEqual(loginOutcome(429, '8'), { state: 'wait', text: 'Too many wrong passwords: try again in 8 s' });
  assert.deepEqual(loginOutcome(503, null).state, 'error');
});
