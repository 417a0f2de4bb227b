#pragma once

#include "tools/sited/zones/rules.h"
#include "tools/sited/zones/schedule.h"

#include "tools/common/site/georeference.h"

#include <QByteArray>
#include <QString>

// The JSON of the zones and their events, numbers in their shortest
// round-trip form:
// - an event, on <prefix>/<site>/events and one line of --events:
//   {"site", "event", "zone", "object", "time" (ms), "x", "y" (metres),
//   "lat", "lon" (degrees, with geo), "speed" (km/h), "class" (the
//   object's in the event's picture; a lost exit: its last), "dwell" (seconds; exit
//   and dwell only), "direction" ("left" or "right"; cross only), "lost"
//   (exit only)};
// - a zone's state, retained on <prefix>/<site>/zones/<name>: {"zone",
//   "occupants" (ids ascending), "entered", "exited", "crossings": {"left",
//   "right"}, "classes" (the occupants by class: {"person", "two-wheeler",
//   "car", "truck", "animal", "unknown"}), "armed", "override" (an operator's arming: {"armed",
//   "by", "since" (ms), "until" (ms, or null: until cleared)}, or null)};
// - the zones, retained on <prefix>/<site>/zones: {"site", "zones": [{"name",
//   "kind" ("zone" or "line"), "coordinates" (site metres: a zone's rings,
//   outer first, each closed; a line's points), "dwell", "speed_limit" (null
//   when not set), "confirmed_only"}]}.
namespace trklib::sited::zones {

// "enter", "exit", "dwell", "speed" or "cross".
const char* eventName(Event::Kind kind);

QByteArray eventMessage(const QString& site, const Zone& zone, const Event& event,
                        const site::GeoReference* geo);

QByteArray zoneStateMessage(const Zone& zone, const ZoneState& state, bool armed,
                            const std::optional<ArmingOverride>& override = std::nullopt);
// An override as the zone's state and the API give it: {...} or null.
void appendOverride(QByteArray& out, const std::optional<ArmingOverride>& override);

QByteArray zonesMessage(const QString& site, const QVector<Zone>& zones);

} // namespace trklib::sited::zones
