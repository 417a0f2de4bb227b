// The side panel: one entry per radar in #radars (state, rate, counters,
// time since its last packet, messages dropped) and one row per current
// target in table#targets. Entries carry data-radar, data-online,
// data-silent, data-status ("bad" while the latest status was dropped,
// else "good", or "none" before any) and data-timestamp (the latest
// packet's), rows data-radar and data-number. #dropped counts what the
// page dropped of the whole site: data-too-large, data-bad, data-bad-targets,
// data-bad-objects. The site service's status goes to #service (data-online,
// data-status, data-objects, data-pictures, data-late-messages, and one
// entry per radar it hears with data-radar and data-age in seconds), its
// objects to table#objects, one row per object with data-id and data-class,
// but those of the classes unchecked in #class-filter. The latest
// events go to ol#events, newest first, each a button (data-event,
// data-zone, data-object, data-time, data-x, data-y) that calls
// onEventChosen with its event; #events-dropped says what of the zones'
// topics was dropped. The site service's PTZ cameras go to ul#cameras, one
// li per camera (data-camera, data-online, data-following, data-why,
// data-taken-over) with its line (cameraText); where the user may act
// (allowCameraActions), its buttons: button.take or button.give, by
// whether it is taken over, button.follow while an object is selected on
// the map, button.unfollow while it follows the object an operator chose;
// #camera-error the one line of an action refused.

import { objectClasses } from './checks.js';
import { alignmentText, cameraText, historyText, objectCells, objectColour, rowCells } from './site.js';
import { eventCells } from './zones.js';

// The status counters shown, with their labels.
const counters = [
  ['packets', 'packets'],
  ['readErrors', 'read errors'],
  ['badHeaders', 'bad headers'],
  ['foreignDatagrams', 'foreign datagrams'],
  ['strayDatagrams', 'stray datagrams'],
  ['abandonedPackets', 'abandoned packets'],
  ['senders', 'senders'],
  ['competingDatagrams', 'competing datagrams'],
];

function element(tag, attributes = {}, text = undefined) {
  const e = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) e.setAttribute(name, value);
  if (text !== undefined) e.textContent = text;
  return e;
}

// "0.3 s ago", "2 min ago": the age of a page time (ms).
export function ago(ms) {
  if (ms < 60000) return `${(ms / 1000).toFixed(1)} s ago`;
  if (ms < 3600000) return `${Math.floor(ms / 60000)} min ago`;
  return `${Math.floor(ms / 3600000)} h ago`;
}

function swatch(colour) {
  const e = element('span', { class: 'swatch', 'aria-hidden': 'true' });
  e.style.background = colour;
  return e;
}

export class Panel {
  // service and objects (the site service's status and table), events and
  // cameras are optional.
  constructor(list, table, site, dropped = null, {
    service = null, objects = null, events = null, eventsDropped = null, cameras = null, cameraError = null,
  } = {}) {
    this.list = list;
    this.table = table;
    this.tbody = table.tBodies[0];
    this.site = site;
    this.dropped = dropped;
    this.service = service;
    this.objects = objects;
    this.entries = new Map(); // radar name -> its <li> and parts
    this.events = events;
    this.eventsDropped = eventsDropped;
    this.eventItems = new Map(); // event -> its <li>
    this.onEventChosen = null;
    this.hiddenClasses = new Set(); // the objects' classes left out of the table
    this.cameras = cameras;
    this.cameraError = cameraError;
    this.cameraItems = new Map(); // camera name -> its <li> and parts
    this.cameraApi = null; // an Api, where the user may act on the cameras
    this.selected = () => null; // the id of the object selected on the map, or null
  }

  // The cameras' buttons for a user who may act: api an Api, selected()
  // the id of the object selected on the map (null: none). Before the first
  // update.
  allowCameraActions(api, selected) {
    this.cameraApi = api;
    this.selected = selected;
  }

  // Shows the table of the view the map shows: each radar's targets, or
  // the site's objects.
  showView(shown) {
    this.table.hidden = shown === 'site';
    if (this.objects) this.objects.hidden = shown !== 'site';
    if (this.classFilter) this.classFilter.hidden = shown !== 'site';
  }

  // The objects' filter in fieldset, a checkbox per class checked unless
  // hidden: a change sets hiddenClasses (the map's Set too) and calls
  // onChange with it.
  showClassFilter(fieldset, hidden, onChange) {
    this.classFilter = fieldset;
    this.hiddenClasses = hidden;
    const boxes = objectClasses.map((name) => {
      const box = element('input', { type: 'checkbox', name: 'object-class', value: name });
      box.checked = !hidden.has(name);
      box.addEventListener('change', () => {
        if (box.checked) hidden.delete(name);
        else hidden.add(name);
        fieldset.dataset.hidden = [...hidden].join(' ');
        onChange(hidden);
      });
      const label = element('label');
      label.append(box, ` ${name}`);
      return label;
    });
    fieldset.dataset.hidden = [...hidden].join(' ');
    fieldset.append(...boxes);
  }

  entry(name) {
    let e = this.entries.get(name);
    if (e) return e;
    const li = element('li', { 'data-radar': name, 'data-online': 'false' });
    const head = element('div', { class: 'radar-head' });
    const swatch = element('span', { class: 'swatch', 'aria-hidden': 'true' });
    head.append(swatch, element('span', { class: 'radar-name' }, name));
    const state = element('span', { class: 'radar-state' });
    head.append(state);
    const rate = element('div', { class: 'radar-rate' });
    const last = element('div', { class: 'radar-last' });
    const dropped = element('div', { class: 'radar-dropped' });
    const alignment = element('div', { class: 'radar-alignment' });
    const dl = element('dl', { class: 'radar-counters' });
    const values = {};
    for (const [key, label] of counters) {
      dl.append(element('dt', {}, label));
      values[key] = element('dd', { 'data-counter': key }, '–');
      dl.append(values[key]);
    }
    li.append(head, rate, last, dropped, alignment, dl);
    e = { li, swatch, state, rate, last, dropped, alignment, values };
    this.entries.set(name, e);
    return e;
  }

  // Brings #radars and #dropped up to date: the entries in name order,
  // none for a radar the site has forgotten.
  updateRadars(nowMs) {
    const names = this.site.names();
    for (const [name, e] of this.entries) {
      if (this.site.radars.has(name)) continue;
      e.li.remove();
      this.entries.delete(name);
    }
    names.forEach((name, index) => {
      const r = this.site.radars.get(name);
      const e = this.entry(name);
      if (this.list.children[index] !== e.li) this.list.insertBefore(e.li, this.list.children[index] ?? null);
      const online = r.online === true;
      e.li.dataset.online = String(online);
      e.swatch.style.background = this.site.colour(name);
      const state = r.online === null ? 'unknown' : online ? 'online' : 'offline';
      e.state.textContent = r.statusError ? `${state}, bad status` : state;
      e.li.dataset.status = r.statusError ? 'bad' : r.status ? 'good' : 'none';
      const status = r.status ?? { rate: null, counters: {} };
      e.rate.textContent = status.rate !== null && online ? `${status.rate.toFixed(1)} packets/s` : '';
      e.li.dataset.timestamp = r.lastTimestamp ?? '';
      const silent = this.site.silent(name, nowMs);
      e.li.dataset.silent = String(silent);
      e.last.textContent =
        r.lastPacketAt === null ? 'no packet yet' : `last packet ${ago(nowMs - r.lastPacketAt)}`;
      const messages = r.dropped === 1 ? 'message' : 'messages';
      e.dropped.textContent = r.dropped === 0 ? '' : `${r.dropped} ${messages} dropped, the last: ${r.lastDropped}`;
      // The site service's estimate of its mounting error, when it gives one.
      const aligned = this.site.service.status?.alignment?.radars.get(name) ?? null;
      e.alignment.textContent = alignmentText(aligned) ?? '';
      e.li.dataset.alignment = !aligned ? '' : aligned.observable ? String(aligned.certain) : 'unobservable';
      for (const [key] of counters) {
        const value = status.counters[key];
        e.values[key].textContent = value === undefined ? '–' : String(value);
      }
    });
    if (this.dropped) {
      const { tooLargeMessages, badMessages, badTargets, badObjects, badZones } = this.site;
      this.dropped.dataset.tooLarge = tooLargeMessages;
      this.dropped.dataset.bad = badMessages;
      this.dropped.dataset.badTargets = badTargets;
      this.dropped.dataset.badObjects = badObjects;
      this.dropped.dataset.badZones = badZones;
      this.dropped.textContent = `Dropped: ${tooLargeMessages} messages too large, ${badMessages} bad messages, ` +
        `${badTargets} bad targets, ${badObjects} bad objects, ${badZones} bad zones`;
    }
    if (this.eventsDropped) {
      const { dropped, lastDropped } = this.site.zoneMessages;
      const messages = dropped === 1 ? 'message' : 'messages';
      this.eventsDropped.dataset.dropped = dropped;
      this.eventsDropped.textContent = dropped === 0 ? ''
        : `${dropped} ${messages} of the zones dropped, the last: ${lastDropped}`;
    }
    this.updateService(nowMs);
    this.updateCameras();
  }

  // ul#cameras: a camera keeps its li (and its buttons) while the status
  // has it; the list is hidden while there is none.
  updateCameras() {
    if (!this.cameras) return;
    const cameras = this.site.cameras();
    const names = new Set(cameras.map(([name]) => name));
    for (const [name, item] of this.cameraItems) {
      if (names.has(name)) continue;
      item.li.remove();
      this.cameraItems.delete(name);
    }
    const selected = this.selected();
    cameras.forEach(([name, c], index) => {
      let item = this.cameraItems.get(name);
      if (!item) {
        item = this.cameraItem(name);
        this.cameraItems.set(name, item);
      }
      item.camera = c;
      const d = item.li.dataset;
      d.online = String(c.online);
      d.following = c.following ?? '';
      d.why = c.why;
      d.takenOver = String(c.takenOver);
      item.swatch.style.background = this.site.cameraColour(name);
      item.text.textContent = cameraText(c);
      if (item.take) {
        item.take.hidden = c.takenOver;
        item.give.hidden = !c.takenOver;
        item.follow.hidden = selected === null;
        item.follow.dataset.object = selected ?? '';
        item.follow.title = selected === null ? '' : `Follow object ${selected}`;
        item.unfollow.hidden = c.why !== 'followed';
      }
      const at = this.cameras.children[index] ?? null;
      if (at !== item.li) this.cameras.insertBefore(item.li, at);
    });
    this.cameras.hidden = cameras.length === 0;
  }

  cameraItem(name) {
    const li = element('li', { 'data-camera': name });
    const swatch = element('span', { class: 'swatch', 'aria-hidden': 'true' });
    const text = element('span', { class: 'camera-state' });
    li.append(swatch, element('span', { class: 'camera-name' }, name), text);
    const item = { li, swatch, text, camera: null };
    if (this.cameraApi) {
      const api = this.cameraApi;
      const make = (className, label, title, action) => {
        const b = element('button', { type: 'button', class: className, title, 'data-camera': name }, label);
        b.addEventListener('click', () => this.actOnCamera(action));
        return b;
      };
      item.take = make('take', 'Take over', 'Drive it by hand; sited leaves it alone', () => api.takeCamera(name));
      item.give = make('give', 'Give back', 'Let sited point it again', () => api.giveCamera(name));
      item.follow = make('follow', 'Follow selected', '', () => {
        const id = this.selected();
        if (id === null) throw new Error('select an object on the map first');
        return api.followWithCamera(name, id);
      });
      item.unfollow = make('unfollow', 'Stop following', 'Follow no object of an operator\'s choice',
        () => api.followWithCamera(name, null));
      const actions = element('span', { class: 'camera-actions' });
      actions.append(item.take, item.give, item.follow, item.unfollow);
      li.append(actions);
    }
    return item;
  }

  // Runs a camera's action; its refusal shows in #camera-error. The
  // camera's new state comes with the next status.
  async actOnCamera(action) {
    this.showCameraError('');
    try {
      return await action();
    } catch (error) {
      this.showCameraError(error.message);
      return null;
    }
  }

  showCameraError(text) {
    if (!this.cameraError) return;
    this.cameraError.textContent = text;
    this.cameraError.hidden = text === '';
  }

  // The site service's status: online, its counts, and the seconds since
  // each radar's last message as the service last said them.
  updateService(nowMs) {
    if (!this.service) return;
    const s = this.site.service;
    const e = this.service;
    const status = s.status;
    const state = s.online === null ? 'not heard of' : s.online ? 'online' : 'offline';
    e.dataset.online = s.online === null ? 'unknown' : String(s.online);
    e.dataset.status = s.statusError ? 'bad' : status ? 'good' : 'none';
    const counts = { objects: 'objects', pictures: 'pictures', lateMessages: 'late messages' };
    const parts = [];
    for (const [key, label] of Object.entries(counts)) {
      const value = status?.[key] ?? null;
      e.dataset[key] = value ?? '';
      if (value !== null) parts.push(`${value} ${label}`);
    }
    const lines = [element('div', { class: 'service-state' },
      s.statusError ? `Site service: ${state}, bad status` : `Site service: ${state}`)];
    if (parts.length > 0) lines.push(element('div', { class: 'service-counts' }, parts.join(' · ')));
    // What the service could not keep: events while the broker was away
    // and history records while the database was, shown once there are any.
    const lost = { droppedEvents: ['event', 'events'], droppedRecords: ['history record', 'history records'] };
    const lostParts = [];
    for (const [key, [one, many]] of Object.entries(lost)) {
      const value = status?.[key] ?? null;
      e.dataset[key] = value ?? '';
      if (value) lostParts.push(`${value} ${value === 1 ? one : many}`);
    }
    if (lostParts.length > 0) {
      lines.push(element('div', { class: 'service-dropped' }, `dropped: ${lostParts.join(', ')}`));
    }
    // The history's size and days, as the service last measured them.
    for (const key of ['historyBytes', 'historyOldestDay', 'historyNewestDay']) e.dataset[key] = status?.[key] ?? '';
    const history = historyText(status);
    if (history !== null) lines.push(element('div', { class: 'service-history' }, history));
    if (s.online === true) {
      const last = s.lastPictureAt === null ? 'no picture yet' : `last picture ${ago(nowMs - s.lastPictureAt)}`;
      const silent = String(this.site.serviceSilent(nowMs));
      lines.push(element('div', { class: 'service-last', 'data-silent': silent }, last));
    }
    if (s.dropped > 0) {
      const messages = s.dropped === 1 ? 'message' : 'messages';
      const text = `${s.dropped} ${messages} dropped, the last: ${s.lastDropped}`;
      lines.push(element('div', { class: 'radar-dropped' }, text));
    }
    if (status && status.radars.size > 0) {
      const ul = element('ul', { class: 'service-radars' });
      for (const name of [...status.radars.keys()].sort()) {
        const age = status.radars.get(name);
        const text = age === null ? `${name}: no message yet` : `${name}: ${age.toFixed(1)} s since its last message`;
        ul.append(element('li', { 'data-radar': name, 'data-age': age ?? '' }, text));
      }
      lines.push(ul);
    }
    e.replaceChildren(...lines);
  }

  // Brings ol#events up to the site's latest events. An event keeps its
  // item (and the keyboard's focus) while it is listed: new ones go in
  // above it.
  updateEvents() {
    if (!this.events) return;
    const listed = new Set(this.site.events.events);
    for (const [event, li] of this.eventItems) {
      if (listed.has(event)) continue;
      li.remove();
      this.eventItems.delete(event);
    }
    this.site.events.events.forEach((event, index) => {
      let li = this.eventItems.get(event);
      if (!li) {
        li = this.eventItem(event);
        this.eventItems.set(event, li);
      }
      if (this.events.children[index] !== li) this.events.insertBefore(li, this.events.children[index] ?? null);
    });
  }

  eventItem(event) {
    const [time, kind, zone, object, extra] = eventCells(event);
    const button = element('button', {
      type: 'button',
      class: 'event',
      'data-event': kind,
      'data-zone': zone,
      'data-object': object,
      'data-time': String(event.time),
      'data-x': String(event.x),
      'data-y': String(event.y),
      title: `Show ${event.x.toFixed(1)} m, ${event.y.toFixed(1)} m on the map`,
    });
    button.append(element('span', { class: 'event-time' }, time), element('span', { class: 'event-kind' }, kind),
      element('span', { class: 'event-zone' }, zone), element('span', { class: 'event-object' }, `object ${object}`));
    if (extra !== '') button.append(element('span', { class: 'event-extra' }, extra));
    button.addEventListener('click', () => this.onEventChosen?.(event));
    const li = element('li');
    li.append(button);
    return li;
  }

  // Brings table#objects to the site service's latest picture.
  updateObjects() {
    if (!this.objects) return;
    syncRows(this.objects.tBodies[0], this.site.objectRows(this.hiddenClasses), (o) => String(o.id), (o) => {
      const cells = objectCells(o);
      const heading = cells[4] === '' ? 'no heading' : `heading ${cells[4]}°`;
      return {
        attributes: {
          'data-id': String(o.id),
          'data-class': o.class,
          class: o.confirmed ? 'confirmed' : 'unconfirmed',
          title: `${cells[3]} km/h, ${heading}; seen by ${cells[5] || 'no radar'}`,
        },
        cells,
        colour: objectColour(o.id),
      };
    });
  }

  // Brings the table's rows to the site's current targets.
  updateTargets() {
    syncRows(this.tbody, this.site.rows(), (row) => `${row.radar} ${row.number}`, (row) => ({
      attributes: {
        'data-radar': row.radar,
        'data-number': String(row.number),
        class: row.confirmed ? 'confirmed' : 'unconfirmed',
      },
      cells: rowCells(row),
      colour: this.site.colour(row.radar),
    }));
  }
}

// Brings tbody's rows to items, in their order: the row of an item whose
// key was shown before is kept and only what changed in it is written, so
// that a picture of hundreds of objects costs the page a few text changes
// rather than a new table to lay out. describe(item) gives the row's
// attributes, its cells' texts (the first a th with the colour's swatch).
function syncRows(tbody, items, keyOf, describe) {
  const shown = new Map();
  for (const tr of tbody.rows) shown.set(tr.dataset.key, tr);
  let k = 0;
  for (const item of items) {
    const key = keyOf(item);
    const { attributes, cells, colour } = describe(item);
    let tr = shown.get(key);
    if (!tr) {
      tr = element('tr', { 'data-key': key });
      cells.forEach((text, i) => {
        const td = element(i === 0 ? 'th' : 'td', i === 0 ? { scope: 'row' } : {}, text);
        if (i === 0) td.prepend(swatch(colour));
        tr.append(td);
      });
    } else {
      shown.delete(key);
      cells.forEach((text, i) => {
        const td = tr.cells[i];
        const node = td.lastChild;
        if (node?.nodeType === Node.TEXT_NODE) {
          if (node.data !== text) node.data = text;
        } else if (td.textContent !== text) {
          td.append(text);
        }
      });
    }
    for (const [name, value] of Object.entries(attributes)) {
      if (tr.getAttribute(name) !== value) tr.setAttribute(name, value);
    }
    if (tbody.rows[k] !== tr) tbody.insertBefore(tr, tbody.rows[k] ?? null);
    ++k;
  }
  for (const tr of shown.values()) tr.remove();
}
