// The page's settings from its query string:
//   ?broker=ws://HOST:PORT&site=NAME&prefix=PREFIX&user=USER&view=site|radars
//    &api=http://HOST:PORT&hide=CLASS,CLASS
// Without broker the page is sited's own: its messages come from sited's
// stream (/api/stream) and its history from sited's API, both of the page's
// own origin, after a login on sited's login page; site and prefix are
// sited's. With broker the page reads the broker's WebSocket listener
// itself (source 'broker'), as user when given (the password typed into the
// page, never taken from the address), and the history of api when given
// (null: none). Site "demo" and prefix "trklib" by default, and the view
// not chosen (null: the site's fused picture while the site service
// publishes one). hide lists the objects' classes the map and the table
// leave out (none by default), as the page's filter of them sets it.

import { objectClasses } from './checks.js';

export const defaultSite = 'demo';
export const defaultPrefix = 'trklib';
// What the map can show: the site service's fused picture, or each radar's
// own tracks.
export const views = ['site', 'radars'];

// { source, broker, site, prefix, user, view, api, errors }: errors lists
// what is wrong, in words.
export function pageOptions(search, pageLocation = { protocol: 'http:', hostname: 'localhost' }) {
  const query = new URLSearchParams(search);
  const broker = query.get('broker') || null;
  const options = {
    source: broker ? 'broker' : 'sited',
    broker,
    site: query.get('site') || defaultSite,
    prefix: query.get('prefix') || defaultPrefix,
    user: query.get('user') || undefined,
    view: query.get('view') || null,
    api: query.get('api') || (broker ? null : pageLocation.origin ?? null),
    hide: new Set((query.get('hide') ?? '').split(',').filter((name) => name !== '')),
    errors: [],
  };
  if (query.has('password')) {
    options.errors.push('password: never taken from the address; type it into the page');
  }
  let url = null;
  try {
    url = broker && new URL(broker);
  } catch {
    url = null;
  }
  if (broker && (!url || (url.protocol !== 'ws:' && url.protocol !== 'wss:'))) {
    options.errors.push(`broker: '${options.broker}' is no ws:// or wss:// address`);
  }
  if (!broker && options.user !== undefined) {
    options.errors.push('user: for the broker; sited\'s page logs in on its login page');
  }
  // One topic level for the site, one or more for the prefix, no wildcards.
  if (/[+#/]/.test(options.site)) {
    options.errors.push(`site: '${options.site}' is no topic level of its own`);
  }
  if (/[+#]/.test(options.prefix) || options.prefix.startsWith('/') || options.prefix.endsWith('/')) {
    options.errors.push(`prefix: '${options.prefix}' is no topic prefix`);
  }
  if (options.view !== null && !views.includes(options.view)) {
    options.errors.push(`view: '${options.view}' is no ${views.join(' or ')}`);
  }
  const strange = [...options.hide].filter((name) => !objectClasses.includes(name));
  if (strange.length > 0) options.errors.push(`hide: '${strange.join(',')}' is no list of ${objectClasses.join(', ')}`);
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

// The query string with the classes hidden (a Set; none: no hide), the
// other options as they were.
export function withHidden(search, hidden) {
  const query = new URLSearchParams(search);
  if (hidden.size === 0) query.delete('hide');
  else query.set('hide', objectClasses.filter((name) => hidden.has(name)).join(','));
  return `?${query}`;
}

// The topics the page subscribes to.
export function topics({ prefix, site }) {
  // The site service's topics (.../site/tracks, .../site/status) are
  // among the first two; then its zones, their states and events.
  return [`${prefix}/${site}/+/tracks`, `${prefix}/${site}/+/status`, `${prefix}/${site}/zones`,
    `${prefix}/${site}/zones/+`, `${prefix}/${site}/events`];
}
