// The page's settings from its query string:
//   ?broker=ws://HOST:PORT&site=NAME&prefix=PREFIX&user=USER&password=PASSWORD
// By default the broker's WebSocket listener on the page's own host, port
// 9001 (wss:// when the page came over https), site "demo", prefix "trklib",
// and no login (user and password undefined).

export const defaultWsPort = 9001;
export const defaultSite = 'demo';
export const defaultPrefix = 'trklib';

// { broker, site, prefix, user, password, errors }: errors lists what is
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
  return options;
}

// The topics the page subscribes to.
export function topics({ prefix, site }) {
  return [`${prefix}/${site}/+/tracks`, `${prefix}/${site}/+/status`];
}
