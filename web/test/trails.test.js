// The trails' bookkeeping: how far back they reach, when a target number
// has gone, and that their memory stays bounded.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import { Trails } from '../src/trails.js';

const t0 = 1700000000000;
const packetMs = 50; // 20 packets per second

// The trail's timestamps, relative to t0.
const times = (trail) => trail.map((p) => p.t - t0);

test('a trail reaches back its length of packet time, oldest point first', () => {
  const trails = new Trails({ keepMs: 200, goneMs: 100 });
  for (let k = 0; k <= 10; ++k) trails.add('north', t0 + k * packetMs, [{ number: 3, x: k, y: -k }]);
  assert.deepEqual(times(trails.trail('north', 3)), [300, 350, 400, 450, 500]);
  assert.deepEqual(trails.trail('north', 3).at(-1), { t: t0 + 500, x: 10, y: -10 });
  assert.deepEqual(trails.trail('north', 4), [], 'no such target');
  assert.deepEqual(trails.trail('east', 3), [], 'no such radar');
});

test('a number missing for longer than the gap is a new target when it comes back', () => {
  const cases = [
    { what: 'a short gap: the same target', gapPackets: 2, expected: [0, 50, 200, 250] },
    { what: 'back after the gap exactly: the same target', gapPackets: 3, expected: [0, 50, 250, 300] },
    { what: 'a longer gap: a new target', gapPackets: 4, expected: [300, 350] },
  ];
  for (const c of cases) {
    const trails = new Trails({ keepMs: 5000, goneMs: 200 });
    const other = { number: 9, x: 0, y: 0 }; // keeps the packets coming
    let t = t0;
    for (let k = 0; k < 2; ++k, t += packetMs) trails.add('r', t, [{ number: 1, x: 0, y: k }, other]);
    for (let k = 0; k < c.gapPackets; ++k, t += packetMs) trails.add('r', t, [other]);
    for (let k = 0; k < 2; ++k, t += packetMs) trails.add('r', t, [{ number: 1, x: 5, y: k }, other]);
    // Last seen at 50, back at 100 + 50 per packet of the gap.
    assert.deepEqual(times(trails.trail('r', 1)), c.expected, c.what);
  }
});

test('radars keep their own trails; a radar that starts again starts afresh', () => {
  const trails = new Trails({ keepMs: 1000, goneMs: 500 });
  trails.add('north', t0, [{ number: 1, x: 0, y: 0 }]);
  trails.add('east', t0 + 7, [{ number: 1, x: 50, y: 50 }]);
  trails.add('north', t0 + 50, [{ number: 1, x: 0, y: 1 }]);
  trails.add('north', t0 + 50, [{ number: 1, x: 0, y: 99 }]); // the same packet again
  assert.deepEqual(times(trails.trail('north', 1)), [0, 50]);
  assert.deepEqual(times(trails.trail('east', 1)), [7]);

  // An earlier timestamp: radarsim or the radar started again.
  trails.add('north', t0 - 10000, [{ number: 1, x: 3, y: 3 }]);
  assert.deepEqual(times(trails.trail('north', 1)), [-10000]);
  assert.deepEqual(times(trails.trail('east', 1)), [7], 'the other radar keeps its trail');

  trails.clear('east');
  assert.deepEqual(trails.trail('east', 1), []);
  assert.equal(trails.size(), 1);
});

test('a trail keeps its newest 200 points, however fast the packets come', () => {
  const cases = [
    [200, 0],
    [201, 1],
    [1000, 800],
  ];
  for (const [packets, firstKept] of cases) {
    const trails = new Trails({ keepMs: 5000, goneMs: 1000 });
    for (let k = 0; k < packets; ++k) trails.add('r', t0 + k, [{ number: 1, x: k, y: 0 }]);
    const trail = trails.trail('r', 1);
    assert.equal(trail.length, 200, `${packets} packets`);
    assert.deepEqual([trail[0].x, trail.at(-1).x], [firstKept, packets - 1], `${packets} packets`);
  }
});

test('an hour of a busy radar holds no more than the trails of its current targets', () => {
  const trails = new Trails({ keepMs: 5000, goneMs: 1000 });
  const packetsPerTrail = 5000 / packetMs + 1;
  let most = 0;
  // Ten targets at a time; every number is used for 30 s, then dropped for
  // 2 s and given to a new target.
  for (let k = 0; k < 3600 * 20; ++k) {
    const t = t0 + k * packetMs;
    const targets = [];
    for (let n = 1; n <= 10; ++n) {
      const cycleMs = (t - t0 + n * 3000) % 32000;
      if (cycleMs < 30000) targets.push({ number: n, x: cycleMs / 1000, y: n });
    }
    trails.add('r', t, targets);
    most = Math.max(most, trails.size());
  }
  assert.ok(most <= 10 * packetsPerTrail, `at most ${most} points`);
  assert.ok(most >= 9 * packetsPerTrail, 'the trails were full');
});
