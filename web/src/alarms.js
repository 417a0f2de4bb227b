// The site's alarms on the page: the open alarms and shelved zones of the
// retained <prefix>/<site>/alarms message (or of an operator action's
// answer), each change of <prefix>/<site>/alarms/changes and of the
// history's GET /api/alarms?from=&to=, checked as every other message: a
// message that fails is dropped whole. Nothing here touches the page.

import { eventKinds, maxTimestampMs, objectClasses, radarNamePattern } from './checks.js';

// Alarms and shelvings one message may hold: one alarm per object per
// zone's event is far fewer.
export const maxAlarms = 1000;
// Notes of one alarm the page keeps, the latest.
export const maxNotes = 100;
// The changes the history list shows, the newest.
export const maxHistoryChanges = 200;
// The period of the history list (ms): the last day.
export const historyMs = 24 * 3600 * 1000;
export const alarmActions = ['raise', 'acknowledge', 'note', 'left', 'clear', 'shelve', 'unshelve', 'arm', 'disarm',
  'schedule'];

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

function isTime(value) {
  return Number.isInteger(value) && value >= 0 && value <= maxTimestampMs;
}

function isId(value) {
  return Number.isSafeInteger(value) && value >= 1;
}

const isName = (v) => typeof v === 'string' && radarNamePattern.test(v);
const isText = (v) => typeof v === 'string';

// { user, time, text } of an acknowledgement (its "note") or a note.
function checkNote(n, textKey) {
  if (!isObject(n) || !isText(n.user) || !isTime(n.time) || !isText(n[textKey])) return null;
  return { user: n.user, time: n.time, text: n[textKey] };
}

function checkAlarm(a) {
  if (!isObject(a) || !isId(a.id) || !isName(a.zone) || !eventKinds.includes(a.event)) return null;
  if (!isId(a.object) || !isTime(a.time) || !Number.isFinite(a.x) || !Number.isFinite(a.y)) return null;
  if (a.state !== 'raised' && a.state !== 'acknowledged') return null;
  // Acknowledged exactly when it says so.
  const acknowledged = a.acknowledged === null ? null : checkNote(a.acknowledged, 'note');
  if ((acknowledged !== null) !== (a.state === 'acknowledged')) return null;
  if (typeof a.left !== 'boolean' || !Array.isArray(a.notes)) return null;
  const notes = a.notes.slice(-maxNotes).map((n) => checkNote(n, 'text'));
  if (notes.includes(null)) return null;
  return {
    id: a.id, zone: a.zone, event: a.event, object: a.object, time: a.time, x: a.x, y: a.y,
    state: a.state, acknowledged, left: a.left, notes,
    // The object's class at the alarm's event; null from a service that
    // classifies none (or of a class the page does not know).
    class: objectClasses.includes(a.class) ? a.class : null,
  };
}

function checkShelving(s) {
  if (!isObject(s) || !isName(s.zone) || !isText(s.user) || !isTime(s.since) || !isTime(s.until)) return null;
  return { zone: s.zone, user: s.user, since: s.since, until: s.until, why: isText(s.why) ? s.why : '' };
}

// The open alarms: { value: { time, alarms, shelved } } or { error }.
export function checkAlarms(message) {
  if (!isObject(message)) return { error: 'no JSON object' };
  if (!isTime(message.time)) return { error: 'time is no time in ms' };
  const { alarms, shelved } = message;
  if (!Array.isArray(alarms) || alarms.length > maxAlarms) {
    return { error: `alarms is no list of at most ${maxAlarms}` };
  }
  if (!Array.isArray(shelved) || shelved.length > maxAlarms) {
    return { error: `shelved is no list of at most ${maxAlarms}` };
  }
  const value = { time: message.time, alarms: alarms.map(checkAlarm), shelved: shelved.map(checkShelving) };
  if (value.alarms.includes(null)) return { error: 'an alarm is not one' };
  if (value.shelved.includes(null)) return { error: 'a shelving is not one' };
  return { value };
}

// One change: { value: { time, alarm, zone, action, user, text, event,
// object } } or { error }.
export function checkAlarmChange(c) {
  if (!isObject(c) || !isTime(c.time)) return { error: 'no change with a time' };
  if (!Number.isSafeInteger(c.alarm) || c.alarm < 0) return { error: 'alarm is no id' };
  if (!isName(c.zone) || !alarmActions.includes(c.action)) return { error: 'no zone or no action' };
  if (!isText(c.user) || !isText(c.text)) return { error: 'user or text is no string' };
  return {
    value: {
      time: c.time, alarm: c.alarm, zone: c.zone, action: c.action, user: c.user, text: c.text,
      event: eventKinds.includes(c.event) ? c.event : null, object: isId(c.object) ? c.object : null,
      until: isTime(c.until) ? c.until : null,
    },
  };
}

// The history's changes, newest first, at most maxHistoryChanges; those
// that fail are left out.
export function historyOf(body) {
  const changes = isObject(body) && Array.isArray(body.changes) ? body.changes : [];
  const kept = changes.map((c) => checkAlarmChange(c).value).filter((c) => c !== undefined);
  kept.sort((a, b) => b.time - a.time);
  return kept.slice(0, maxHistoryChanges);
}

// The list's order: the raised first, then the acknowledged; newest first
// within each (the later id first among alarms of one time).
export function listOrder(alarms) {
  const rank = (a) => (a.state === 'raised' ? 0 : 1);
  return [...alarms].sort((a, b) => rank(a) - rank(b) || b.time - a.time || b.id - a.id);
}

// "12 s", "4 min", "2 h 5 min", "3 d": how long ago an alarm was raised.
export function ageText(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min`;
  if (s < 86400) return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
  return `${Math.floor(s / 86400)} d`;
}

// An alarm's line: zone, event, object (its class when known) and age at
// nowMs (ms since 1970).
export function alarmText(a, nowMs) {
  const left = a.left ? ', left' : '';
  const kind = a.class ? ` (${a.class})` : '';
  return `${a.zone}: ${a.event}, object ${a.object}${kind}${left}, ${ageText(nowMs - a.time)} ago`;
}

// A change's line: its time of day (UTC), the zone, alarm and action, who,
// and what was written.
export function changeText(c) {
  const time = new Date(c.time).toISOString().slice(11, 19);
  const what = c.alarm > 0 ? `alarm ${c.alarm} ${c.action}` : c.action;
  const detail = c.action === 'raise' && c.event ? ` (${c.event}, object ${c.object})` : '';
  const by = c.user ? ` by ${c.user}` : '';
  const text = c.text ? `: ${c.text}` : '';
  return `${time} ${c.zone} ${what}${detail}${by}${text}`;
}

// The sound's state: 'off' while no alarm is raised, else 'on' where the
// browser plays it, 'blocked' until a gesture lets it (audio: the
// AudioContext's state, or null without one).
export function soundState(alarms, audio) {
  if (!alarms.some((a) => a.state === 'raised')) return 'off';
  return audio === 'running' ? 'on' : 'blocked';
}

// The shelving of a zone, or null.
export function shelvingOf(shelved, zone) {
  return shelved.find((s) => s.zone === zone) ?? null;
}

// A zone's line in the zones list: armed or not, by whom overridden until
// when, shelved until when. state: checkZoneState's value or null.
export function zoneStatusText(state, shelving) {
  const parts = [];
  if (state) {
    parts.push(state.armed ? 'armed' : 'disarmed');
    const o = state.override;
    if (o) {
      const until = o.until === null ? 'until the schedule changes' : `until ${clock(o.until)}`;
      parts.push(`${o.armed ? 'armed' : 'disarmed'} by ${o.by || 'an operator'} ${until}`);
    }
  }
  if (shelving) {
    const why = shelving.why ? `: ${shelving.why}` : '';
    parts.push(`shelved by ${shelving.user} until ${clock(shelving.until)}${why}`);
  }
  return parts.join(', ');
}

function clock(ms) {
  return new Date(ms).toISOString().slice(0, 16).replace('T', ' ');
}
