// What an operator or admin does through sited's HTTP API: acknowledge an
// alarm, add a note, shelve a zone, arm or disarm it, take over a PTZ
// camera, give it back and choose what it follows, and the zones file's
// versions, saving and preview. Every answer is JSON; a refusal is
// {"error": "one line"}, which an ActionError carries with the status and
// the answer's body (a conflict's "version"). Nothing here touches the page.

import { historyMs } from './alarms.js';

export class ActionError extends Error {
  constructor(message, status, body) {
    super(message);
    this.status = status;
    this.body = body;
  }
}

// A zone's, an alarm's or a camera's part of a path.
const part = (value) => encodeURIComponent(String(value));

export class Api {
  // request(method, path, body) answers { status, text }: the browser's
  // fetch of the page's own origin unless given.
  constructor(request = null) {
    this.request = request ?? (async (method, path, body) => {
      const init = { method, credentials: 'same-origin', headers: {} };
      if (body !== undefined) {
        init.headers['Content-Type'] = 'application/json';
        init.body = JSON.stringify(body);
      }
      const response = await fetch(path, init);
      return { status: response.status, text: await response.text() };
    });
  }

  // The answer's JSON; an ActionError with its one line for any status but
  // 200, or for a site service out of reach.
  async call(method, path, body = undefined) {
    let answer;
    try {
      answer = await this.request(method, path, body);
    } catch {
      throw new ActionError('the site service is out of reach', 0, null);
    }
    let json = null;
    try {
      json = JSON.parse(answer.text);
    } catch {
      json = null;
    }
    if (answer.status !== 200) {
      const line = typeof json?.error === 'string' && json.error !== '' ? json.error : `answered ${answer.status}`;
      throw new ActionError(line.split('\n')[0], answer.status, json);
    }
    if (json === null) throw new ActionError(`${path}: no JSON`, answer.status, null);
    return json;
  }

  // The alarms: each answers GET api/alarms's body.
  alarms() {
    return this.call('GET', 'api/alarms');
  }

  // The changes of the last day up to nowMs.
  history(nowMs) {
    return this.call('GET', `api/alarms?from=${Math.max(0, nowMs - historyMs)}&to=${nowMs}`);
  }

  acknowledge(id, note = '') {
    return this.call('POST', `api/alarms/${part(id)}/acknowledge`, note ? { note } : {});
  }

  addNote(id, text) {
    return this.call('POST', `api/alarms/${part(id)}/notes`, { text });
  }

  shelve(zone, minutes, why = '') {
    return this.call('POST', `api/zones/${part(zone)}/shelve`, why ? { minutes, why } : { minutes });
  }

  unshelve(zone) {
    return this.call('POST', `api/zones/${part(zone)}/unshelve`, {});
  }

  // Arms ('arm') or disarms ('disarm') a zone now, or gives it back to its
  // schedule ('schedule'); minutes, when given, ends the override then.
  arming(zone, how, minutes = null) {
    return this.call('POST', `api/zones/${part(zone)}/${how}`, minutes === null ? {} : { minutes });
  }

  // A camera: taken over (sited leaves it to the operator's hand), given
  // back, made to follow a fused object (its id; null: none). Each answers
  // { camera }.
  takeCamera(name) {
    return this.call('POST', `api/cameras/${part(name)}/take`);
  }

  giveCamera(name) {
    return this.call('POST', `api/cameras/${part(name)}/give`);
  }

  followWithCamera(name, object) {
    return this.call('POST', `api/cameras/${part(name)}/follow`, { object });
  }

  // The zones file: { version, user, time, writable, why, geojson }.
  zonesFile() {
    return this.call('GET', 'api/zones/file');
  }

  saveZones(base, geojson) {
    return this.call('PUT', 'api/zones/file', { base, geojson });
  }

  preview(geojson, hours = 24) {
    return this.call('POST', 'api/zones/preview', { geojson, hours });
  }

  versions() {
    return this.call('GET', 'api/zones/versions');
  }

  restore(version, base) {
    return this.call('POST', `api/zones/versions/${part(version)}/restore`, { base });
  }
}

// Who may do what: operators and admins act on alarms, zones and cameras,
// admins edit the zones. role: the session's, or null without logins (when sited
// refuses every action).
export function mayAct(role) {
  return role === 'operator' || role === 'admin';
}

export function mayEdit(role) {
  return role === 'admin';
}
