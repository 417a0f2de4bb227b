// The site view: takes a site's tracks and statuses, the site service's
// picture and status among them, and draws them live: the fused picture
// while the service publishes one (unless the query string's view=radars
// chose each radar's tracks), each radar's tracks otherwise; and the site's
// zones, lines and events; and replays the site's history: its recorded
// pictures and events. Served by sited, it reads sited's stream and API
// after a login on sited's login page; with broker=ws://... in the query
// string it subscribes on the broker's WebSocket listener itself, and
// replays the history of api=http://HOST:PORT when given.

import { Api, mayAct, mayEdit } from './actions.js';
import { AlarmPanel } from './alarmpanel.js';
import { Background } from './background.js';
import { maxMessageBytes } from './checks.js';
import { SiteMap } from './map.js';
import { pageOptions, topics, viewSwitch, withHidden, withView } from './options.js';
import { EditorPanel } from './editorpanel.js';
import { Panel } from './panel.js';
import { HistoryApi, ReplayClock, speeds } from './replay.js';
import { serviceLevel, serviceTrails, Site, zonesLevel } from './site.js';
import { Trails } from './trails.js';

const reconnectMs = 1000; // between tries to reach the broker
const connectTimeoutMs = 5000;
const clockTickMs = 250; // "last packet ... ago" and silence move on with the clock
// Room for a PUBLISH packet's fixed header, topic and properties beside its
// payload, bytes: our topics are a few dozen bytes.
const packetHeaderBytes = 1024;
const replayTickMs = 100; // the replay's clock moves on, and asks for its picture, this often

const options = pageOptions(window.location.search, window.location);

// sited's page: who is logged in (the login page when nobody is), and the
// site's topics as sited has them; the role decides what the page offers
// (null without logins: sited refuses every action then).
let role = null;
if (options.source === 'sited' && options.errors.length === 0) {
  const session = await fetch('api/session', { credentials: 'same-origin' })
    .then(async (r) => ({ status: r.status, body: r.ok ? await r.json() : null }), () => ({ status: 0, body: null }));
  if (session.status === 401) {
    window.location.replace('login.html');
    await new Promise(() => {}); // the page goes
  }
  if (session.body) {
    options.site = session.body.site;
    options.prefix = session.body.prefix;
    if (session.body.logins) {
      role = session.body.role ?? null;
      document.getElementById('user').textContent = `${session.body.name ?? session.body.user} (${role})`;
      document.getElementById('session').hidden = false;
    }
  }
}
const trails = new Trails();
const site = new Site({ ...options, trails });
const map = new SiteMap(document.getElementById('map'), site, trails);
const panel = new Panel(document.getElementById('radars'), document.getElementById('targets'), site,
  document.getElementById('dropped'),
  {
    service: document.getElementById('service'),
    objects: document.getElementById('objects'),
    events: document.getElementById('events'),
    eventsDropped: document.getElementById('events-dropped'),
    cameras: document.getElementById('cameras'),
    cameraError: document.getElementById('camera-error'),
  });

// The alarms, the zones' arming and shelving, and the zone editor: sited's
// own page alone (its API on the page's origin).
const api = options.source === 'sited' ? new Api() : null;
const alarmPanel = api ? new AlarmPanel({
  list: document.getElementById('alarm-list'),
  history: document.getElementById('alarm-history'),
  error: document.getElementById('alarm-error'),
  sound: document.getElementById('alarm-sound'),
  zones: document.getElementById('zone-list'),
  shelveForm: document.getElementById('shelve-form'),
  shelveZone: document.getElementById('shelve-zone'),
  shelveMinutes: document.getElementById('shelve-minutes'),
  shelveWhy: document.getElementById('shelve-why'),
}, { api, site, map, role: mayAct(role) ? role : null, onChange: () => redraw() }) : null;
document.getElementById('alarms').hidden = !alarmPanel;
// The cameras' buttons act on the object selected on the map: the one it
// follows.
if (api && mayAct(role)) panel.allowCameraActions(api, () => map.follow?.id ?? null);
if (alarmPanel) {
  api.alarms().then((body) => alarmPanel.take(body), (error) => alarmPanel.showError(`alarms: ${error.message}`));
  alarmPanel.loadHistory();
}
const editorPanel = api && mayEdit(role) ? new EditorPanel({ api, map, site, onChange: () => redraw() }) : null;
document.getElementById('edit-zones').hidden = !editorPanel;

// The objects' filter by class, kept in the query string (hide=) as the
// view is: the map and the table leave the unchecked classes out.
map.hiddenClasses = options.hide;
panel.showClassFilter(document.getElementById('class-filter'), options.hide, (hidden) => {
  window.history.replaceState(null, '', withHidden(window.location.search, hidden));
  targetsChanged = true;
  map.marksChanged();
  redraw();
});

panel.onEventChosen = (event) => {
  map.centreOn(event.x, event.y);
  if (replay) seekReplay(event.time);
};
const viewButton = document.getElementById('view');
const connection = document.getElementById('connection');

document.getElementById('site-name').textContent = options.site;
document.getElementById('source').textContent = options.source === 'sited' ? 'Site service' : 'Broker';
document.getElementById('broker').textContent = options.source === 'sited' ? window.location.host : options.broker;
document.getElementById('logout').addEventListener('click', async () => {
  await fetch('api/logout', { method: 'POST', credentials: 'same-origin' }).catch(() => {});
  window.location.replace('login.html');
});
document.title = `Site ${options.site}`;

// The view chosen in the query string or with the switch (null: none).
let chosenView = options.view;

// Sets the switch, the map and the panel to the view shown now.
function updateView() {
  const s = viewSwitch(chosenView, (replay?.site ?? site).serviceAvailable());
  viewButton.textContent = s.text;
  viewButton.dataset.view = s.shown;
  viewButton.dataset.available = String(s.available);
  viewButton.setAttribute('aria-disabled', String(!s.available));
  map.shown = s.shown;
  panel.showView(s.shown);
}

viewButton.addEventListener('click', () => {
  const { next } = viewSwitch(chosenView, (replay?.site ?? site).serviceAvailable());
  if (!next) return;
  chosenView = next;
  window.history.replaceState(null, '', withView(window.location.search, next));
  redraw();
});

// Redraws at the next frame, at most once a frame, whatever arrived. The
// tables of targets and objects follow in the same frame while they are
// small, else at most every tableRefreshMs (and once more after the last
// change): hundreds of rows written ten times a second cost the map its
// frames, and nobody reads them that fast.
const tableRefreshMs = 500;
const smallTableRows = 100; // rows of both tables together
let frameDue = false;
let targetsChanged = false;
let eventsChanged = false;
let tablesShownAt = -Infinity;
let tablesTimer = null;
function redraw() {
  if (frameDue) return;
  frameDue = true;
  requestAnimationFrame(() => {
    frameDue = false;
    const now = performance.now();
    updateView();
    map.draw(now);
    panel.updateRadars(now);
    const small = panel.tbody.rows.length + (panel.objects?.tBodies[0].rows.length ?? 0) <= smallTableRows;
    if (targetsChanged && (small || now - tablesShownAt >= tableRefreshMs)) {
      panel.updateTargets();
      panel.updateObjects();
      targetsChanged = false;
      tablesShownAt = now;
    } else if (targetsChanged && !tablesTimer) {
      tablesTimer = setTimeout(() => {
        tablesTimer = null;
        redraw();
      }, tableRefreshMs - (now - tablesShownAt));
    }
    if (eventsChanged) {
      panel.updateEvents();
      eventsChanged = false;
    }
  });
}
map.onChange = redraw;

// The site's own map, from sited (the page's own origin, or api=): none
// when sited has none; one that cannot be had leaves the page without it,
// saying so on one line.
if (options.api && options.errors.length === 0) {
  const background = new Background(options.api, { onChange: redraw });
  map.background = background;
  background.load().then(() => {
    if (background.state !== 'failed') return;
    const line = document.getElementById('background-state');
    line.textContent = `Map: ${background.problem}`;
    line.hidden = false;
  });
}

function setConnection(state, text) {
  connection.dataset.state = state;
  connection.textContent = text;
}

const resize = () => {
  map.resize();
  redraw();
};
new ResizeObserver(resize).observe(document.getElementById('map'));
document.getElementById('fit').addEventListener('click', () => map.fit());
setInterval(redraw, clockTickMs);

// The history: null while live, else { clock, site, trails, shown, wanted,
// loading } with shown the time of the picture drawn (null: none) and
// wanted the time asked for while a picture loads.
let replay = null;
const historyApi = options.api && options.errors.length === 0
  ? new HistoryApi(options.api, async (url) => {
    const response = await fetch(url);
    return { status: response.status, text: await response.text() };
  })
  : null;
const modeButton = document.getElementById('mode');
const historyBar = document.getElementById('history');
const slider = document.getElementById('history-time');
const historyAt = document.getElementById('history-at');
const playButton = document.getElementById('play');
const speedChoice = document.getElementById('speed');
for (const speed of speeds) speedChoice.append(new Option(`${speed}x`, String(speed)));

function setMode(mode, text) {
  modeButton.dataset.mode = mode;
  modeButton.textContent = text;
  modeButton.setAttribute('aria-disabled', String(!historyApi));
  historyBar.hidden = mode !== 'history';
}
setMode('live', historyApi ? 'Show the history' : 'History: not available');

function historyError(error) {
  historyAt.dataset.error = error.message;
  historyAt.textContent = error.message;
}

function showPlaying() {
  playButton.textContent = replay.clock.paused ? 'Play' : 'Pause';
  playButton.dataset.playing = String(!replay.clock.paused);
  slider.value = String(replay.clock.time);
}

// Draws a recorded picture (checked as the broker's are), or none.
function drawRecorded(picture) {
  const r = replay;
  const topic = `${options.prefix}/${options.site}/${serviceLevel}/tracks`;
  if (picture) r.site.handle(topic, picture.text, performance.now());
  else r.site.service.picture = null;
  r.shown = picture ? picture.time : null;
  targetsChanged = true;
  map.marksChanged();
  redraw();
  // The time shown changes in the frame that draws its picture, after it.
  requestAnimationFrame(() => {
    historyAt.dataset.time = picture ? String(picture.time) : '';
    historyAt.textContent = picture ? new Date(picture.time).toISOString() : 'no picture';
  });
}

// Asks for the picture at the clock's time unless one is on its way; the
// latest time asked for while one loads follows it.
function loadPicture() {
  const r = replay;
  if (!r) return;
  const time = r.clock.time;
  if (r.loading) {
    r.wanted = time;
    return;
  }
  r.loading = true;
  r.wanted = null;
  historyApi.picture(time).then((picture) => {
    if (replay !== r) return;
    if (picture?.time !== r.shown) drawRecorded(picture);
  }, historyError).finally(() => {
    r.loading = false;
    if (replay === r && r.wanted !== null) loadPicture();
  });
}

// A jump: the trails start afresh at the new time.
function seekReplay(time) {
  replay.clock.seek(time);
  replay.trails.clear(serviceTrails);
  showPlaying();
  loadPicture();
}

async function enterHistory() {
  const period = await historyApi.period();
  if (!period) throw new Error('nothing recorded yet');
  const trailsOfHistory = new Trails();
  const history = new Site({ ...options, trails: trailsOfHistory });
  const zones = await historyApi.get('/api/zones');
  history.handle(`${options.prefix}/${options.site}/${zonesLevel}`, JSON.stringify(zones), performance.now());
  const { value: recorded, leftOut } = await historyApi.events(period.first, period.last);
  for (const event of recorded) history.events.add(event);
  history.zoneMessages.dropped += leftOut;
  const clock = new ReplayClock(period.first, period.last);
  clock.setSpeed(Number(speedChoice.value));
  replay = { clock, site: history, trails: trailsOfHistory, shown: null, wanted: null, loading: false };
  slider.min = String(period.first);
  slider.max = String(period.last);
  map.site = history;
  map.trails = trailsOfHistory;
  panel.site = history;
  setMode('history', 'Back to live');
  showPlaying();
  loadPicture();
  targetsChanged = true;
  map.marksChanged();
  eventsChanged = true;
  redraw();
}

function leaveHistory() {
  replay = null;
  map.site = site;
  map.trails = trails;
  panel.site = site;
  setMode('live', 'Show the history');
  targetsChanged = true;
  map.marksChanged();
  eventsChanged = true;
  redraw();
}

modeButton.addEventListener('click', () => {
  if (!historyApi) return;
  if (replay) {
    leaveHistory();
    return;
  }
  delete historyAt.dataset.error;
  enterHistory().catch((error) => {
    setMode('live', `History: ${error.message}`);
    historyError(error);
  });
});
playButton.addEventListener('click', () => {
  if (!replay) return;
  if (replay.clock.paused) replay.clock.play();
  else replay.clock.pause();
  showPlaying();
});
speedChoice.addEventListener('change', () => replay?.clock.setSpeed(Number(speedChoice.value)));
slider.addEventListener('input', () => {
  if (!replay) return;
  replay.clock.pause();
  seekReplay(Number(slider.value));
});
for (const [id, back] of [['step-back', true], ['step-forward', false]]) {
  document.getElementById(id).addEventListener('click', () => {
    const r = replay;
    if (!r) return;
    r.clock.pause();
    const from = r.shown ?? r.clock.time;
    const step = back ? historyApi.previous(from) : historyApi.next(from, r.clock.last);
    step.then((picture) => {
      if (replay !== r || !picture) return;
      r.clock.seek(picture.time);
      if (back) r.trails.clear(serviceTrails);
      showPlaying();
      drawRecorded(picture);
    }, historyError);
  });
}
let lastTick = performance.now();
setInterval(() => {
  const now = performance.now();
  const elapsed = now - lastTick;
  lastTick = now;
  if (!replay) return;
  // A recorded picture is never silent: it is the picture of its time.
  replay.site.service.lastPictureAt = now;
  if (replay.clock.paused) return;
  replay.clock.advance(elapsed);
  showPlaying();
  loadPicture();
}, replayTickMs);

const decoder = new TextDecoder();
const alarmsTopic = `${options.prefix}/${options.site}/alarms`;

// One message of the alarms' topics: the open alarms (retained) or a change.
function takeAlarms(topic, payload) {
  if (payload.length > maxMessageBytes) return;
  let message;
  try {
    message = JSON.parse(decoder.decode(payload));
  } catch {
    return;
  }
  if (topic === alarmsTopic) alarmPanel.take(message);
  else alarmPanel.change(message);
}

// One message of the site, as the broker or sited's stream has it.
function take(topic, payload) {
  if (alarmPanel && (topic === alarmsTopic || topic === `${alarmsTopic}/changes`)) {
    takeAlarms(topic, payload);
    return;
  }
  // Dropped messages show in the panel at the next tick.
  const about = site.receive(topic, payload, performance.now());
  if (!about) return;
  if (about.leaf === 'events') eventsChanged = true;
  else {
    targetsChanged = true;
    map.marksChanged();
  }
  if (about.leaf === 'zones' || about.leaf === 'zone') alarmPanel?.updateZones();
  redraw();
}

// sited's stream: each event's data is the topic, a line break and the
// message. EventSource connects again by itself after a lost connection;
// after a refusal it stops: the login page when the session is over.
const streamRetryMs = 5000;
function streamFromSited() {
  setConnection('connecting', 'connecting');
  const encoder = new TextEncoder();
  const stream = new EventSource('api/stream');
  stream.addEventListener('open', () => setConnection('connected', 'connected'));
  stream.addEventListener('error', () => {
    if (stream.readyState !== EventSource.CLOSED) {
      setConnection('reconnecting', 'connection lost');
      return;
    }
    fetch('api/session', { credentials: 'same-origin' }).then((r) => {
      if (r.status === 401) window.location.replace('login.html');
      else setConnection('error', `the stream was refused (${r.status === 200 ? 'too many pages' : r.status})`);
    }, () => setConnection('error', 'the site service is out of reach'));
    setTimeout(streamFromSited, streamRetryMs);
  });
  stream.addEventListener('message', (message) => {
    const cut = message.data.indexOf('\n');
    if (cut > 0) take(message.data.slice(0, cut), encoder.encode(message.data.slice(cut + 1)));
  });
}

async function connectBroker(password) {
  setConnection('connecting', 'connecting');
  const { default: mqtt } = await import('mqtt');
  const client = mqtt.connect(options.broker, {
    clientId: `trklib-view-${Math.random().toString(16).slice(2, 10)}`,
    username: options.user,
    password,
    // MQTT 5, so that the broker drops the messages above the page's limit
    // rather than send them: one large message holds up every later one.
    // The limit is on the whole packet, so the topic and header have room
    // beside a payload of maxMessageBytes.
    protocolVersion: 5,
    properties: { maximumPacketSize: maxMessageBytes + packetHeaderBytes },
    clean: true,
    reconnectPeriod: reconnectMs,
    connectTimeout: connectTimeoutMs,
    resubscribe: false, // subscribed afresh on every connection below
  });
  client.on('connect', () => {
    setConnection('connected', 'connected');
    client.subscribe(topics(options), { qos: 1 }, (error) => {
      if (error) setConnection('error', `cannot subscribe: ${error.message}`);
    });
  });
  client.on('reconnect', () => setConnection('reconnecting', 'reconnecting'));
  client.on('close', () => {
    if (connection.dataset.state === 'connected') setConnection('reconnecting', 'connection lost');
  });
  client.on('error', (error) => setConnection('error', error.message));
  client.on('message', take);
}

if (options.errors.length > 0) {
  setConnection('error', options.errors.join('; '));
} else if (options.source === 'sited') {
  streamFromSited();
} else if (options.user !== undefined) {
  // The broker's password is typed in, never part of the address.
  const form = document.getElementById('broker-login');
  document.getElementById('broker-user').textContent = options.user;
  form.hidden = false;
  setConnection('connecting', 'waiting for the password');
  form.addEventListener('submit', (submitted) => {
    submitted.preventDefault();
    const field = document.getElementById('broker-password');
    const password = field.value;
    field.value = '';
    form.hidden = true;
    connectBroker(password);
  }, { once: true });
} else {
  connectBroker(undefined);
}
