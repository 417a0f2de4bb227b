// The site view in Debian's headless Chromium, against a site that runs on
// loopback ports of its own: a mosquitto broker with MQTT and WebSocket
// listeners, two trackd (one per radar, so that one can stop alone), two
// radarsims and python3's http.server serving web/. The test compares the
// page's table with the tracks messages that a subscriber of its own
// receives, sends hostile messages beside the radars (a retained status
// with a far-away place, a 1.5 MB tracks message), publishes a site
// service's status and pictures as the site service would and flips the
// page between them and the radars' tracks, publishes zones, a zone's
// state and events and centres the map on one from the list, replays a
// recorded history from a small fake of sited's HTTP API, draws the site's
// own map from another (asking nothing of any host but loopback), stops a
// radar and its trackd, restarts the broker, and saves screenshots. Everything it
// starts is stopped at its end, also when it fails.
//
// Environment: TRKLIB_TRACKD, TRKLIB_RADARSIM (the built tools),
// TRKLIB_WEB_DIR (web/, with its node_modules), SITE_VIEW_ARTEFACTS (a
// folder for the screenshots site-view.png, site-view-fused.png,
// site-view-zones.png and site-view-map.png and the programs' logs),
// CHROMIUM (default /usr/bin/chromium). Exit status 77: skipped.

import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import dgram from 'node:dgram';
import fs from 'node:fs';
import nodeHttp from 'node:http';
import { createRequire } from 'node:module';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

const webDir = process.env.TRKLIB_WEB_DIR;
const artefacts = process.env.SITE_VIEW_ARTEFACTS;
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
const skipCode = 77;

function skip(reason) {
  console.log(`skipped: ${reason}`);
  process.exit(skipCode);
}
for (const name of ['TRKLIB_TRACKD', 'TRKLIB_RADARSIM', 'TRKLIB_WEB_DIR', 'SITE_VIEW_ARTEFACTS']) {
  if (!process.env[name]) skip(`${name} is not set`);
}
if (!fs.existsSync(chromium)) skip(`no Chromium at ${chromium} (Debian package chromium)`);
const webRequire = createRequire(path.join(webDir, 'package.json'));
let puppeteer;
let mqtt;
try {
  puppeteer = webRequire('puppeteer-core');
  mqtt = webRequire('mqtt');
} catch {
  skip(`the npm packages are not installed in ${webDir} (npm ci there, as scripts/test does)`);
}

const waitMs = 20000; // for anything the test waits for
const startMs = 1700000000000; // radarsim's first timestamp
const packetMs = 50; // 20 packets per second
const livePackets = 240; // the first act: 12 s of both radars
const updateMs = 1000; // good radars update this soon after a hostile message
const site = 'demo';

// Chromium in a closed network, as root: no sandbox, nothing it would
// fetch by itself.
const chromiumFlags = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// The radars: where they stand on the site and what they watch.
const radars = [
  { name: 'north', scene: 'road', x: 0, y: 40, heading: 180 },
  { name: 'east', scene: 'crossing', x: 35, y: 0, heading: 270 },
];

// A radar whose retained status puts it 1e20 m east, and a tracks message
// of 20,000 targets (about 1.5 MB): neither may hold up the page.
const farStatus = JSON.stringify({
  online: true, packets: 1,
  place: { x: 1e20, y: 0, heading: 0 },
  beam: { bearing: 0, halfWidth: 12, minRange: 10, maxRange: 300 },
});
const hugeTracks = JSON.stringify({
  timestamp: startMs,
  targets: Array.from({ length: 20000 }, (_, k) => ({
    number: k % 255 + 1, distance: 100.25, velocity: -50.5, confirmed: true, x: k % 300, y: 12.5,
  })),
});

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Waits until check() returns something true; fails with what after waitMs.
async function waitFor(what, check) {
  const deadline = Date.now() + waitMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) assert.fail(`waited ${waitMs / 1000} s for ${what}`);
    await sleep(100);
  }
}

// Free loopback ports, none handed out twice.
const handedOut = new Set();
async function freePort(kind) {
  for (;;) {
    const port = await new Promise((resolve, reject) => {
      if (kind === 'udp') {
        const socket = dgram.createSocket('udp4');
        socket.on('error', reject);
        socket.bind(0, '127.0.0.1', () => {
          const { port: p } = socket.address();
          socket.close(() => resolve(p));
        });
      } else {
        const server = net.createServer();
        server.on('error', reject);
        server.listen(0, '127.0.0.1', () => {
          const { port: p } = server.address();
          server.close(() => resolve(p));
        });
      }
    });
    if (!handedOut.has(port)) {
      handedOut.add(port);
      return port;
    }
  }
}

function listening(port) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.on('connect', () => {
      socket.destroy();
      resolve(true);
    });
    socket.on('error', () => resolve(false));
  });
}

// A program of the site, its output in ARTEFACTS/NAME.log.
const running = new Set();
class Program {
  constructor(name, command, args) {
    this.name = name;
    this.logPath = path.join(artefacts, `${name}.log`);
    const log = fs.openSync(this.logPath, 'a');
    this.process = spawn(command, args, { stdio: ['ignore', log, log] });
    fs.closeSync(log);
    this.exited = new Promise((resolve) => {
      this.process.on('exit', (code, signal) => {
        running.delete(this);
        resolve({ code, signal });
      });
      this.process.on('error', () => {
        running.delete(this);
        resolve({ code: -1, signal: null });
      });
    });
    running.add(this);
  }

  // SIGTERM, then SIGKILL after five seconds; resolves to the exit.
  async stop() {
    if (running.has(this)) {
      this.process.kill('SIGTERM');
      const killer = setTimeout(() => this.process.kill('SIGKILL'), 5000);
      await this.exited;
      clearTimeout(killer);
    }
    return this.exited;
  }

  log() {
    return fs.existsSync(this.logPath) ? fs.readFileSync(this.logPath, 'utf8') : '';
  }
}
// A test that dies, or is stopped, still leaves nothing behind.
process.on('exit', () => {
  for (const program of running) program.process.kill('SIGKILL');
});
for (const signal of ['SIGTERM', 'SIGINT']) process.on(signal, () => process.exit(1));

let work;
let ports;
let broker;
const trackds = {};
const sims = {};
let http;
let browser;
let page;
let subscriber;
const latest = {}; // radar -> the latest tracks message the subscriber received
const pageErrors = []; // uncaught errors in the page

function startBroker() {
  const program = new Program('broker', 'mosquitto', ['-c', path.join(work, 'broker.conf')]);
  return waitFor('the broker to listen', async () =>
    (await listening(ports.mqtt)) && (await listening(ports.ws)) ? program : null);
}

function startRadarsim(radar, packets, firstMs) {
  return new Program(`radarsim-${radar.name}`, process.env.TRKLIB_RADARSIM, [
    '--port', String(radar.port), '--scene', radar.scene, '--height', '5',
    '--packets', String(packets), '--start-ms', String(firstMs), '--quiet',
  ]);
}

// The page's #radars entries: name -> { online, silent, status, timestamp }.
function radarEntries() {
  return page.$$eval('#radars li', (items) =>
    Object.fromEntries(items.map((li) => [li.dataset.radar, {
      online: li.dataset.online,
      silent: li.dataset.silent,
      status: li.dataset.status,
      timestamp: Number(li.dataset.timestamp),
    }])));
}

// What the page dropped: { tooLarge, bad, badTargets }.
function droppedCounts() {
  return page.$eval('#dropped', (p) => ({
    tooLarge: Number(p.dataset.tooLarge), bad: Number(p.dataset.bad), badTargets: Number(p.dataset.badTargets),
  }));
}

// Opens the page and waits for its connection to the broker.
async function openPage() {
  await page.goto(`http://127.0.0.1:${ports.http}/?broker=ws://127.0.0.1:${ports.ws}` +
    `&site=${site}&prefix=trklib`);
  await page.waitForSelector('#connection[data-state="connected"]', { timeout: waitMs });
}

// Waits at most updateMs for a newer packet of every good radar than
// those of entries on the page.
async function goodRadarsUpdate(entries, what) {
  const deadline = Date.now() + updateMs;
  for (;;) {
    const now = await radarEntries();
    if (radars.every((r) => now[r.name]?.timestamp > entries[r.name].timestamp)) return;
    if (Date.now() > deadline) assert.fail(`${what}: the good radars did not update within ${updateMs} ms`);
    await sleep(50);
  }
}

// The page's table: one { radar, number, cells } per row.
function tableRows() {
  return page.$$eval('table#targets tbody tr', (rows) => rows.map((tr) => ({
    radar: tr.dataset.radar,
    number: tr.dataset.number,
    cells: [...tr.cells].map((cell) => cell.textContent.trim()),
  })));
}

// The rows the table should show for the latest tracks message of every
// radar: by radar name, then target number; to the decimetre and 0.1 km/h.
function expectedRows() {
  const rows = [];
  for (const name of Object.keys(latest).sort()) {
    const targets = [...latest[name].targets].sort((a, b) => a.number - b.number);
    for (const t of targets) {
      rows.push({
        radar: name,
        number: String(t.number),
        cells: [name, String(t.number), t.distance.toFixed(1), t.velocity.toFixed(1),
          t.x.toFixed(1), t.y.toFixed(1), t.confirmed ? 'yes' : 'no'],
      });
    }
  }
  return rows;
}

before(async () => {
  fs.mkdirSync(artefacts, { recursive: true });
  for (const file of fs.readdirSync(artefacts)) {
    if (file.endsWith('.log')) fs.rmSync(path.join(artefacts, file));
  }
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'trklib-site-view-'));
  ports = { mqtt: await freePort('tcp'), ws: await freePort('tcp'), http: await freePort('tcp') };
  for (const radar of radars) radar.port = await freePort('udp');

  fs.writeFileSync(path.join(work, 'broker.conf'), [
    `listener ${ports.mqtt} 127.0.0.1`,
    `listener ${ports.ws} 127.0.0.1`,
    'protocol websockets',
    'allow_anonymous true',
    'persistence false',
    `user ${os.userInfo().username}`,
    '',
  ].join('\n'));
  broker = await startBroker();

  // One trackd per radar, so that one radar can go offline alone.
  for (const radar of radars) {
    const config = path.join(work, `${radar.name}.conf`);
    fs.writeFileSync(config, [
      '[site]', `name = ${site}`,
      '[broker]', `port = ${ports.mqtt}`, `client_id = trackd-${radar.name}`,
      `[radar.${radar.name}]`, 'bind_address = 127.0.0.1', `port = ${radar.port}`, 'height = 5',
      `x = ${radar.x}`, `y = ${radar.y}`, `heading = ${radar.heading}`, '',
    ].join('\n'));
    trackds[radar.name] = new Program(`trackd-${radar.name}`, process.env.TRKLIB_TRACKD,
      ['--config', config]);
  }

  subscriber = mqtt.connect(`mqtt://127.0.0.1:${ports.mqtt}`, { reconnectPeriod: 500 });
  subscriber.on('message', (topic, payload) => {
    const [, , radar, leaf] = topic.split('/');
    if (leaf === 'tracks' && radars.some((r) => r.name === radar)) latest[radar] = JSON.parse(payload.toString());
  });
  await new Promise((resolve, reject) => {
    subscriber.once('connect', resolve);
    subscriber.once('error', reject);
  });
  await subscriber.subscribeAsync(`trklib/${site}/+/tracks`);

  http = new Program('http', 'python3', ['-m', 'http.server', String(ports.http),
    '--bind', '127.0.0.1', '--directory', webDir]);
  await waitFor('the web server to listen', () => listening(ports.http));

  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: path.join(work, 'chromium'),
    args: chromiumFlags,
  });
  page = await browser.newPage();
  const pageLog = fs.createWriteStream(path.join(artefacts, 'page.log'));
  page.on('console', (m) => pageLog.write(`console.${m.type()}: ${m.text()}\n`));
  page.on('pageerror', (e) => {
    pageErrors.push(e.message);
    pageLog.write(`error: ${e.message}\n`);
  });
  await page.setViewport({ width: 1280, height: 800 });
  await openPage();

  // Both radars online before they send, so that every packet is tracked.
  await waitFor('both radars online on the page', async () => {
    const entries = await radarEntries();
    return radars.every((r) => entries[r.name]?.online === 'true');
  });
  for (const radar of radars) sims[radar.name] = startRadarsim(radar, livePackets, startMs);
});

after(async () => {
  await subscriber?.endAsync(true);
  await browser?.close();
  // The last started first; the broker last, so that trackd leaves its
  // radars offline.
  const order = [http, sims.north, sims.east, trackds.north, trackds.east, broker];
  for (const program of [...running].filter((p) => !order.includes(p)).concat(order)) {
    await program?.stop();
  }
  if (work) fs.rmSync(work, { recursive: true, force: true });
});

test('the map shows both radars, their beams and targets (screenshot)', async () => {
  // Halfway through the radars' packets, with trails behind the targets.
  await sleep((livePackets * packetMs) / 2);
  const file = path.join(artefacts, 'site-view.png');
  await page.screenshot({ path: file });
  const png = fs.readFileSync(file);
  assert.equal(png.subarray(1, 4).toString(), 'PNG');

  // Read back in the browser: not blank, and each radar's colour is on it.
  const colours = await page.evaluate(() =>
    [...document.querySelectorAll('#radars li .swatch')].map((s) => getComputedStyle(s).backgroundColor));
  const seen = await page.evaluate(async (dataUrl, radarColours) => {
    const image = new Image();
    image.src = dataUrl;
    await image.decode();
    const canvas = document.createElement('canvas');
    canvas.width = image.width;
    canvas.height = image.height;
    const ctx = canvas.getContext('2d');
    ctx.drawImage(image, 0, 0);
    const { data } = ctx.getImageData(0, 0, image.width, image.height);
    const wanted = radarColours.map((c) => c.match(/\d+/g).slice(0, 3).join(','));
    const counts = new Map();
    const perRadar = wanted.map(() => 0);
    for (let i = 0; i < data.length; i += 4) {
      const key = `${data[i]},${data[i + 1]},${data[i + 2]}`;
      counts.set(key, (counts.get(key) ?? 0) + 1);
      const k = wanted.indexOf(key);
      if (k >= 0) ++perRadar[k];
    }
    const commonest = Math.max(...counts.values());
    return { width: image.width, distinct: counts.size, commonestShare: commonest / (data.length / 4), perRadar };
  }, `data:image/png;base64,${png.toString('base64')}`, colours);
  assert.equal(seen.width, 1280);
  assert.ok(seen.distinct > 100, `${seen.distinct} colours`);
  assert.ok(seen.commonestShare < 0.8, `one colour covers ${seen.commonestShare} of the picture`);
  assert.equal(colours.length, 2);
  for (const count of seen.perRadar) assert.ok(count > 100, `a radar's colour on ${count} pixels`);
});

test('a far-away radar and a huge message leave the page and the good radars going', async () => {
  // Both retained, as trackd's statuses are.
  let entries = await radarEntries();
  await subscriber.publishAsync(`trklib/${site}/far/status`, farStatus, { qos: 1, retain: true });
  await goodRadarsUpdate(entries, 'after the far status');
  await waitFor('the far radar listed as bad', async () => (await radarEntries()).far?.status === 'bad');
  entries = await radarEntries();
  assert.ok(hugeTracks.length > 1.4e6, `${hugeTracks.length} bytes`);
  await subscriber.publishAsync(`trklib/${site}/huge/tracks`, hugeTracks, { qos: 1, retain: true });
  await goodRadarsUpdate(entries, 'after the huge message');

  // A page opened now gets both as it subscribes.
  await openPage();
  await waitFor('both radars on the new page', async () => {
    entries = await radarEntries();
    return radars.every((r) => entries[r.name]?.timestamp > 0);
  });
  await goodRadarsUpdate(entries, 'on a page opened after them');
  entries = await radarEntries();
  assert.equal(entries.far?.status, 'bad');
  assert.equal(entries.huge, undefined, 'the broker did not send the huge message');
  assert.deepEqual(await droppedCounts(), { tooLarge: 0, bad: 1, badTargets: 0 });

  // Cleared on the broker, the far radar is forgotten.
  for (const topic of ['far/status', 'huge/tracks']) {
    await subscriber.publishAsync(`trklib/${site}/${topic}`, '', { qos: 1, retain: true });
  }
  await waitFor('the far radar forgotten', async () => (await radarEntries()).far === undefined);
  assert.deepEqual(pageErrors, []);
});

// The site service's messages as it publishes them: a retained status and
// pictures; object 17, a car, moves east, object 4 stands, of no class (as
// an older service sends it), id 0 is no id.
const serviceStatus = (online) => JSON.stringify({
  online, radars: { east: 0.05, north: 0.1 }, objects: 2, pictures: 5, lateMessages: 3,
  droppedEvents: 4, droppedRecords: 0, historyBytes: 2500000, historyOldestDay: '2026-11-09',
  historyNewestDay: '2026-12-08',
});
const servicePicture = (k) => JSON.stringify({
  site, time: startMs + 100 * k, objects: [
    { id: 17, x: 5 + k, y: 20, vx: 10, vy: 0, speed: 36, heading: 90, confirmed: true,
      radars: [{ radar: 'east', number: 3 }, { radar: 'north', number: 12 }], since: startMs, class: 'car',
      classes: { person: 0.01, 'two-wheeler': 0, car: 0.934, truck: 0.05, animal: 0.006, unknown: 0 } },
    { id: 4, x: 30, y: 5, vx: 0, vy: 0, speed: 0, heading: null, confirmed: false,
      radars: [{ radar: 'east', number: 9 }], since: startMs },
    { id: 0, x: 1, y: 1, confirmed: true, radars: [] },
  ],
});

// What the map drew (data-view, data-labels, data-classes), the switch and the tables.
const mapState = () => page.evaluate(() => {
  const { dataset } = document.getElementById('map');
  const button = document.getElementById('view');
  const words = (text) => text.split(' ').filter((l) => l !== '');
  return {
    view: dataset.view, labels: words(dataset.labels), classes: words(dataset.classes ?? ''),
    switchView: button.dataset.view,
    available: button.dataset.available, text: button.textContent,
    targetsHidden: document.getElementById('targets').hidden, objectsHidden: document.getElementById('objects').hidden,
  };
});

// Pixels of the map in the colour of the swatch in the #objects row of id
// (of the classes' ink without one).
const objectPixels = (id) => page.evaluate((wanted) => {
  const swatch = document.querySelector(`#objects tr[data-id="${wanted}"] .swatch`);
  const rgb = swatch ? getComputedStyle(swatch).backgroundColor.match(/\d+/g).slice(0, 3).map(Number)
    : [0x2b, 0x2b, 0x28];
  const canvas = document.getElementById('map');
  const { data } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
  let count = 0;
  for (let i = 0; i < data.length; i += 4) {
    count += data[i] === rgb[0] && data[i + 1] === rgb[1] && data[i + 2] === rgb[2];
  }
  return count;
}, id);

// The map's pixel at site point x, y (data-center and data-scale) is in
// the colour of the swatch of object id.
const objectAt = (id, x, y) => page.evaluate((wanted, at) => {
  const swatch = document.querySelector(`#objects tr[data-id="${wanted}"] .swatch`);
  const rgb = getComputedStyle(swatch).backgroundColor.match(/\d+/g).slice(0, 3).map(Number);
  const canvas = document.getElementById('map');
  const [cx, cy] = canvas.dataset.center.split(' ').map(Number);
  const scale = Number(canvas.dataset.scale);
  const ratio = canvas.width / canvas.clientWidth;
  const left = Math.round((canvas.clientWidth / 2 + (at[0] - cx) * scale) * ratio);
  const top = Math.round((canvas.clientHeight / 2 - (at[1] - cy) * scale) * ratio);
  const { data } = canvas.getContext('2d').getImageData(left, top, 1, 1);
  return [...data.slice(0, 3)].every((v, k) => Math.abs(v - rgb[k]) <= 2);
}, id, [x, y]);

test('the site service\'s picture is shown by default, each radar\'s tracks on the switch', async () => {
  // No service yet: the radars' tracks, and the switch says so.
  let state = await mapState();
  assert.deepEqual([state.view, state.available, state.text], ['radars', 'false', 'Site picture: not available']);
  const before = await droppedCounts();

  await subscriber.publishAsync(`trklib/${site}/site/status`, serviceStatus(true), { qos: 1, retain: true });
  await subscriber.publishAsync(`trklib/${site}/site/tracks`, '{"time":-1,"objects":[]}', { qos: 1 });
  for (let k = 0; k < 5; ++k) {
    await subscriber.publishAsync(`trklib/${site}/site/tracks`, servicePicture(k), { qos: 0 });
    await sleep(50);
  }
  state = await waitFor('the picture on the map', async () => {
    const s = await mapState();
    return s.view === 'site' && s.labels.includes('17') ? s : null;
  });
  assert.deepEqual(state.labels.sort(), ['17', '4']);
  assert.deepEqual([state.switchView, state.available, state.targetsHidden, state.objectsHidden],
    ['site', 'true', true, false]);
  const rows = await page.$$eval('#objects tbody tr', (trs) =>
    trs.map((tr) => [...tr.cells].map((c) => c.textContent.trim())));
  assert.deepEqual(rows, [
    ['4', '30.0', '5.0', '0.0', '', 'east:9', 'no', 'unknown'],
    ['17', '9.0', '20.0', '36.0', '90', 'east:3 north:12', 'yes', 'car 0.93'],
  ]);
  for (const id of [4, 17]) assert.ok(await objectPixels(id) > 20, `object ${id} drawn in its colour`);
  assert.ok(await objectAt(17, 9, 20), 'object 17\'s dot where it is');
  assert.deepEqual(state.classes.sort(), ['17:car', '4:unknown']);
  const glyphs = await objectPixels(null);
  assert.ok(glyphs > 20, `the classes' glyphs drawn: ${glyphs} pixels`);
  await page.screenshot({ path: path.join(artefacts, 'site-view-fused.png') });
  const service = await page.$eval('#service', (e) => ({
    ...e.dataset, radars: [...e.querySelectorAll('li')].map((li) => `${li.dataset.radar}=${li.dataset.age}`),
    lost: e.querySelector('.service-dropped')?.textContent,
    history: e.querySelector('.service-history')?.textContent,
  }));
  assert.deepEqual(service, {
    online: 'true', status: 'good', objects: '2', pictures: '5', lateMessages: '3', droppedEvents: '4',
    droppedRecords: '0', radars: ['east=0.05', 'north=0.1'], lost: 'dropped: 4 events',
    historyBytes: '2500000', historyOldestDay: '2026-11-09', historyNewestDay: '2026-12-08',
    history: 'history: 2.5 MB, 2026-11-09 to 2026-12-08',
  });
  const dropped = await droppedCounts();
  assert.deepEqual([dropped.bad - before.bad, await page.$eval('#dropped', (p) => Number(p.dataset.badObjects))],
    [1, 5], 'the bad picture, and the object without an id in each of five');

  // The switch from the keyboard: each radar's tracks, chosen in the URL.
  for (let k = 0; k < 10 && await page.evaluate(() => document.activeElement?.id) !== 'view'; ++k) {
    await page.keyboard.press('Tab');
  }
  await page.keyboard.press('Enter');
  state = await waitFor('the radars\' targets on the map', async () => {
    const s = await mapState();
    return s.view === 'radars' ? s : null;
  });
  assert.ok(state.labels.length > 0 && state.labels.every((l) => /^(north|east):\d+$/.test(l)), state.labels.join());
  assert.deepEqual([state.text, state.targetsHidden, state.objectsHidden], ['Show the site picture', false, true]);
  assert.equal(new URL(page.url()).searchParams.get('view'), 'radars');
  await page.click('#view');
  await waitFor('the picture again', async () => (await mapState()).view === 'site');

  // The filter: cars hidden from the map and the table, in the URL, and
  // shown again; the unknown hidden takes the object without a class. A
  // picture before each, so that the service is not silent (marks faded).
  const filtered = async (name, what, check) => {
    await subscriber.publishAsync(`trklib/${site}/site/tracks`, servicePicture(4), { qos: 1 });
    await page.click(`#class-filter input[value="${name}"]`);
    return waitFor(what, async () => {
      const s = await mapState();
      const ids = await page.$$eval('#objects tbody tr', (trs) => trs.map((tr) => tr.dataset.id));
      return check(s.labels.sort(), ids) && { ...s, ids };
    });
  };
  state = await filtered('car', 'the car hidden', (labels, ids) => `${labels}/${ids}` === '4/4');
  assert.equal(new URL(page.url()).searchParams.get('hide'), 'car');
  assert.ok(await objectPixels(null) < glyphs, 'the car\'s glyph gone');
  await filtered('unknown', 'the unknown hidden too', (labels, ids) => labels.length + ids.length === 0);
  assert.equal(new URL(page.url()).searchParams.get('hide'), 'car,unknown');
  await filtered('car', 'the car back', (labels, ids) => `${labels}/${ids}` === '17/17');
  await filtered('unknown', 'every object back', (labels, ids) => `${labels}/${ids}` === '17,4/4,17');
  assert.equal(new URL(page.url()).searchParams.get('hide'), null);

  // The service goes offline: the radars' tracks, whatever was chosen.
  await subscriber.publishAsync(`trklib/${site}/site/status`, serviceStatus(false), { qos: 1, retain: true });
  state = await waitFor('the radars\' tracks without the service', async () => {
    const s = await mapState();
    return s.view === 'radars' ? s : null;
  });
  assert.deepEqual([state.available, state.text], ['false', 'Site picture: not available']);
  await subscriber.publishAsync(`trklib/${site}/site/status`, '', { qos: 1, retain: true });
  assert.deepEqual(pageErrors, []);
});

// The zones as the site service publishes them: a square yard with a hole,
// and a fence drawn north-west to south-east; and three events, the last
// one first in the list.
const zonesMessage = JSON.stringify({
  site, zones: [
    { name: 'yard', kind: 'zone', dwell: 30, speed_limit: null, confirmed_only: true, coordinates: [
      [[-150, -150], [-90, -150], [-90, -90], [-150, -90], [-150, -150]],
      [[-130, -130], [-110, -130], [-110, -110], [-130, -110], [-130, -130]]] },
    { name: 'fence', kind: 'line', dwell: null, speed_limit: null, confirmed_only: true,
      coordinates: [[-200, -50], [-50, -200]] },
  ],
});
const zoneEvent = (event, dt, x, y, extra = {}) => JSON.stringify({
  site, event, zone: 'yard', object: 17, time: startMs + dt, x, y, lat: 52, lon: 13, speed: 5, ...extra,
});
const events = [
  zoneEvent('enter', 1000, -140, -140),
  zoneEvent('cross', 1500, -125, -125, { zone: 'fence', object: 4, direction: 'left' }),
  zoneEvent('exit', 2500, -100, -80, { dwell: 1.5, lost: false }),
];

test('zones and lines are drawn, lit while occupied and flashed on events, which are listed and centre the map',
  async () => {
    const zoneState = () => page.$eval('#map', (c) => ({
      zones: c.dataset.zones, lit: c.dataset.lit, flashing: c.dataset.flashing, center: c.dataset.center,
      disarmed: c.dataset.disarmed,
    }));
    await subscriber.publishAsync(`trklib/${site}/zones`, zonesMessage, { qos: 1, retain: true });
    const yardState = { zone: 'yard', occupants: [17], entered: 1, exited: 0, crossings: { left: 0, right: 0 },
      armed: true };
    await subscriber.publishAsync(`trklib/${site}/zones/yard`, JSON.stringify(yardState), { qos: 1, retain: true });
    const fenceState = { zone: 'fence', occupants: [], entered: 0, exited: 0, crossings: { left: 0, right: 0 },
      armed: false };
    await subscriber.publishAsync(`trklib/${site}/zones/fence`, JSON.stringify(fenceState), { qos: 1, retain: true });
    await waitFor('the zones drawn, the yard lit, the fence disarmed', async () => {
      const s = await zoneState();
      return s.zones === 'yard fence' && s.lit === 'yard' && s.disarmed === 'fence';
    });
    const listedEvents = () => page.$$eval('#events .event', (buttons) =>
      buttons.map((b) => [...b.children].map((c) => c.textContent)));
    // The exit after the others are listed: it goes in above them.
    for (const e of events.slice(0, 2)) await subscriber.publishAsync(`trklib/${site}/events`, e, { qos: 1 });
    await waitFor('the yard and the fence flashing', async () => (await zoneState()).flashing === 'yard fence');
    await waitFor('two events listed', async () => (await listedEvents()).length === 2);
    await subscriber.publishAsync(`trklib/${site}/events`, events[2], { qos: 1 });
    await subscriber.publishAsync(`trklib/${site}/events`, zoneEvent('enter', 3000, 0, 0, { direction: 'left' }),
      { qos: 1 });
    const litEdge = await page.evaluate(() => {
      const canvas = document.getElementById('map');
      const { data } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
      let count = 0;
      for (let i = 0; i < data.length; i += 4) count += data[i] === 224 && data[i + 1] === 123 && data[i + 2] === 0;
      return count;
    });
    assert.ok(litEdge > 20, `the lit yard's edge on ${litEdge} pixels`);
    await page.screenshot({ path: path.join(artefacts, 'site-view-zones.png') });

    const listed = await waitFor('three events listed', async () => {
      const items = await listedEvents();
      return items.length === 3 ? items : null;
    });
    const time = (dt) => new Date(startMs + dt).toISOString().slice(11, 23);
    assert.deepEqual(listed, [
      [time(2500), 'exit', 'yard', 'object 17', '1.5 s'],
      [time(1500), 'cross', 'fence', 'object 4', 'left'],
      [time(1000), 'enter', 'yard', 'object 17'],
    ]);
    assert.equal(await page.$eval('#events-dropped', (p) => p.dataset.dropped), '1', 'the enter with a direction');
    await waitFor('the flashes over', async () => (await zoneState()).flashing === '');

    await page.click('#events .event[data-event="cross"]');
    await waitFor('the map centred on the crossing', async () => (await zoneState()).center === '-125.0 -125.0');
    await page.focus('#events .event[data-event="exit"]');
    await page.keyboard.press('Enter');
    await waitFor('the map centred on the exit', async () => (await zoneState()).center === '-100.0 -80.0');

    // Cleared on the broker: no zones, nothing lit.
    for (const topic of ['zones', 'zones/yard']) {
      await subscriber.publishAsync(`trklib/${site}/${topic}`, '', { qos: 1, retain: true });
    }
    await waitFor('the zones gone', async () => (await zoneState()).zones === '');
    await page.click('#fit');
    assert.deepEqual(pageErrors, []);
  });

test('the table holds the targets of each radar\'s latest tracks message', async () => {
  for (const radar of radars) {
    const exit = await sims[radar.name].exited;
    assert.deepEqual(exit, { code: 0, signal: null }, sims[radar.name].log());
  }
  const lastTimestamp = startMs + (livePackets - 1) * packetMs;
  await waitFor('the last tracks message of each radar', () =>
    radars.every((r) => latest[r.name]?.timestamp === lastTimestamp));
  const expected = expectedRows();
  for (const radar of radars) {
    assert.ok(expected.some((row) => row.radar === radar.name), `${radar.name} has targets`);
  }
  let rows = [];
  await waitFor('the table to show them', async () => {
    rows = await tableRows();
    return JSON.stringify(rows) === JSON.stringify(expected);
  }).catch(() => {});
  assert.deepEqual(rows, expected);
  const entries = await radarEntries();
  for (const radar of radars) assert.equal(entries[radar.name].timestamp, lastTimestamp);
});

test('a radar whose radarsim has stopped goes silent, and offline when its trackd stops', async () => {
  // North goes on; east's radarsim has ended.
  sims.north = startRadarsim(radars[0], 0, startMs + 20000);
  await waitFor('north sending again and east silent', async () => {
    const e = await radarEntries();
    return e.north.silent === 'false' && e.north.timestamp >= startMs + 20000 &&
      e.east.silent === 'true' && e.east.online === 'true';
  });
  const silentColour = await page.$eval('#radars li[data-radar="east"] .radar-last',
    (e) => getComputedStyle(e).color);
  assert.equal(silentColour, 'rgb(196, 23, 12)', 'silence is shown in red');

  assert.deepEqual(await trackds.east.stop(), { code: 0, signal: null }, trackds.east.log());
  await waitFor('east offline, north online', async () => {
    const e = await radarEntries();
    return e.east.online === 'false' && e.north.online === 'true';
  });
  // The new radarsim sends from a port of its own: trackd follows it once
  // the old one has been silent for 2 s, and its targets build up anew.
  let rows = [];
  await waitFor('north\'s targets in the table', async () => {
    rows = await tableRows();
    return rows.length > 0;
  });
  assert.deepEqual([...new Set(rows.map((r) => r.radar))], ['north'], 'an offline radar has no targets');
});

test('the page survives a broker restart: it reconnects and the data flows again', async () => {
  const before = (await radarEntries()).north.timestamp;
  await broker.stop();
  await page.waitForSelector('#connection:not([data-state="connected"])', { timeout: waitMs });
  broker = await startBroker();
  await page.waitForSelector('#connection[data-state="connected"]', { timeout: waitMs });
  // trackd reconnects within its 1 to 5 s between tries.
  await waitFor('new tracks of north on the page', async () => {
    const e = await radarEntries();
    return e.north.online === 'true' && e.north.timestamp > before + 1000;
  });
  assert.ok((await tableRows()).some((r) => r.radar === 'north'));
});

// A recording of object 42 walking east, one picture every 100 ms, and
// its entering the yard at the fourth picture.
const recordedMs = startMs + 3600000;
const recorded = Array.from({ length: 6 }, (_, k) => ({
  site, time: recordedMs + 100 * k,
  objects: [{ id: 42, x: -160 + 5 * k, y: -120, vx: 50, vy: 0, speed: 180, heading: 90, confirmed: true,
    radars: [{ radar: 'north', number: 3 }], since: recordedMs }],
}));
const recordedEvent = { site, event: 'enter', zone: 'yard', object: 42, time: recorded[3].time,
  x: recorded[3].objects[0].x, y: -120, speed: 180 };

// sited's HTTP API as the page uses it, from another origin than the page.
function startFakeApi(port) {
  const server = nodeHttp.createServer((request, response) => {
    const url = new URL(request.url, 'http://127.0.0.1');
    const answer = (status, body) => {
      response.writeHead(status, { 'Content-Type': 'application/json', 'Access-Control-Allow-Origin': '*' });
      response.end(JSON.stringify(body));
    };
    const time = (key, fallback) => (url.searchParams.has(key) ? Number(url.searchParams.get(key)) : fallback);
    if (url.pathname === '/api/health') {
      return answer(200, { database: 'sqlite', state: 'ok', latest: recorded.at(-1).time + 50, waiting: 0, dropped: 0 });
    }
    if (url.pathname === '/api/zones') return answer(200, JSON.parse(zonesMessage));
    if (url.pathname === '/api/events') {
      const [from, to] = [time('from', 0), time('to', Infinity)];
      return answer(200, { events: [recordedEvent].filter((e) => e.time >= from && e.time <= to) });
    }
    if (url.pathname === '/api/picture') {
      const picture = recorded.filter((p) => p.time <= time('time', NaN)).at(-1);
      return picture ? answer(200, picture) : answer(404, { error: 'no picture at or before the time' });
    }
    return answer(404, { error: 'no such resource' });
  });
  return new Promise((resolve) => server.listen(port, '127.0.0.1', () => resolve(server)));
}

test('history: the slider at an event\'s time shows the object there; the event jumps there; steps and play',
  async () => {
    assert.deepEqual(await page.$eval('#mode', (b) => [b.textContent, b.getAttribute('aria-disabled')]),
      ['History: not available', 'true'], 'no api in the query string');
    const apiPort = await freePort('tcp');
    const api = await startFakeApi(apiPort);
    const history = await browser.newPage();
    const errors = [];
    history.on('pageerror', (e) => errors.push(e.message));
    try {
      await history.setViewport({ width: 1280, height: 800 });
      await history.goto(`http://127.0.0.1:${ports.http}/?broker=ws://127.0.0.1:${ports.ws}` +
        `&site=${site}&prefix=trklib&api=http://127.0.0.1:${apiPort}`);
      await history.waitForSelector('#mode:not([aria-disabled="true"])', { timeout: waitMs });
      await history.click('#mode');
      await history.waitForSelector('#history:not([hidden])', { timeout: waitMs });
      const shown = () => history.evaluate(() => ({
        time: document.getElementById('history-at').dataset.time,
        error: document.getElementById('history-at').dataset.error,
        rows: [...document.querySelectorAll('#objects tbody tr')].map((tr) =>
          [...tr.cells].slice(0, 3).map((c) => c.textContent.trim())),
        center: document.getElementById('map').dataset.center,
      }));
      const at = async (what, k) => waitFor(what, async () => {
        const s = await shown();
        assert.equal(s.error, undefined, s.error);
        return s.time === String(recorded[k].time) ? s : null;
      });
      let s = await at('the first picture', 0);
      assert.deepEqual(await history.$eval('#history-time', (r) => [r.min, r.max]),
        [String(recorded[0].time), String(recorded.at(-1).time)], 'the slider over the recorded period');

      // The slider at the event's time: the object where the event says.
      await history.$eval('#history-time', (r, t) => {
        r.value = String(t);
        r.dispatchEvent(new Event('input'));
      }, recordedEvent.time);
      s = await at('the picture of the event', 3);
      assert.deepEqual(s.rows, [['42', recordedEvent.x.toFixed(1), recordedEvent.y.toFixed(1)]]);

      // One picture on and back, then the event's button from the start.
      await history.click('#step-forward');
      await at('the next picture', 4);
      for (const k of [3, 2]) {
        await history.click('#step-back');
        await at('the picture before', k);
      }
      await history.click('#events .event[data-event="enter"]');
      s = await at('the event\'s time again', 3);
      assert.deepEqual([s.rows[0][1], s.center], [recordedEvent.x.toFixed(1), '-145.0 -120.0']);

      // Played at 60x to the end, where it stops.
      await history.select('#speed', '60');
      await history.click('#play');
      await at('the last picture', recorded.length - 1);
      await waitFor('paused at the end', async () =>
        (await history.$eval('#play', (b) => b.dataset.playing)) === 'false');
      await history.screenshot({ path: path.join(artefacts, 'site-view-history.png') });
      assert.deepEqual(errors, []);
    } finally {
      await history.close();
      await new Promise((resolve) => api.close(resolve));
    }
  });

// sited's map as the page asks for it, from a fake of its API: tiles of
// zoom levels 16 and 17 over a square kilometre round the site's origin,
// each a PNG of one colour; a plan; or a map that cannot be had.
const mapOrigin = { lat: 48.137, lon: 11.575, altitude: 519 };
const mapColour = [40, 170, 90];
function startMapApi(port, png, map) {
  const server = nodeHttp.createServer((request, response) => {
    const url = new URL(request.url, 'http://127.0.0.1');
    const send = (status, type, body) => {
      response.writeHead(status, { 'Content-Type': type, 'Access-Control-Allow-Origin': '*' });
      response.end(body);
    };
    if (url.pathname === '/api/map') return send(map.status ?? 200, 'application/json', JSON.stringify(map.description));
    if (url.pathname === '/api/map/plan') return send(200, 'image/png', map.plan ?? png);
    if (url.pathname.startsWith('/api/map/tiles/')) return send(200, 'image/png', png);
    return send(404, 'application/json', '{"error":"no such resource"}');
  });
  return new Promise((resolve) => server.listen(port, '127.0.0.1', () => resolve(server)));
}

test('the site\'s own map is drawn under everything, from sited\'s address alone; one that fails, on one line',
  async () => {
    // A tile of one colour, as the browser encodes it.
    const png = Buffer.from(await page.evaluate((rgb) => {
      const canvas = document.createElement('canvas');
      canvas.width = 256;
      canvas.height = 256;
      const ctx = canvas.getContext('2d');
      ctx.fillStyle = `rgb(${rgb.join(',')})`;
      ctx.fillRect(0, 0, 256, 256);
      return canvas.toDataURL('image/png').split(',')[1];
    }, mapColour), 'base64');
    const metresPerDegree = 111320;
    const kmLat = 1000 / metresPerDegree;
    const kmLon = kmLat / Math.cos((mapOrigin.lat * Math.PI) / 180);
    const maps = [
      { kind: 'mbtiles', description: { kind: 'mbtiles', version: '1-a', origin: mapOrigin, format: 'png',
        min_zoom: 16, max_zoom: 17,
        bounds: [mapOrigin.lon - kmLon, mapOrigin.lat - kmLat, mapOrigin.lon + kmLon, mapOrigin.lat + kmLat] } },
      { kind: 'plan', description: { kind: 'plan', version: '2-b', origin: mapOrigin, width: 256, height: 256,
        top_left: [mapOrigin.lat + kmLat / 5, mapOrigin.lon - kmLon / 5],
        top_right: [mapOrigin.lat + kmLat / 5, mapOrigin.lon + kmLon / 5],
        bottom_left: [mapOrigin.lat - kmLat / 5, mapOrigin.lon - kmLon / 5] } },
      { kind: 'failed', description: { kind: 'plan', version: '3-c', origin: mapOrigin, width: 256, height: 256,
        top_left: [48, 11], top_right: [48, 11.001], bottom_left: [47.999, 11] }, plan: 'no image' },
    ];
    for (const map of maps) {
      const apiPort = await freePort('tcp');
      const api = await startMapApi(apiPort, png, map);
      const view = await browser.newPage();
      const errors = [];
      const elsewhere = [];
      view.on('pageerror', (e) => errors.push(e.message));
      view.on('request', (r) => {
        const { hostname, protocol } = new URL(r.url());
        // data: and blob: addresses never leave the browser.
        if (!['data:', 'blob:'].includes(protocol) && hostname !== '127.0.0.1') elsewhere.push(r.url());
      });
      try {
        await view.setViewport({ width: 1280, height: 800 });
        await view.goto(`http://127.0.0.1:${ports.http}/?broker=ws://127.0.0.1:${ports.ws}` +
          `&site=${site}&prefix=trklib&api=http://127.0.0.1:${apiPort}`);
        await view.waitForSelector('#connection[data-state="connected"]', { timeout: waitMs });
        const drawn = () => view.evaluate((rgb) => {
          const canvas = document.getElementById('map');
          const { data } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
          let count = 0;
          for (let i = 0; i < data.length; i += 4) {
            count += data[i] === rgb[0] && data[i + 1] === rgb[1] && data[i + 2] === rgb[2];
          }
          return { ...canvas.dataset, share: count / (data.length / 4),
            line: document.getElementById('background-state').hidden ? null
              : document.getElementById('background-state').textContent };
        }, mapColour);
        const seen = await waitFor(`the ${map.kind} map drawn`, async () => {
          const s = await drawn();
          return s.background === map.kind && (map.kind === 'failed' || s.share > 0.1) ? s : null;
        });
        if (map.kind === 'failed') {
          assert.equal(seen.share, 0);
          assert.match(seen.line, /^Map: the plan's image could not be loaded \([^\n]*\)$/);
        } else {
          // Under the grid, beams and radars: most of the map, not all of it.
          assert.ok(seen.share < 0.99, `the map's colour covers ${seen.share} of the canvas`);
          assert.ok(Number(seen.backgroundDrawn) > 0 && seen.line === null, JSON.stringify(seen));
        }
        if (map.kind === 'mbtiles') {
          await view.screenshot({ path: path.join(artefacts, 'site-view-map.png') });
          // Zoomed in beyond zoom 17 and out above zoom 16: never blank.
          for (const deltaY of [-3000, 4000]) {
            await view.mouse.move(640, 400);
            await view.mouse.wheel({ deltaY });
            await waitFor(`the map after a wheel of ${deltaY}`, async () => (await drawn()).share > 0.1);
          }
        }
        assert.deepEqual(elsewhere, [], 'requests away from loopback');
        assert.deepEqual(errors, []);
      } finally {
        await view.close();
        await new Promise((resolve) => api.close(resolve));
      }
    }
  });
