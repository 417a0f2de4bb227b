// The zone editor on the page, for admins: button#edit-zones opens
// section#zone-editor with the zones file as sited has it (GET
// api/zones/file); the map draws the shapes edited on top of the live ones
// and takes clicks (corners of a shape drawn) and drags (a corner, a whole
// shape). The selected shape's rules in #zone-name, #zone-dwell,
// #zone-speed, #zone-confirmed, input[name=zone-alarm], #zone-armed,
// input[name=zone-class] and #zone-strict (the classes it keeps); every
// failing check in ol#zone-problems (save disabled while any); save (PUT
// with the version it started from: a conflict keeps the edit, and offers
// the saved zones and the edit back), the preview of the period in
// select#preview-hours (24 hours unless chosen) in #zone-preview
// (data-state: counting, counted, failed; data-from, data-to: the period
// counted, ms),
// the versions in ol#zone-versions with their restore buttons.
// #zone-save-state's data-state: clean, edited, saving, saved, conflict,
// error.

import {
  ZoneEditor,
  alarmEvents,
  fromGeoJSON,
  georeference,
  originFromZones,
  originOf,
  problems,
  toGeoJSON,
} from './editor.js';

const colours = { edge: '#d35400', selected: '#c0392b', drawing: '#16a085', handle: '#ffffff' };
const handlePx = 4; // half the side of a corner's handle

function element(tag, attributes = {}, text = undefined) {
  const e = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) e.setAttribute(name, value);
  if (text !== undefined) e.textContent = text;
  return e;
}

const byId = (id) => document.getElementById(id);

// A number field's value: null when empty, NaN when not a number (a
// problem then).
function fieldNumber(input) {
  const text = input.value.trim();
  return text === '' ? null : Number(text);
}

export class EditorPanel {
  constructor({ api, map, site, onChange }) {
    this.api = api;
    this.map = map;
    this.site = site;
    this.onChange = onChange;
    this.editor = new ZoneEditor();
    this.section = byId('zone-editor');
    this.geo = null;
    this.head = {}; // the zones file's members beside its features
    this.version = null;
    this.loaded = false;
    this.writable = true;
    this.state = 'clean';
    this.message = '';
    this.stash = null; // the user's edit while the saved zones are shown after a conflict
    this.finishedByClick = false; // the last click ended the shape drawn
    this.tool = {
      down: (p, tolM) => this.down(p, tolM),
      move: (dx, dy) => this.changed(() => this.editor.dragBy(dx, dy)),
      up: () => this.changed(() => this.editor.endDrag()),
      click: (p, tolM) => this.click(p, tolM),
      doubleClick: (p, tolM) => this.doubleClick(p, tolM),
      draw: (ctx, view) => this.draw(ctx, view),
    };
    this.wire();
  }

  wire() {
    byId('edit-zones').addEventListener('click', () => (this.section.hidden ? this.open() : this.close()));
    byId('close-editor').addEventListener('click', () => this.close());
    byId('draw-zone').addEventListener('click', () => this.changed(() => this.editor.startDrawing('zone')));
    byId('draw-line').addEventListener('click', () => this.changed(() => this.editor.startDrawing('line')));
    byId('finish-shape').addEventListener('click', () => this.changed(() => this.editor.finish()));
    byId('delete-shape').addEventListener('click', () => this.changed(() => this.editor.remove()));
    byId('undo').addEventListener('click', () => this.changed(() => this.editor.undo()));
    byId('redo').addEventListener('click', () => this.changed(() => this.editor.redo()));
    byId('save-zones').addEventListener('click', () => this.save());
    byId('preview-zones').addEventListener('click', () => this.preview());
    byId('zone-reload').addEventListener('click', () => this.reload());
    byId('zone-reapply').addEventListener('click', () => this.reapply());
    // Typing changes the shape at once (the checks follow), one undo step a
    // field; leaving the field ends the step.
    const fields = [['zone-name', 'input'], ['zone-dwell', 'input'], ['zone-speed', 'input'], ['zone-armed', 'input'],
      ['zone-confirmed', 'change']];
    for (const [id, type] of fields) {
      const apply = () => this.changed(() => this.editor.update(this.fieldsPatch(), id));
      byId(id).addEventListener(type, apply);
      byId(id).addEventListener('change', () => {
        apply();
        this.editor.coalesce = null;
      });
    }
    for (const box of document.querySelectorAll('input[name=zone-alarm], input[name=zone-class], #zone-strict')) {
      box.addEventListener('change', () => this.changed(() => this.editor.update(this.fieldsPatch())));
    }
    document.addEventListener('keydown', (e) => {
      if (this.section.hidden) return;
      const typing = e.target.closest?.('input[type=text], input:not([type]), input[type=number], textarea');
      const key = e.key.toLowerCase();
      if ((e.ctrlKey || e.metaKey) && !typing && (key === 'z' || key === 'y')) {
        e.preventDefault();
        this.changed(() => (key === 'y' || e.shiftKey ? this.editor.redo() : this.editor.undo()));
      } else if (e.key === 'Escape' && this.editor.drawing) {
        this.changed(() => {
          this.editor.drawing = null;
        });
      }
    });
  }

  // Opens the editor, with the file as saved unless an edit is kept.
  async open() {
    this.section.hidden = false;
    byId('edit-zones').setAttribute('aria-pressed', 'true');
    this.map.tool = this.tool;
    if (!this.loaded || !this.editor.edited()) await this.load();
    this.loadVersions();
    this.render();
  }

  close() {
    this.section.hidden = true;
    byId('edit-zones').setAttribute('aria-pressed', 'false');
    this.map.tool = null;
    this.onChange?.();
  }

  // The zones file as sited has it now; keepHistory: the shapes shown
  // before stay an undo step.
  async load({ keepHistory = false } = {}) {
    try {
      const file = await this.api.zonesFile();
      this.geo = this.georeferenceFor(file);
      const read = this.geo ? fromGeoJSON(file.geojson, this.geo) : { shapes: [] };
      if (read.error) throw new Error(read.error);
      this.editor.load(read.shapes, { keepHistory });
      this.head = read.head ?? {};
      this.version = file.version;
      this.writable = file.writable !== false;
      this.loaded = true;
      this.setState('clean', file.writable === false ? `read only: ${file.why ?? 'sited cannot write the file'}` : '');
      byId('zone-version').textContent = `version ${file.version}${file.user ? ` by ${file.user}` : ''}`;
    } catch (error) {
      this.setState('error', `the zones file: ${error.message}`);
    }
  }

  // Where the site's origin is: the file's answer when it says, else the
  // site's own map's, else found from a zone both in the file and in the
  // zones message, else from a fused object's latitude and longitude.
  georeferenceFor(file) {
    let origin = file.origin ?? this.map.background?.origin ?? null;
    origin ??= originFromZones(file.geojson?.features, this.site.zones.zones);
    const placed = this.site.service.picture?.objects.find((o) => o.lat !== null);
    if (!origin && placed) origin = originOf(placed.lon, placed.lat, placed.x, placed.y);
    return origin ? georeference(origin) : null;
  }

  // Runs a change to the shapes, then shows them.
  changed(change) {
    change();
    if (this.editor.edited() && !['conflict', 'saving'].includes(this.state)) this.setState('edited', '');
    if (!this.editor.edited() && this.state === 'edited') this.setState('clean', '');
    this.render();
  }

  setState(state, message) {
    this.state = state;
    this.message = message;
    const line = byId('zone-save-state');
    line.dataset.state = state;
    const words = { clean: 'no changes', edited: 'not saved', saving: 'saving', saved: 'saved' };
    line.textContent = message || words[state] || '';
  }

  down(p, tolM) {
    this.finishedByClick = false;
    if (this.editor.drawing) return false;
    const target = this.editor.hit(p, tolM);
    if (!target) return false;
    this.editor.beginDrag(target);
    this.render();
    return true;
  }

  // A click on the map: a corner of the shape drawn, else no selection.
  click(p, tolM) {
    this.changed(() => {
      if (this.editor.drawing) this.finishedByClick = this.editor.click(p.x, p.y, tolM) === 'closed';
      else this.editor.select(null);
    });
  }

  // On a corner of the selected shape: takes it away; on its edge: adds
  // one. While drawing, the clicks of a double click have ended the shape.
  doubleClick(p, tolM) {
    // The double click that ended a shape drawn is not one on it.
    if (this.editor.drawing || this.finishedByClick) return false;
    const target = this.editor.hit(p, tolM);
    if (!target || target.shape.id !== this.editor.selected) return false;
    this.changed(() => this.editor.reshape(target, p));
    return true;
  }

  // The fields' values as a patch of the selected shape.
  fieldsPatch() {
    const alarm = [...document.querySelectorAll('input[name=zone-alarm]:checked')].map((b) => b.value);
    // The classes checked, in zoneClasses' order; none: any object.
    const classes = [...document.querySelectorAll('input[name=zone-class]:checked')].map((b) => b.value);
    return {
      name: byId('zone-name').value.trim(),
      dwell: fieldNumber(byId('zone-dwell')),
      speed: fieldNumber(byId('zone-speed')),
      confirmedOnly: byId('zone-confirmed').checked,
      alarm,
      armedText: byId('zone-armed').value,
      classes: classes.length > 0 ? classes : null,
      strict: byId('zone-strict').checked,
    };
  }

  // The tools, fields, problems and state as the editor has them.
  render() {
    const e = this.editor;
    const shape = e.shape();
    const set = (id, value) => {
      const input = byId(id);
      if (document.activeElement !== input) input.value = value;
    };
    byId('zone-fields').disabled = !shape;
    set('zone-name', shape?.name ?? '');
    set('zone-dwell', shape?.dwell ?? '');
    set('zone-speed', shape?.speed ?? '');
    set('zone-armed', shape?.armedText ?? '');
    byId('zone-confirmed').checked = shape?.confirmedOnly ?? true;
    byId('zone-dwell').disabled = shape?.kind === 'line';
    byId('zone-speed').disabled = shape?.kind === 'line';
    const allowed = shape ? alarmEvents(shape) : [];
    for (const box of document.querySelectorAll('input[name=zone-alarm], input[name=zone-class], #zone-strict')) {
      box.checked = shape?.alarm.includes(box.value) ?? false;
      box.disabled = !allowed.includes(box.value) && !box.checked;
    }
    const classes = Array.isArray(shape?.classes) ? shape.classes : [];
    for (const box of document.querySelectorAll('input[name=zone-class]')) box.checked = classes.includes(box.value);
    byId('zone-strict').checked = shape?.strict === true;
    byId('zone-strict').disabled = classes.length === 0 && shape?.strict !== true;
    byId('finish-shape').disabled = !e.drawing;
    byId('delete-shape').disabled = !shape;
    byId('undo').disabled = e.undoStack.length === 0 && !e.drawing;
    byId('redo').disabled = e.redoStack.length === 0;
    byId('zone-hint').textContent = e.drawing
      ? `Click the map for each corner; click the first corner or Finish to end the ${e.drawing.kind}, Escape to stop`
      : 'Press on a shape to select and drag it, on a corner to move it; double-click an edge to add a corner, ' +
        'a corner to take it away';
    const found = this.geo ? problems(e.shapes) : ['the page does not know where the site\'s origin is: no zone, ' +
      'map or object places it, so it cannot convert to longitude and latitude'];
    byId('zone-problems').replaceChildren(...found.map((text) => element('li', {}, text)));
    byId('save-zones').disabled = found.length > 0 || this.state === 'saving' || !this.loaded || !this.writable;
    byId('zone-conflict').hidden = this.state !== 'conflict' && this.stash === null;
    byId('zone-reapply').hidden = this.stash === null;
    this.onChange?.();
  }

  async save() {
    if (problems(this.editor.shapes).length > 0 || !this.geo) return;
    this.setState('saving', '');
    this.render();
    try {
      const answer = await this.api.saveZones(this.version, toGeoJSON(this.editor.shapes, this.geo, this.head));
      this.version = answer.version;
      this.editor.markSaved();
      this.stash = null;
      byId('zone-version').textContent = `version ${answer.version}`;
      this.setState('saved', `saved as version ${answer.version}${answer.applied ? ', in use' : ''}`);
      this.loadVersions();
    } catch (error) {
      this.failed(error);
    }
    this.render();
  }

  // A refusal: a conflict (someone saved since) keeps the edit and offers
  // the saved zones; anything else is one line.
  failed(error) {
    if (error.status === 409 && Number.isInteger(error.body?.version)) this.setState('conflict', error.message);
    else this.setState('error', error.message);
  }

  // After a conflict: the zones as saved now, the user's edit kept to be
  // put back (and undone to).
  async reload() {
    this.stash = structuredClone(this.editor.shapes);
    await this.load({ keepHistory: true });
    this.render();
  }

  // The edit kept at the conflict, on the version loaded since: saved, it
  // replaces that version.
  reapply() {
    if (!this.stash) return;
    const shapes = this.stash;
    this.stash = null;
    this.changed(() => {
      this.editor.record();
      this.editor.shapes = shapes;
      this.editor.selected = null;
    });
  }

  // Counting a day of pictures takes sited seconds: meanwhile the button
  // is busy (a second press waits for the first) and the table says so.
  async preview() {
    const table = byId('zone-preview');
    const button = byId('preview-zones');
    if (!this.geo || this.previewing) return;
    this.previewing = true;
    button.disabled = true;
    button.setAttribute('aria-busy', 'true');
    table.dataset.state = 'counting';
    table.tBodies[0].replaceChildren();
    const hours = Number(byId('preview-hours')?.value ?? 24);
    const period = hours === 1 ? 'hour\'s' : `${hours} hours'`;
    table.caption.textContent = `Counting the last ${period} events, now and as edited…`;
    table.hidden = false;
    try {
      const answer = await this.api.preview(toGeoJSON(this.editor.shapes, this.geo, this.head), hours);
      const total = (counts) => Object.values(counts ?? {}).reduce((n, v) => n + (Number.isFinite(v) ? v : 0), 0);
      const current = answer.current?.counts ?? {};
      const edited = answer.edited?.counts ?? {};
      const zones = [...new Set([...Object.keys(current), ...Object.keys(edited),
        ...this.editor.shapes.map((s) => s.name)])].sort();
      const describe = (counts) => Object.entries(counts ?? {}).filter(([, n]) => n > 0).map(([k, n]) => `${n} ${k}`)
        .join(', ') || 'no events';
      const rows = zones.map((zone) => {
        const tr = element('tr', { 'data-zone': zone });
        tr.append(element('th', { scope: 'row' }, zone),
          element('td', { class: 'current', title: describe(current[zone]) }, String(total(current[zone]))),
          element('td', { class: 'edited', title: describe(edited[zone]) }, String(total(edited[zone]))));
        return tr;
      });
      table.tBodies[0].replaceChildren(...rows);
      table.caption.textContent = `Events of ${new Date(answer.from).toISOString().slice(0, 16)} to ` +
        `${new Date(answer.to).toISOString().slice(0, 16)} (${answer.pictures} pictures): now and as edited`;
      Object.assign(table.dataset, { state: 'counted', from: String(answer.from), to: String(answer.to) });
    } catch (error) {
      table.hidden = true;
      table.dataset.state = 'failed';
      this.setState('error', `preview: ${error.message}`);
      this.render();
    } finally {
      this.previewing = false;
      button.disabled = false;
      button.removeAttribute('aria-busy');
    }
  }

  async loadVersions() {
    const list = byId('zone-versions');
    try {
      const answer = await this.api.versions();
      list.replaceChildren(...(answer.versions ?? []).map((v) => {
        const when = Number.isFinite(v.time) ? new Date(v.time).toISOString().slice(0, 16).replace('T', ' ')
          : 'as sited started';
        const li = element('li', { 'data-version': String(v.version) },
          `version ${v.version}${v.user ? ` by ${v.user}` : ''}, ${when}: ${v.zones} zones, ${v.lines} lines`);
        if (v.version !== answer.current) {
          const restore = element('button', { type: 'button', class: 'restore', 'data-version': String(v.version) },
            'Restore');
          restore.addEventListener('click', () => this.restore(v.version));
          li.append(' ', restore);
        } else {
          li.append(' (current)');
        }
        return li;
      }));
    } catch (error) {
      list.replaceChildren(element('li', {}, `versions: ${error.message}`));
    }
  }

  // A version saved again as the newest; the editor shows it, the shapes
  // before an undo step.
  async restore(version) {
    this.setState('saving', '');
    try {
      const answer = await this.api.restore(version, this.version);
      await this.load({ keepHistory: true });
      this.setState('saved', `version ${version} restored as version ${answer.version}`);
      this.loadVersions();
    } catch (error) {
      this.failed(error);
    }
    this.render();
  }

  // The shapes edited, over the live ones: the selected one's corners as
  // handles; the shape being drawn with its corners.
  draw(ctx, view) {
    const e = this.editor;
    const path = (corners, close) => {
      ctx.beginPath();
      corners.forEach((c, i) => {
        const p = view.toScreen(c.x, c.y);
        if (i === 0) ctx.moveTo(p.x, p.y);
        else ctx.lineTo(p.x, p.y);
      });
      if (close) ctx.closePath();
    };
    const handles = (corners, colour) => {
      for (const c of corners) {
        const p = view.toScreen(c.x, c.y);
        ctx.fillStyle = colours.handle;
        ctx.strokeStyle = colour;
        ctx.lineWidth = 1.5;
        ctx.fillRect(p.x - handlePx, p.y - handlePx, 2 * handlePx, 2 * handlePx);
        ctx.strokeRect(p.x - handlePx, p.y - handlePx, 2 * handlePx, 2 * handlePx);
      }
    };
    ctx.save();
    for (const s of e.shapes) {
      const selected = s.id === e.selected;
      const colour = selected ? colours.selected : colours.edge;
      ctx.setLineDash(selected ? [] : [6, 4]);
      ctx.strokeStyle = colour;
      ctx.lineWidth = selected ? 2.5 : 1.5;
      for (const corners of s.paths) {
        path(corners, s.kind === 'zone');
        ctx.stroke();
      }
      if (selected) {
        ctx.setLineDash([]);
        for (const corners of s.paths) handles(corners, colour);
      }
      const first = s.paths[0][0];
      if (first) {
        const p = view.toScreen(first.x, first.y);
        ctx.fillStyle = colour;
        ctx.font = 'bold 12px "DejaVu Sans", system-ui, sans-serif';
        ctx.textAlign = 'left';
        ctx.textBaseline = 'bottom';
        ctx.fillText(s.name, p.x + 6, p.y - 4);
      }
    }
    if (e.drawing) {
      ctx.setLineDash([]);
      ctx.strokeStyle = colours.drawing;
      ctx.lineWidth = 2;
      path(e.drawing.corners, false);
      ctx.stroke();
      handles(e.drawing.corners, colours.drawing);
    }
    ctx.restore();
  }
}
