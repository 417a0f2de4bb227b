// A site of a test's own around the built sited, on free loopback ports: a
// mosquitto broker with a configuration of its own, a site file of two
// radars (or those given) with zones, a users file made with
// `sited --add-user`, the history in SQLite, and sited serving web/ and
// its API behind logins. The radars are played by this module: it
// publishes their tracks messages (as trackd would) for targets that the
// caller places or walks along paths, every radar seeing every target
// unless told otherwise.
//
//   const site = await start({ sited, webDir, artefacts, zones, users });
//   site.walk(7, [[-60, 0], [0, 0]], 10);   // target 7 at 10 m/s
//   const cookie = await site.login('otto');
//   const { status, body } = await site.api('GET', '/api/alarms', { cookie });
//   await site.restartSited();
//   await site.stop();
//
// Exports: start(options) -> a site (below); skipReason({ sited, webDir })
// -> why not here, or null; toLonLat(x, y); zonesGeojson(shapes);
// featureNames(geojson); defaultRadars. A site: { site, prefix, httpUrl,
// httpPort, mqttPort, mqtt (a connected client), work, siteFile,
// zonesFile, radars, passwords, sitedPid, sitedLog(), publishTrack(radar,
// targets, timeMs), setTarget(number, place), removeTarget(number),
// target(number), walk(number, points, speed, { radars }), api(method,
// path, { cookie, body }) -> { status, body, headers }, login(name) ->
// cookie, restartSited(), stop() }.
//
// Everything started runs in a process group of its own, and is killed
// when the process exits however it does (SIGTERM, SIGINT, SIGHUP too).

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import crypto from 'node:crypto';

// The site's origin on Earth (the zones file needs one).
const origin = { lat: 48.1, lon: 11.5, altitude: 500 };
const waitMs = 20000; // for a program to start or stop
const killMs = 5000; // SIGKILL this long after SIGTERM

export const defaultRadars = [
  { name: 'north', x: 0, y: 60, heading: 180 },
  { name: 'east', x: 60, y: 0, heading: 270 },
];

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Why a site cannot be started here, or null.
export function skipReason({ sited, webDir }) {
  if (!sited || !fs.existsSync(sited)) return `no sited at ${sited}`;
  const found = (process.env.PATH ?? '').split(':').concat('/usr/sbin')
    .some((dir) => fs.existsSync(path.join(dir, 'mosquitto')));
  if (!found) return 'no mosquitto on the PATH (Debian package mosquitto)';
  try {
    createRequire(path.join(webDir, 'package.json')).resolve('mqtt');
  } catch {
    return `the npm packages are not installed in ${webDir} (npm ci there, as scripts/test does)`;
  }
  return null;
}

// Site metres (east, north of the origin) as [longitude, latitude]: the
// WGS-84 radii of curvature at the origin, within millimetres of sited's
// own frame over a few hundred metres.
export function toLonLat(x, y) {
  const a = 6378137; // m
  const e2 = 6.69437999014e-3;
  const phi = (origin.lat * Math.PI) / 180;
  const w = 1 - e2 * Math.sin(phi) ** 2;
  const n = a / Math.sqrt(w) + origin.altitude;
  const m = (a * (1 - e2)) / w ** 1.5 + origin.altitude;
  const degrees = 180 / Math.PI;
  return [origin.lon + (x / (n * Math.cos(phi))) * degrees, origin.lat + (y / m) * degrees];
}

// A zones file's FeatureCollection from shapes in site metres:
// { name, polygon: [[x, y], ...] } (closed here) or { name, line: [...] },
// with any other field a property of the feature (alarm, dwell, ...).
export function zonesGeojson(shapes) {
  return {
    type: 'FeatureCollection',
    features: shapes.map(({ polygon, line, ...properties }) => ({
      type: 'Feature',
      properties,
      geometry: polygon
        ? { type: 'Polygon', coordinates: [[...polygon, polygon[0]].map(([x, y]) => toLonLat(x, y))] }
        : { type: 'LineString', coordinates: line.map(([x, y]) => toLonLat(x, y)) },
    })),
  };
}

// The names of a FeatureCollection's features, in order.
export const featureNames = (geojson) => (geojson?.features ?? []).map((f) => f.properties?.name);

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
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

// Every program started and not yet ended, killed with its group when
// this process exits, and the folders of the sites not stopped.
const running = new Set();
const folders = new Set();
process.on('exit', () => {
  for (const program of running) program.signal('SIGKILL');
  for (const folder of folders) fs.rmSync(folder, { recursive: true, force: true });
});
// Node dies of these without its exit handlers unless it listens.
for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) {
  if (process.listenerCount(signal) === 0) process.on(signal, () => process.exit(1));
}

// A program in a process group of its own, its output appended to LOG.
class Program {
  constructor(command, args, logPath, input) {
    this.logPath = logPath;
    const log = fs.openSync(logPath, 'a');
    this.process = spawn(command, args, { stdio: [input === undefined ? 'ignore' : 'pipe', log, log], detached: true });
    fs.closeSync(log);
    if (input !== undefined) this.process.stdin.end(input);
    running.add(this);
    this.exited = new Promise((resolve) => {
      const ended = (code, signal) => {
        running.delete(this);
        resolve({ code, signal });
      };
      this.process.on('exit', ended);
      this.process.on('error', () => ended(-1, null));
    });
  }

  get alive() { return running.has(this); }

  signal(name) {
    try {
      process.kill(-this.process.pid, name);
    } catch {
      // the group has ended already
    }
  }

  // SIGTERM to the group, SIGKILL after killMs; resolves to the exit.
  async stop() {
    if (this.alive) {
      this.signal('SIGTERM');
      const killer = setTimeout(() => this.signal('SIGKILL'), killMs);
      await this.exited;
      clearTimeout(killer);
    }
    return this.exited;
  }
}

function logTail(file, lines = 20) {
  if (!fs.existsSync(file)) return '';
  return fs.readFileSync(file, 'utf8').trimEnd().split('\n').slice(-lines).join('\n');
}

// Waits for check() to be true while program runs; fails with its log.
async function waitWhile(program, what, check) {
  const deadline = Date.now() + waitMs;
  for (;;) {
    if (await check()) return;
    if (!program.alive) throw new Error(`${what}: it has ended:\n${logTail(program.logPath)}`);
    if (Date.now() > deadline) throw new Error(`${what}: not within ${waitMs / 1000} s:\n${logTail(program.logPath)}`);
    await sleep(50);
  }
}

// The radial speed (km/h, positive away) and ground distance of a target
// at (x, y) moving at (vx, vy) m/s, seen from a radar at ground height.
function seenFrom(radar, t) {
  const dx = t.x - radar.x;
  const dy = t.y - radar.y;
  const distance = Math.max(Math.hypot(dx, dy), 0.01);
  return { distance, velocity: ((t.vx * dx + t.vy * dy) / distance) * 3.6 };
}

// Starts the site. Options:
//   sited, webDir (web/, with its node_modules), artefacts (a folder for
//   the logs broker.log, users.log and sited.log; default the site's
//   temporary folder, removed by stop()), site ('console'), prefix
//   ('trklib'), radars (defaultRadars), zones (shapes for zonesGeojson),
//   users ([{ name, role }], each given a password made here), rate
//   (pictures a second, 10), publishMs (between tracks messages, 100),
//   siteLines (more lines at the site file's end: a [map] section, ...).
export async function start(options) {
  const {
    sited, webDir, artefacts: logs, site = 'console', prefix = 'trklib', radars = defaultRadars,
    zones = [], users = [], rate = 10, publishMs = 100, siteLines = [],
  } = options;
  const mqtt = createRequire(path.join(webDir, 'package.json'))('mqtt');
  const work = fs.mkdtempSync(path.join(os.tmpdir(), 'trklib-sitedsite-'));
  folders.add(work);
  const artefacts = logs ?? work;
  fs.mkdirSync(artefacts, { recursive: true });
  for (const name of ['broker.log', 'sited.log', 'users.log']) fs.rmSync(path.join(artefacts, name), { force: true });
  const mqttPort = await freePort();
  let httpPort = await freePort();
  while (httpPort === mqttPort) httpPort = await freePort();

  const programs = { broker: null, sited: null };
  let client = null;
  let ticker = null;
  const stop = async () => {
    clearInterval(ticker);
    ticker = null;
    await client?.endAsync(true).catch(() => {});
    // sited first, so that it leaves its status offline on the broker.
    await programs.sited?.stop();
    await programs.broker?.stop();
    fs.rmSync(work, { recursive: true, force: true });
    folders.delete(work);
  };

  try {
    fs.writeFileSync(path.join(work, 'broker.conf'), [
      `listener ${mqttPort} 127.0.0.1`,
      'allow_anonymous true',
      'persistence false',
      `user ${os.userInfo().username}`,
      '',
    ].join('\n'));
    programs.broker = new Program('mosquitto', ['-c', path.join(work, 'broker.conf')],
      path.join(artefacts, 'broker.log'));
    await waitWhile(programs.broker, 'the broker to listen', () => listening(mqttPort));

    const zonesFile = path.join(work, 'zones.geojson');
    fs.writeFileSync(zonesFile, JSON.stringify(zonesGeojson(zones), null, 1));
    const siteFile = path.join(work, 'site.conf');
    fs.writeFileSync(siteFile, [
      '[site]', `name = ${site}`, `prefix = ${prefix}`,
      `latitude = ${origin.lat}`, `longitude = ${origin.lon}`, `altitude = ${origin.altitude}`,
      '[broker]', `port = ${mqttPort}`, `client_id = ${site}-test`,
      '[fusion]', `rate = ${rate}`,
      '[zones]', `file = ${zonesFile}`,
      '[history]', `database = ${path.join(work, `${site}.sqlite`)}`,
      '[http]', `listen = 127.0.0.1:${httpPort}`, `users_file = ${path.join(work, 'users')}`,
      `web_root = ${webDir}`,
      // Each radar a UDP port of its own, which sited never binds: it
      // reads their tracks from the broker.
      ...radars.flatMap((r, k) => [`[radar.${r.name}]`, `port = ${40001 + k}`, `x = ${r.x}`, `y = ${r.y}`,
        `heading = ${r.heading ?? 0}`]),
      ...siteLines,
      '',
    ].join('\n'));

    const passwords = {};
    for (const user of users) {
      passwords[user.name] = crypto.randomBytes(12).toString('base64url');
      const adding = new Program(sited, ['--config', siteFile, '--add-user', user.name, user.role],
        path.join(artefacts, 'users.log'), `${passwords[user.name]}\n`);
      const { code } = await adding.exited;
      if (code !== 0) throw new Error(`sited --add-user ${user.name} ${user.role}: exit ${code}:\n${logTail(adding.logPath)}`);
    }

    const startSited = async () => {
      programs.sited = new Program(sited, ['--config', siteFile], path.join(artefacts, 'sited.log'));
      await waitWhile(programs.sited, 'sited to listen', () => listening(httpPort));
    };
    await startSited();

    client = mqtt.connect(`mqtt://127.0.0.1:${mqttPort}`, { reconnectPeriod: 500, clientId: `${site}-radars` });
    await new Promise((resolve, reject) => {
      client.once('connect', resolve);
      client.once('error', reject);
    });

    // The radars' targets: number -> { x, y, vx, vy, radars, confirmed,
    // route }, published on every tick.
    const targets = new Map();
    const publishTrack = (radar, list, timeMs = Date.now()) => {
      const place = radars.find((r) => r.name === radar);
      const message = {
        site, radar, timestamp: timeMs, received: timeMs,
        targets: list.map((t) => ({
          number: t.number, elevation: 0, azimuth: 0, ...seenFrom(place, t),
          confirmed: t.confirmed ?? true, x: t.x, y: t.y,
        })),
      };
      return client.publishAsync(`${prefix}/${site}/${radar}/tracks`, JSON.stringify(message));
    };
    const advance = (now) => {
      for (const t of targets.values()) {
        const route = t.route;
        if (!route) continue;
        let travelled = ((now - route.since) / 1000) * route.speed;
        let k = 0;
        while (k < route.lengths.length && travelled > route.lengths[k]) travelled -= route.lengths[k++];
        if (k === route.lengths.length) {
          [t.x, t.y] = route.points.at(-1);
          t.vx = 0;
          t.vy = 0;
          t.route = null;
          route.arrived();
          continue;
        }
        const [[x0, y0], [x1, y1]] = [route.points[k], route.points[k + 1]];
        const f = route.lengths[k] > 0 ? travelled / route.lengths[k] : 1;
        t.x = x0 + (x1 - x0) * f;
        t.y = y0 + (y1 - y0) * f;
        t.vx = ((x1 - x0) / route.lengths[k]) * route.speed;
        t.vy = ((y1 - y0) / route.lengths[k]) * route.speed;
      }
    };
    const tick = () => {
      const now = Date.now();
      advance(now);
      for (const radar of radars) {
        const seen = [...targets.entries()]
          .filter(([, t]) => !t.radars || t.radars.includes(radar.name))
          .map(([number, t]) => ({ number, ...t }));
        publishTrack(radar.name, seen, now).catch(() => {});
      }
    };
    ticker = setInterval(tick, publishMs);

    const base = `http://127.0.0.1:${httpPort}`;
    const api = async (method, route, { cookie, body } = {}) => {
      const headers = {};
      if (cookie) headers.Cookie = cookie;
      const init = { method, headers };
      if (body !== undefined || method !== 'GET') {
        headers['Content-Type'] = 'application/json';
        init.body = body === undefined ? '' : JSON.stringify(body);
      }
      const response = await fetch(base + route, init);
      const text = await response.text();
      let parsed = null;
      try {
        parsed = JSON.parse(text);
      } catch {
        parsed = text;
      }
      return { status: response.status, body: parsed, headers: response.headers };
    };

    return {
      site, prefix, work, siteFile, zonesFile, radars, passwords,
      httpUrl: base, httpPort, mqttPort,
      mqtt: client, // connected: subscribe to the site's topics with it
      get sitedPid() { return programs.sited?.process.pid; },
      sitedLog: () => logTail(path.join(artefacts, 'sited.log'), 1e6),
      publishTrack,
      // Places target NUMBER at (x, y), still or moving at (vx, vy) m/s;
      // radars: the names of those that see it (default all).
      setTarget(number, { x, y, vx = 0, vy = 0, radars: seenBy, confirmed = true }) {
        targets.set(number, { x, y, vx, vy, radars: seenBy, confirmed, route: null });
      },
      removeTarget(number) {
        targets.delete(number);
      },
      target: (number) => targets.get(number),
      // Walks target NUMBER from points[0] along points at speed m/s and
      // leaves it standing at the last; resolves there.
      walk(number, points, speed, { radars: seenBy } = {}) {
        return new Promise((arrived) => {
          const lengths = points.slice(1).map(([x, y], k) => Math.hypot(x - points[k][0], y - points[k][1]));
          const [x, y] = points[0];
          targets.set(number, {
            x, y, vx: 0, vy: 0, radars: seenBy, confirmed: true,
            route: { points, lengths, speed, since: Date.now(), arrived },
          });
        });
      },
      api,
      // Logs NAME in with its password; resolves to the session's cookie.
      async login(name, password = passwords[name]) {
        const { status, headers } = await api('POST', '/api/login', { body: { name, password } });
        if (status !== 200) throw new Error(`login of ${name}: ${status}`);
        return headers.get('set-cookie').split(';')[0];
      },
      // Stops sited (SIGTERM) and starts it again on the same files.
      async restartSited() {
        const exit = await programs.sited.stop();
        if (exit.code !== 0) throw new Error(`sited stopped with ${JSON.stringify(exit)}:\n${logTail(programs.sited.logPath)}`);
        await startSited();
      },
      stop,
    };
  } catch (error) {
    await stop();
    throw error;
  }
}
