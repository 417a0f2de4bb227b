#include "tools/sited/zones/alarms.h"

#include "tools/sited/zones/zonemessages.h"

#include "tools/common/service/jsonwriter.h"

#include <algorithm>

namespace trklib::sited::zones {

namespace {

using service::appendInteger;
using service::appendNumber;
using service::appendString;

using Action = AlarmChange::Action;

constexpr std::int64_t msPerMinute = 60 * 1000;

constexpr const char* actionNames[] = {"raise",  "acknowledge", "note", "left",   "clear",
                                       "shelve", "unshelve",    "arm",  "disarm", "schedule"};

// An alarm with no object in its zone to wait for once acknowledged.
bool leavesAtOnce(const QString& event)
{
    return event == QLatin1String("exit") || event == QLatin1String("cross");
}

AlarmChange change(std::int64_t timeMs, std::int64_t alarm, const QString& zone, Action action,
                   const QString& user = {}, const QString& text = {})
{
    AlarmChange c;
    c.timeMs = timeMs;
    c.alarm = alarm;
    c.zone = zone;
    c.action = action;
    c.user = user;
    c.text = text;
    return c;
}

void appendNote(QByteArray& out, const AlarmNote& note, const char* textKey)
{
    out.append("{\"user\":");
    appendString(out, note.user);
    out.append(",\"time\":");
    appendInteger(out, note.timeMs);
    out.append(",\"").append(textKey).append("\":");
    appendString(out, note.text);
    out.append('}');
}

} // namespace

const char* actionName(Action action)
{
    return actionNames[int(action)];
}

std::optional<Action> actionOf(const QString& name)
{
    for (int i = 0; i < int(std::size(actionNames)); ++i) {
        if (name == QLatin1String(actionNames[i]))
            return Action(i);
    }
    return std::nullopt;
}

AlarmBook::AlarmBook(const QVector<Zone>& zones) : zones_(zones) {}

int AlarmBook::addListener(Listener listener)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    listeners_.append(std::move(listener));
    return listeners_.size() - 1;
}

void AlarmBook::removeListener(int number)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (number >= 0 && number < listeners_.size())
        listeners_[number] = nullptr;
}

void AlarmBook::tell(const QVector<AlarmChange>& changes) const
{
    for (const Listener& listener : listeners_) {
        if (listener)
            listener(changes, open_, shelvings_);
    }
}

Alarm* AlarmBook::find(std::int64_t id)
{
    const auto it = std::find_if(open_.begin(), open_.end(),
                                 [id](const Alarm& alarm) { return alarm.id == id; });
    return it == open_.end() ? nullptr : &*it;
}

// One change to the book's state, as recorded: the replay of a restart and
// the book's own operations go through here alike.
void AlarmBook::apply(const AlarmChange& c)
{
    switch (c.action) {
    case Action::Raise: {
        Alarm a;
        a.id = c.alarm;
        a.zone = c.zone;
        a.event = c.event;
        a.object = c.object;
        a.timeMs = c.timeMs;
        a.xM = c.xM;
        a.yM = c.yM;
        a.objectClass = c.objectClass;
        open_.append(a);
    }
        lastId_ = std::max(lastId_, c.alarm);
        return;
    case Action::Acknowledge:
        if (Alarm* a = find(c.alarm))
            a->acknowledged = AlarmNote{c.user, c.timeMs, c.text};
        return;
    case Action::Note:
        if (Alarm* a = find(c.alarm))
            a->notes.append({c.user, c.timeMs, c.text});
        return;
    case Action::Left:
        if (Alarm* a = find(c.alarm))
            a->left = true;
        return;
    case Action::Clear:
        open_.erase(std::remove_if(open_.begin(), open_.end(),
                                   [&c](const Alarm& a) { return a.id == c.alarm; }),
                    open_.end());
        return;
    case Action::Shelve:
        shelvings_.erase(std::remove_if(shelvings_.begin(), shelvings_.end(),
                                        [&c](const Shelving& s) { return s.zone == c.zone; }),
                         shelvings_.end());
        shelvings_.append({c.zone, c.user, c.timeMs, c.untilMs, c.text});
        return;
    case Action::Unshelve:
        shelvings_.erase(std::remove_if(shelvings_.begin(), shelvings_.end(),
                                        [&c](const Shelving& s) { return s.zone == c.zone; }),
                         shelvings_.end());
        return;
    case Action::Arm:
    case Action::Disarm:
    case Action::Schedule:
        return; // the zones' arming is theirs; the book only records it
    }
}

// The changes applied, then told to every listener.
void AlarmBook::commit(QVector<AlarmChange> changes)
{
    if (changes.isEmpty())
        return;
    for (const AlarmChange& change : changes)
        apply(change);
    tell(changes);
}

// An alarm's object gone: cleared too when it was acknowledged. The
// changes are applied at once, so that a later event of the same picture
// sees them.
void AlarmBook::leave(Alarm& alarm, std::int64_t timeMs, QVector<AlarmChange>& changes)
{
    if (alarm.left)
        return;
    AlarmChange left = change(timeMs, alarm.id, alarm.zone, Action::Left);
    const bool clear = alarm.acknowledged.has_value();
    const AlarmChange cleared = change(timeMs, alarm.id, alarm.zone, Action::Clear);
    changes.append(left);
    apply(left);
    if (clear) {
        changes.append(cleared);
        apply(cleared);
    }
}

void AlarmBook::expire(std::int64_t timeMs, QVector<AlarmChange>& changes)
{
    for (const Shelving& s : QVector<Shelving>(shelvings_)) {
        if (s.untilMs <= timeMs) {
            AlarmChange end = change(s.untilMs, 0, s.zone, Action::Unshelve);
            end.untilMs = s.untilMs;
            changes.append(end);
            apply(end);
        }
    }
}

QVector<AlarmChange> AlarmBook::restore(const QVector<AlarmChange>& changes, std::int64_t lastId,
                                        std::int64_t nowMs)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    for (const AlarmChange& change : changes)
        apply(change);
    lastId_ = std::max(lastId_, lastId);
    QVector<AlarmChange> ended;
    for (const Alarm& alarm : QVector<Alarm>(open_)) {
        if (Alarm* a = find(alarm.id))
            leave(*a, nowMs, ended);
    }
    expire(nowMs, ended);
    return ended;
}

void AlarmBook::picture(std::int64_t timeMs, const QVector<Zone>& zones,
                        const QVector<Event>& events, const QVector<bool>& armed)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    QVector<AlarmChange> changes;
    expire(timeMs, changes);
    for (const Event& e : events) {
        const Zone& zone = zones[e.zone];
        if (e.kind == Event::Kind::Exit) {
            // By id: leave() removes the alarms it clears.
            QVector<std::int64_t> ids;
            for (const Alarm& alarm : open_) {
                if (alarm.zone == zone.name && alarm.object == e.object)
                    ids.append(alarm.id);
            }
            for (std::int64_t id : ids)
                leave(*find(id), e.timeMs, changes);
        }
        const QString event = QLatin1String(eventName(e.kind));
        const bool shelved =
            std::any_of(shelvings_.begin(), shelvings_.end(),
                        [&zone](const Shelving& s) { return s.zone == zone.name; });
        const bool disarmed = e.zone < armed.size() && !armed[e.zone];
        if (!zone.alarm.contains(event) || shelved || disarmed)
            continue;
        AlarmChange raise = change(e.timeMs, lastId_ + 1, zone.name, Action::Raise);
        raise.event = event;
        raise.object = e.object;
        raise.xM = e.xM;
        raise.yM = e.yM;
        raise.objectClass = e.objectClass;
        changes.append(raise);
        apply(raise);
        if (leavesAtOnce(event)) {
            AlarmChange left = change(e.timeMs, raise.alarm, zone.name, Action::Left);
            changes.append(left);
            apply(left);
        }
    }
    // Applied one by one above; told once.
    if (!changes.isEmpty())
        tell(changes);
}

void AlarmBook::setZones(const QVector<Zone>& zones, std::int64_t nowMs)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    zones_ = zones;
    QVector<std::int64_t> orphans;
    for (const Alarm& alarm : qAsConst(open_)) {
        if (std::none_of(zones.begin(), zones.end(),
                         [&alarm](const Zone& z) { return z.name == alarm.zone; }))
            orphans.append(alarm.id);
    }
    QVector<AlarmChange> changes;
    for (const std::int64_t id : qAsConst(orphans))
        leave(*find(id), nowMs, changes);
    if (!changes.isEmpty())
        tell(changes);
}

bool AlarmBook::checkText(const QString& text, bool required, int& status, QString& why) const
{
    status = 400;
    if (required && text.trimmed().isEmpty()) {
        why = QStringLiteral("give a text");
        return false;
    }
    if (text.size() > maxAlarmNoteChars) {
        why = QStringLiteral("longer than %1 characters").arg(maxAlarmNoteChars);
        return false;
    }
    return true;
}

bool AlarmBook::acknowledge(std::int64_t id, const QString& user, const QString& note,
                            std::int64_t nowMs, int& status, QString& why)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!checkText(note, false, status, why))
        return false;
    Alarm* alarm = find(id);
    if (!alarm) {
        status = 404;
        why = QStringLiteral("no open alarm %1").arg(id);
        return false;
    }
    if (alarm->acknowledged) {
        status = 409;
        why = QStringLiteral("alarm %1 was acknowledged by %2 already")
                  .arg(id)
                  .arg(alarm->acknowledged->user);
        return false;
    }
    QVector<AlarmChange> changes;
    AlarmChange ack = change(nowMs, id, alarm->zone, Action::Acknowledge, user, note);
    changes.append(ack);
    if (alarm->left)
        changes.append(change(nowMs, id, alarm->zone, Action::Clear));
    commit(changes);
    return true;
}

bool AlarmBook::addNote(std::int64_t id, const QString& user, const QString& text,
                        std::int64_t nowMs, int& status, QString& why)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!checkText(text, true, status, why))
        return false;
    const Alarm* alarm = find(id);
    if (!alarm) {
        status = 404;
        why = QStringLiteral("no open alarm %1").arg(id);
        return false;
    }
    commit({change(nowMs, id, alarm->zone, Action::Note, user, text)});
    return true;
}

bool AlarmBook::shelve(const QString& zone, const QString& user, int minutes, const QString& why,
                       std::int64_t nowMs, int& status, QString& reason)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!checkText(why, true, status, reason)) {
        reason = QStringLiteral("why: %1").arg(reason);
        return false;
    }
    if (minutes < 1 || minutes > maxShelveMinutes) {
        status = 400;
        reason = QStringLiteral("minutes: a whole number from 1 to %1").arg(maxShelveMinutes);
        return false;
    }
    if (std::none_of(zones_.begin(), zones_.end(),
                     [&zone](const Zone& z) { return z.name == zone; })) {
        status = 404;
        reason = QStringLiteral("no zone or line '%1'").arg(zone);
        return false;
    }
    AlarmChange shelve = change(nowMs, 0, zone, Action::Shelve, user, why);
    shelve.untilMs = nowMs + minutes * msPerMinute;
    commit({shelve});
    return true;
}

bool AlarmBook::unshelve(const QString& zone, const QString& user, std::int64_t nowMs, int& status,
                         QString& reason)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = std::find_if(shelvings_.begin(), shelvings_.end(),
                                 [&zone](const Shelving& s) { return s.zone == zone; });
    if (it == shelvings_.end()) {
        status = 404;
        reason = QStringLiteral("'%1' is not shelved").arg(zone);
        return false;
    }
    AlarmChange end = change(nowMs, 0, zone, Action::Unshelve, user);
    end.untilMs = it->untilMs;
    commit({end});
    return true;
}

void AlarmBook::armed(const QString& zone, const QString& user, Action action, std::int64_t untilMs,
                      std::int64_t nowMs)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    AlarmChange c = change(nowMs, 0, zone, action, user);
    c.untilMs = action == Action::Schedule ? 0 : untilMs;
    commit({c});
}

QVector<Alarm> AlarmBook::open() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

QVector<Shelving> AlarmBook::shelvings() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return shelvings_;
}

QByteArray alarmsMessage(const QString& site, std::int64_t timeMs, const QVector<Alarm>& open,
                         const QVector<Shelving>& shelvings)
{
    QByteArray out = "{\"site\":";
    appendString(out, site);
    out.append(",\"time\":");
    appendInteger(out, timeMs);
    out.append(",\"alarms\":[");
    for (int i = 0; i < open.size(); ++i) {
        const Alarm& a = open[i];
        out.append(i ? ",{\"id\":" : "{\"id\":");
        appendInteger(out, a.id);
        out.append(",\"zone\":");
        appendString(out, a.zone);
        out.append(",\"event\":");
        appendString(out, a.event);
        out.append(",\"object\":");
        appendInteger(out, a.object);
        out.append(",\"time\":");
        appendInteger(out, a.timeMs);
        out.append(",\"x\":");
        appendNumber(out, a.xM);
        out.append(",\"y\":");
        appendNumber(out, a.yM);
        out.append(",\"class\":\"").append(className(a.objectClass)).append('"');
        out.append(a.acknowledged ? ",\"state\":\"acknowledged\"" : ",\"state\":\"raised\"");
        out.append(",\"acknowledged\":");
        if (a.acknowledged)
            appendNote(out, *a.acknowledged, "note");
        else
            out.append("null");
        out.append(a.left ? ",\"left\":true" : ",\"left\":false");
        out.append(",\"notes\":[");
        for (int n = 0; n < a.notes.size(); ++n) {
            if (n)
                out.append(',');
            appendNote(out, a.notes[n], "text");
        }
        out.append("]}");
    }
    out.append("],\"shelved\":[");
    for (int i = 0; i < shelvings.size(); ++i) {
        const Shelving& s = shelvings[i];
        out.append(i ? ",{\"zone\":" : "{\"zone\":");
        appendString(out, s.zone);
        out.append(",\"user\":");
        appendString(out, s.user);
        out.append(",\"since\":");
        appendInteger(out, s.sinceMs);
        out.append(",\"until\":");
        appendInteger(out, s.untilMs);
        out.append(",\"why\":");
        appendString(out, s.why);
        out.append('}');
    }
    out.append("]}");
    return out;
}

void appendAlarmChange(QByteArray& out, const AlarmChange& c)
{
    out.append("{\"time\":");
    appendInteger(out, c.timeMs);
    out.append(",\"alarm\":");
    appendInteger(out, c.alarm);
    out.append(",\"zone\":");
    appendString(out, c.zone);
    out.append(",\"action\":\"").append(actionName(c.action)).append("\",\"user\":");
    appendString(out, c.user);
    out.append(",\"text\":");
    appendString(out, c.text);
    if (c.action == Action::Raise) {
        out.append(",\"event\":");
        appendString(out, c.event);
        out.append(",\"object\":");
        appendInteger(out, c.object);
        out.append(",\"x\":");
        appendNumber(out, c.xM);
        out.append(",\"y\":");
        appendNumber(out, c.yM);
        out.append(",\"class\":\"").append(className(c.objectClass)).append('"');
    } else if (c.action == Action::Shelve || c.action == Action::Unshelve) {
        out.append(",\"until\":");
        appendInteger(out, c.untilMs);
    } else if (c.action == Action::Arm || c.action == Action::Disarm) {
        out.append(",\"until\":");
        if (c.untilMs > 0)
            appendInteger(out, c.untilMs);
        else
            out.append("null");
    }
    out.append('}');
}

QByteArray alarmChangeMessage(const QString& site, const AlarmChange& change)
{
    QByteArray out = "{\"site\":";
    appendString(out, site);
    out.append(',');
    QByteArray body;
    appendAlarmChange(body, change);
    out.append(body.mid(1));
    return out;
}

} // namespace trklib::sited::zones
