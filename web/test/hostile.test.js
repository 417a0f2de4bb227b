// The page against any message: random and broken JSON, numbers of any
// size (also 1e999, which JSON.parse makes Infinity), lists too long, on
// the site's topics (the site service's among them, its cameras too)
// beside a good radar. Nothing throws, nothing out of range reaches the
// map, the map's drawing stays finite and bounded, and the good radar is
// kept as if it were alone. And the map's cameras: their views and the
// objects they follow.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import fc from 'fast-check';

import './seed.js';

import {
  maxBearingDeg, maxCameras, maxFovDeg, maxMessageBytes, maxPlaceM, maxRangeM, maxTargetM, maxTargets,
} from '../src/checks.js';
import { SiteMap } from '../src/map.js';
import { canvasAngle } from '../src/transform.js';
import { Site, serviceTrails } from '../src/site.js';
import { Trails, maxTrailPoints } from '../src/trails.js';

const t0 = 1700000000000;
const goodStatus = JSON.stringify({
  online: true, rate: 20, packets: 3,
  place: { x: 35, y: 0, heading: 270 },
  beam: { bearing: 270, halfWidth: 12, minRange: 10.9, maxRange: 299.96 },
});
const goodTracks = (k) => JSON.stringify({
  timestamp: t0 + 50 * k,
  targets: [{ number: 1, x: 30 - k, y: k, distance: 5 + k, velocity: -20, confirmed: true },
    { number: 7, x: 20, y: -k, distance: 15, velocity: 3, confirmed: false }],
});

// Numbers at and past every limit, of any size, and what is no number.
// "#TOKEN" strings become the bare TOKEN in the JSON text.
const wild = fc.oneof(
  fc.double(),
  fc.integer(),
  fc.constantFrom('#1e999', '#-1e999', '#-0', 1e20, -1e17, 2 ** 53, 2 ** 31, 8.64e15 + 1,
    maxPlaceM, maxPlaceM + 0.001, maxTargetM + 0.001, maxRangeM + 0.001, maxBearingDeg + 0.001),
  fc.string({ maxLength: 8 }),
  fc.constantFrom(null, true, false, [], {}),
);
// Mostly a good value, now and then a wild one: most messages are wrong in
// one or two fields only.
const maybe = (arbitrary) => fc.oneof({ weight: 4, arbitrary }, { weight: 1, arbitrary: wild });
const between = (min, max) => fc.double({ min, max, noNaN: true });
const place = fc.record({
  x: maybe(between(-maxPlaceM, maxPlaceM)), y: maybe(between(-maxPlaceM, maxPlaceM)),
  heading: maybe(between(-maxBearingDeg, maxBearingDeg)),
});
const beam = fc.record({
  bearing: maybe(between(0, 360)), halfWidth: maybe(between(0, 20)),
  minRange: maybe(between(0, 20)), maxRange: maybe(between(20, maxRangeM)),
});
const status = fc.record({
  online: maybe(fc.boolean()), place: maybe(place), beam: maybe(beam),
  rate: maybe(between(0, 100)), packets: maybe(fc.nat()), senders: maybe(fc.nat(8)),
}, { requiredKeys: ['online'] });
const target = fc.record({
  number: maybe(fc.integer({ min: 0, max: 300 })),
  x: maybe(between(-maxTargetM, maxTargetM)), y: maybe(between(-maxTargetM, maxTargetM)),
  distance: maybe(between(0, 300)), velocity: maybe(between(-200, 200)), confirmed: maybe(fc.boolean()),
}, { requiredKeys: ['number', 'x', 'y'] });
const tracks = fc.record({
  timestamp: maybe(fc.integer({ min: 0, max: 2 * t0 })),
  targets: maybe(fc.array(maybe(target), { maxLength: 30 })),
});
const object = fc.record({
  id: maybe(fc.integer({ min: 1, max: 30 })),
  x: maybe(between(-maxTargetM, maxTargetM)), y: maybe(between(-maxTargetM, maxTargetM)),
  speed: maybe(between(0, 200)), heading: maybe(between(0, 360)), confirmed: maybe(fc.boolean()),
  radars: maybe(fc.array(fc.record({ radar: maybe(fc.constantFrom('far', 'x')), number: maybe(fc.nat(255)) }),
    { maxLength: 3 })),
}, { requiredKeys: ['id', 'x', 'y'] });
const picture = fc.record({
  time: maybe(fc.integer({ min: 0, max: 2 * t0 })),
  objects: maybe(fc.array(maybe(object), { maxLength: 30 })),
});
// A camera's fields are many: each is wild more rarely, so that some
// cameras are taken.
const rarely = (arbitrary) => fc.oneof({ weight: 12, arbitrary }, { weight: 1, arbitrary: wild });
const camera = fc.record({
  state: fc.constantFrom({ online: true, problem: null }, { online: false, problem: 'no answer' }),
  online: rarely(fc.constant(undefined)), problem: rarely(fc.constant(undefined)),
  x_m: rarely(between(-maxPlaceM, maxPlaceM)), y_m: rarely(between(-maxPlaceM, maxPlaceM)),
  bearing_deg: rarely(between(-360, 360)), fov_deg: rarely(between(1, maxFovDeg)), reach_m: rarely(between(0, 1000)),
  following: rarely(fc.integer({ min: 1, max: 30 })), why: rarely(fc.constantFrom('alarm 3', 'watch', 'home')),
  taken_over: rarely(fc.boolean()), commands: rarely(fc.nat()), commands_per_s: rarely(between(0, 5)),
  errors: rarely(fc.nat()),
}).map(({ state, online, problem, ...c }) => ({
  ...c, online: online ?? state.online, problem: problem ?? state.problem,
}));
const siteStatus = fc.record({
  online: maybe(fc.boolean()),
  cameras: maybe(fc.dictionary(fc.oneof(fc.constantFrom('gate', 'yard'), fc.string({ maxLength: 70 })), maybe(camera),
    { maxKeys: 6 })),
});
const text = (arbitrary) =>
  arbitrary.map((value) => JSON.stringify(value).replace(/"#([-0-9e.]+)"/g, '$1'));

// One more target than a message may have, and one byte more than a
// message may have: the same few on every run.
const tooMany = JSON.stringify({
  timestamp: t0,
  targets: Array.from({ length: maxTargets + 1 }, (_, k) => ({ number: k, x: 1, y: 1 })),
});
const tooLarge = new Uint8Array(maxMessageBytes + 1).fill(0x20);

const encoder = new TextEncoder();
// Statuses and tracks on their own topics, mostly of well-named radars;
// anything at all on any topic now and then.
const bytes = (arbitrary) => arbitrary.map((s) => encoder.encode(s));
const radar = fc.oneof({ weight: 4, arbitrary: fc.constantFrom('far', 'b.2', 'x') }, fc.string({ maxLength: 70 }));
const hostile = fc.oneof(
  { weight: 3, arbitrary: fc.record({ radar, leaf: fc.constant('status'), payload: bytes(text(status)) }) },
  { weight: 3, arbitrary: fc.record({ radar, leaf: fc.constant('tracks'), payload: bytes(text(tracks)) }) },
  {
    weight: 2,
    arbitrary: fc.record({ radar: fc.constant('site'), leaf: fc.constant('tracks'), payload: bytes(text(picture)) }),
  },
  fc.record({ radar: fc.constant('site'), leaf: fc.constant('status'), payload: bytes(text(siteStatus)) }),
  fc.record({
    radar,
    leaf: fc.constantFrom('status', 'tracks', 'log'),
    payload: fc.oneof(
      bytes(fc.json()),
      bytes(fc.string()),
      fc.uint8Array({ maxLength: 64 }),
      fc.constantFrom(new Uint8Array(0), encoder.encode(tooMany), tooLarge),
    ),
  }),
).filter((m) => m.radar !== 'good');

// A canvas whose 2-D context counts its calls and keeps those with a
// number that is no finite one, and its arcs.
function recordingCanvas() {
  const calls = { count: 0, notFinite: [], arcs: [] };
  const state = {};
  const ctx = new Proxy(state, {
    get(target, key) {
      if (key in target) return target[key];
      return (...args) => {
        ++calls.count;
        const numbers = args.flat().filter((a) => typeof a === 'number');
        if (!numbers.every(Number.isFinite)) calls.notFinite.push(`${String(key)}(${args.join(', ')})`);
        if (key === 'arc') calls.arcs.push(args);
      };
    },
    set(target, key, value) {
      target[key] = value;
      return true;
    },
  });
  const canvas = { addEventListener() {}, setPointerCapture() {}, getContext: () => ctx, dataset: {} };
  return { canvas, calls };
}

const inside = (v, limit) => typeof v === 'number' && Number.isFinite(v) && Math.abs(v) <= limit;

function assertDrawable(site) {
  for (const r of site.radars.values()) {
    if (r.place) {
      assert.ok(inside(r.place.x, maxPlaceM) && inside(r.place.y, maxPlaceM), `${r.name}: place`);
      assert.ok(inside(r.place.heading, maxBearingDeg), `${r.name}: heading`);
    }
    if (r.beam) {
      const b = r.beam;
      assert.ok(inside(b.bearing, maxBearingDeg) && inside(b.halfWidth, 180), `${r.name}: beam`);
      assert.ok(b.minRange >= 0 && b.minRange <= b.maxRange && b.maxRange <= maxRangeM, `${r.name}: ranges`);
    }
    for (const t of r.tracks?.targets ?? []) {
      assert.ok(inside(t.x, maxTargetM) && inside(t.y, maxTargetM), `${r.name}: target`);
    }
  }
  for (const o of site.service.picture?.objects ?? []) {
    assert.ok(inside(o.x, maxTargetM) && inside(o.y, maxTargetM), `object ${o.id}`);
  }
  const cameras = site.cameras();
  assert.ok(cameras.length <= maxCameras);
  for (const [name, c] of cameras) {
    assert.ok(inside(c.xM, maxPlaceM) && inside(c.yM, maxPlaceM) && inside(c.reachM, maxRangeM), `${name}: camera`);
    assert.ok((c.bearingDeg === null || inside(c.bearingDeg, maxBearingDeg)) && (c.fovDeg === null || c.fovDeg > 0),
      `${name}: view`);
  }
  for (const p of site.extent()) assert.ok(inside(p.x, maxTargetM) && inside(p.y, maxTargetM), 'extent');
}

test('any messages beside a good radar: nothing thrown, nothing out of range drawn, the good radar kept', () => {
  fc.assert(
    fc.property(fc.array(hostile, { maxLength: 25 }), (messages) => {
      const trails = new Trails();
      const site = new Site({ prefix: 'trklib', site: 's', trails });
      const aloneTrails = new Trails();
      const alone = new Site({ prefix: 'trklib', site: 's', trails: aloneTrails });
      const { canvas, calls } = recordingCanvas();
      const map = new SiteMap(canvas, site, trails);
      map.view.width = 800;
      map.view.height = 600;
      for (const s of [site, alone]) s.receive('trklib/s/good/status', encoder.encode(goodStatus), 0);
      messages.forEach((m, k) => {
        site.receive(`trklib/s/${m.radar}/${m.leaf}`, m.payload, k);
        const good = encoder.encode(goodTracks(k));
        for (const s of [site, alone]) s.receive('trklib/s/good/tracks', good, k);
        map.shown = k % 2 === 0 ? 'radars' : 'site';
        map.draw(k);
      });

      const { dropped, lastDropped, knownSince, ...kept } = site.radars.get('good');
      const { dropped: d, lastDropped: l, knownSince: k, ...keptAlone } = alone.radars.get('good');
      assert.deepEqual(kept, keptAlone, 'the good radar as if alone');
      for (const t of kept.tracks?.targets ?? []) {
        assert.deepEqual(trails.trail('good', t.number), aloneTrails.trail('good', t.number));
      }
      assertDrawable(site);

      // The last frame of each view: finite, and its calls bounded by what
      // it shows (a few dozen for the grid and the north arrow, some for
      // each radar, target, object and trail point).
      calls.count = 0;
      for (const shown of ['radars', 'site']) {
        map.shown = shown;
        map.draw(messages.length);
      }
      assert.deepEqual(calls.notFinite, []);
      let bound = 2 * (300 + 40 * site.radars.size + 30 * site.cameras().length);
      for (const o of site.service.picture?.objects ?? []) {
        const trail = trails.trail(serviceTrails, o.id);
        assert.ok(trail.length <= maxTrailPoints);
        bound += 15 + trail.length;
      }
      for (const r of site.radars.values()) {
        for (const t of r.tracks?.targets ?? []) {
          const trail = trails.trail(r.name, t.number);
          assert.ok(trail.length <= maxTrailPoints);
          bound += 15 + trail.length;
        }
      }
      assert.ok(calls.count <= bound, `${calls.count} calls, at most ${bound}`);
    }),
    { numRuns: 500 },
  );
});

test('the map: a camera\'s view out to its reach, grey without one, and a ring around the object it follows', () => {
  const { canvas, calls } = recordingCanvas();
  const site = new Site({ prefix: 'trklib', site: 's' });
  const map = new SiteMap(canvas, site, new Trails());
  Object.assign(map.view, { width: 800, height: 600, scale: 2, centerX: 0, centerY: 0 });
  map.followSite = false;
  map.shown = 'site';
  const objects = [{ id: 12, x: 40, y: 30 }, { id: 13, x: 0, y: 9 }];
  site.handle('trklib/s/site/tracks', JSON.stringify({ time: t0, objects }), 0);
  const gate = {
    online: true, problem: null, x_m: -10, y_m: 5, bearing_deg: 80, fov_deg: 30, reach_m: 100, following: 12,
    why: 'alarm 3', taken_over: false, commands: 9, commands_per_s: 1, errors: 0,
  };
  const yard = { ...gate, online: false, problem: 'no answer', bearing_deg: null, following: 13, why: 'home' };
  // The arcs drawn but the objects' marks (5 px), to the thousandth.
  const round = (v) => Math.round(v * 1000) / 1000;
  const draw = (cameras) => {
    site.handle('trklib/s/site/status', JSON.stringify({ online: true, cameras }), 0);
    calls.arcs = [];
    map.draw(0);
    return calls.arcs.filter((a) => a[2] > 5).map((a) => a.slice(0, 5).map(round));
  };
  const at = (x, y) => [400 + 2 * x, 300 - 2 * y];
  const cone = [...at(-10, 5), 200, round(canvasAngle(65)), round(canvasAngle(95))];
  const ring = (x, y, k = 0) => [...at(x, y), 9 + 3 * k, 0, round(2 * Math.PI)];
  const cases = [
    [{ gate }, [cone, ring(40, 30)], 'gate:online:following=12'],
    [{ gate: { ...gate, following: null, taken_over: true } }, [cone], 'gate:online:taken-over'],
    // No view without a bearing; a ring still; two cameras on one object: two rings.
    [{ gate, yard }, [cone, ring(40, 30), ring(0, 9)], 'gate:online:following=12 yard:offline:following=13'],
    [{ gate, yard: { ...yard, following: 12 } }, [cone, ring(40, 30), ring(40, 30, 1)],
      'gate:online:following=12 yard:offline:following=12'],
  ];
  for (const [cameras, arcs, state] of cases) {
    assert.deepEqual(draw(cameras), arcs, state);
    assert.equal(canvas.dataset.cameras, state);
  }
  // The radars' tracks shown: no object, no ring; the view stays.
  map.shown = 'radars';
  assert.deepEqual(draw({ gate }), [cone]);
  // A click selects the nearest object of the site picture within a mark's
  // reach (13 px: 6.5 m here), which the map then follows.
  map.selectAt({ x: 41, y: 30 });
  assert.equal(map.follow, null, 'no object shown');
  map.shown = 'site';
  for (const [x, y, id] of [[50, 50, null], [40, 36.5, 12], [0, 15.6, 12], [1, 12, 13]]) {
    map.selectAt({ x, y });
    assert.equal(map.follow?.id ?? null, id, `${x} ${y}`);
  }
});
