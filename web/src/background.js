// The site's own map, drawn under everything else: the tiles of an
// MBTiles file or a site plan that sited serves (GET /api/map and its
// images), from sited's own origin only; nothing comes from elsewhere.
//
// Tiles are Web Mercator's, the map's frame the site's metres around its
// origin: each tile is placed by its corners' latitudes and longitudes
// converted to site metres (geodeticToSite), an affine placement that on a
// site's small tiles strays by far less than a pixel; a tile drawn much
// larger than its pixels (beyond the file's deepest level) is cut into
// cells placed each by its own corners (cellsPerSide). The level drawn is
// the one whose pixels come nearest the map's, within the file's levels;
// a tile not there yet is drawn from a shallower one already loaded.
// Decoded tiles are kept (the latest maxKeptTiles), and only the tiles in
// view within the file's bounds are asked for, a few at a time.

import {
  cellsPerSide,
  geodeticToSite,
  geodeticToTile,
  imageTransform,
  siteToGeodetic,
  tileToGeodetic,
  zoomForScale,
} from './transform.js';

const maxKeptTiles = 256;
const maxLoadingTiles = 6; // asked for at once
const maxTilesDrawn = 400; // a frame draws at most this many tiles
const maxZoomLevel = 30;
const seamPx = 0.5; // each cell drawn this much larger on every side, so that none shows a seam

const finite = (...values) => values.every((v) => typeof v === 'number' && Number.isFinite(v));
const corner = (c) => Array.isArray(c) && c.length === 2 && finite(...c) && Math.abs(c[0]) <= 90 &&
  Math.abs(c[1]) <= 180;

// Whether sited's description of its map is one the page can draw.
export function checkDescription(d) {
  if (!d || typeof d !== 'object' || !d.origin || !finite(d.origin.lat, d.origin.lon)) return false;
  if (d.kind === 'mbtiles') {
    return Number.isInteger(d.min_zoom) && Number.isInteger(d.max_zoom) && d.min_zoom >= 0 &&
      d.min_zoom <= d.max_zoom && d.max_zoom <= maxZoomLevel && Array.isArray(d.bounds) &&
      d.bounds.length === 4 && finite(...d.bounds);
  }
  return d.kind === 'plan' && Number.isInteger(d.width) && Number.isInteger(d.height) && d.width > 0 &&
    d.height > 0 && corner(d.top_left) && corner(d.top_right) && corner(d.bottom_left);
}

// The tiles of zoom level z to draw for a box of site metres: those in it
// and in the file's bounds, nearest the box's centre first, at most
// maxTilesDrawn. { x, y } each.
export function tilesInView(origin, box, z, bounds) {
  const inTiles = [[box.minX, box.minY], [box.maxX, box.minY], [box.minX, box.maxY], [box.maxX, box.maxY]]
    .map(([x, y]) => {
      const g = siteToGeodetic(origin, x, y);
      return geodeticToTile(z, g.lat, g.lon);
    });
  const [west, south, east, north] = bounds;
  const topLeft = geodeticToTile(z, north, west);
  const bottomRight = geodeticToTile(z, south, east);
  const last = 2 ** z - 1;
  const x0 = Math.max(0, Math.floor(topLeft.x), Math.floor(Math.min(...inTiles.map((p) => p.x))));
  const x1 = Math.min(last, Math.ceil(bottomRight.x) - 1, Math.floor(Math.max(...inTiles.map((p) => p.x))));
  const y0 = Math.max(0, Math.floor(topLeft.y), Math.floor(Math.min(...inTiles.map((p) => p.y))));
  const y1 = Math.min(last, Math.ceil(bottomRight.y) - 1, Math.floor(Math.max(...inTiles.map((p) => p.y))));
  if (!(x1 >= x0 && y1 >= y0)) return [];
  // The box's centre in tiles.
  const centre = {
    x: inTiles.reduce((sum, p) => sum + p.x, 0) / 4,
    y: inTiles.reduce((sum, p) => sum + p.y, 0) / 4,
  };
  const tiles = [];
  // Far more than maxTilesDrawn (a file without shallow levels zoomed
  // out): the ones round the centre.
  const half = Math.ceil(Math.sqrt(maxTilesDrawn) / 2);
  for (let y = Math.max(y0, Math.floor(centre.y) - half); y <= Math.min(y1, Math.floor(centre.y) + half); ++y) {
    for (let x = Math.max(x0, Math.floor(centre.x) - half); x <= Math.min(x1, Math.floor(centre.x) + half); ++x) {
      tiles.push({ x, y });
    }
  }
  const away = (t) => Math.hypot(t.x + 0.5 - centre.x, t.y + 0.5 - centre.y);
  tiles.sort((a, b) => away(a) - away(b));
  return tiles.slice(0, maxTilesDrawn);
}

export class Background {
  // api: sited's address (http://HOST:PORT), or null for no map. fetch and
  // decode (a Blob to something drawImage takes) are the browser's unless
  // given; onChange is called when something new can be drawn.
  constructor(api, { fetch: get, decode, onChange } = {}) {
    this.base = api ? api.replace(/\/+$/, '') : null;
    this.fetch = get ?? ((url) => globalThis.fetch(url, { credentials: 'same-origin' }));
    this.decode = decode ?? ((blob) => createImageBitmap(blob));
    this.onChange = onChange;
    this.state = 'none'; // 'loading', 'mbtiles', 'plan', or 'failed' (problem says why)
    this.problem = '';
    this.map = null;
    this.plan = null; // the plan's decoded image
    this.tiles = new Map(); // "z/x/y" -> { state, image, grids }, the latest used last
    this.loading = 0;
    this.drawn = 0; // tiles (or the plan) drawn by the last frame
  }

  // Asks sited what its map is, and a plan's image.
  async load() {
    if (!this.base) return;
    this.state = 'loading';
    try {
      const response = await this.fetch(`${this.base}/api/map`);
      if (response.status === 404) {
        this.state = 'none';
        return;
      }
      if (!response.ok) throw new Error(`the map's description: HTTP ${response.status}`);
      const d = await response.json();
      if (!checkDescription(d)) throw new Error('the map\'s description is not one the page can draw');
      this.map = d;
      this.origin = d.origin;
      if (d.kind === 'plan') {
        const url = `${this.base}/api/map/plan?v=${encodeURIComponent(d.version)}`;
        this.plan = await this.image(url).catch((error) => {
          throw new Error(`the plan's image could not be loaded (${error.message})`);
        });
        if (!this.plan) throw new Error('the plan\'s image could not be loaded');
        this.corners = [d.top_left, d.top_right, d.bottom_left].map(([lat, lon]) =>
          geodeticToSite(d.origin, lat, lon));
      }
      this.state = d.kind;
    } catch (error) {
      this.state = 'failed';
      this.problem = error.message;
    }
    this.onChange?.();
  }

  // The decoded image at url, null when there is none (404), undefined
  // when it could not be had.
  async image(url) {
    const response = await this.fetch(url);
    if (response.status === 404) return null;
    if (!response.ok) return undefined;
    return this.decode(await response.blob());
  }

  // Draws the map under the view; ratio: the canvas's pixels per CSS pixel.
  draw(ctx, view, ratio = 1) {
    this.drawn = 0;
    if (this.state === 'plan') {
      const [topLeft, topRight, bottomLeft] = this.corners;
      ctx.save();
      ctx.transform(...imageTransform(view, topLeft, topRight, bottomLeft, this.map.width, this.map.height));
      ctx.drawImage(this.plan, 0, 0, this.map.width, this.map.height);
      ctx.restore();
      this.drawn = 1;
    } else if (this.state === 'mbtiles') {
      this.drawTiles(ctx, view, ratio);
    }
  }

  drawTiles(ctx, view, ratio) {
    const d = this.map;
    const centre = siteToGeodetic(this.origin, view.centerX, view.centerY);
    const z = zoomForScale(view.scale * ratio, centre.lat, d.min_zoom, d.max_zoom);
    const box = view.visible();
    for (const { x, y } of tilesInView(this.origin, box, z, d.bounds)) {
      const tile = this.tile(z, x, y, true);
      if (tile.state === 'ready') {
        this.drawRegion(ctx, view, box, tile, { z, x, y }, 1);
        ++this.drawn;
        continue;
      }
      // A shallower tile already loaded stands in, the part of it over this one.
      for (let k = 1; z - k >= d.min_zoom; ++k) {
        const parent = this.tiles.get(`${z - k}/${x >> k}/${y >> k}`);
        if (parent?.state !== 'ready') continue;
        this.drawRegion(ctx, view, box, parent, { z, x, y }, 2 ** k);
        ++this.drawn;
        break;
      }
    }
  }

  // The tile z/x/y as kept, asked for when it is not (and ask is true).
  tile(z, x, y, ask) {
    const key = `${z}/${x}/${y}`;
    let tile = this.tiles.get(key);
    if (tile) {
      this.tiles.delete(key);
      this.tiles.set(key, tile);
      return tile;
    }
    tile = { state: 'waiting', image: null, grids: new Map() };
    if (!ask || this.loading >= maxLoadingTiles) return tile;
    tile.state = 'loading';
    this.tiles.set(key, tile);
    ++this.loading;
    const url = `${this.base}/api/map/tiles/${key}?v=${encodeURIComponent(this.map.version)}`;
    this.image(url).then((image) => {
      tile.image = image;
      tile.state = image ? 'ready' : image === null ? 'missing' : 'failed';
    }, () => {
      tile.state = 'failed';
    }).finally(() => {
      --this.loading;
      this.forget();
      this.onChange?.();
    });
    return tile;
  }

  // Keeps the latest maxKeptTiles tiles.
  forget() {
    for (const [key, tile] of this.tiles) {
      if (this.tiles.size <= maxKeptTiles) break;
      if (tile.state === 'loading') continue;
      tile.image?.close?.();
      this.tiles.delete(key);
    }
  }

  // The site points (m) of an (n + 1) x (n + 1) grid over tile z/x/y,
  // kept with the tile that is drawn there.
  grid(holder, { z, x, y }, n) {
    const key = `${z}/${x}/${y}/${n}`;
    let points = holder.grids.get(key);
    if (!points) {
      points = [];
      for (let j = 0; j <= n; ++j) {
        for (let i = 0; i <= n; ++i) {
          const g = tileToGeodetic(z, x + i / n, y + j / n);
          points.push(geodeticToSite(this.origin, g.lat, g.lon));
        }
      }
      holder.grids.set(key, points);
    }
    return points;
  }

  // Draws over tile z/x/y (at) the part of a kept tile's image that covers
  // it, the image being `parts` times as large a tile (1: its own), in
  // cells that each place their part by their corners; cells out of view
  // are left out.
  drawRegion(ctx, view, box, holder, at, parts) {
    const image = holder.image;
    const size = image.width / parts;
    const sx = (at.x % parts) * size;
    const sy = (at.y % parts) * size;
    const points = this.grid(holder, at, 1);
    const sideM = Math.hypot(points[1].x - points[0].x, points[1].y - points[0].y);
    const n = Math.min(cellsPerSide(sideM, this.origin.lat, view.scale), Math.max(1, Math.floor(size)));
    const grid = n === 1 ? points : this.grid(holder, at, n);
    const cell = size / n;
    for (let j = 0; j < n; ++j) {
      for (let i = 0; i < n; ++i) {
        const tl = grid[j * (n + 1) + i];
        const tr = grid[j * (n + 1) + i + 1];
        const bl = grid[(j + 1) * (n + 1) + i];
        const br = grid[(j + 1) * (n + 1) + i + 1];
        const xs = [tl.x, tr.x, bl.x, br.x];
        const ys = [tl.y, tr.y, bl.y, br.y];
        if (Math.max(...xs) < box.minX || Math.min(...xs) > box.maxX ||
          Math.max(...ys) < box.minY || Math.min(...ys) > box.maxY) continue;
        const t = imageTransform(view, tl, tr, bl, cell, cell);
        const pad = seamPx / Math.max(Math.hypot(t[0], t[1]), 1e-9);
        ctx.save();
        ctx.transform(...t);
        ctx.drawImage(image, sx + i * cell, sy + j * cell, cell, cell, -pad, -pad, cell + 2 * pad, cell + 2 * pad);
        ctx.restore();
      }
    }
  }
}
