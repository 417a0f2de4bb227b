// The map's coordinate transform: north up, zoom about the mouse, pan,
// fit, and the grid's spacing and labels.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import fc from 'fast-check';

import './seed.js';

import {
  View,
  along,
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
