#pragma once

#include "tools/sited/zones/schedule.h"
#include "tools/sited/zones/zonesfile.h"

#include <QString>
#include <QVector>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// What the HTTP API's thread hands the picture thread, which owns the
// zones' rules and state: a new set of zones (a saved zones file) or an
// operator's arming of a zone. The picture thread takes what was posted
// before it makes its next picture; the poster waits until it has.
namespace trklib::sited::zones {

// At most this many minutes of an operator's arm or disarm: a week.
constexpr int maxArmingMinutes = 7 * 24 * 60;

struct ArmingCommand
{
    enum class Kind
    {
        Arm,
        Disarm,
        Schedule // back to the zone's schedule
    };

    Kind kind = Kind::Schedule;
    QString zone;
    std::optional<int> minutes; // Arm, Disarm: until then; none: the schedule's next change
    QString by;                 // who
};

// A zone's arming once a command was applied.
struct ArmingAnswer
{
    bool found = false; // no such zone or line: nothing done
    bool armed = false;
    std::optional<ArmingOverride> override;
};

class ZoneMailbox
{
public:
    // One job: a zone set or a command.
    struct Job
    {
        std::optional<QVector<Zone>> zones;
        ArmingCommand command;
    };
    class Posted;

    // The HTTP thread's side: hands a job over, then waits for the picture
    // thread to take it, at most timeout; false when it did not (the job
    // is still taken later). A command's answer is the picture thread's.
    std::shared_ptr<Posted> post(Job job);
    bool wait(const std::shared_ptr<Posted>& posted, std::chrono::milliseconds timeout,
              ArmingAnswer* answer = nullptr);

    // The picture thread's side: every job posted since the last call, in
    // the order posted, through handle (outside the mailbox's lock).
    void serve(const std::function<ArmingAnswer(const Job&)>& handle);

private:
    std::mutex mutex_;
    std::condition_variable taken_;
    QVector<std::shared_ptr<Posted>> pending_;
};

class ZoneMailbox::Posted
{
    friend class ZoneMailbox;
    Job job;
    bool taken = false; // under the mailbox's lock
    ArmingAnswer answer;
};

} // namespace trklib::sited::zones
