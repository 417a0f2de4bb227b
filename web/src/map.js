// The bird's-eye map: a metre grid, north up, every radar with its beam,
// and either every radar's targets with their numbers and trails or the
// site service's fused objects with their ids and trails. Zoom with the
// wheel about the mouse, pan by dragging; the view fits the site until the
// user moves it. Under them the site's zones (translucent areas, lit while
// someone is inside) and lines (with an arrow to the side that is their
// left), each flashing for a second on an event of it, the name of one
// disarmed followed by "(disarmed)". The canvas's data-view says which it
// shows, data-labels lists the labels of the targets or objects drawn,
// data-zones, data-lit, data-flashing and data-disarmed the zones and lines
// drawn, lit, flashing and disarmed, data-center the site point at its
// centre (m, "x y"), data-scale its CSS pixels per metre and data-follow
// the id of the object it follows (empty: none). Each fused object has the
// glyph of its class beside its mark (classGlyphs), data-classes lists them
// as id:class; the objects of the classes in hiddenClasses are not drawn.
// The site service's PTZ cameras are diamonds at their places with their
// views as wedges out to their reach (dashed and grey while offline), a
// ring in a camera's colour around the object it follows; data-cameras
// lists them (cameraState). A click on an object of the site picture
// selects it: the map follows it, as an alarm chosen does. While the zone
// editor is open its tool draws the shapes edited on top and takes presses
// on them.

import {
  alignmentGlyph, cameraState, noClassHidden, objectColour, serviceTrails, shownObjects,
} from './site.js';
import {
  View,
  boundsOf,
  canvasAngle,
  distanceLabel,
  gridLines,
  gridStep,
  leftArrow,
} from './transform.js';

const colours = {
  background: '#f6f6f2',
  grid: '#dcdcd4',
  axis: '#b4b4aa',
  label: '#55554d',
  offline: '#9a9a92',
};
const font = '12px "DejaVu Sans", system-ui, sans-serif';
const wheelZoomPerPixel = 0.0015; // zoom factor e^(-0.0015) per pixel of wheel
const marginPx = 40; // room around a fitted site
const radarHalfSidePx = 7; // the radar's square
const boresightLinePx = 22; // the marker's line along its boresight
const targetRadiusPx = 5;
const beamFillAlpha = 0.09;
const beamEdgeAlpha = 0.5;
const trailAlpha = 0.45;
const trailStepPx = 2; // the shortest segment of a trail drawn, CSS px
const marksMarginPx = 256; // the marks' layer beyond each side of the map, CSS px
const staleAlpha = 0.35; // targets of a silent radar
const alignmentArrowPx = 48; // the alignment's heading lines from the radar
const alignmentRingPx = 5; // the ring at the estimated place
const uncertainAlpha = 0.4; // an alignment not certain yet
const cameraHalfPx = 6; // half the diagonal of the camera's diamond
const viewFillAlpha = 0.12; // a camera's view
const viewEdgeAlpha = 0.6;
const followRingPx = targetRadiusPx + 4; // the ring around an object a camera follows
const followRingStepPx = 3; // the next camera's ring around the same object
const zoneColours = { edge: '#5b4a8b', lit: '#e07b00', flash: '#ffcc00' };
const zoneFillAlpha = 0.1;
const litFillAlpha = 0.3;
const flashFillAlpha = 0.55;
const lineWidthPx = 3;
const flashLineWidthPx = 8;
const sideArrowPx = 14; // the arrow from a line's segment to its left
const minArrowSegmentPx = 30; // segments shorter on the map get no arrow
const zoneNameGapPx = 4; // between a zone's name and its edge or a line's start
const clickSlopPx = 4; // a press that moves less is a click
const hitPx = 8; // a press this near a corner or a line takes it
const glyphHalfPx = 7; // half the side of a class's badge
const glyphGapPx = 3; // between the badge and the object's mark
const glyphColours = { ink: '#2b2b28', badge: '#ffffff' };

// The glyph of each object class, drawn in a 14 px badge centred on 0, 0
// (CSS px): dark ink on white, apart from the marks' colours (the
// objects' ids) and shapes (dot and ring: confirmed or not; square: a
// radar).
const classGlyphs = {
  person(ctx) {
    ctx.beginPath();
    ctx.arc(0, -3.6, 1.7, 0, 2 * Math.PI);
    ctx.fill();
    ctx.beginPath();
    ctx.moveTo(0, -1.8);
    ctx.lineTo(0, 1.6);
    ctx.moveTo(-2.6, 5);
    ctx.lineTo(0, 1.6);
    ctx.lineTo(2.6, 5);
    ctx.moveTo(-3, -0.6);
    ctx.lineTo(3, -0.6);
    ctx.stroke();
  },
  'two-wheeler'(ctx) {
    ctx.beginPath();
    ctx.arc(-3.2, 2.2, 2.2, 0, 2 * Math.PI);
    ctx.moveTo(5.4, 2.2);
    ctx.arc(3.2, 2.2, 2.2, 0, 2 * Math.PI);
    ctx.moveTo(-3.2, 2.2);
    ctx.lineTo(-0.5, -1.5);
    ctx.lineTo(3.2, 2.2);
    ctx.moveTo(1.8, -3.5);
    ctx.lineTo(3.2, 2.2);
    ctx.stroke();
  },
  car(ctx) {
    ctx.beginPath();
    ctx.moveTo(-5.5, 2);
    ctx.lineTo(-5.5, -1);
    ctx.lineTo(-3, -1.2);
    ctx.lineTo(-1.8, -4);
    ctx.lineTo(2, -4);
    ctx.lineTo(3.4, -1.2);
    ctx.lineTo(5.5, -1);
    ctx.lineTo(5.5, 2);
    ctx.closePath();
    ctx.fill();
    wheels(ctx, 3.2, 3);
  },
  truck(ctx) {
    ctx.fillRect(-6, -5, 7.5, 7);
    ctx.fillRect(2.3, -2, 3.7, 4);
    wheels(ctx, 3.8, 3.4);
  },
  animal(ctx) {
    ctx.fillRect(-4, -1.5, 7, 3);
    ctx.beginPath();
    ctx.moveTo(-3.5, 1);
    ctx.lineTo(-3.5, 5);
    ctx.moveTo(2.5, 1);
    ctx.lineTo(2.5, 5);
    ctx.moveTo(2.5, -1);
    ctx.lineTo(5, -4.5);
    ctx.moveTo(-4, -1);
    ctx.lineTo(-5.8, 1.5);
    ctx.stroke();
  },
  unknown(ctx) {
    ctx.font = `bold 11px "DejaVu Sans", system-ui, sans-serif`;
    ctx.textAlign = 'center';
    ctx.textBaseline = 'middle';
    ctx.fillText('?', 0, 0.5);
  },
};

// Two filled wheels at -dx and dx, y.
function wheels(ctx, dx, y) {
  ctx.beginPath();
  ctx.arc(-dx, y, 1.6, 0, 2 * Math.PI);
  ctx.moveTo(dx + 1.6, y);
  ctx.arc(dx, y, 1.6, 0, 2 * Math.PI);
  ctx.fill();
}

export class SiteMap {
  constructor(canvas, site, trails) {
    this.canvas = canvas;
    this.site = site;
    this.trails = trails;
    this.view = new View({ scale: 1 });
    this.followSite = true; // fit the site until the user zooms or pans
    this.fittedTo = ''; // the extent last fitted, to refit when it changes
    this.drag = null;
    this.shown = 'radars'; // or 'site': the fused objects
    this.background = null; // the site's own map (a Background), or none
    this.follow = null; // { id, x, y }: the object the map follows
    this.hiddenClasses = noClassHidden; // the objects' classes not drawn (a Set)
    // The zone editor's tool while it is open: { down, move, up, click,
    // doubleClick, draw }, or none.
    this.tool = null;

    canvas.addEventListener('wheel', (e) => {
      e.preventDefault();
      const r = canvas.getBoundingClientRect();
      this.view.zoomAt(e.clientX - r.left, e.clientY - r.top, Math.exp(-e.deltaY * wheelZoomPerPixel));
      this.followSite = false;
      this.onChange?.();
    }, { passive: false });
    // A press is the editing tool's when it takes it (a corner or a shape
    // to drag), else it moves the map; a press released where it began is
    // a click, which the tool may take too (a corner to add).
    canvas.addEventListener('pointerdown', (e) => {
      const p = this.sitePoint(e);
      const taken = this.tool?.down(p, this.toleranceM()) === true;
      this.drag = { x: e.clientX, y: e.clientY, startX: e.clientX, startY: e.clientY, tool: taken, from: p };
      canvas.setPointerCapture(e.pointerId);
    });
    canvas.addEventListener('pointermove', (e) => {
      if (!this.drag) return;
      if (this.drag.tool) {
        const p = this.sitePoint(e);
        this.tool.move(p.x - this.drag.from.x, p.y - this.drag.from.y);
      } else {
        this.view.panBy(e.clientX - this.drag.x, e.clientY - this.drag.y);
        this.followSite = false;
        if (e.clientX !== this.drag.x || e.clientY !== this.drag.y) this.follow = null;
      }
      this.drag.x = e.clientX;
      this.drag.y = e.clientY;
      this.onChange?.();
    });
    const endDrag = (e) => {
      const d = this.drag;
      this.drag = null;
      if (!d) return;
      if (d.tool) this.tool.up();
      else if (e.type === 'pointerup' && Math.hypot(e.clientX - d.startX, e.clientY - d.startY) < clickSlopPx) {
        if (this.tool) this.tool.click(this.sitePoint(e), this.toleranceM());
        else this.selectAt(this.sitePoint(e));
      }
      this.onChange?.();
    };
    canvas.addEventListener('dblclick', (e) => {
      if (this.tool?.doubleClick(this.sitePoint(e), this.toleranceM())) this.onChange?.();
    });
    canvas.addEventListener('pointerup', endDrag);
    canvas.addEventListener('pointercancel', endDrag);
  }

  // The site point (m) under a pointer event.
  sitePoint(e) {
    const r = this.canvas.getBoundingClientRect();
    return this.view.toSite(e.clientX - r.left, e.clientY - r.top);
  }

  // How near (m) a press must come to a corner or a line to take it.
  toleranceM() {
    return hitPx / this.view.scale;
  }

  // Centres the map on a fused object at every frame while it is in the
  // picture (at x, y until it is), until the map is moved or fitted.
  followObject(id, x, y) {
    this.follow = { id, x, y };
    this.followSite = false;
    this.onChange?.();
  }

  // Selects (follows) the object of the site picture shown nearest to site
  // point p, within a mark's reach; nothing when there is none.
  selectAt(p) {
    if (this.shown !== 'site') return;
    const reach = (targetRadiusPx + hitPx) / this.view.scale;
    let nearest = null;
    for (const o of shownObjects(this.site.service.picture?.objects ?? [], this.hiddenClasses)) {
      const d = Math.hypot(o.x - p.x, o.y - p.y);
      if (d <= reach && (!nearest || d < nearest.d)) nearest = { o, d };
    }
    if (nearest) this.followObject(nearest.o.id, nearest.o.x, nearest.o.y);
  }

  // Fits the whole site (radars and beams) into the map, and follows it.
  fit() {
    this.followSite = true;
    this.follow = null;
    this.fittedTo = '';
    this.onChange?.();
  }

  // Shows site point (x, y) at the map's centre at the present scale, and
  // stops following the site.
  centreOn(x, y) {
    this.follow = null;
    this.view.centerX = x;
    this.view.centerY = y;
    this.followSite = false;
    this.onChange?.();
  }

  // Matches the canvas's pixels to its size on the page.
  resize() {
    const ratio = window.devicePixelRatio || 1;
    const { width, height } = this.canvas.getBoundingClientRect();
    this.canvas.width = Math.max(1, Math.round(width * ratio));
    this.canvas.height = Math.max(1, Math.round(height * ratio));
    this.view.width = Math.max(1, width);
    this.view.height = Math.max(1, height);
    this.ratio = ratio;
    this.fittedTo = '';
  }

  draw(nowMs) {
    const ctx = this.canvas.getContext('2d');
    ctx.setTransform(this.ratio ?? 1, 0, 0, this.ratio ?? 1, 0, 0);
    if (this.follow) {
      const o = this.site.service.picture?.objects.find((object) => object.id === this.follow.id);
      if (o) Object.assign(this.follow, { x: o.x, y: o.y });
      this.view.centerX = this.follow.x;
      this.view.centerY = this.follow.y;
    } else if (this.followSite) {
      const extent = boundsOf(this.site.extent()) ?? { minX: -100, minY: -100, maxX: 100, maxY: 100 };
      const key = JSON.stringify(extent) + this.view.width + 'x' + this.view.height;
      if (key !== this.fittedTo) {
        this.view.fit(extent, marginPx);
        this.fittedTo = key;
      }
    }
    ctx.fillStyle = colours.background;
    ctx.fillRect(0, 0, this.view.width, this.view.height);
    this.background?.draw(ctx, this.view, this.ratio ?? 1);
    this.drawGrid(ctx);
    const zoneState = this.drawZones(ctx, nowMs);
    for (const name of this.site.names()) this.drawBeam(ctx, this.site.radars.get(name));
    const cameras = this.site.cameras();
    for (const [name, c] of cameras) this.drawView(ctx, name, c);
    const { labels, classes } = this.drawMarks(ctx, nowMs);
    for (const name of this.site.names()) this.drawRadar(ctx, this.site.radars.get(name));
    this.drawFollowed(ctx, cameras);
    for (const [name, c] of cameras) this.drawCamera(ctx, name, c);
    const aligned = this.drawAlignments(ctx);
    this.tool?.draw(ctx, this.view);
    this.drawNorth(ctx);
    if (this.canvas.dataset) {
      this.canvas.dataset.view = this.shown;
      this.canvas.dataset.labels = labels.join(' ');
      this.canvas.dataset.classes = classes.join(' ');
      this.canvas.dataset.zones = zoneState.drawn.join(' ');
      this.canvas.dataset.alignment = aligned.join(' ');
      this.canvas.dataset.cameras = cameras.map(([name, c]) => cameraState(name, c)).join(' ');
      this.canvas.dataset.lit = zoneState.lit.join(' ');
      this.canvas.dataset.flashing = zoneState.flashing.join(' ');
      this.canvas.dataset.disarmed = zoneState.disarmed.join(' ');
      this.canvas.dataset.center = `${this.view.centerX.toFixed(1)} ${this.view.centerY.toFixed(1)}`;
      this.canvas.dataset.scale = String(this.view.scale);
      this.canvas.dataset.follow = this.follow ? String(this.follow.id) : '';
      this.canvas.dataset.background = this.background?.state ?? 'none';
      this.canvas.dataset.backgroundDrawn = String(this.background?.drawn ?? 0);
    }
  }

  drawGrid(ctx) {
    const v = this.view;
    const step = gridStep(v.scale);
    const box = v.visible();
    ctx.font = font;
    ctx.lineWidth = 1;
    ctx.fillStyle = colours.label;
    ctx.textBaseline = 'top';
    for (const x of gridLines(box.minX, box.maxX, step)) {
      const px = Math.round(v.toScreen(x, 0).x) + 0.5;
      ctx.strokeStyle = x === 0 ? colours.axis : colours.grid;
      ctx.beginPath();
      ctx.moveTo(px, 0);
      ctx.lineTo(px, v.height);
      ctx.stroke();
      ctx.textAlign = 'left';
      ctx.fillText(distanceLabel(x, step), px + 3, 3);
    }
    ctx.textBaseline = 'bottom';
    for (const y of gridLines(box.minY, box.maxY, step)) {
      const py = Math.round(v.toScreen(0, y).y) + 0.5;
      ctx.strokeStyle = y === 0 ? colours.axis : colours.grid;
      ctx.beginPath();
      ctx.moveTo(0, py);
      ctx.lineTo(v.width, py);
      ctx.stroke();
      ctx.textAlign = 'left';
      ctx.fillText(distanceLabel(y, step), 3, py - 2);
    }
    // What the lines mean, at the bottom left.
    ctx.textBaseline = 'bottom';
    ctx.fillText(`grid ${distanceLabel(step, step)}; x east, y north of the site's origin`, 8, v.height - 6);
  }

  // The zones and lines with their names; returns the names drawn, lit,
  // flashing and disarmed.
  drawZones(ctx, nowMs) {
    const zones = this.site.zones;
    const state = { drawn: [], lit: [], flashing: [], disarmed: [] };
    for (const z of zones.zones) {
      const flashing = zones.flashing(z.name, nowMs);
      const lit = z.kind === 'zone' && zones.lit(z.name);
      if (z.kind === 'zone') this.drawArea(ctx, z, lit, flashing);
      else this.drawLine(ctx, z, flashing);
      state.drawn.push(z.name);
      if (lit) state.lit.push(z.name);
      if (flashing) state.flashing.push(z.name);
      if (zones.disarmed(z.name)) state.disarmed.push(z.name);
    }
    return state;
  }

  path(ctx, points, close) {
    points.forEach(([x, y], i) => {
      const p = this.view.toScreen(x, y);
      if (i === 0) ctx.moveTo(p.x, p.y);
      else ctx.lineTo(p.x, p.y);
    });
    if (close) ctx.closePath();
  }

  // A zone: its outer ring filled but for its holes, its name at the top of
  // the box around it.
  drawArea(ctx, z, lit, flashing) {
    ctx.beginPath();
    for (const ring of z.coordinates) this.path(ctx, ring, true);
    ctx.globalAlpha = flashing ? flashFillAlpha : lit ? litFillAlpha : zoneFillAlpha;
    ctx.fillStyle = flashing ? zoneColours.flash : lit ? zoneColours.lit : zoneColours.edge;
    ctx.fill('evenodd');
    ctx.globalAlpha = 1;
    ctx.strokeStyle = lit ? zoneColours.lit : zoneColours.edge;
    ctx.lineWidth = flashing || lit ? 2 : 1;
    ctx.stroke();
    const top = this.view.toScreen((z.box.minX + z.box.maxX) / 2, z.box.maxY);
    this.drawZoneName(ctx, z.name, { x: top.x, y: top.y + zoneNameGapPx }, 'center', 'top');
  }

  // A line as drawn, and on each segment long enough on the map an arrow
  // to its left: an object crossing the way the arrow points crosses it
  // to the left.
  drawLine(ctx, z, flashing) {
    if (flashing) {
      ctx.beginPath();
      this.path(ctx, z.coordinates, false);
      ctx.strokeStyle = zoneColours.flash;
      ctx.lineWidth = flashLineWidthPx;
      ctx.stroke();
    }
    ctx.beginPath();
    this.path(ctx, z.coordinates, false);
    ctx.strokeStyle = zoneColours.edge;
    ctx.lineWidth = lineWidthPx;
    ctx.stroke();
    ctx.lineWidth = 1.5;
    for (let i = 1; i < z.coordinates.length; ++i) {
      const a = this.view.toScreen(...z.coordinates[i - 1]);
      const b = this.view.toScreen(...z.coordinates[i]);
      const arrow = leftArrow(a, b, sideArrowPx, minArrowSegmentPx);
      if (!arrow) continue;
      const { from, tip, barbs } = arrow;
      ctx.beginPath();
      ctx.moveTo(from.x, from.y);
      ctx.lineTo(tip.x, tip.y);
      ctx.moveTo(barbs[0].x, barbs[0].y);
      ctx.lineTo(tip.x, tip.y);
      ctx.lineTo(barbs[1].x, barbs[1].y);
      ctx.stroke();
    }
    const first = this.view.toScreen(...z.coordinates[0]);
    this.drawZoneName(ctx, z.name, { x: first.x + zoneNameGapPx, y: first.y }, 'left', 'middle');
  }

  drawZoneName(ctx, name, at, align, baseline) {
    ctx.font = `italic ${font}`;
    ctx.fillStyle = zoneColours.edge;
    ctx.textAlign = align;
    ctx.textBaseline = baseline;
    ctx.fillText(this.site.zones.disarmed(name) ? `${name} (disarmed)` : name, at.x, at.y);
  }

  drawNorth(ctx) {
    const x = this.view.width - 28;
    const y = 18;
    ctx.fillStyle = colours.label;
    ctx.beginPath();
    ctx.moveTo(x, y);
    ctx.lineTo(x - 7, y + 18);
    ctx.lineTo(x, y + 13);
    ctx.lineTo(x + 7, y + 18);
    ctx.closePath();
    ctx.fill();
    ctx.font = `bold ${font}`;
    ctx.textAlign = 'center';
    ctx.textBaseline = 'top';
    ctx.fillText('N', x, y + 21);
  }

  drawBeam(ctx, radar) {
    if (!radar.place || !radar.beam) return;
    const { x, y } = this.view.toScreen(radar.place.x, radar.place.y);
    const b = radar.beam;
    const s = this.view.scale;
    const from = canvasAngle(b.bearing - b.halfWidth);
    const to = canvasAngle(b.bearing + b.halfWidth);
    ctx.beginPath();
    ctx.arc(x, y, b.maxRange * s, from, to);
    ctx.arc(x, y, b.minRange * s, to, from, true);
    ctx.closePath();
    const colour = radar.online === false ? colours.offline : this.site.colour(radar.name);
    ctx.globalAlpha = beamFillAlpha;
    ctx.fillStyle = colour;
    ctx.fill();
    ctx.globalAlpha = beamEdgeAlpha;
    ctx.strokeStyle = colour;
    ctx.lineWidth = 1;
    ctx.setLineDash([4, 4]);
    ctx.stroke();
    ctx.setLineDash([]);
    ctx.globalAlpha = 1;
  }

  drawRadar(ctx, radar) {
    if (!radar.place) return;
    const { x, y } = this.view.toScreen(radar.place.x, radar.place.y);
    const colour = this.site.colour(radar.name);
    const offline = radar.online === false;
    const angle = canvasAngle(radar.beam?.bearing ?? radar.place.heading);
    ctx.strokeStyle = offline ? colours.offline : colour;
    ctx.lineWidth = 2;
    ctx.beginPath();
    ctx.moveTo(x, y);
    ctx.lineTo(x + boresightLinePx * Math.cos(angle), y + boresightLinePx * Math.sin(angle));
    ctx.stroke();
    ctx.beginPath();
    ctx.rect(x - radarHalfSidePx, y - radarHalfSidePx, 2 * radarHalfSidePx, 2 * radarHalfSidePx);
    ctx.fillStyle = offline ? '#ffffff' : colour;
    ctx.fill();
    ctx.strokeStyle = offline ? colours.offline : '#ffffff';
    ctx.stroke();
    ctx.font = `bold ${font}`;
    ctx.fillStyle = offline ? colours.offline : colour;
    ctx.textBaseline = 'middle';
    // The label on the side away from the beam.
    const labelLeft = Math.cos(angle) > 0.3;
    ctx.textAlign = labelLeft ? 'right' : 'left';
    const dx = labelLeft ? -radarHalfSidePx - 5 : radarHalfSidePx + 5;
    ctx.fillText(offline ? `${radar.name} (offline)` : radar.name, x + dx, y);
  }

  // A camera's view, where its bearing and width are known: a wedge from its
  // place out to its reach, dashed and grey while it is offline.
  drawView(ctx, name, c) {
    if (c.bearingDeg === null || c.fovDeg === null) return;
    const { x, y } = this.view.toScreen(c.xM, c.yM);
    const colour = c.online ? this.site.cameraColour(name) : colours.offline;
    ctx.beginPath();
    ctx.moveTo(x, y);
    ctx.arc(x, y, c.reachM * this.view.scale, canvasAngle(c.bearingDeg - c.fovDeg / 2),
      canvasAngle(c.bearingDeg + c.fovDeg / 2));
    ctx.closePath();
    ctx.globalAlpha = viewFillAlpha;
    ctx.fillStyle = colour;
    ctx.fill();
    ctx.globalAlpha = viewEdgeAlpha;
    ctx.strokeStyle = colour;
    ctx.lineWidth = 1;
    ctx.setLineDash(c.online ? [] : [4, 4]);
    ctx.stroke();
    ctx.setLineDash([]);
    ctx.globalAlpha = 1;
  }

  // A camera at its place: a diamond in its colour (white, grey-edged, while
  // offline), a line along its bearing when only that is known, its name.
  drawCamera(ctx, name, c) {
    const { x, y } = this.view.toScreen(c.xM, c.yM);
    const colour = this.site.cameraColour(name);
    ctx.strokeStyle = c.online ? colour : colours.offline;
    ctx.lineWidth = 2;
    if (c.bearingDeg !== null && c.fovDeg === null) {
      const angle = canvasAngle(c.bearingDeg);
      ctx.beginPath();
      ctx.moveTo(x, y);
      ctx.lineTo(x + boresightLinePx * Math.cos(angle), y + boresightLinePx * Math.sin(angle));
      ctx.stroke();
    }
    ctx.beginPath();
    ctx.moveTo(x, y - cameraHalfPx);
    ctx.lineTo(x + cameraHalfPx, y);
    ctx.lineTo(x, y + cameraHalfPx);
    ctx.lineTo(x - cameraHalfPx, y);
    ctx.closePath();
    ctx.fillStyle = c.online ? colour : '#ffffff';
    ctx.fill();
    ctx.strokeStyle = c.online ? '#ffffff' : colours.offline;
    ctx.lineWidth = 1;
    ctx.stroke();
    ctx.font = font;
    ctx.fillStyle = c.online ? colour : colours.offline;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'top';
    ctx.fillText(c.online ? name : `${name} (offline)`, x + cameraHalfPx + 3, y + 2);
  }

  // A ring in each camera's colour around the object it follows, where the
  // site picture shows that object; a second camera's ring outside the first.
  drawFollowed(ctx, cameras) {
    if (this.shown !== 'site' || !cameras.some(([, c]) => c.following !== null)) return;
    const shown = new Map(shownObjects(this.site.service.picture?.objects ?? [], this.hiddenClasses)
      .map((o) => [o.id, o]));
    const rings = new Map(); // object id -> rings drawn around it
    ctx.lineWidth = 2;
    for (const [name, c] of cameras) {
      const o = shown.get(c.following);
      if (!o) continue;
      const k = rings.get(o.id) ?? 0;
      rings.set(o.id, k + 1);
      const { x, y } = this.view.toScreen(o.x, o.y);
      ctx.strokeStyle = this.site.cameraColour(name);
      ctx.beginPath();
      ctx.arc(x, y, followRingPx + k * followRingStepPx, 0, 2 * Math.PI);
      ctx.stroke();
    }
  }

  // The site service's alignment at each radar it estimates: the file's
  // heading and the estimated true one (exaggerated), its error in degrees,
  // and a ring at the estimated place joined to the file's. Returns
  // "name:label" of each, "name:label:uncertain" when dimmed.
  drawAlignments(ctx) {
    const drawn = [];
    const alignment = this.site.service.status?.alignment;
    if (!alignment) return drawn;
    for (const name of this.site.names()) {
      const radar = this.site.radars.get(name);
      const glyph = alignmentGlyph(radar.place, alignment.radars.get(name));
      if (!glyph) continue;
      this.drawAlignment(ctx, glyph, this.site.colour(name));
      drawn.push(`${name}:${glyph.label}${glyph.dimmed ? ':uncertain' : ''}`);
    }
    return drawn;
  }

  drawAlignment(ctx, glyph, colour) {
    const { x, y } = this.view.toScreen(glyph.from.x, glyph.from.y);
    const to = this.view.toScreen(glyph.to.x, glyph.to.y);
    const fileAngle = canvasAngle(glyph.fileHeading);
    const trueAngle = canvasAngle(glyph.trueHeading);
    const end = { x: x + alignmentArrowPx * Math.cos(trueAngle), y: y + alignmentArrowPx * Math.sin(trueAngle) };
    ctx.globalAlpha = glyph.dimmed ? uncertainAlpha : 1;
    ctx.strokeStyle = colour;
    ctx.lineWidth = 1;
    ctx.setLineDash([3, 3]);
    ctx.beginPath();
    ctx.moveTo(x, y);
    ctx.lineTo(x + alignmentArrowPx * Math.cos(fileAngle), y + alignmentArrowPx * Math.sin(fileAngle));
    ctx.moveTo(to.x, to.y);
    ctx.lineTo(x, y);
    ctx.stroke();
    ctx.setLineDash([]);
    ctx.lineWidth = 2;
    ctx.beginPath();
    ctx.moveTo(x, y);
    ctx.lineTo(end.x, end.y);
    // The arrow's head.
    for (const side of [-1, 1]) {
      const back = trueAngle + Math.PI + side * 0.4;
      ctx.moveTo(end.x, end.y);
      ctx.lineTo(end.x + 8 * Math.cos(back), end.y + 8 * Math.sin(back));
    }
    ctx.stroke();
    ctx.beginPath();
    ctx.arc(to.x, to.y, alignmentRingPx, 0, 2 * Math.PI);
    ctx.stroke();
    ctx.font = font;
    ctx.fillStyle = colour;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'bottom';
    ctx.fillText(glyph.label, end.x + 4, end.y - 2);
    ctx.globalAlpha = 1;
  }

  drawTargets(ctx, radar, nowMs, labels) {
    if (!radar.tracks) return;
    const colour = this.site.colour(radar.name);
    ctx.globalAlpha = this.site.silent(radar.name, nowMs) ? staleAlpha : 1;
    for (const t of radar.tracks.targets) {
      const label = String(t.number);
      this.drawMark(ctx, t, colour, this.trails.trail(radar.name, t.number), label);
      labels.push(`${radar.name}:${label}`);
    }
    ctx.globalAlpha = 1;
  }

  // The targets or the objects, their trails and labels, drawn into a layer
  // of their own a margin larger than the map, and again only when they
  // changed (marksChanged()), the scale or size did, a radar fell silent
  // or the map moved by more than the margin: while the map is panned the
  // layer moves with it, so that a frame of 500 objects costs one image
  // rather than 500 marks. Returns the labels drawn and the objects'
  // classes (id:class).
  drawMarks(ctx, nowMs) {
    const silent = this.shown === 'site' ? [this.site.serviceSilent(nowMs)]
      : this.site.names().map((name) => this.site.silent(name, nowMs));
    const ratio = this.ratio ?? 1;
    const { width, height, scale } = this.view;
    const key = `${this.shown} ${scale} ${width}x${height} ${ratio} ${silent.join(' ')} ${this.marksVersion}`;
    const page = this.canvas.ownerDocument;
    if (!page) {
      // No page to make a layer in (the unit tests' canvas): straight onto the map.
      const drawn = { labels: [], classes: [] };
      this.drawShown(ctx, nowMs, drawn);
      return drawn;
    }
    let layer = this.marks;
    const moved = (l) => ({ dx: (l.centerX - this.view.centerX) * scale, dy: (this.view.centerY - l.centerY) * scale });
    const off = layer ? moved(layer) : null;
    if (!layer || layer.key !== key || Math.abs(off.dx) > marksMarginPx || Math.abs(off.dy) > marksMarginPx) {
      layer ??= { canvas: page.createElement('canvas') };
      layer.canvas.width = Math.round((width + 2 * marksMarginPx) * ratio);
      layer.canvas.height = Math.round((height + 2 * marksMarginPx) * ratio);
      const marks = layer.canvas.getContext('2d');
      marks.setTransform(ratio, 0, 0, ratio, marksMarginPx * ratio, marksMarginPx * ratio);
      layer.drawn = { labels: [], classes: [] };
      this.drawShown(marks, nowMs, layer.drawn);
      Object.assign(layer, { key, centerX: this.view.centerX, centerY: this.view.centerY });
      this.marks = layer;
    }
    // Only the part of the layer that lands on the map (|dx|, |dy| are
    // within the margin): every pixel copied costs a frame its time.
    const { dx, dy } = moved(layer);
    ctx.drawImage(layer.canvas, (marksMarginPx - dx) * ratio, (marksMarginPx - dy) * ratio, width * ratio,
      height * ratio, 0, 0, width, height);
    return layer.drawn;
  }

  // The objects, or every radar's targets, as shown; their labels and
  // classes go to drawn.
  drawShown(ctx, nowMs, drawn) {
    ctx.font = font;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'bottom';
    if (this.shown === 'site') {
      this.drawObjects(ctx, nowMs, drawn);
    } else {
      for (const name of this.site.names()) this.drawTargets(ctx, this.site.radars.get(name), nowMs, drawn.labels);
    }
  }

  // The marks are to be drawn again at the next frame: new tracks, a new
  // picture, trails that moved on.
  marksChanged() {
    this.marksVersion = (this.marksVersion ?? 0) + 1;
  }

  // The fused objects but those of the classes hidden, each in the colour
  // of its id, labelled with it, the glyph of its class on the left.
  drawObjects(ctx, nowMs, drawn) {
    const picture = this.site.service.picture;
    if (!picture) return;
    ctx.globalAlpha = this.site.serviceSilent(nowMs) ? staleAlpha : 1;
    for (const o of shownObjects(picture.objects, this.hiddenClasses)) {
      const label = String(o.id);
      this.drawMark(ctx, o, objectColour(o.id), this.trails.trail(serviceTrails, o.id), label);
      drawn.labels.push(label);
      drawn.classes.push(`${label}:${o.class}`);
      this.drawClass(ctx, o);
    }
    ctx.globalAlpha = 1;
  }

  // The badge of an object's class left of its mark; the labels' font and
  // alignment as they were.
  drawClass(ctx, o) {
    const { x, y } = this.view.toScreen(o.x, o.y);
    ctx.save();
    ctx.translate(x - targetRadiusPx - glyphGapPx - glyphHalfPx, y);
    ctx.fillStyle = glyphColours.badge;
    ctx.strokeStyle = glyphColours.ink;
    ctx.lineWidth = 1;
    ctx.beginPath();
    ctx.roundRect(-glyphHalfPx, -glyphHalfPx, 2 * glyphHalfPx, 2 * glyphHalfPx, 3);
    ctx.fill();
    ctx.stroke();
    ctx.fillStyle = glyphColours.ink;
    ctx.lineWidth = 1.3;
    ctx.lineCap = 'round';
    (classGlyphs[o.class] ?? classGlyphs.unknown)(ctx);
    ctx.restore();
  }

  // One target or object at t.x, t.y with its trail: a filled dot when
  // confirmed, a ring and a dashed trail when not.
  // A trail's points nearer than trailStepPx to the last one drawn are
  // left out: a slow or distant object's trail of a hundred points is then
  // a few segments, the same to the eye.
  // The labels' font and alignment are drawShown()'s, set once for all.
  drawMark(ctx, t, colour, trail, label) {
    ctx.strokeStyle = colour;
    if (trail.length > 1) {
      ctx.lineWidth = 2;
      ctx.setLineDash(t.confirmed ? [] : [3, 3]);
      ctx.beginPath();
      let last = this.view.toScreen(trail[0].x, trail[0].y);
      ctx.moveTo(last.x, last.y);
      for (let i = 1; i < trail.length; ++i) {
        const s = this.view.toScreen(trail[i].x, trail[i].y);
        if (i < trail.length - 1 && Math.abs(s.x - last.x) + Math.abs(s.y - last.y) < trailStepPx) continue;
        ctx.lineTo(s.x, s.y);
        last = s;
      }
      const saved = ctx.globalAlpha;
      ctx.globalAlpha = saved * trailAlpha;
      ctx.stroke();
      ctx.globalAlpha = saved;
      ctx.setLineDash([]);
    }
    const { x, y } = this.view.toScreen(t.x, t.y);
    ctx.beginPath();
    ctx.arc(x, y, targetRadiusPx, 0, 2 * Math.PI);
    if (t.confirmed) {
      // Confirmed: a filled dot.
      ctx.fillStyle = colour;
      ctx.fill();
      ctx.strokeStyle = '#ffffff';
      ctx.lineWidth = 1;
      ctx.stroke();
    } else {
      // Unconfirmed: a ring.
      ctx.fillStyle = colours.background;
      ctx.fill();
      ctx.strokeStyle = colour;
      ctx.lineWidth = 2;
      ctx.stroke();
    }
    ctx.fillStyle = colour;
    ctx.fillText(label, x + targetRadiusPx + 2, y - 2);
  }
}
