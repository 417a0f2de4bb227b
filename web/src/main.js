// The site view: subscribes to a site's tracks and statuses on the broker's
// WebSocket listener, the site service's picture and status among them,
// and draws them live: the fused picture while the service publishes one
// (unless the query string's view=radars chose each radar's tracks), each
// radar's tracks otherwise; and the site's zones, lines and events.

import mqtt from 'mqtt';

import { maxMessageBytes } from './checks.js';
import { SiteMap } from './map.js';
import { pageOptions, topics, viewSwitch, withView } from './options.js';
import { Panel } from './panel.js';
import { Site } from './site.js';
import { Trails } from './trails.js';

const reconnectMs = 1000; // between tries to reach the broker
const connectTimeoutMs = 5000;
const clockTickMs = 250; // "last packet ... ago" and silence move on with the clock
// Room for a PUBLISH packet's fixed header, topic and properties beside its
// payload, bytes: our topics are a few dozen bytes.
const packetHeaderBytes = 1024;

const options = pageOptions(window.location.search, window.location);
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
  });
panel.onEventChosen = (event) => map.centreOn(event.x, event.y);
const viewButton = document.getElementById('view');
const connection = document.getElementById('connection');

document.getElementById('site-name').textContent = options.site;
document.getElementById('broker').textContent = options.broker;
document.title = `Site ${options.site}`;

// The view chosen in the query string or with the switch (null: none).
let chosenView = options.view;

// Sets the switch, the map and the panel to the view shown now.
function updateView() {
  const s = viewSwitch(chosenView, site.serviceAvailable());
  viewButton.textContent = s.text;
  viewButton.dataset.view = s.shown;
  viewButton.dataset.available = String(s.available);
  viewButton.setAttribute('aria-disabled', String(!s.available));
  map.shown = s.shown;
  panel.showView(s.shown);
}

viewButton.addEventListener('click', () => {
  const { next } = viewSwitch(chosenView, site.serviceAvailable());
  if (!next) return;
  chosenView = next;
  window.history.replaceState(null, '', withView(window.location.search, next));
  redraw();
});

// Redraws at the next frame, at most once a frame, whatever arrived.
let frameDue = false;
let targetsChanged = false;
let eventsChanged = false;
function redraw() {
  if (frameDue) return;
  frameDue = true;
  requestAnimationFrame(() => {
    frameDue = false;
    const now = performance.now();
    updateView();
    map.draw(now);
    panel.updateRadars(now);
    if (targetsChanged) {
      panel.updateTargets();
      panel.updateObjects();
      targetsChanged = false;
    }
    if (eventsChanged) {
      panel.updateEvents();
      eventsChanged = false;
    }
  });
}
map.onChange = redraw;

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

if (options.errors.length > 0) {
  setConnection('error', options.errors.join('; '));
} else {
  setConnection('connecting', 'connecting');
  const client = mqtt.connect(options.broker, {
    clientId: `trklib-view-${Math.random().toString(16).slice(2, 10)}`,
    username: options.user,
    password: options.password,
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
  client.on('message', (topic, payload) => {
    // Dropped messages show in the panel at the next tick.
    const about = site.receive(topic, payload, performance.now());
    if (!about) return;
    if (about.leaf === 'events') eventsChanged = true;
    else targetsChanged = true;
    redraw();
  });
}
