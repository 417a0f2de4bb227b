#pragma once

#include "tools/sited/zones/rules.h"
#include "tools/sited/zones/zonesfile.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

// The alarms an operator acknowledges. An event of a kind its zone's or
// line's "alarm" lists raises one (an id, the zone, the event, the object,
// the picture's time, the object's position and class there) unless the zone is
// shelved. An alarm is
// - raised until an operator acknowledges it (who, when, an optional note);
// - acknowledged until its object has also left the zone (its exit event,
//   lost or not) or ended; then it is cleared, at the later of the two.
// An alarm of an exit or of a line's cross has no object left in the zone
// to wait for: it is cleared when acknowledged. Objects do not outlive
// sited: the alarms restored at a start have their objects ended.
// Operators add notes to an open alarm at any time. A shelved zone still
// raises and records its events but no alarm, until the shelving's end (by
// the pictures' clock) or its unshelving.
//
// Every change is an AlarmChange, in order: what the history records, what
// replays the open alarms at a start, and what <prefix>/<site>/alarms/changes
// carries. The book is shared by the picture thread and the HTTP API's.
namespace trklib::sited::zones {

constexpr int maxAlarmNoteChars = 1000;       // characters of a note or a shelving's why
constexpr int maxShelveMinutes = 7 * 24 * 60; // minutes, one week

struct AlarmChange
{
    enum class Action
    {
        Raise,       // event, object, x, y: the alarm's
        Acknowledge, // user; text: the note, may be empty
        Note,        // user, text
        Left,        // its object left the zone or ended (user empty)
        Clear,       // user empty: acknowledged and its object gone
        Shelve,      // zone: user, until, text: why (alarm 0)
        Unshelve,    // zone: user, or empty when the shelving ran out; until: its end
        Arm,         // zone: armed now by user (alarm 0), until: when it ends, 0: none
        Disarm,      // zone: disarmed now by user (alarm 0), until as Arm's
        Schedule,    // zone: back to its schedule by user (alarm 0)
    };

    std::int64_t timeMs = 0;
    std::int64_t alarm = 0; // the alarm's id, from 1; 0 for a shelving's
    QString zone;
    Action action = Action::Raise;
    QString user;
    QString text;
    QString event;           // Raise: "enter", ...
    std::int64_t object = 0; // Raise
    double xM = 0.0;         // Raise
    double yM = 0.0;
    ObjectClass objectClass = ObjectClass::Unknown; // Raise: the object's at the event
    std::int64_t untilMs = 0;                       // Shelve, Unshelve
};

// "raise", "acknowledge", "note", "left", "clear", "shelve", "unshelve",
// "arm", "disarm", "schedule".
const char* actionName(AlarmChange::Action action);
std::optional<AlarmChange::Action> actionOf(const QString& name);

struct AlarmNote
{
    QString user;
    std::int64_t timeMs = 0;
    QString text;
};

struct Alarm
{
    std::int64_t id = 0;
    QString zone;
    QString event;
    std::int64_t object = 0;
    std::int64_t timeMs = 0;
    double xM = 0.0;
    double yM = 0.0;
    ObjectClass objectClass = ObjectClass::Unknown; // the object's at the event
    std::optional<AlarmNote> acknowledged;          // by whom, when, the note given with it
    bool left = false;                              // its object left the zone or ended
    QVector<AlarmNote> notes;
};

struct Shelving
{
    QString zone;
    QString user;
    std::int64_t sinceMs = 0;
    std::int64_t untilMs = 0;
    QString why;
};

class AlarmBook
{
public:
    // Called under the book's lock with each operation's changes, in order,
    // and the open alarms and shelvings after them.
    using Listener =
        std::function<void(const QVector<AlarmChange>& changes, const QVector<Alarm>& open,
                           const QVector<Shelving>& shelvings)>;

    explicit AlarmBook(const QVector<Zone>& zones);

    // A listener's number, for removeListener() (before what it calls goes).
    int addListener(Listener listener);
    void removeListener(int number);

    // The changes the history kept of the open alarms and shelvings, in
    // order, and the greatest id it holds: replayed, without listeners. The
    // objects of restored alarms are gone (a Left change each, at nowMs),
    // and shelvings that ran out by nowMs end: those changes are returned,
    // for the caller to record.
    QVector<AlarmChange> restore(const QVector<AlarmChange>& changes, std::int64_t lastId,
                                 std::int64_t nowMs);

    // A picture's time: shelvings that end by it end; then its events.
    // armed: each zone's armed state at the picture (a disarmed zone raises
    // no alarm); empty: every zone armed.
    void picture(std::int64_t timeMs, const QVector<Zone>& zones, const QVector<Event>& events,
                 const QVector<bool>& armed = {});

    // The zones from now on (a saved zones file). An open alarm of a zone
    // that is gone has no exit to wait for: its object counts as left at
    // nowMs, so that the alarm stays open until it is acknowledged.
    void setZones(const QVector<Zone>& zones, std::int64_t nowMs);

    // The operators' actions; false with a one-line reason and a status
    // the API answers (404: no such alarm or zone; 409: not now; 400).
    bool acknowledge(std::int64_t id, const QString& user, const QString& note, std::int64_t nowMs,
                     int& status, QString& why);
    bool addNote(std::int64_t id, const QString& user, const QString& text, std::int64_t nowMs,
                 int& status, QString& why);
    bool shelve(const QString& zone, const QString& user, int minutes, const QString& why,
                std::int64_t nowMs, int& status, QString& reason);
    bool unshelve(const QString& zone, const QString& user, std::int64_t nowMs, int& status,
                  QString& reason);
    // An operator armed or disarmed a zone now (until untilMs, 0: no end)
    // or put it back on its schedule: recorded with the alarms' changes,
    // it changes no alarm. action: Arm, Disarm or Schedule.
    void armed(const QString& zone, const QString& user, AlarmChange::Action action,
               std::int64_t untilMs, std::int64_t nowMs);

    QVector<Alarm> open() const;
    QVector<Shelving> shelvings() const;

private:
    void apply(const AlarmChange& change);
    void commit(QVector<AlarmChange> changes);
    void tell(const QVector<AlarmChange>& changes) const;
    void expire(std::int64_t timeMs, QVector<AlarmChange>& changes);
    void leave(Alarm& alarm, std::int64_t timeMs, QVector<AlarmChange>& changes);
    Alarm* find(std::int64_t id);
    bool checkText(const QString& text, bool required, int& status, QString& why) const;

    mutable std::mutex mutex_;
    QVector<Zone> zones_;
    QVector<Alarm> open_; // by id
    QVector<Shelving> shelvings_;
    std::int64_t lastId_ = 0;
    QVector<Listener> listeners_;
};

// The JSON of the alarms, numbers in their shortest round-trip form:
// - the open ones, retained on <prefix>/<site>/alarms: {"site", "time",
//   "alarms": [{"id", "zone", "event", "object", "time", "x", "y", "state"
//   ("raised" or "acknowledged"), "acknowledged" ({"user", "time", "note"}
//   or null), "left", "notes": [{"user", "time", "text"}]}], "shelved":
//   [{"zone", "user", "since", "until", "why"}]};
// - a change, on <prefix>/<site>/alarms/changes: {"site", "time", "alarm",
//   "zone", "action", "user", "text", and by the action "event", "object",
//   "x", "y" (raise) or "until" (shelve, unshelve; arm, disarm: null for
//   no end)}.
QByteArray alarmsMessage(const QString& site, std::int64_t timeMs, const QVector<Alarm>& open,
                         const QVector<Shelving>& shelvings);
QByteArray alarmChangeMessage(const QString& site, const AlarmChange& change);
// A change as the API lists it: the message without the site.
void appendAlarmChange(QByteArray& out, const AlarmChange& change);

} // namespace trklib::sited::zones
