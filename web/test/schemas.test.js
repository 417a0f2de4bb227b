// The page's checks against the message schemas of docs/schemas: every
// message of the boundary table that tests/schemas validates with the
// schemas (at and just past each of their limits) is taken or refused by
// checks.js as the schema says, unless the table says why the page differs.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import { test } from 'node:test';

import { checkStatus, checkTracks } from '../src/checks.js';

const table = JSON.parse(fs.readFileSync(new URL('../../tests/schemas/boundaries.json', import.meta.url), 'utf8'));

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

// Taken whole: a status without error, a tracks message with no target left out.
function pageTakes(base, message) {
  if (base === 'tracks') {
    const checked = checkTracks(message);
    return !checked.error && checked.leftOut === 0;
  }
  return !checkStatus(message).error;
}

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
        assert.equal(pageTakes(row.base, message), expected, `${pointer} ${kind} ${JSON.stringify(argument)}`);
      }
    }
  });
}
