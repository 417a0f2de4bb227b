// The page's settings from its query string:
//   ?broker=ws://HOST:PORT&site=NAME&prefix=PREFIX&user=USER&password=PASSWORD&view=site|radars
//    &api=http://HOST:PORT
// By default the broker's WebSocket listener on the page's own host, port
// 9001 (wss:// when the page came over https), site "demo", prefix "trklib",
// no login (user and password undefined), and the view not chosen (null:
// the site's fused picture while the site service publishes one); api is
// sited's HTTP API, for the history (null: none, no history).

export const defaultWsPort = 9001;
export const defaultSite = 'demo';
export const defaultPrefix = 'trklib';
// What the map can show: the site service's fused picture, or each radar's
// own tracks.
export const views = ['site', 'radars'];

// { broker, site, prefix, user, password, view, errors }: errors lists what is
// wrong, in words.
export function pageOptions(search, pageLocation = { protocol: 'http:', hostname: 'localhost' }) {
  const query = new URLSearchParams(search);
  const scheme = pageLocation.protocol === 'https:' ? 'wss' : 'ws';
  const host = pageLocation.hostname || 'localhost';
  const options = {
    broker: query.get('broker') || `${scheme}://${host}:${defaultWsPort}`,
    site: query.get('site') || defaultSite,
    prefix: query.get('prefix') || defaultPrefix,
    user: query.get('user') || undefined,
    password: query.get('password') || undefined,
    view: query.get('view') || null,
    api: query.get('api') || null,
    errors: [],
  };
  let url = null;
  try {
    url = new URL(options.broker);
  } catch {
    url = null;
  }
  if (!url || (url.protocol !== 'ws:' && url.protocol !== 'wss:')) {
    options.errors.push(`broker: '${options.broker}' is no ws:// or wss:// address`);
  }
  // One topic level for the site, one or more for the prefix, no wildcards.
  if (/[+#/]/.test(options.site)) {
    options.errors.push(`site: '${options.site}' is no topic level of its own`);
  }
  if (/[+#]/.test(options.prefix) || options.prefix.startsWith('/') || options.prefix.endsWith('/')) {
    options.errors.push(`prefix: '${options.prefix}' is no topic prefix`);
  }
  // MQTT 3.1.1 has no password without a user name.
  if (options.password !== undefined && options.user === undefined) {
    options.errors.push('password: given without user');
  }
  if (options.view !== null && !views.includes(options.view)) {
    options.errors.push(`view: '${options.view}' is no ${views.join(' or ')}`);
  }
  if (options.api !== null && !/^https?:\/\/[^/?#]+\/?$/.test(options.api)) {
    options.errors.push(`api: '${options.api}' is no http:// or https:// address of a host`);
  }
  return options;
}

// The view the map shows: the fused picture while the site service is
// available, unless radars were chosen.
export function shownView(view, serviceAvailable) {
  return serviceAvailable && view !== 'radars' ? 'site' : 'radars';
}

// The switch between the views: { shown, next, text, available }, next the
// view a press chooses (null while the site service is not available, when
// there is nothing to switch to).
export function viewSwitch(view, serviceAvailable) {
  const shown = shownView(view, serviceAvailable);
  if (!serviceAvailable) {
    return { shown, next: null, text: 'Site picture: not available', available: false };
  }
  return shown === 'site'
    ? { shown, next: 'radars', text: 'Show each radar\'s tracks', available: true }
    : { shown, next: 'site', text: 'Show the site picture', available: true };
}

// The query string with the view set, the other options as they were.
export function withView(search, view) {
  const query = new URLSearchParams(search);
  query.set('view', view);
  return `?${query}`;
}

// The topics the page subscribes to.
export function topics({ prefix, site }) {
  // The site service's topics (.../site/tracks, .../site/status) are
  // among the first two; then its zones, their states and events.
  return [`${prefix}/${site}/+/tracks`, `${prefix}/${site}/+/status`, `${prefix}/${site}/zones`,
    `${prefix}/${site}/zones/+`, `${prefix}/${site}/events`];
}
