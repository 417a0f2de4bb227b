// What the page makes of the broker's messages: topics, statuses with the
// radar's place, tracks, the table's rows, silence, and its settings.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import { pageOptions, topics } from '../src/options.js';
import { Site, parseTopic, rowCells, silentAfterMs } from '../src/site.js';
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

test('statuses and tracks make the radars, their places and the rows', () => {
  const site = new Site({ prefix: 'trklib', site: 's' });
  assert.deepEqual(site.handle('trklib/s/north/status', status(true, { rate: 20 }), 0), {
    radar: 'north', leaf: 'status', wentOffline: false,
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

  // Offline (trackd stopped, or its last will): no current targets, the
  // place stays; a second offline status is no news.
  assert.equal(site.handle('trklib/s/north/status', JSON.stringify({ online: false }), 40).wentOffline, true);
  assert.deepEqual(site.rows().map((r) => r.radar), ['east']);
  assert.deepEqual(site.radars.get('north').place, place);
  assert.equal(site.handle('trklib/s/north/status', status(false), 50).wentOffline, false);
});

test('messages that are not the site\'s, or not what they should be, change nothing', () => {
  const site = new Site({ prefix: 'trklib', site: 's' });
  const cases = [
    ['trklib/t/north/status', status(true), false],
    ['trklib/s/north/status', '{"online":tru', true],
    ['trklib/s/north/status', '[1,2]', true],
    ['trklib/s/north/status', '{"packets":3}', true],
    ['trklib/s/north/tracks', '{"timestamp":"soon","targets":[]}', true],
    ['trklib/s/north/tracks', '{"timestamp":5}', true],
  ];
  for (const [topic, text, bad] of cases) {
    const before = site.badMessages;
    assert.equal(site.handle(topic, text, 0), null, text);
    assert.equal(site.badMessages - before, bad ? 1 : 0, text);
  }
  assert.deepEqual(site.names(), []);
  // A status without a place keeps the place it had; a target without a
  // position is left out.
  site.handle('trklib/s/r/status', status(true), 0);
  site.handle('trklib/s/r/status', JSON.stringify({ online: true, place: { x: 'near' } }), 0);
  assert.deepEqual(site.radars.get('r').place, place);
  site.handle('trklib/s/r/tracks', tracks(1, [target(1, 1), { number: 2, x: null, y: 1 }]), 0);
  assert.deepEqual(site.rows().map((r) => r.number), [1]);
});

test('a radar is silent when no packet came for a while, from when it was first heard of', () => {
  const site = new Site({ prefix: 'trklib', site: 's' });
  site.handle('trklib/s/r/status', status(true), 1000);
  const cases = [
    [1000 + silentAfterMs, false],
    [1001 + silentAfterMs, true],
  ];
  for (const [now, silent] of cases) assert.equal(site.silent('r', now), silent, `at ${now}`);
  site.handle('trklib/s/r/tracks', tracks(1, []), 5000);
  assert.equal(site.silent('r', 5000 + silentAfterMs), false);
  assert.equal(site.silent('r', 5001 + silentAfterMs), true);
  site.handle('trklib/s/r/status', status(false), 9000);
  assert.equal(site.silent('r', 99999), false, 'offline is no silence');
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
    ['', {
      broker: 'ws://sitehost:9001', site: 'demo', prefix: 'trklib', user: undefined, password: undefined, errors: [],
    }],
    ['?user=viewer&password=a%2Bb%26c%3D', { user: 'viewer', password: 'a+b&c=', errors: [] }],
    ['?user=viewer&password=', { user: 'viewer', password: undefined, errors: [] }],
    ['?password=secret', { password: 'secret', errors: ['password: given without user'] }],
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
