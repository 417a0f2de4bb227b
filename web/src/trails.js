// The trails behind the targets: where each target of each radar was over
// the last seconds, by the radar's own packet timestamps (so that a trail
// neither grows nor fades while a radar is silent or the page is busy).

// How much of its past a trail shows (ms of packet time).
export const trailMs = 5000;
// A target number missing from the packets for longer than this has gone
// (ms of packet time); the radar may give the number to a new target, whose
// trail must not start at the old one's.
export const goneAfterMs = 1000;
// The most points a trail keeps, the newest: twice the 101 points of 5 s at
// 20 packets per second; a radar that sends faster has a shorter trail.
export const maxTrailPoints = 200;

export class Trails {
  constructor({ keepMs = trailMs, goneMs = goneAfterMs } = {}) {
    this.keepMs = keepMs;
    this.goneMs = goneMs;
    // radar name -> { lastTimestamp, targets: Map(number -> { lastSeen, points }) }
    this.radars = new Map();
  }

  // One tracks message of a radar: timestamp in ms, targets with number,
  // x and y (m on the site). A timestamp before the radar's last one means
  // that the radar or its tracking started again: its trails start afresh.
  // A repeated timestamp changes nothing.
  add(radar, timestamp, targets) {
    let state = this.radars.get(radar);
    if (state && timestamp < state.lastTimestamp) state = undefined;
    if (state && timestamp === state.lastTimestamp) return;
    if (!state) {
      state = { lastTimestamp: timestamp, targets: new Map() };
      this.radars.set(radar, state);
    }
    state.lastTimestamp = timestamp;
    for (const t of targets) {
      let trail = state.targets.get(t.number);
      if (trail && timestamp - trail.lastSeen > this.goneMs) trail = undefined;
      if (!trail) {
        trail = { lastSeen: timestamp, points: [] };
        state.targets.set(t.number, trail);
      }
      trail.lastSeen = timestamp;
      trail.points.push({ t: timestamp, x: t.x, y: t.y });
    }
    const oldest = timestamp - this.keepMs;
    for (const [number, trail] of state.targets) {
      if (timestamp - trail.lastSeen > this.goneMs) {
        state.targets.delete(number);
        continue;
      }
      let drop = Math.max(0, trail.points.length - maxTrailPoints);
      while (drop < trail.points.length && trail.points[drop].t < oldest) ++drop;
      if (drop > 0) trail.points.splice(0, drop);
    }
  }

  // The points of a target's trail, oldest first (empty when none).
  trail(radar, number) {
    return this.radars.get(radar)?.targets.get(number)?.points ?? [];
  }

  // Forgets a radar's trails (it went offline).
  clear(radar) {
    this.radars.delete(radar);
  }

  // How many points all trails hold: their memory stays bounded.
  size() {
    let points = 0;
    for (const state of this.radars.values()) {
      for (const trail of state.targets.values()) points += trail.points.length;
    }
    return points;
  }
}
