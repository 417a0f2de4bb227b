// The page of a running scripts/site-demo in Debian's headless Chromium,
// opened from the address the demo printed: it logs in to the broker,
// shows every radar online and targets in its table. Opened from the same
// address without the password, it is refused by the broker and says so.
//
// With SITE_DEMO_SCREENSHOT set, it saves the logged-in page there at
// 1280 x 800 once sited's objects and an event are shown (the guide's
// picture, docs/site-view.png).
//
// Usage: node site_demo_page.mjs URL RADAR...; WEB_DIR (web/, with its
// node_modules), CHROMIUM (default /usr/bin/chromium). Exit status: 0 all
// good, 1 with the failures on standard error, 77 skipped.

import { createRequire } from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const [url, ...radars] = process.argv.slice(2);
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
  await page.goto(url);
  await page.waitForFunction((names) => {
    const online = [...document.querySelectorAll('#radars li[data-online="true"]')].map((li) => li.dataset.radar);
    return document.querySelector('#connection').dataset.state === 'connected' &&
      document.querySelector('table#objects tbody tr') &&
      names.every((name) => online.includes(name) &&
        document.querySelector(`table#targets tbody tr[data-radar="${name}"]`));
  }, { timeout: waitMs }, radars).catch(async () => {
    const state = await page.$eval('#connection', (e) => `${e.dataset.state}: ${e.textContent}`);
    const rows = await page.$$eval('table#targets tbody tr', (trs) => trs.map((tr) => tr.dataset.radar));
    failures.push(`from ${url}: connection ${state}; radars with rows: ${[...new Set(rows)].join(', ')}`);
  });
  if (screenshot && failures.length === 0) {
    await page.waitForFunction(() => document.querySelector('ol#events li'), { timeout: eventWaitMs })
      .catch(() => failures.push(`no event listed within ${eventWaitMs / 1000} s for the screenshot`));
    await page.screenshot({ path: screenshot });
  }

  const anonymous = new URL(url);
  anonymous.searchParams.delete('password');
  anonymous.searchParams.delete('user');
  await page.goto(anonymous.href);
  await page.waitForFunction(() => {
    const connection = document.querySelector('#connection');
    return connection.dataset.state === 'error' && /not authori[sz]ed/i.test(connection.textContent);
  }, { timeout: waitMs }).catch(async () => {
    const state = await page.$eval('#connection', (e) => `${e.dataset.state}: ${e.textContent}`);
    failures.push(`without a login: connection ${state}, not refused`);
  });
  if ((await page.$$('table#targets tbody tr')).length > 0) failures.push('without a login: targets shown');
} finally {
  await browser.close();
  fs.rmSync(userDataDir, { recursive: true, force: true });
}
for (const failure of failures) console.error(`FAIL: ${failure}`);
process.exit(failures.length > 0 ? 1 : 0);
