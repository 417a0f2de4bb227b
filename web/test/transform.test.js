// The map's coordinate transform: north up, zoom about the mouse, pan,
// fit, and the grid's spacing and labels; latitude and longitude to site
// metres, and the site's own map placed on it (tiles and plan).

import assert from 'node:assert/strict';
import { test } from 'node:test';

import fc from 'fast-check';

import './seed.js';

import { tilesInView } from '../src/background.js';

import {
  View,
  along,
  cellsPerSide,
  geodeticToSite,
  geodeticToTile,
  imageTransform,
  siteToGeodetic,
  tileToGeodetic,
  zoomForScale,
  boundsOf,
  canvasAngle,
  distanceLabel,
  gridLines,
  gridStep,
  maxGridLines,
  maxScale,
  minScale,
  minSpanM,
} from '../src/transform.js';

const near = (actual, expected, what, tolerance = 1e-9) =>
  assert.ok(Math.abs(actual - expected) <= tolerance, `${what}: ${actual}, expected ${expected}`);

test('site metres to canvas pixels: east right, north up, and back', () => {
  // 800 x 600 canvas, 2 px per m, centred on (100, -50).
  const view = new View({ centerX: 100, centerY: -50, scale: 2, width: 800, height: 600 });
  const cases = [
    { what: 'the centre', site: [100, -50], screen: [400, 300] },
    { what: '10 m east', site: [110, -50], screen: [420, 300] },
    { what: '10 m north', site: [100, -40], screen: [400, 280] },
    { what: 'south-west', site: [50, -100], screen: [300, 400] },
    { what: 'the top-left corner', site: [-100, 100], screen: [0, 0] },
  ];
  for (const c of cases) {
    const s = view.toScreen(...c.site);
    near(s.x, c.screen[0], `${c.what} x`);
    near(s.y, c.screen[1], `${c.what} y`);
    const back = view.toSite(s.x, s.y);
    near(back.x, c.site[0], `${c.what} back x`);
    near(back.y, c.site[1], `${c.what} back y`);
  }
  assert.deepEqual(view.visible(), { minX: -100, maxX: 300, minY: -200, maxY: 100 });
});

test('zooming keeps the site point under the mouse, within the scale limits', () => {
  const cases = [
    { what: 'in at a corner', at: [0, 0], factor: 2, scale: 2 },
    { what: 'out off centre', at: [650, 120], factor: 0.5, scale: 0.5 },
    { what: 'in at the centre', at: [400, 300], factor: 1.1, scale: 1.1 },
    { what: 'far in: held at the limit', at: [10, 590], factor: 1e6, scale: maxScale },
    { what: 'far out: held at the limit', at: [799, 1], factor: 1e-6, scale: minScale },
  ];
  for (const c of cases) {
    const view = new View({ centerX: 35, centerY: 40, scale: 1, width: 800, height: 600 });
    const before = view.toSite(...c.at);
    view.zoomAt(...c.at, c.factor);
    near(view.scale, c.scale, `${c.what}: scale`);
    const after = view.toSite(...c.at);
    near(after.x, before.x, `${c.what}: x under the mouse`, 1e-6);
    near(after.y, before.y, `${c.what}: y under the mouse`, 1e-6);
  }
});

test('dragging moves the map with the mouse', () => {
  const view = new View({ centerX: 0, centerY: 0, scale: 4, width: 400, height: 400 });
  const grabbed = view.toSite(100, 300);
  view.panBy(30, -50); // right and up
  const s = view.toScreen(grabbed.x, grabbed.y);
  near(s.x, 130, 'x');
  near(s.y, 250, 'y');
});

test('fitting shows the whole box with the margin, centred', () => {
  const cases = [
    { what: 'wide', box: { minX: -300, minY: -60, maxX: 40, maxY: 50 }, scale: (1000 - 80) / 340 },
    { what: 'tall', box: { minX: -20, minY: -300, maxX: 20, maxY: 40 }, scale: (600 - 80) / 340 },
    { what: 'a point', box: { minX: 5, minY: 7, maxX: 5, maxY: 7 }, scale: (600 - 80) / minSpanM },
  ];
  for (const c of cases) {
    const view = new View({ width: 1000, height: 600 });
    view.fit(c.box, 40);
    near(view.scale, c.scale, `${c.what}: scale`);
    near(view.centerX, (c.box.minX + c.box.maxX) / 2, `${c.what}: centre x`);
    near(view.centerY, (c.box.minY + c.box.maxY) / 2, `${c.what}: centre y`);
    for (const [x, y] of [[c.box.minX, c.box.minY], [c.box.maxX, c.box.maxY]]) {
      const s = view.toScreen(x, y);
      assert.ok(s.x >= 40 - 1e-9 && s.x <= 960 + 1e-9 && s.y >= 40 - 1e-9 && s.y <= 560 + 1e-9,
        `${c.what}: corner (${x}, ${y}) at (${s.x}, ${s.y}) is inside the margin`);
    }
  }
});

test('grid steps are 1, 2 or 5 times a power of ten, at least the least spacing apart', () => {
  const cases = [
    [1, 100], [2, 50], [0.5, 200], [0.3, 500], [8, 10], [0.8, 100], [0.79, 200],
    [100, 1], [400, 0.2], [0.02, 5000],
  ];
  for (const [scale, step] of cases) {
    near(gridStep(scale, 80), step, `scale ${scale} px/m`, step * 1e-12);
    assert.ok(gridStep(scale, 80) * scale >= 80 - 1e-9);
  }
  assert.deepEqual(gridLines(-120, 130, 50), [-100, -50, 0, 50, 100]);
  assert.deepEqual(gridLines(10, 40, 50), []);
  assert.deepEqual(gridLines(-50, 50, 50), [-50, 0, 50]);
});

test('the grid has at most 500 lines, finite and in order, whatever the view', () => {
  const cases = [
    ['500 lines', 1, 500, 1, 500],
    ['501 lines: none', 0, 500, 1, 0],
    ['far from the origin', 1e20, 1e20 + 2e4, 5000, 5],
    ['a view 1e17 m wide', -5e16, 5e16, 5000, 0],
    ['no finite box', -Infinity, Infinity, 100, 0],
    ['no step', 0, 100, 0, 0],
  ];
  for (const [what, from, to, step, count] of cases) {
    assert.equal(gridLines(from, to, step).length, count, what);
  }
  fc.assert(
    fc.property(fc.double(), fc.double(), fc.double({ min: minScale, max: maxScale }), (a, b, scale) => {
      const step = gridStep(scale);
      const lines = gridLines(Math.min(a, b), Math.max(a, b), step);
      assert.ok(lines.length <= maxGridLines);
      lines.forEach((x, i) => {
        // A step below the doubles' spacing out there rounds by an ulp.
        const slack = step + Math.abs(x) * Number.EPSILON;
        assert.ok(Number.isFinite(x) && x >= Math.min(a, b) - slack && x <= Math.max(a, b) + slack);
        if (i > 0) assert.ok(x >= lines[i - 1]);
      });
    }),
  );
});

test('grid labels in metres, kilometres from 1 km on, with the decimals the step needs', () => {
  const cases = [
    [0, 50, '0 m'], [250, 50, '250 m'], [-100, 50, '-100 m'], [1.5, 0.5, '1.5 m'],
    [0.25, 0.05, '0.25 m'], [-0.0000001, 0.1, '0.0 m'], [1500, 500, '1.5 km'],
    [-2000, 1000, '-2 km'], [1200, 200, '1.2 km'],
  ];
  for (const [metres, step, label] of cases) assert.equal(distanceLabel(metres, step), label);
});

test('compass bearings on the canvas and on the site', () => {
  const cases = [
    { bearing: 0, screen: [0, -1], site: [0, 1] }, // north: up
    { bearing: 90, screen: [1, 0], site: [1, 0] }, // east: right
    { bearing: 180, screen: [0, 1], site: [0, -1] },
    { bearing: 270, screen: [-1, 0], site: [-1, 0] },
    { bearing: 45, screen: [Math.SQRT1_2, -Math.SQRT1_2], site: [Math.SQRT1_2, Math.SQRT1_2] },
  ];
  for (const c of cases) {
    const a = canvasAngle(c.bearing);
    near(Math.cos(a), c.screen[0], `${c.bearing}: canvas x`);
    near(Math.sin(a), c.screen[1], `${c.bearing}: canvas y`);
    const p = along(10, 20, c.bearing, 1);
    near(p.x - 10, c.site[0], `${c.bearing}: site x`);
    near(p.y - 20, c.site[1], `${c.bearing}: site y`);
  }
  assert.equal(boundsOf([]), null);
  assert.deepEqual(boundsOf([{ x: 1, y: -2 }, { x: -3, y: 4 }]), { minX: -3, minY: -2, maxX: 1, maxY: 4 });
});

test('latitude and longitude to site metres as GeographicLib\'s CartConvert has them, and back', () => {
  // CartConvert -l LAT0 LON0 H0 of each place at the origin's height, to the millimetre.
  const munich = { lat: 48.137, lon: 11.575, altitude: 519 };
  const santiago = { lat: -33.4489, lon: -70.6693, altitude: -12.5 };
  const cases = [
    { origin: munich, at: [48.137, 11.575], site: [0, 0] },
    { origin: munich, at: [48.146, 11.575], site: [0, 1000.819190] },
    { origin: munich, at: [48.137, 11.6], site: [1860.840087, 0.302345] },
    { origin: munich, at: [48.2, 11.4], site: [-13009.917016, 7020.562773] },
    { origin: munich, at: [48.0, 11.0], site: [-42912.343143, -15074.119018] },
    { origin: santiago, at: [-33.45, -70.66], site: [864.674456, -122.042170] },
  ];
  for (const c of cases) {
    const p = geodeticToSite(c.origin, ...c.at);
    near(p.x, c.site[0], `${c.at} x`, 1e-3);
    near(p.y, c.site[1], `${c.at} y`, 1e-3);
    const back = siteToGeodetic(c.origin, p.x, p.y);
    near(back.lat, c.at[0], `${c.at} latitude back`, 1e-10);
    near(back.lon, c.at[1], `${c.at} longitude back`, 1e-10);
  }
});

test('Web Mercator tiles: their corners, the level of a scale, the tiles in view', () => {
  // Zoom 1's tile 1/1 starts at the equator and the meridian; XYZ row 0 is the north's.
  near(tileToGeodetic(1, 1, 1).lat, 0, 'the equator');
  near(tileToGeodetic(1, 1, 1).lon, 0, 'the meridian');
  near(tileToGeodetic(0, 0, 0).lat, 85.0511287798, 'the grid\'s northern edge', 1e-9);
  const t = geodeticToTile(17, 48.137, 11.575);
  const g = tileToGeodetic(17, t.x, t.y);
  near(g.lat, 48.137, 'latitude and back');
  near(g.lon, 11.575, 'longitude and back');
  // 1 px per m at 48°: zoom 17's pixels are 0.797 m, zoom 18's 0.399 m.
  assert.equal(zoomForScale(1, 48, 0, 22), 17);
  assert.equal(zoomForScale(2, 48, 0, 22), 18);
  assert.equal(zoomForScale(100, 48, 14, 18), 18, 'beyond the deepest level: the deepest');
  assert.equal(zoomForScale(0.02, 48, 14, 18), 14, 'above the shallowest: the shallowest');
  // A 1 km box round the origin at zoom 17 (tiles of 204 m there): 6 x 6
  // tiles at most, the nearest the centre first; none outside the bounds.
  const origin = { lat: 48.137, lon: 11.575, altitude: 519 };
  const box = { minX: -500, minY: -500, maxX: 500, maxY: 500 };
  const all = tilesInView(origin, box, 17, [-180, -85, 180, 85]);
  assert.ok(all.length >= 25 && all.length <= 36, `${all.length} tiles`);
  const centre = geodeticToTile(17, origin.lat, origin.lon);
  assert.deepEqual(all[0], { x: Math.floor(centre.x), y: Math.floor(centre.y) });
  const east = tilesInView(origin, box, 17, [origin.lon, -85, 180, 85]);
  assert.ok(east.length > 0 && east.every((tile) => tile.x >= Math.floor(centre.x)), 'east of the bounds\' west');
  assert.deepEqual(tilesInView(origin, box, 17, [12, 40, 13, 41]), [], 'bounds far away');
});

test('an image placed by three corners: each corner where it belongs on the canvas', () => {
  const view = new View({ centerX: 10, centerY: 20, scale: 2, width: 800, height: 600 });
  // A 200 x 100 px plan turned: its top edge runs north-east.
  const tl = { x: 0, y: 0 };
  const tr = { x: 30, y: 40 };
  const bl = { x: 20, y: -15 };
  const [a, b, c, d, e, f] = imageTransform(view, tl, tr, bl, 200, 100);
  const onCanvas = (u, v) => ({ x: a * u + c * v + e, y: b * u + d * v + f });
  const br = { x: tr.x + bl.x - tl.x, y: tr.y + bl.y - tl.y };
  for (const [what, [u, v], site] of [['top-left', [0, 0], tl], ['top-right', [200, 0], tr],
    ['bottom-left', [0, 100], bl], ['bottom-right', [200, 100], br]]) {
    const got = onCanvas(u, v);
    const want = view.toScreen(site.x, site.y);
    near(got.x, want.x, `${what} x`);
    near(got.y, want.y, `${what} y`);
  }
  // A tile's cells: one for a tile drawn near its own size, more when drawn far larger.
  assert.equal(cellsPerSide(200, 48, 1.25), 1);
  assert.ok(cellsPerSide(6500, 48, 100) >= 32, 'a 6.5 km tile at 1 cm a pixel');
  assert.equal(cellsPerSide(1e7, 48, 100), 64, 'at most 64');
});
