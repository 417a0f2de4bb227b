// The history replay: its clock at and past its limits and under any
// sequence of presses, the API's answers checked at and past theirs, and
// the period, steps and missing pictures against a fake API.

import assert from 'node:assert/strict';
import { test } from 'node:test';

import fc from 'fast-check';

import './seed.js';

import { pageOptions } from '../src/options.js';
import { checkEvents, checkHealth, HistoryApi, ReplayClock } from '../src/replay.js';

// The documented limits, as numbers: a changed constant fails here.
const maxSpeed = 60;
const maxApiEvents = 10000;
const maxTimeMs = 8.64e15;

const t0 = 1700000000000;

test('the clock: speeds from 1x to 60x, pause, the period\'s bounds', () => {
  for (const [speed, taken] of [[1, true], [60, true], [0.99, false], [60.01, false], [0, false], [NaN, false]]) {
    const clock = new ReplayClock(t0, t0 + 1e6);
    assert.equal(clock.setSpeed(speed), taken, `${speed}x`);
    assert.equal(clock.speed, taken ? speed : 1, `${speed}x`);
  }
  const clock = new ReplayClock(t0, t0 + 10000);
  assert.equal(clock.advance(100), t0, 'paused until played');
  clock.setSpeed(maxSpeed);
  clock.play();
  assert.equal(clock.advance(100), t0 + 6000, '100 ms at 60x');
  clock.pause();
  assert.equal(clock.advance(100), t0 + 6000, 'paused');
  clock.play();
  assert.deepEqual([clock.advance(100), clock.paused], [t0 + 10000, true], 'held at the end, paused');
  clock.play();
  assert.equal(clock.time, t0, 'played again from the start');
  assert.deepEqual([clock.seek(t0 - 1), clock.seek(t0 + 10001), clock.seek(NaN)], [t0, t0 + 10000, t0 + 10000]);
});

test('the clock stays within its period and moves by speed x elapsed time whatever is pressed', () => {
  const press = fc.oneof(
    fc.record({ play: fc.boolean() }),
    fc.record({ speed: fc.double({ min: -10, max: 100, noNaN: true }) }),
    fc.record({ seek: fc.double({ min: -1e7, max: 1e7, noNaN: true }) }),
    fc.record({ advance: fc.double({ min: -100, max: 1e5, noNaN: true }) }));
  fc.assert(fc.property(fc.nat(1e6), fc.array(press, { maxLength: 30 }), (length, presses) => {
    const clock = new ReplayClock(t0, t0 + length);
    for (const p of presses) {
      const before = clock.time;
      if ('play' in p) p.play ? clock.play() : clock.pause();
      if ('speed' in p) clock.setSpeed(p.speed);
      if ('seek' in p) clock.seek(t0 + p.seek);
      if ('advance' in p) {
        const playing = !clock.paused;
        clock.advance(p.advance);
        const expected = playing && p.advance > 0 ? Math.min(t0 + length, before + p.advance * clock.speed) : before;
        assert.equal(clock.time, expected);
      }
      assert.ok(clock.time >= t0 && clock.time <= t0 + length, `${clock.time} within the period`);
      assert.ok(clock.speed >= 1 && clock.speed <= maxSpeed);
    }
  }));
});

test('the API\'s health and events: kept at the limits, refused just past them', () => {
  const health = (h) => checkHealth({ database: 'sqlite', state: 'ok', latest: 0, waiting: 0, dropped: 0, ...h });
  for (const [h, error] of [
    [{}, undefined], [{ latest: null }, undefined], [{ latest: maxTimeMs }, undefined],
    [{ database: 'postgresql', state: 'away' }, undefined],
    [{ latest: maxTimeMs + 1 }, 'latest is no time in ms'], [{ latest: -1 }, 'latest is no time in ms'],
    [{ latest: 1.5 }, 'latest is no time in ms'], [{ latest: '1' }, 'latest is no time in ms'],
    [{ database: 'files' }, 'database is no sqlite or postgresql'], [{ state: 'up' }, 'state is no ok or away'],
  ]) assert.equal(health(h).error, error, JSON.stringify(h));
  assert.equal(checkHealth([]).error, 'no JSON object');

  const event = (dt) => ({ site: 'demo', event: 'enter', zone: 'yard', object: 7, time: t0 + dt, x: 1, y: 2 });
  const events = (n) => ({ events: Array.from({ length: n }, (_, k) => event(k)) });
  assert.equal(checkEvents(events(maxApiEvents)).value.length, maxApiEvents);
  assert.equal(checkEvents(events(maxApiEvents + 1)).error, `more than ${maxApiEvents} events`);
  assert.equal(checkEvents({ events: {} }).error, 'events is no list');
  assert.equal(checkEvents(null).error, 'no JSON object');
  const mixed = checkEvents({ events: [event(0), { ...event(1), x: 2e5 + 1 }, { ...event(2), event: 'jump' }, event(3)] });
  assert.deepEqual([mixed.value.map((e) => e.time), mixed.leftOut], [[t0, t0 + 3], 2], 'bad events left out, counted');
});

test('the page takes the API\'s address from its query string', () => {
  for (const [search, api, errors] of [
    ['', null, []],
    ['?api=http://127.0.0.1:8088', 'http://127.0.0.1:8088', []],
    ['?api=https://site.example/', 'https://site.example/', []],
    ['?api=ws://127.0.0.1:8088', 'ws://127.0.0.1:8088', ["api: 'ws://127.0.0.1:8088' is no http:// or https:// address of a host"]],
    ['?api=http://h/api', 'http://h/api', ["api: 'http://h/api' is no http:// or https:// address of a host"]],
  ]) {
    const options = pageOptions(search);
    assert.deepEqual([options.api, options.errors], [api, errors], search);
  }
});

// A fake API over recorded picture times: the picture at or just before.
function fakeApi(times, { latest = times.at(-1) ?? null, status = 200, text = null } = {}) {
  const asked = [];
  const fetchText = async (url) => {
    const u = new URL(url);
    asked.push(u.pathname + u.search);
    if (status !== 200 || text !== null) return { status, text: text ?? '{}' };
    if (u.pathname === '/api/health') return { status: 200, text: JSON.stringify({ database: 'sqlite', state: 'ok', latest }) };
    const time = Number(u.searchParams.get('time'));
    const at = times.filter((t) => t <= time).at(-1);
    if (at === undefined) return { status: 404, text: '{"error":"no picture"}' };
    return { status: 200, text: JSON.stringify({ site: 'demo', time: at, objects: [] }) };
  };
  return { api: new HistoryApi('http://127.0.0.1:1/', fetchText), asked };
}

test('the period runs from the first to the last picture, and steps visit every picture once', async () => {
  const pictureTimes = fc.uniqueArray(fc.nat(3e6), { minLength: 1, maxLength: 12 }).map((a) => a.sort((x, y) => x - y));
  await fc.assert(fc.asyncProperty(pictureTimes, fc.nat(5000), async (times, later) => {
    // The latest record may be an event after the last picture.
    const { api } = fakeApi(times, { latest: times.at(-1) + later });
    const period = await api.period();
    assert.deepEqual(period, { first: times[0], last: times.at(-1) });
    const forward = [times[0]];
    for (let p = await api.next(times[0], period.last); p; p = await api.next(p.time, period.last)) forward.push(p.time);
    assert.deepEqual(forward, times);
    const back = [period.last];
    for (let p = await api.previous(period.last); p; p = await api.previous(p.time)) back.push(p.time);
    assert.deepEqual(back, [...times].reverse());
  }), { numRuns: 60 });
});

test('nothing recorded, no picture, and a bad answer are told apart', async () => {
  assert.equal(await fakeApi([], { latest: null }).api.period(), null, 'nothing recorded');
  assert.equal(await fakeApi([t0]).api.picture(t0 - 1), null, '404: no picture');
  const { api, asked } = fakeApi([t0]);
  await api.picture(t0 + 0.7);
  assert.deepEqual(asked, [`/api/picture?time=${t0}`], 'whole ms, one slash');
  for (const [answer, message] of [
    [{ status: 503 }, '/api/health: answered 503'],
    [{ text: 'not json' }, '/api/health: no JSON'],
    [{ text: '{"database":"sqlite","state":"ok","latest":-5}' }, '/api/health: latest is no time in ms'],
  ]) await assert.rejects(fakeApi([t0], answer).api.period(), { message });
  await assert.rejects(fakeApi([t0], { text: '{"time":"soon"}' }).api.picture(t0),
    { message: `/api/picture?time=${t0}: time is no time in ms` });
});
