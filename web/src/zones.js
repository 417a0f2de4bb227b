// What the page knows of the site's zones and lines and of their events:
// the zones as the site service last published them, each one's latest
// state (who is inside, the counts), which of them flash for an event just
// now, and the latest events, newest first. Nothing here touches the page.

import { maxZones } from './checks.js';

// How long a zone or line is highlighted after an event of it (ms of page
// time).
export const flashMs = 1000;
// Events the list keeps, the newest.
export const maxEvents = 100;

export class Zones {
  constructor() {
    this.zones = []; // checkZones's value's zones, in the message's order
    this.states = new Map(); // name -> checkZoneState's value
    this.flashes = new Map(); // name -> page time until which it flashes (ms)
  }

  setZones(zones) {
    this.zones = zones;
  }

  // A zone's state; a state of a new name beyond maxZones is not kept
  // (returns false).
  setState(state) {
    if (!this.states.has(state.zone) && this.states.size >= maxZones) return false;
    this.states.set(state.zone, state);
    return true;
  }

  forgetState(name) {
    return this.states.delete(name);
  }

  // True while the state of a zone has someone inside.
  lit(name) {
    return (this.states.get(name)?.occupants.length ?? 0) > 0;
  }

  // True when the state of a zone or line says it is disarmed (no state:
  // not known, so not marked).
  disarmed(name) {
    return this.states.get(name)?.armed === false;
  }

  // An event of the zone or line name at page time nowMs. The flashes of
  // names the map does not draw (and so never ends) are ended here, once
  // there are maxZones.
  flash(name, nowMs) {
    if (!this.flashes.has(name) && this.flashes.size >= maxZones) {
      for (const [other, until] of this.flashes) {
        if (until <= nowMs) this.flashes.delete(other);
      }
      if (this.flashes.size >= maxZones) return;
    }
    this.flashes.set(name, nowMs + flashMs);
  }

  // True while name flashes; forgets the flashes that are over.
  flashing(name, nowMs) {
    const until = this.flashes.get(name);
    if (until === undefined) return false;
    if (nowMs < until) return true;
    this.flashes.delete(name);
    return false;
  }
}

// The same event delivered twice (the broker's QoS 1 may) is one event:
// one kind of event per object, zone and picture.
function eventKey(e) {
  return `${e.time} ${e.event} ${e.zone} ${e.object}`;
}

// The latest events, newest first: by their pictures' time, and among
// events of one picture the one that came last first. At most maxEvents,
// the newest; an event older than all of a full list is not kept.
export class EventList {
  constructor(limit = maxEvents) {
    this.limit = limit;
    this.events = []; // checkEvent's values, newest first
    this.keys = new Set();
  }

  // Adds a checked event; returns true when it is listed (not a repeat,
  // nor older than every event of a full list).
  add(event) {
    const key = eventKey(event);
    if (this.keys.has(key)) return false;
    let at = this.events.findIndex((e) => e.time <= event.time);
    if (at < 0) at = this.events.length;
    if (at >= this.limit) return false;
    this.events.splice(at, 0, event);
    this.keys.add(key);
    if (this.events.length > this.limit) this.keys.delete(eventKey(this.events.pop()));
    return true;
  }
}

// The list's text for an event: the picture's time of day (UTC, to the
// ms), the event, the zone, the object, and what the kind of event adds.
export function eventCells(e) {
  const extra = [];
  if (e.direction !== null) extra.push(e.direction);
  if (e.dwell !== null) extra.push(`${e.dwell.toFixed(1)} s`);
  if (e.lost === true) extra.push('lost');
  return [new Date(e.time).toISOString().slice(11, 23), e.event, e.zone, String(e.object), extra.join(', ')];
}
