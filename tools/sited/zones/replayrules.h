#pragma once

#include "tools/sited/zones/rules.h"
#include "tools/sited/zones/zonesfile.h"

#include <QVector>

#include <cstdint>
#include <memory>

// The rules' events alone, for playing recorded pictures again (the zones'
// preview plays a day of them): the events Rules::evaluate() gives, field
// for field and in its order, without the zones' occupants and counts, at
// a small part of its cost per object.
//
// An object is judged only against the zones whose box may hold it (a
// uniform grid over the zones' boxes tells which), the zones it is inside
// and the lines whose segments its move may meet; every other zone or line
// raises nothing for it in Rules either. The objects of the previous
// picture are kept in a vector by id, merged with the picture's own: no
// lookup and, once the buffers have grown, no allocation per picture.
namespace trklib::sited::zones {

// One object of a recorded picture, as the rules read it.
struct Sample
{
    std::int64_t id = 0;
    double xM = 0.0, yM = 0.0; // metres east and north of the site's origin
    double speedKph = 0.0;     // util::groundSpeedKph(vx, vy), as recorded
    bool confirmed = false;
    ObjectClass objectClass = ObjectClass::Unknown;
};

class ReplayRules
{
public:
    explicit ReplayRules(QVector<Zone> zones);
    ~ReplayRules();

    ReplayRules(const ReplayRules&) = delete;
    ReplayRules& operator=(const ReplayRules&) = delete;

    // The events of the next picture (pictures in time order; samples
    // sorted by id ascending, ids unique), exactly those Rules::evaluate()
    // gives for the same picture, in the same order, with the same fields.
    // Appends to out (cleared first) so that the caller can reuse its buffer.
    void evaluate(std::int64_t timeMs, const Sample* samples, int count, QVector<Event>& out);
    // Nothing seen yet (as a new Rules).
    void restart();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace trklib::sited::zones
