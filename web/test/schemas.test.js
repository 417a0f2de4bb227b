// The page's checks against the message schemas of docs/schemas: every
// message of the boundary tables that tests/schemas validates with the
// schemas (at and just past each of their limits) is taken or refused by
// checks.js as the schema says, unless the table (page, why) or the list
// below says why the page differs.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';

import {
  checkEvent, checkPicture, checkSiteStatus, checkStatus, checkTracks, checkZones, checkZoneState,
} from '../src/checks.js';

const tables = ['boundaries.json', 'site_boundaries.json', 'zone-boundaries.json'].map((name) => JSON.parse(
  fs.readFileSync(new URL(`../../tests/schemas/${name}`, import.meta.url), 'utf8')));

// Where the page differs from the schemas of sited's messages: the case,
// its paths and values concerned (all when not given), the page's verdict
// and why. (trackd's table carries its own, as page and why.)
const pageDiffers = [
  { case: 'site not topic-safe', paths: ['/site'], page: true, why: 'the page names the site by its topic' },
  { case: 'names past 64 or not topic-safe', paths: ['/site'], page: true, why: 'the page names the site by its topic' },
  { case: 'no object, and many', values: [50], page: false, why: 'the copies share one id and the page keeps one object an id' },
  { case: 'heading past its ends, or none while moving', values: [null], page: true, why: 'the page draws no arrow then' },
  { case: 'a heading below 1 km/h', page: true, why: 'the page draws the heading it is given at any speed' },
  { case: 'confirmed not a boolean', page: true, why: 'the page shows anything but true as unconfirmed' },
  { case: 'counts past their ends', values: [null], page: true, why: 'the page shows an unknown count as blank' },
  {
    case: 'counts past their ends',
    paths: ['/fusionRecoveries', '/asterixClamped', '/outputDropped'],
    page: true,
    why: 'the page does not read fusion\'s recoveries nor the outputs\' counts',
  },
  {
    case: "a camera's bearing past its ends",
    values: [-0.01],
    page: true,
    why: 'the page takes a bearing either way round, as it takes a radar\'s heading',
  },
  {
    case: "a camera's field missing",
    paths: ['/cameras/gate/problem'],
    page: true,
    why: 'the page reads no problem of an online camera as none',
  },
];

const used = new Set();
function differs(row, pointer, argument) {
  const found = pageDiffers.find((d) => d.case === row.case && (!d.paths || d.paths.includes(pointer))
    && (!d.values || d.values.some((v) => JSON.stringify(v) === JSON.stringify(argument))));
  if (found) used.add(found);
  return found;
}

// A copy of base with the field at pointer set to argument (value), made a
// list of argument copies of its first item (fill), or removed.
function withField(base, pointer, kind, argument) {
  const message = structuredClone(base);
  const parts = pointer.split('/').slice(1);
  const last = parts.pop();
  const parent = parts.reduce((object, part) => object[part], message);
  if (kind === 'remove') delete parent[last];
  else if (kind === 'fill') parent[last] = Array.from({ length: argument }, () => structuredClone(parent[last][0]));
  else parent[last] = argument;
  return message;
}

// Taken whole: no error, and no target, object or zone left out.
const whole = (checked) => !checked.error && !checked.leftOut;
const pageChecks = {
  tracks: checkTracks,
  online: checkStatus,
  offline: checkStatus,
  picture: checkPicture,
  'site-online': checkSiteStatus,
  'site-aligned': checkSiteStatus,
  'site-cameras': checkSiteStatus,
  'site-offline': checkSiteStatus,
  'event-enter': checkEvent,
  'event-exit': checkEvent,
  'event-cross': checkEvent,
  'event-dwell': checkEvent,
  // A state arrives on its zone's topic: the base's zone.
  'zone-state': (message, base) => checkZoneState(message, base.zone),
  zones: checkZones,
};

for (const table of tables) {
  for (const row of table.cases) {
    let base = table.bases[row.base];
    for (const [pointer, value] of Object.entries(row.also ?? {})) base = withField(base, pointer, 'value', value);
    const variants = row.remove ? [['remove', null]]
      : row.fills ? row.fills.map((n) => ['fill', n])
        : row.values.map((v) => ['value', v]);
    const expected = row.page ?? row.valid;
    test(`${row.case}: ${expected ? 'taken' : 'refused'}${row.why ? ` (${row.why})` : ''}`, () => {
      for (const pointer of row.paths) {
        for (const [kind, argument] of variants) {
          const message = withField(base, pointer, kind, argument);
          const exception = differs(row, pointer, argument);
          const taken = whole(pageChecks[row.base](message, table.bases[row.base]));
          assert.equal(taken, exception?.page ?? expected,
            `${pointer} ${kind} ${JSON.stringify(argument)}${exception ? ` (${exception.why})` : ''}`);
        }
      }
    });
  }
}

test('every exception is met by a case of the tables', () => {
  assert.deepEqual(pageDiffers.filter((d) => !used.has(d)), []);
});
