// The test camera (onvif_device.py) checked with a client of its own: npm's
// onvif package connects with a username and password, reads the profiles,
// moves the camera and polls its status until it has arrived, at about the
// speed the camera was started with; a wrong password is refused.
// Environment: ONVIF_DEVICE (the script), PYTHON (default python3),
// TRKLIB_WEB_DIR (where npm ci installed onvif). Exit status 77: skipped.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import path from 'node:path';
import readline from 'node:readline';
import { after, test } from 'node:test';

const skipCode = 77;
function skip(reason) {
  console.log(`skipped: ${reason}`);
  process.exit(skipCode);
}
for (const name of ['ONVIF_DEVICE', 'TRKLIB_WEB_DIR']) {
  if (!process.env[name]) skip(`${name} is not set`);
}
const webRequire = createRequire(path.join(process.env.TRKLIB_WEB_DIR, 'package.json'));
let onvif;
try {
  onvif = webRequire('onvif');
} catch {
  skip(`npm's onvif is not installed in ${process.env.TRKLIB_WEB_DIR} (npm ci there)`);
}

const username = 'operator';
const password = 'pan-tilt-zoom';
const panSpeedDegPerS = 90; // the device's, degrees per second
const latencyS = 0.2; // the device's, seconds from command to motion
const devices = [];

// Starts the device with those options; resolves to its port.
function startDevice(extra = []) {
  const child = spawn(
    process.env.PYTHON || 'python3',
    [process.env.ONVIF_DEVICE, '--username', username, '--password', password,
      '--pan-speed', String(panSpeedDegPerS), '--tilt-speed', '45', '--latency', String(latencyS),
      ...extra],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  devices.push(child);
  return new Promise((resolve, reject) => {
    child.once('exit', (code) => reject(new Error(`the device exited with ${code}`)));
    readline.createInterface({ input: child.stdout }).once('line', (line) => {
      const match = /^listening 127\.0\.0\.1:(\d+)$/.exec(line);
      if (match) resolve(Number(match[1]));
      else reject(new Error(`the device said ${line}`));
    });
  });
}
after(() => devices.forEach((child) => child.kill()));

function connect(port, pass) {
  return new Promise((resolve, reject) => {
    const cam = new onvif.Cam({ hostname: '127.0.0.1', port, username, password: pass,
      path: '/onvif/device_service', autoconnect: false, timeout: 5000 });
    cam.connect((err) => (err ? reject(err) : resolve(cam)));
  });
}

const call = (cam, method, ...args) => new Promise((resolve, reject) => {
  cam[method](...args, (err, result) => (err ? reject(err) : resolve(result)));
});
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

test('npm onvif finds the PTZ profile and moves the camera at its speed', async () => {
  const port = await startDevice();
  const cam = await connect(port, password);
  const ptzProfiles = cam.profiles.filter((p) => p.PTZConfiguration);
  assert.equal(ptzProfiles.length, 1);
  const profileToken = ptzProfiles[0].$.token;
  assert.equal(profileToken, 'profile_ptz');

  // Pan 0 -> 0.5 normalised: 90 degrees over the default -180..180, one
  // second at 90 degrees per second after the latency.
  const start = await call(cam, 'getStatus', { profileToken });
  assert.equal(start.position.x, 0);
  const sentMs = Date.now();
  await call(cam, 'absoluteMove', { profileToken, x: 0.5, y: 0, zoom: 0 });
  const travelS = 90 / panSpeedDegPerS;
  let halfway = null;
  let status;
  for (;;) {
    status = await call(cam, 'getStatus', { profileToken });
    const elapsedS = (Date.now() - sentMs) / 1000;
    if (halfway === null && elapsedS >= latencyS + travelS / 2) halfway = status.position.x;
    if (status.moveStatus.panTilt === 'IDLE') break;
    assert.ok(elapsedS < 30, 'the camera never arrived');
    await sleep(50);
  }
  assert.ok(Math.abs(status.position.x - 0.5) < 1e-3, `arrived at ${status.position.x}`);
  assert.ok((Date.now() - sentMs) / 1000 >= latencyS + travelS - 0.05, 'faster than its speed');
  // Loosely half way (the poll may come late): on the way, not there yet.
  assert.ok(halfway > 0.1 && halfway < 0.45, `half way at ${halfway}`);
});

test('npm onvif is refused with a wrong password', async () => {
  const port = await startDevice();
  await assert.rejects(connect(port, 'wrong'), /NotAuthorized|not authori[sz]ed/i);
});
