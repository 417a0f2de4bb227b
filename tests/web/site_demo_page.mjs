// The page of a running scripts/site-demo in Debian's headless Chromium,
// opened from the address the demo printed: it leads to sited's login
// page, which refuses a wrong password and says so; logged in as the
// viewer, the page reads sited's stream and shows every radar online and
// targets in its table; logged out, it is back at the login page.
//
// With SITE_DEMO_SCREENSHOT set, it saves the logged-in page there at
// 1280 x 800 once sited's objects and an event are shown (the guide's
// picture, docs/site-view.png).
//
// Usage: node site_demo_page.mjs URL PASSWORD RADAR...; WEB_DIR (web/, with its
// node_modules), CHROMIUM (default /usr/bin/chromium). Exit status: 0 all
// good, 1 with the failures on standard error, 77 skipped.

import { createRequire } from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [url, password, ...radars] = process.argv.slice(2);
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';
const waitMs = 20000; // for anything the page should show
const screenshot = process.env.SITE_DEMO_SCREENSHOT;
const eventWaitMs = 60000; // for the screenshot's first event
if (!fs.existsSync(chromium)) {
  console.log(`skipped: no Chromium at ${chromium} (Debian package chromium)`);
  process.exit(77);
}
const puppeteer = createRequire(path.join(process.env.WEB_DIR, 'package.json'))('puppeteer-core');

const failures = [];
const userDataDir = fs.mkdtempSync(path.join(os.tmpdir(), 'trklib-site-demo-page-'));
const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  userDataDir,
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking'],
});
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  const logIn = async (secret) => {
    await page.waitForSelector('form#login', { timeout: waitMs });
    await page.$eval('#name', (e) => { e.value = ''; });
    await page.type('#name', 'viewer');
    await page.type('#password', secret);
    await page.click('form#login button[type="submit"]');
  };
  await page.goto(url);
  await logIn(`${password}x`);
  await page.waitForFunction(() => document.querySelector('#login-state').dataset.state === 'wrong',
    { timeout: waitMs }).catch(async () => {
    const said = await page.$eval('#login-state', (e) => `${e.dataset.state}: ${e.textContent}`);
    failures.push(`a wrong password: the login page says ${said}`);
  });
  if (await page.$('table#targets')) failures.push('a wrong password: the page shown');

  await logIn(password);
  await page.waitForFunction((names) => {
    const online = [...document.querySelectorAll('#radars li[data-online="true"]')].map((li) => li.dataset.radar);
    return document.querySelector('#connection')?.dataset.state === 'connected' &&
      document.querySelector('table#objects tbody tr') &&
      names.every((name) => online.includes(name) &&
        document.querySelector(`table#targets tbody tr[data-radar="${name}"]`));
  }, { timeout: waitMs }, radars).catch(async () => {
    const state = await page.$eval('#connection', (e) => `${e.dataset.state}: ${e.textContent}`).catch(() => 'no page');
    const rows = await page.$$eval('table#targets tbody tr', (trs) => trs.map((tr) => tr.dataset.radar));
    failures.push(`logged in from ${url}: connection ${state}; radars with rows: ${[...new Set(rows)].join(', ')}`);
  });
  if (await page.$eval('#user', (e) => e.textContent).catch(() => '') !== 'viewer (viewer)') {
    failures.push('logged in: the header does not name the viewer');
  }
  if (await page.$eval('#broker-login', (e) => getComputedStyle(e).display) !== 'none') {
    failures.push('logged in: the page served by sited asks for a broker password');
  }
  if (screenshot && failures.length === 0) {
    await page.waitForFunction(() => document.querySelector('ol#events li'), { timeout: eventWaitMs })
      .catch(() => failures.push(`no event listed within ${eventWaitMs / 1000} s for the screenshot`));
    await page.screenshot({ path: screenshot });
  }

  await page.click('#logout').catch(() => failures.push('logged in: no logout button'));
  await page.waitForSelector('form#login', { timeout: waitMs }).catch(() => failures.push('logged out: no login page'));
  await page.goto(url);
  await page.waitForSelector('form#login', { timeout: waitMs })
    .catch(() => failures.push('logged out: the address opens the page, not the login page'));
} finally {
  await browser.close();
  fs.rmSync(userDataDir, { recursive: true, force: true });
}
for (const failure of failures) console.error(`FAIL: ${failure}`);
process.exit(failures.length > 0 ? 1 : 0);
