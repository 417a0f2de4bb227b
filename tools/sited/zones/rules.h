#pragma once

#include "tools/sited/fusion/picture.h"
#include "tools/sited/zones/zonesfile.h"

#include <QVector>

#include <cstdint>
#include <memory>

// The rules that turn the site's pictures into events, zone by zone.
//
// An object counts for a zone or line from its first picture, or with
// confirmed_only from its first confirmed one, in every later picture until
// it ends (a picture without it; an id that comes back is a new object). Its
// previous picture is the last earlier one that held it.
// - inside a zone: (x, y) in the outer ring or on it, and not strictly
//   inside a hole;
// - enter: inside now and not in the previous picture, or inside in the
//   first picture in which it counts;
// - exit: inside in the previous picture and not now; or, for an object
//   that ended inside, in the first picture without it, with its last
//   position and speed and lost set;
// - dwell: once per stay, in the first picture, inside, whose time is at
//   least dwell seconds after the stay's enter;
// - speed: once per stay, in its first picture (the enter one included)
//   whose speed is above speed_limit;
// - cross: in a picture where the object counts and counted in its
//   previous one, the previous position is not on the line and the move
//   from it to the current one shares a point with a segment of the line;
//   one per picture and line, for the first such segment as drawn; left
//   when the move turns left of that segment (their cross product > 0).
// - classes: an object counts for a zone or line with classes only in a
//   picture where its class is one of them, or unknown without strict. It
//   is judged by its class in each picture, as its position is: one whose
//   class stops being one the zone cares about exits it (not lost), one
//   whose class becomes one enters; a line counts a cross when the object
//   qualifies in the picture of the cross. An operator who asks for people
//   wants the zone to hold what the picture now calls a person, the
//   classifier's later and better judgement included, not a first guess.
// The seconds of a stay (dwell, and exit's) are (picture's time - enter's
// picture's time) / 1000. Events come zone by zone in the file's order, in
// each by object id, an object's enter before its dwell, speed or exit.
namespace trklib::sited::zones {

struct Event
{
    enum class Kind
    {
        Enter,
        Exit,
        Dwell,
        Speed,
        Cross
    };

    Kind kind = Kind::Enter;
    int zone = 0;            // index into the rules' zones
    std::int64_t object = 0; // site id
    std::int64_t timeMs = 0; // the picture's
    double xM = 0.0;         // the object's in that picture (a lost exit: its last)
    double yM = 0.0;
    double speedKph = 0.0;
    double dwellS = 0.0; // exit and dwell: seconds inside
    bool left = false;   // cross: towards the left of the segment as drawn
    bool lost = false;   // exit: the object ended inside
    ObjectClass objectClass = ObjectClass::Unknown; // the object's in that picture
};

// What a zone or line holds now and has seen since the rules began.
struct ZoneState
{
    QVector<std::int64_t> occupants; // ids inside, ascending (a line: none)
    // The occupants by their class in the last picture, indexed by ObjectClass.
    std::array<int, objectClassCount> classes = {};
    std::uint64_t entered = 0;
    std::uint64_t exited = 0;
    std::uint64_t crossedLeft = 0;
    std::uint64_t crossedRight = 0;
};

bool operator==(const ZoneState& a, const ZoneState& b);

class Rules
{
public:
    explicit Rules(QVector<Zone> zones);
    ~Rules();

    Rules(const Rules&) = delete;
    Rules& operator=(const Rules&) = delete;

    // The events of the next picture (pictures in time order).
    QVector<Event> evaluate(const Picture& picture);
    // The zones from the next picture on, matched to the current ones by
    // name and kind: a zone or line that was there keeps its state and
    // every object's stay in it, so that the next picture judges it by its
    // new shape and settings alone (an unchanged one goes on as before); a
    // new one counts every object from the next picture (one inside
    // enters); a zone that is gone is forgotten.
    void replace(QVector<Zone> zones);

    const QVector<Zone>& zones() const;
    const ZoneState& state(int zone) const;
    // The zones whose state the last evaluate() changed, ascending.
    QVector<int> changedZones() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// The speed the picture gives an object, km/h.
double speedKph(const SiteObject& object);

} // namespace trklib::sited::zones
