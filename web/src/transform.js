// The map's coordinate transform: site metres (x east, y north of the
// site's origin) to canvas pixels (x right, y down), north up.

// The view: which site point is at the canvas's centre, and how many pixels
// a metre takes. Width and height are the canvas's, in CSS pixels.
export class View {
  constructor({ centerX = 0, centerY = 0, scale = 1, width = 1, height = 1 } = {}) {
    this.centerX = centerX; // m east
    this.centerY = centerY; // m north
    this.scale = scale; // px per m
    this.width = width; // px
    this.height = height; // px
  }

  // A site point (m) on the canvas (px).
  toScreen(x, y) {
    return {
      x: this.width / 2 + (x - this.centerX) * this.scale,
      y: this.height / 2 - (y - this.centerY) * this.scale,
    };
  }

  // A canvas point (px) on the site (m).
  toSite(px, py) {
    return {
      x: this.centerX + (px - this.width / 2) / this.scale,
      y: this.centerY - (py - this.height / 2) / this.scale,
    };
  }

  // Zooms by factor (above 1: in) about a canvas point, which keeps showing
  // the same site point; the scale stays within [minScale, maxScale].
  zoomAt(px, py, factor) {
    const anchor = this.toSite(px, py);
    this.scale = Math.min(maxScale, Math.max(minScale, this.scale * factor));
    this.centerX = anchor.x - (px - this.width / 2) / this.scale;
    this.centerY = anchor.y + (py - this.height / 2) / this.scale;
  }

  // Moves the map with the mouse: the site point under it follows it by
  // (dx, dy) pixels.
  panBy(dx, dy) {
    this.centerX -= dx / this.scale;
    this.centerY += dy / this.scale;
  }

  // Shows the whole of a site box (m) with marginPx pixels to spare on
  // every side; a box of no size shows a default span around its centre.
  fit({ minX, minY, maxX, maxY }, marginPx = 40) {
    const spanX = Math.max(maxX - minX, minSpanM);
    const spanY = Math.max(maxY - minY, minSpanM);
    const roomX = Math.max(this.width - 2 * marginPx, 1);
    const roomY = Math.max(this.height - 2 * marginPx, 1);
    this.scale = Math.min(maxScale, Math.max(minScale, Math.min(roomX / spanX, roomY / spanY)));
    this.centerX = (minX + maxX) / 2;
    this.centerY = (minY + maxY) / 2;
  }

  // The site box that the canvas shows (m).
  visible() {
    const topLeft = this.toSite(0, 0);
    const bottomRight = this.toSite(this.width, this.height);
    return { minX: topLeft.x, maxX: bottomRight.x, minY: bottomRight.y, maxY: topLeft.y };
  }
}

// Scale limits: from 50 km across a 1000-pixel map to 1 cm per pixel.
export const minScale = 0.02; // px per m
export const maxScale = 100; // px per m
// The least span fit() shows, so that one radar alone is not a dot (m).
export const minSpanM = 20;

// The grid's spacing (m): the smallest 1, 2 or 5 times a power of ten whose
// lines are at least minPx pixels apart at the given scale (px per m).
export function gridStep(scale, minPx = 80) {
  const least = minPx / scale;
  const decade = 10 ** Math.floor(Math.log10(least));
  for (const mantissa of [1, 2, 5, 10]) {
    if (mantissa * decade >= least * (1 - 1e-9)) return mantissa * decade;
  }
  return 10 * decade;
}

// The most lines gridLines gives: a map thousands of pixels wide has a few
// dozen at the least spacing.
export const maxGridLines = 500;

// The multiples of step within [from, to], in order; none when there would
// be more than maxGridLines, or the numbers are no finite ones.
export function gridLines(from, to, step) {
  const first = Math.ceil(from / step);
  const count = Math.floor(to / step) - first + 1;
  if (!Number.isFinite(first) || !Number.isFinite(count) || !(step > 0) || count > maxGridLines) return [];
  const lines = [];
  // By index: far from the origin k + 1 may be k again in doubles.
  for (let i = 0; i < count; ++i) lines.push((first + i) * step);
  return lines;
}

// "0 m", "250 m", "-1.5 km" style labels: metres, kilometres from 1 km on,
// with as many decimals as the step needs.
export function distanceLabel(metres, step) {
  const km = Math.abs(metres) >= 1000;
  const value = km ? metres / 1000 : metres;
  const unitStep = km ? step / 1000 : step;
  const decimals = unitStep >= 1 ? 0 : Math.min(3, Math.ceil(-Math.log10(unitStep) - 1e-9));
  const text = value.toFixed(decimals);
  // A line at -0.0001 m is the origin's.
  return `${/^-0(\.0*)?$/.test(text) ? text.slice(1) : text} ${km ? 'km' : 'm'}`;
}

// The canvas angle (radians clockwise from the screen's +x) of a compass
// bearing (degrees clockwise from north), with north up.
export function canvasAngle(bearingDeg) {
  return ((bearingDeg - 90) * Math.PI) / 180;
}

// The site point rangeM metres from (x, y) along a compass bearing.
export function along(x, y, bearingDeg, rangeM) {
  const rad = (bearingDeg * Math.PI) / 180;
  return { x: x + rangeM * Math.sin(rad), y: y + rangeM * Math.cos(rad) };
}

// The box (m) holding every point given, or null for none.
export function boundsOf(points) {
  if (points.length === 0) return null;
  const box = { minX: Infinity, minY: Infinity, maxX: -Infinity, maxY: -Infinity };
  for (const p of points) {
    box.minX = Math.min(box.minX, p.x);
    box.maxX = Math.max(box.maxX, p.x);
    box.minY = Math.min(box.minY, p.y);
    box.maxY = Math.max(box.maxY, p.y);
  }
  return box;
}

// The arrow drawn on a line's segment from canvas point a to b (px): from
// the segment's middle, lengthPx to the left of the direction a to b as
// the map shows it, with its two barbs; null for a segment shorter than
// minPx. On the canvas y points down, so left of (dx, dy) is (dy, -dx).
export function leftArrow(a, b, lengthPx, minPx) {
  const length = Math.hypot(b.x - a.x, b.y - a.y);
  if (!(length >= minPx) || !Number.isFinite(length)) return null;
  const ux = (b.y - a.y) / length;
  const uy = -(b.x - a.x) / length;
  const from = { x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 };
  const tip = { x: from.x + lengthPx * ux, y: from.y + lengthPx * uy };
  const barb = lengthPx / 3;
  return {
    from,
    tip,
    barbs: [
      { x: tip.x - barb * (ux - uy), y: tip.y - barb * (uy + ux) },
      { x: tip.x - barb * (ux + uy), y: tip.y - barb * (uy - ux) },
    ],
  };
}

// --- Latitude and longitude, and the site's own map --------------------
//
// Site coordinates are the local east-north-up frame at the site's origin
// on the WGS-84 ellipsoid, as sited's (GeographicLib's LocalCartesian): a
// place is taken at the origin's height, so that near the site it lies on
// the site's ground plane.

const wgs84A = 6378137; // the ellipsoid's equatorial radius (m)
const wgs84F = 1 / 298.257223563;
const wgs84E2 = wgs84F * (2 - wgs84F);
const degree = Math.PI / 180;

// The geocentric point (m) of a latitude, longitude (degrees) and height.
function geocentric(latDeg, lonDeg, heightM) {
  const lat = latDeg * degree;
  const lon = lonDeg * degree;
  const n = wgs84A / Math.sqrt(1 - wgs84E2 * Math.sin(lat) ** 2);
  return [
    (n + heightM) * Math.cos(lat) * Math.cos(lon),
    (n + heightM) * Math.cos(lat) * Math.sin(lon),
    (n * (1 - wgs84E2) + heightM) * Math.sin(lat),
  ];
}

// The site point (m, x east, y north) of a latitude and longitude
// (degrees); origin is { lat, lon, altitude }.
export function geodeticToSite(origin, latDeg, lonDeg) {
  const o = geocentric(origin.lat, origin.lon, origin.altitude ?? 0);
  const p = geocentric(latDeg, lonDeg, origin.altitude ?? 0);
  const d = [p[0] - o[0], p[1] - o[1], p[2] - o[2]];
  const lat = origin.lat * degree;
  const lon = origin.lon * degree;
  return {
    x: -Math.sin(lon) * d[0] + Math.cos(lon) * d[1],
    y: -Math.sin(lat) * Math.cos(lon) * d[0] - Math.sin(lat) * Math.sin(lon) * d[1] + Math.cos(lat) * d[2],
  };
}

// The latitude and longitude (degrees) of a site point: the local
// tangent's guess, mended against geodeticToSite until it agrees to well
// under a millimetre within 100 km.
export function siteToGeodetic(origin, x, y) {
  const metresPerDegree = wgs84A * degree;
  const cosLat = Math.max(Math.cos(origin.lat * degree), 1e-6);
  let lat = origin.lat + y / metresPerDegree;
  let lon = origin.lon + x / (metresPerDegree * cosLat);
  for (let i = 0; i < 4; ++i) {
    const at = geodeticToSite(origin, lat, lon);
    lat += (y - at.y) / metresPerDegree;
    lon += (x - at.x) / (metresPerDegree * Math.max(Math.cos(lat * degree), 1e-6));
  }
  return { lat, lon };
}

// Web Mercator's tiles (XYZ: row 0 at the north), tileSizePx a side.
export const tileSizePx = 256;
export const maxMercatorLatitude = 85.0511287798;

// The latitude and longitude (degrees) of a point of zoom level z's tile
// grid (x, y in tiles, fractions within a tile).
export function tileToGeodetic(z, x, y) {
  const n = 2 ** z;
  return {
    lat: Math.atan(Math.sinh(Math.PI * (1 - (2 * y) / n))) / degree,
    lon: (x / n) * 360 - 180,
  };
}

// The point of zoom level z's tile grid (tiles) of a latitude and longitude.
export function geodeticToTile(z, latDeg, lonDeg) {
  const n = 2 ** z;
  const lat = Math.max(-maxMercatorLatitude, Math.min(maxMercatorLatitude, latDeg)) * degree;
  return {
    x: ((lonDeg + 180) / 360) * n,
    y: ((1 - Math.log(Math.tan(lat) + 1 / Math.cos(lat)) / Math.PI) / 2) * n,
  };
}

// The zoom level whose tiles' pixels come nearest the map's (scale: px per
// m of the canvas's own pixels) at latitude latDeg, within the file's
// levels: beyond the deepest its tiles are drawn larger, above the
// shallowest its tiles smaller.
export function zoomForScale(scale, latDeg, minZoom, maxZoom) {
  const metresPerTilePxAtZero = (2 * Math.PI * wgs84A * Math.cos(latDeg * degree)) / tileSizePx;
  const z = Math.round(Math.log2(metresPerTilePxAtZero * scale));
  return Math.min(maxZoom, Math.max(minZoom, Number.isFinite(z) ? z : minZoom));
}

// The canvas transform [a, b, c, d, e, f] (ctx.transform's) that draws an
// image width x height px with its top-left, top-right and bottom-left
// corners on the given site points (m): an affine placement, the image's
// pixel (u, v) at topLeft + u/width (topRight - topLeft) + v/height
// (bottomLeft - topLeft).
export function imageTransform(view, topLeft, topRight, bottomLeft, width, height) {
  const s = view.scale;
  const at = view.toScreen(topLeft.x, topLeft.y);
  return [
    ((topRight.x - topLeft.x) * s) / width,
    (-(topRight.y - topLeft.y) * s) / width,
    ((bottomLeft.x - topLeft.x) * s) / height,
    (-(bottomLeft.y - topLeft.y) * s) / height,
    at.x,
    at.y,
  ];
}

// Into how many cells a side a tile of sideM metres is cut so that each
// cell, drawn affinely from three of its corners placed exactly, strays
// from where Mercator puts it by at most maxErrorPx at the scale (px per
// m). A cell of side s strays by about 1.25 s² |tan(latitude)| / R: its
// edges of latitude differ in length, and its parallels curve. A power of
// two, at most maxCells.
export function cellsPerSide(sideM, latDeg, scale, maxErrorPx = 0.5, maxCells = 64) {
  const bend = (1.25 * Math.max(Math.abs(Math.tan(latDeg * degree)), 0.05)) / wgs84A;
  const greatestSideM = Math.sqrt(maxErrorPx / (bend * scale));
  let n = 1;
  while (n < maxCells && sideM / n > greatestSideM) n *= 2;
  return n;
}
