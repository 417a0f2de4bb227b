// The operator's console in Debian's headless Chromium, against the built
// sited on a site of the test's own (sitedsite.mjs: a broker, two radars
// played by the test, a zone "yard" that raises an alarm on enter, four
// users): operators acknowledge the alarms that targets raise and viewers
// only see them; an alarm open when sited restarts stays open; admins
// edit, save and restore the zones while sited runs, a save on a stale
// version being refused; and the browser asks nothing of any host but
// loopback all along.
//
// Each test() is one group of checks (subtests); a check that needs one
// that failed is skipped, saying so, rather than waiting for what cannot
// come. Where the page cannot act, the API does it instead, so that the
// server's side is checked on its own.
//
// A PTZ camera, gate (the test camera, ONVIF_DEVICE), turns to the alarm's
// object; both pages draw it following that object, and only the
// operator's has the buttons that take it over and give it back.
//
// Environment: TRKLIB_SITED (the built sited), TRKLIB_WEB_DIR (web/, with
// its node_modules), ONVIF_DEVICE (the test camera), CONSOLE_ARTEFACTS (a folder for the programs' logs,
// the pages' consoles and screenshots), CHROMIUM (default
// /usr/bin/chromium). Exit status 77: skipped.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import path from 'node:path';
import { after, before, test } from 'node:test';

import { featureNames, skipReason, start, zonesGeojson } from './sitedsite.mjs';

const sited = process.env.TRKLIB_SITED;
const webDir = process.env.TRKLIB_WEB_DIR;
const artefacts = process.env.CONSOLE_ARTEFACTS;
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';

function skip(reason) {
  console.log(`skipped: ${reason}`);
  process.exit(77);
}
for (const name of ['TRKLIB_SITED', 'TRKLIB_WEB_DIR', 'ONVIF_DEVICE', 'CONSOLE_ARTEFACTS']) {
  if (!process.env[name]) skip(`${name} is not set`);
}
if (!fs.existsSync(chromium)) skip(`no Chromium at ${chromium} (Debian package chromium)`);
const unable = skipReason({ sited, webDir });
if (unable) skip(unable);
const puppeteer = createRequire(path.join(webDir, 'package.json'))('puppeteer-core');

const waitMs = 20000; // for anything the test waits for
const openMs = 3000; // for a part of the page that an action opens
const speed = 12; // m/s, the targets' walk
const nearM = 2; // the map's centre from a followed object standing still
// Targets seen by one radar: a track shared by two that stops dead splits.
const seenBy = { radars: ['north'] };

const yard = { name: 'yard', polygon: [[-20, -20], [20, -20], [20, 20], [-20, 20]], alarm: ['enter'] };
const pen = { name: 'pen', polygon: [[25, 25], [45, 25], [45, 45], [25, 45]], alarm: ['enter'] };
const lane = [[-45, 25], [-30, 25], [-30, 40]]; // the stale admin's triangle
const users = [
  { name: 'otto', role: 'operator' },
  { name: 'vera', role: 'viewer' },
  { name: 'ada', role: 'admin' },
  { name: 'alan', role: 'admin' },
];

const chromiumFlags = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
  '--disable-component-update', '--disable-sync',
];

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitFor(what, check, ms = waitMs) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) assert.fail(`waited ${ms / 1000} s for ${what}`);
    await sleep(100);
  }
}

// One check of a group; skipped when needed is false (a check it needs
// failed). Resolves to whether it passed.
async function check(t, name, body, needed = true) {
  let passed = false;
  await t.test(name, async (s) => {
    if (!needed) {
      s.skip('a check it needs failed');
      return;
    }
    await body();
    passed = true;
  });
  return passed;
}

let site;
let browser;
const pages = []; // every page opened, for the screenshots
const requests = []; // every request of every page
const pageErrors = [];
const retained = {}; // topic -> the latest message of the site's zones topic
const events = []; // the site's events as published
let pageLog;

// The test camera on a free loopback port: its device service's address.
let camera;
async function startCamera() {
  camera = spawn(process.env.PYTHON || 'python3', [process.env.ONVIF_DEVICE, '--latency', '0.1'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  const line = await new Promise((resolve, reject) => {
    camera.stdout.once('data', (chunk) => resolve(chunk.toString().trim()));
    camera.once('exit', () => reject(new Error('the test camera ended')));
  });
  assert.match(line, /^listening 127\.0\.0\.1:\d+$/);
  return `http://${line.split(' ')[1]}/onvif/device_service`;
}

before(async () => {
  const gate = await startCamera();
  // The camera stands in the yard: the map fits the site as it would without it.
  site = await start({ sited, webDir, artefacts, zones: [yard], users,
    siteLines: ['[camera.gate]', 'x = 5', 'y = 5', 'height = 6', `address = ${gate}`] });
  site.mqtt.on('message', (topic, payload) => {
    if (topic.endsWith('/events')) events.push(JSON.parse(payload.toString()));
    else retained[topic] = payload.length > 0 ? JSON.parse(payload.toString()) : null;
  });
  await site.mqtt.subscribeAsync([`${site.prefix}/${site.site}/events`, `${site.prefix}/${site.site}/zones`]);
  pageLog = fs.createWriteStream(path.join(artefacts, 'pages.log'));
  browser = await puppeteer.launch({ executablePath: chromium, headless: true, args: chromiumFlags,
    userDataDir: path.join(site.work, 'chromium') });
});

after(async () => {
  for (const [k, page] of pages.entries()) {
    await page.screenshot({ path: path.join(artefacts, `console-${k + 1}.png`) }).catch(() => {});
  }
  await browser?.close();
  await site?.stop();
  camera?.kill();
  pageLog?.end();
});

// The API's session cookie of a user, kept until sited restarts.
const cookies = {};
async function cookie(name) {
  cookies[name] ??= await site.login(name);
  return cookies[name];
}
const openAlarms = async () => (await site.api('GET', '/api/alarms', { cookie: await cookie('otto') })).body;

// A browser context of its own for user NAME, logged in on the login
// page: resolves to the site view's page.
async function openAs(name) {
  const context = await browser.createBrowserContext();
  const page = await context.newPage();
  pages.push(page);
  page.on('request', (r) => requests.push(r.url()));
  page.on('console', (m) => pageLog.write(`${name}: console.${m.type()}: ${m.text()}\n`));
  page.on('pageerror', (e) => {
    pageErrors.push(`${name}: ${e.message}`);
    pageLog.write(`${name}: error: ${e.message}\n`);
  });
  page.on('dialog', (d) => d.accept());
  await page.setViewport({ width: 1280, height: 800 });
  await page.goto(`${site.httpUrl}/`);
  await page.waitForSelector('form#login', { timeout: waitMs });
  await page.type('#name', name);
  await page.type('#password', site.passwords[name]);
  await page.click('form#login button[type="submit"]');
  await page.waitForSelector('#connection[data-state="connected"]', { timeout: waitMs });
  const role = users.find((u) => u.name === name).role;
  assert.equal(await page.$eval('#user', (e) => e.textContent), `${name} (${role})`);
  return page;
}

// The map canvas's view: { follow, center: [x, y], scale }.
const mapView = (page) => page.$eval('canvas#map', (c) => ({
  follow: c.dataset.follow,
  center: (c.dataset.center ?? '').split(' ').map(Number),
  scale: Number(c.dataset.scale),
  zones: (c.dataset.zones ?? '').split(' ').filter(Boolean),
}));

// Where site metres (x, y) are on the page, from the map's data-scale
// (CSS px a metre) and data-center.
function spotOf(page, x, y) {
  return page.$eval('canvas#map', (c, px, py) => {
    const box = c.getBoundingClientRect();
    const scale = Number(c.dataset.scale);
    const [cx, cy] = (c.dataset.center ?? '').split(' ').map(Number);
    const left = box.width / 2 + (px - cx) * scale;
    const top = box.height / 2 - (py - cy) * scale;
    return {
      left: box.left + left, top: box.top + top, scale, center: c.dataset.center,
      inside: left >= 0 && left <= box.width && top >= 0 && top <= box.height && top + box.top <= window.innerHeight,
      box: `${box.width} x ${box.height} at ${box.left}, ${box.top}`,
    };
  }, x, y);
}

// Zooms the map out about its centre until every point is on it.
async function showOnMap(page, points) {
  const wheelSteps = 20;
  for (let k = 0; k < wheelSteps; ++k) {
    const spots = await Promise.all(points.map(([x, y]) => spotOf(page, x, y)));
    if (spots.every((spot) => spot.inside)) return;
    const box = await (await page.$('canvas#map')).boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + Math.min(box.height, 800 - box.y) / 2);
    await page.mouse.wheel({ deltaY: 200 });
    await sleep(100);
  }
}

// Clicks the map at site metres (x, y).
async function clickAt(page, x, y) {
  const spot = await spotOf(page, x, y);
  assert.ok(spot.scale > 0, `canvas#map data-scale: ${spot.scale}`);
  assert.ok(spot.inside, `(${x}, ${y}) is off the map: ${spot.box}, centre ${spot.center}, ${spot.scale} px/m`);
  await page.mouse.click(spot.left, spot.top);
  await sleep(150); // no double click of two corners
}

// Draws a zone of the corners on the editor's map and gives it NAME with
// an alarm on enter.
async function drawZone(page, name, corners) {
  await showOnMap(page, corners);
  await page.click('button#draw-zone');
  for (const [x, y] of corners) await clickAt(page, x, y);
  if (await page.$('button#finish-shape')) await page.click('button#finish-shape');
  else await clickAt(page, ...corners[0]);
  await page.waitForSelector('#zone-name', { visible: true, timeout: openMs });
  await page.$eval('#zone-name', (e) => e.select());
  await page.type('#zone-name', name);
  const enter = 'input[name="zone-alarm"][value="enter"]';
  if (!(await page.$eval(enter, (e) => e.checked))) await page.click(enter);
  await waitFor('no problems listed', async () => (await page.$$('ol#zone-problems li')).length === 0, openMs);
}

const saveState = (page) => page.$eval('#zone-save-state', (e) => ({ state: e.dataset.state, text: e.textContent }));

test('alarms through the page: raised, followed, acknowledged with a note, cleared; a viewer sees them only',
  async (t) => {
    let operator;
    let viewer;
    let alarm;
    let walked;
    const since = Date.now();
    const loggedIn = await check(t, 'the operator and the viewer log in on the login page', async () => {
      operator = await openAs('otto');
      viewer = await openAs('vera');
    });
    const panel = await check(t, 'both pages have the alarms panel', async () => {
      for (const page of [operator, viewer]) {
        assert.ok(await page.$('section#alarms ol#alarm-list'), 'section#alarms ol#alarm-list');
        assert.ok(await page.$('section#alarms ol#alarm-history'), 'ol#alarm-history');
      }
    }, loggedIn);
    const raised = await check(t, 'a target walking into the yard raises an alarm (GET /api/alarms)', async () => {
      walked = site.walk(7, [[-70, -10], [-10, -10]], speed, seenBy);
      alarm = await waitFor('an alarm of the yard', async () =>
        (await openAlarms()).alarms.find((a) => a.zone === 'yard' && a.state === 'raised'));
      assert.equal(alarm.event, 'enter');
      assert.equal(alarm.acknowledged, null);
    });
    const item = () => `ol#alarm-list li[data-alarm="${alarm.id}"]`;
    const listed = await check(t, 'both lists show it raised; only the operator\'s may act on it', async () => {
      for (const page of [operator, viewer]) {
        await page.waitForSelector(`${item()}[data-state="raised"]`, { timeout: waitMs });
        const li = await page.$eval(item(), (e) => ({ ...e.dataset, text: e.textContent }));
        assert.deepEqual([li.zone, li.event, li.object], ['yard', 'enter', String(alarm.object)]);
        assert.match(li.text, /yard/);
      }
      assert.ok(await operator.$(`${item()} button.ack`), 'the operator\'s button.ack');
      assert.ok(await operator.$(`${item()} button.note`), 'the operator\'s button.note');
      assert.equal(await viewer.$(`${item()} button.ack, ${item()} button.note`), null, 'the viewer\'s buttons');
    }, panel && raised);
    const cameraOf = (page) => page.$eval('canvas#map', (c) => c.dataset.cameras ?? '');
    await check(t, 'the camera turns to its object; both maps draw it following it', async () => {
      for (const page of [operator, viewer]) {
        await waitFor('gate following the alarm\'s object', async () =>
          (await cameraOf(page)).includes(`gate:online:following=${alarm.object}`))
          .catch(async (e) => assert.fail(`${e.message}: ${await cameraOf(page)}`));
      }
      const item = 'ul#cameras li[data-camera="gate"]';
      assert.equal(await operator.$eval(item, (li) => li.dataset.why), `alarm ${alarm.id}`);
      assert.equal(await viewer.$(`${item} button.take`), null, 'the viewer\'s button.take');
      await operator.click(`${item} button.take`);
      await operator.waitForSelector(`${item}[data-taken-over="true"] button.give`, { visible: true, timeout: waitMs });
      await waitFor('the viewer\'s map to say so', async () => (await cameraOf(viewer)).includes('gate:online:taken-over'));
      await operator.click(`${item} button.give`);
      await operator.waitForSelector(`${item}[data-taken-over="false"]`, { timeout: waitMs });
    }, listed);
    await check(t, 'choosing it centres the map on its object and follows it', async () => {
      await walked; // and standing there
      const before = await mapView(operator);
      assert.ok(Math.hypot(before.center[0] + 10, before.center[1] + 10) > 3 * nearM,
        `the map is at ${before.center} already`);
      await operator.$eval(item(), (li) => li.click()); // on the item, not on a button in it
      let view;
      await waitFor('the map on the object', async () => {
        view = await mapView(operator);
        return view.follow === String(alarm.object) && Math.hypot(view.center[0] + 10, view.center[1] + 10) < nearM;
      }).catch((e) => assert.fail(`${e.message}: following ${view.follow}, centre ${view.center}`));
    }, listed);
    await check(t, 'the API refuses the viewer\'s acknowledgement with 403', async () => {
      const refused = await site.api('POST', `/api/alarms/${alarm.id}/acknowledge`,
        { cookie: await cookie('vera'), body: { note: 'not mine' } });
      assert.equal(refused.status, 403);
      assert.equal((await openAlarms()).alarms.find((a) => a.id === alarm.id)?.state, 'raised');
    }, raised);
    const note = 'a fox at the fence';
    const acknowledged = await check(t, 'button.ack with a note acknowledges it, on both pages', async () => {
      const input = `${item()} input.note-text`;
      if (!(await operator.$(`${input}:not([hidden])`))) {
        await operator.click(`${item()} button.ack`);
        await operator.waitForSelector(input, { visible: true, timeout: openMs });
      }
      await operator.type(input, note);
      await operator.click(`${item()} button.ack`);
      for (const page of [operator, viewer]) {
        await page.waitForSelector(`${item()}[data-state="acknowledged"]`, { timeout: waitMs });
      }
      const now = (await openAlarms()).alarms.find((a) => a.id === alarm.id);
      assert.deepEqual([now.state, now.acknowledged?.user, now.acknowledged?.note], ['acknowledged', 'otto', note]);
    }, listed);
    if (!acknowledged && raised) {
      await check(t, 'acknowledged through the API instead', async () => {
        const done = await site.api('POST', `/api/alarms/${alarm.id}/acknowledge`,
          { cookie: await cookie('otto'), body: { note } });
        assert.equal(done.status, 200, JSON.stringify(done.body));
      });
    }
    const cleared = await check(t, 'the target leaves: the alarm is cleared, its changes recorded', async () => {
      await site.walk(7, [[-10, -10], [-10, -70]], speed, seenBy);
      await waitFor('the alarm closed', async () => !(await openAlarms()).alarms.some((a) => a.id === alarm.id));
      const { body } = await site.api('GET', `/api/alarms?from=${since}&to=${Date.now()}`,
        { cookie: await cookie('vera') });
      const actions = body.changes.filter((c) => c.alarm === alarm.id).map((c) => c.action);
      assert.deepEqual(actions, ['raise', 'acknowledge', 'left', 'clear']);
    }, raised);
    await check(t, 'the pages move it from the open list to the history', async () => {
      for (const page of [operator, viewer]) {
        await waitFor('the alarm off the open list', async () => !(await page.$(item())));
        // Its clearing: an item of the alarm (or naming its zone) that says so.
        await waitFor('the clearing in the history', () => page.$$eval('ol#alarm-history li', (items, id) =>
          items.some((li) => (li.dataset.alarm === String(id) || /yard/.test(li.textContent)) &&
            /clear/i.test(`${li.textContent} ${li.dataset.action ?? ''}`)), alarm.id));
      }
    }, panel && cleared);
    site.removeTarget(7);
    for (const page of [operator, viewer]) await page?.close();
  });

test('an alarm open when sited restarts is still open after it, in the API and on the page', async (t) => {
  let alarm;
  const raised = await check(t, 'a target walks into the yard and out of sight: an alarm raised', async () => {
    const before = new Set((await openAlarms()).alarms.map((a) => a.id));
    await site.walk(8, [[-70, 10], [5, 10]], speed, seenBy);
    alarm = await waitFor('a new alarm of the yard', async () =>
      (await openAlarms()).alarms.find((a) => a.zone === 'yard' && !before.has(a.id)));
    site.removeTarget(8);
  });
  const kept = await check(t, 'after the restart GET /api/alarms has it, raised, its object gone', async () => {
    const pid = site.sitedPid;
    await site.restartSited();
    assert.notEqual(site.sitedPid, pid);
    for (const name of Object.keys(cookies)) delete cookies[name]; // a restart ends every session
    const now = await waitFor('the alarm restored', async () =>
      (await openAlarms()).alarms.find((a) => a.id === alarm.id));
    assert.deepEqual([now.zone, now.event, now.object, now.time, now.state, now.left],
      [alarm.zone, alarm.event, alarm.object, alarm.time, 'raised', true]);
  }, raised);
  await check(t, 'the page, logged in again, lists it raised', async () => {
    const page = await openAs('otto');
    assert.ok(await page.$('ol#alarm-list'), 'ol#alarm-list');
    await page.waitForSelector(`ol#alarm-list li[data-alarm="${alarm.id}"][data-state="raised"]`, { timeout: waitMs });
    await page.close();
  }, kept);
  await check(t, 'acknowledged, it is cleared at once', async () => {
    const done = await site.api('POST', `/api/alarms/${alarm.id}/acknowledge`, { cookie: await cookie('otto'), body: {} });
    assert.equal(done.status, 200, JSON.stringify(done.body));
    assert.ok(!done.body.alarms.some((a) => a.id === alarm.id), JSON.stringify(done.body));
  }, kept);
});

test('the zone editor: a zone drawn and saved works at once; a save on a stale version is refused; '
  + 'an old version restored', async (t) => {
  let first;
  let second;
  const pid = site.sitedPid;
  const zonesTopic = `${site.prefix}/${site.site}/zones`;
  const zoneNames = () => (retained[zonesTopic]?.zones ?? []).map((z) => z.name);
  const admin = async () => ({ cookie: await cookie('ada') });
  const file = async () => (await site.api('GET', '/api/zones/file', await admin())).body;

  const loggedIn = await check(t, 'two admins log in', async () => {
    first = await openAs('ada');
    second = await openAs('alan');
  });
  const editors = await check(t, 'both open the zone editor, the second first', async () => {
    for (const page of [second, first]) {
      assert.ok(await page.$('button#edit-zones'), 'button#edit-zones');
      await page.click('button#edit-zones');
      await page.waitForSelector('section#zone-editor', { visible: true, timeout: openMs });
    }
  }, loggedIn);
  // Edited before the first saves, so that its page cannot just take the
  // new version.
  const staleEdit = await check(t, 'the second draws "lane" and does not save it yet', async () => {
    await drawZone(second, 'lane', lane);
    assert.equal((await saveState(second)).state, 'edited');
  }, editors);
  const drawn = await check(t, 'the first draws "pen" with an alarm on enter on the map and saves it', async () => {
    await drawZone(first, 'pen', pen.polygon);
    await first.click('button#save-zones');
    await waitFor('saved', async () => {
      const said = await saveState(first);
      if (['error', 'conflict'].includes(said.state)) assert.fail(`#zone-save-state ${said.state}: ${said.text}`);
      return said.state === 'saved';
    });
  }, editors);
  const saved = await check(t, 'the zones file is at version 1 with "pen" (GET /api/zones/file, /versions)', async () => {
    if (!drawn) {
      const put = await site.api('PUT', '/api/zones/file',
        { ...(await admin()), body: { base: 0, geojson: zonesGeojson([yard, pen]) } });
      assert.deepEqual([put.status, put.body.version, put.body.applied], [200, 1, true], JSON.stringify(put.body));
    }
    const now = await file();
    assert.equal(now.version, 1, JSON.stringify(now));
    assert.equal(now.user, 'ada');
    assert.deepEqual(featureNames(now.geojson), ['yard', 'pen']);
    assert.deepEqual(now.geojson.features[1].properties.alarm, ['enter']);
    const versions = (await site.api('GET', '/api/zones/versions', await admin())).body;
    assert.equal(versions.current, 1);
    assert.deepEqual(versions.versions.map((v) => [v.version, v.zones]).slice(0, 1), [[1, 2]]);
  });
  await check(t, 'a target entering "pen" raises its event on the broker, sited not restarted', async () => {
    await waitFor('pen in the retained zones message', () => zoneNames().includes('pen'));
    const from = events.length;
    site.walk(9, [[80, 35], [35, 35]], speed, seenBy);
    const entered = await waitFor('the enter event of pen', () =>
      events.slice(from).find((e) => e.zone === 'pen' && e.event === 'enter'));
    assert.ok(Math.abs(entered.x - 45) < 3 && Math.abs(entered.y - 35) < 3, JSON.stringify(entered));
    assert.equal(site.sitedPid, pid);
    if (loggedIn) await waitFor('pen drawn on the page', async () => (await mapView(first)).zones.includes('pen'));
  }, saved);
  await check(t, 'the preview counts the recorded enter of "pen", now and as edited', async () => {
    const counted = async () => {
      await first.click('button#preview-zones');
      await first.waitForSelector('#zone-preview[data-state="counted"] tr[data-zone="pen"]', { timeout: openMs });
      assert.equal(await first.$eval('button#preview-zones', (b) => b.disabled || b.hasAttribute('aria-busy')), false);
      return first.$eval('#zone-preview tr[data-zone="pen"]', (tr) =>
        [tr.querySelector('td.current').textContent, tr.querySelector('td.edited').textContent]);
    };
    // The history writes its pictures within a second or two of them.
    await waitFor('the enter in the recorded pictures', async () => (await counted())[0] !== '0');
    assert.deepEqual(await counted(), ['1', '1']);
    // The last hour alone, when chosen.
    await first.select('select#preview-hours', '1');
    assert.deepEqual(await counted(), ['1', '1']);
    const span = await first.$eval('#zone-preview', (t) => Number(t.dataset.to) - Number(t.dataset.from));
    assert.equal(span, 3600000);
  }, editors && saved);
  await check(t, 'the second admin, saving on the stale version, is told of the conflict; nothing written', async () => {
    await second.click('button#save-zones');
    const said = await waitFor('the conflict', async () => {
      const s = await saveState(second);
      return s.state === 'conflict' && s;
    });
    assert.match(said.text, /ada/);
    const now = await file();
    assert.deepEqual([now.version, featureNames(now.geojson)], [1, ['yard', 'pen']]);
  }, staleEdit && saved);
  await check(t, 'the API refuses a save on a stale version: 409 with the current version', async () => {
    const put = await site.api('PUT', '/api/zones/file',
      { cookie: await cookie('alan'), body: { base: 0, geojson: zonesGeojson([yard]) } });
    assert.equal(put.status, 409);
    assert.equal(put.body.version, 1);
    assert.match(put.body.error, /^the zones were saved by ada at .* \(version 1\) since version 0: load them again$/);
    const now = await file();
    assert.deepEqual([now.version, featureNames(now.geojson)], [1, ['yard', 'pen']]);
  }, saved);
  const listedVersions = await check(t, 'the editor lists the versions, the older with button.restore', async () => {
    await first.waitForSelector('ol#zone-versions li[data-version="1"]', { timeout: openMs });
    await first.waitForSelector('ol#zone-versions button.restore[data-version="0"]', { timeout: openMs });
    assert.equal(await first.$('ol#zone-versions button.restore[data-version="1"]'), null, 'the current one');
  }, editors && saved);
  await check(t, 'restoring version 0 brings the zones of the start back, live', async () => {
    if (listedVersions) {
      await first.click('ol#zone-versions button.restore[data-version="0"]');
    } else {
      const restored = await site.api('POST', '/api/zones/versions/0/restore', { ...(await admin()), body: { base: 1 } });
      assert.equal(restored.status, 200, JSON.stringify(restored.body));
    }
    await waitFor('version 2', async () => (await file()).version === 2);
    assert.deepEqual(featureNames((await file()).geojson), ['yard']);
    await waitFor('pen gone from the retained zones message', () => !zoneNames().includes('pen'));
    assert.equal(site.sitedPid, pid);
  }, saved);
  site.removeTarget(9);
});

test('no request of the browser leaves loopback; no page fails', async (t) => {
  await check(t, 'every request went to 127.0.0.1', async () => {
    assert.ok(requests.length > 0, 'no requests counted');
    const elsewhere = requests.filter((url) => {
      const { protocol, hostname } = new URL(url);
      return !['data:', 'blob:'].includes(protocol) && hostname !== '127.0.0.1';
    });
    assert.deepEqual(elsewhere, [], `${elsewhere.length} of ${requests.length} requests away from loopback`);
  });
  await check(t, 'no uncaught error in any page', async () => assert.deepEqual(pageErrors, []));
});
