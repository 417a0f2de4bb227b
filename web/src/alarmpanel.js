// The alarms on the page: ol#alarm-list, one li per open alarm
// (data-alarm, data-state, data-zone, data-event, data-object, data-class
// when the alarm says the object's class), the raised
// first, its age ticking; choosing one centres the map on its object and
// follows it. For operators and admins each alarm has button.ack (with the
// note typed into its input.note-text) and button.note, and ul#zone-list
// each zone's button.shelve (minutes and why in #shelve-form),
// button.unshelve, button.arm, button.disarm and button.schedule; viewers
// see the list alone. #alarm-sound plays a tone while any alarm is raised
// (data-state on, blocked until the browser lets it, off);
// ol#alarm-history the changes of the last day; #alarm-error the one line
// of an action refused.

import {
  alarmText,
  changeText,
  checkAlarmChange,
  checkAlarms,
  historyOf,
  listOrder,
  shelvingOf,
  soundState,
  zoneStatusText,
} from './alarms.js';

const toneHz = 880;
const toneOnMs = 250; // of each toneEveryMs while an alarm is raised
const toneEveryMs = 1000;
const toneGain = 0.15;
const ageTickMs = 1000; // the alarms' ages move on
const historyDelayMs = 300; // changes that come together load the history once

function element(tag, attributes = {}, text = undefined) {
  const e = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) e.setAttribute(name, value);
  if (text !== undefined) e.textContent = text;
  return e;
}

function button(className, text, title) {
  return element('button', { type: 'button', class: className, title }, text);
}

// A tone while raised() says so, where the browser lets the page play.
class AlarmTone {
  constructor(indicator, raised) {
    this.indicator = indicator;
    this.raised = raised;
    const Context = globalThis.AudioContext ?? globalThis.webkitAudioContext;
    try {
      this.audio = Context ? new Context() : null;
    } catch {
      this.audio = null; // too many pages' sounds, or none allowed
    }
    // A gesture lets a page's audio play in browsers that wait for one.
    const allow = () => this.audio?.resume().then(() => this.update(), () => {});
    for (const type of ['pointerdown', 'keydown']) document.addEventListener(type, allow, { capture: true });
    this.audio?.addEventListener?.('statechange', () => this.update());
    setInterval(() => this.beep(), toneEveryMs);
  }

  update() {
    const state = soundState(this.raised(), this.audio?.state ?? null);
    this.indicator.dataset.state = state;
    this.indicator.textContent = {
      on: 'Sound: on',
      off: 'Sound: off (no raised alarm)',
      blocked: this.audio ? 'Sound: blocked by the browser; click to allow' : 'Sound: this browser has none',
    }[state];
  }

  beep() {
    this.update();
    if (this.indicator.dataset.state !== 'on') return;
    const now = this.audio.currentTime;
    const oscillator = this.audio.createOscillator();
    const gain = this.audio.createGain();
    oscillator.frequency.value = toneHz;
    gain.gain.value = toneGain;
    oscillator.connect(gain).connect(this.audio.destination);
    oscillator.start(now);
    oscillator.stop(now + toneOnMs / 1000);
  }
}

export class AlarmPanel {
  // elements: { list, history, error, sound, zones, shelveForm,
  // shelveZone, shelveMinutes, shelveWhy }; api: an Api; site: the live
  // Site (its zones and their states); map: the SiteMap; role: the
  // session's (null without logins).
  constructor(elements, { api, site, map, role, onChange }) {
    Object.assign(this, elements);
    this.api = api;
    this.site = site;
    this.map = map;
    this.acting = role === 'operator' || role === 'admin';
    this.onChange = onChange;
    this.alarms = [];
    this.shelved = [];
    this.items = new Map(); // alarm id -> { li, text, ack }
    this.zoneItems = new Map(); // zone name -> { li, text }
    this.selected = null;
    this.historyDue = null;
    this.tone = new AlarmTone(this.sound, () => this.alarms);
    this.sound.addEventListener('click', () => this.tone.audio?.resume().then(() => this.tone.update(), () => {}));
    this.shelveForm.addEventListener('submit', (e) => {
      e.preventDefault();
      this.shelve();
    });
    this.shelveForm.querySelector('#shelve-cancel')?.addEventListener('click', () => {
      this.shelveForm.hidden = true;
    });
    this.shelveForm.addEventListener('keydown', (e) => {
      if (e.key === 'Escape') this.shelveForm.hidden = true;
    });
    this.tone.update();
    setInterval(() => this.updateList(Date.now()), ageTickMs);
  }

  // The retained alarms message, or an action's answer (the same body).
  take(message) {
    const checked = checkAlarms(message);
    if (checked.error) return false;
    this.alarms = checked.value.alarms;
    this.shelved = checked.value.shelved;
    this.updateList(Date.now());
    this.updateZones();
    this.tone.update();
    return true;
  }

  // A change on the changes topic: the history is loaded again.
  change(message) {
    if (checkAlarmChange(message).error) return;
    clearTimeout(this.historyDue);
    this.historyDue = setTimeout(() => this.loadHistory(), historyDelayMs);
  }

  async loadHistory() {
    try {
      const changes = historyOf(await this.api.history(Date.now()));
      this.history.replaceChildren(...changes.map((c) => element('li', {
        'data-alarm': String(c.alarm), 'data-zone': c.zone, 'data-action': c.action, 'data-time': String(c.time),
      }, changeText(c))));
    } catch (error) {
      this.history.replaceChildren(element('li', { class: 'history-error' }, `History: ${error.message}`));
    }
  }

  // Runs an action; its answer (the alarms) is taken, its refusal shown.
  async act(action) {
    this.showError('');
    try {
      const answer = await action();
      if (answer && Array.isArray(answer.alarms)) this.take(answer);
      return answer;
    } catch (error) {
      this.showError(error.message);
      return null;
    }
  }

  showError(text) {
    this.error.textContent = text;
    this.error.hidden = text === '';
  }

  // Keeps each alarm's li (and what is typed into its note) while it is
  // open; the age moves on with nowMs (ms since 1970).
  updateList(nowMs) {
    const ordered = listOrder(this.alarms);
    const open = new Set(ordered.map((a) => a.id));
    for (const [id, item] of this.items) {
      if (open.has(id)) continue;
      item.li.remove();
      this.items.delete(id);
    }
    ordered.forEach((a, index) => {
      let item = this.items.get(a.id);
      if (!item) {
        item = this.item(a);
        this.items.set(a.id, item);
      }
      item.alarm = a;
      item.li.dataset.state = a.state;
      item.li.setAttribute('aria-current', String(this.selected === a.id));
      item.text.textContent = alarmText(a, nowMs);
      const ack = a.acknowledged;
      item.detail.textContent = [ack ? `acknowledged by ${ack.user}${ack.text ? `: ${ack.text}` : ''}` : '',
        ...a.notes.map((n) => `${n.user}: ${n.text}`)].filter((t) => t !== '').join(' · ');
      if (item.ack) item.ack.disabled = a.state !== 'raised';
      if (this.list.children[index] !== item.li) this.list.insertBefore(item.li, this.list.children[index] ?? null);
    });
  }

  item(a) {
    const li = element('li', {
      'data-alarm': String(a.id), 'data-zone': a.zone, 'data-event': a.event, 'data-object': String(a.object),
      tabindex: '0', title: 'Follow its object on the map',
    });
    if (a.class) li.dataset.class = a.class;
    const text = element('span', { class: 'alarm-text' });
    const detail = element('span', { class: 'alarm-detail' });
    li.append(text, detail);
    const item = { li, text, detail, ack: null, alarm: a };
    if (this.acting) {
      const actions = element('span', { class: 'alarm-actions' });
      const note = element('input', { class: 'note-text', type: 'text', maxlength: '1000', placeholder: 'note',
        'aria-label': 'Note' });
      item.ack = button('ack', 'Acknowledge', 'Acknowledge, with the note when one is typed');
      const add = button('note', 'Add note', 'Add the note typed');
      item.ack.addEventListener('click', () => this.act(() => this.api.acknowledge(a.id, note.value.trim()))
        .then((answer) => { if (answer) note.value = ''; }));
      add.addEventListener('click', () => {
        if (note.value.trim() === '') {
          this.showError('type the note first');
          note.focus();
          return;
        }
        this.act(() => this.api.addNote(a.id, note.value.trim())).then((answer) => { if (answer) note.value = ''; });
      });
      actions.append(note, item.ack, add);
      li.append(actions);
    }
    // Anywhere in the item, its buttons too: acting on an alarm shows it.
    const choose = () => {
      this.selected = item.alarm.id;
      this.map.followObject(item.alarm.object, item.alarm.x, item.alarm.y);
      this.updateList(Date.now());
    };
    li.addEventListener('click', choose);
    li.addEventListener('keydown', (e) => {
      if (e.key === 'Enter' && e.target === li) choose();
    });
    return item;
  }

  // ul#zone-list: each zone and line with its state, and the operators'
  // buttons.
  updateZones() {
    const zones = this.site.zones.zones;
    const names = new Set(zones.map((z) => z.name));
    for (const [name, item] of this.zoneItems) {
      if (names.has(name)) continue;
      item.li.remove();
      this.zoneItems.delete(name);
    }
    zones.forEach((z, index) => {
      let item = this.zoneItems.get(z.name);
      if (!item) {
        item = this.zoneItem(z.name);
        this.zoneItems.set(z.name, item);
      }
      const state = this.site.zones.states.get(z.name) ?? null;
      const shelving = shelvingOf(this.shelved, z.name);
      item.li.dataset.armed = state ? String(state.armed) : '';
      item.li.dataset.shelved = String(shelving !== null);
      item.text.textContent = zoneStatusText(state, shelving);
      if (item.shelve) {
        item.shelve.hidden = shelving !== null;
        item.unshelve.hidden = shelving === null;
        item.schedule.disabled = !state?.override;
      }
      if (this.zones.children[index] !== item.li) this.zones.insertBefore(item.li, this.zones.children[index] ?? null);
    });
  }

  zoneItem(name) {
    const li = element('li', { 'data-zone': name });
    const text = element('span', { class: 'zone-state' });
    li.append(element('span', { class: 'zone-name' }, name), text);
    const item = { li, text };
    if (this.acting) {
      const make = (className, label, title, action) => {
        const b = button(className, label, title);
        b.dataset.zone = name;
        b.addEventListener('click', action);
        return b;
      };
      item.shelve = make('shelve', 'Shelve', 'Raise no alarms of it for a while', () => this.askShelve(name));
      item.unshelve = make('unshelve', 'Unshelve', 'Raise its alarms again',
        () => this.act(() => this.api.unshelve(name)));
      const arming = (how) => () => this.act(() => this.api.arming(name, how)).then(() => this.onChange?.());
      const arm = make('arm', 'Arm', 'Arm it now, until its schedule changes', arming('arm'));
      const disarm = make('disarm', 'Disarm', 'Disarm it now, until its schedule changes', arming('disarm'));
      item.schedule = make('schedule', 'Schedule', 'Back to its schedule', arming('schedule'));
      const actions = element('span', { class: 'zone-actions' });
      actions.append(item.shelve, item.unshelve, arm, disarm, item.schedule);
      li.append(actions);
    }
    return item;
  }

  askShelve(zone) {
    this.shelveForm.dataset.zone = zone;
    this.shelveZone.textContent = zone;
    this.shelveForm.hidden = false;
    this.shelveMinutes.focus();
  }

  shelve() {
    const zone = this.shelveForm.dataset.zone;
    const minutes = Number(this.shelveMinutes.value);
    if (!Number.isInteger(minutes) || minutes < 1) {
      this.showError('shelve: give whole minutes from 1');
      return;
    }
    this.act(() => this.api.shelve(zone, minutes, this.shelveWhy.value.trim())).then((answer) => {
      if (!answer) return;
      this.shelveForm.hidden = true;
      this.shelveWhy.value = '';
    });
  }
}
