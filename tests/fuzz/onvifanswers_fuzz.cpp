// Fuzz target: a camera's answers through every ONVIF parser sited's
// cueing reads them with (services, capabilities, profiles, the PTZ
// spaces, the status, the clock, a fault). The whole input is the answer;
// each parser reads it.
//
// Checked: a refused answer says why on one line; an accepted one holds
// finite numbers, ranges the right way round and profiles with tokens; a
// fault is one line.

#include "fuzzinput.h"

#include "tools/sited/cue/onvifsoap.h"

#include <QDateTime>

#include <cmath>

namespace trklib::fuzz {
namespace {

using namespace trklib::sited::cue;

void refusedOnOneLine(bool accepted, const QString& error)
{
    if (accepted)
        return;
    check(!error.isEmpty(), "a refused answer says why");
    check(!error.contains(QLatin1Char('\n')), "a refused answer's reason is one line");
}

bool sound(const Range& r)
{
    return std::isfinite(r.min) && std::isfinite(r.max) && r.min <= r.max;
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;

    const QByteArray xml(reinterpret_cast<const char*>(data), int(size));
    QString error;

    ServiceAddresses services;
    refusedOnOneLine(parseServices(xml, services, error), error);
    error.clear();
    refusedOnOneLine(parseCapabilities(xml, services, error), error);

    error.clear();
    QVector<Profile> profiles;
    const bool haveProfiles = parseProfiles(xml, profiles, error);
    refusedOnOneLine(haveProfiles, error);
    if (haveProfiles) {
        for (const Profile& p : qAsConst(profiles))
            check(!p.token.isEmpty(), "every profile read has a token");
    }

    error.clear();
    PtzSpaces spaces;
    const bool haveSpaces = parseConfigurationOptions(xml, spaces, error);
    refusedOnOneLine(haveSpaces, error);
    if (haveSpaces)
        check(sound(spaces.pan) && sound(spaces.tilt) && sound(spaces.zoom),
              "every space read is finite and the right way round");

    error.clear();
    PtzStatus status;
    const bool haveStatus = parseStatus(xml, status, error);
    refusedOnOneLine(haveStatus, error);
    if (haveStatus)
        check(std::isfinite(status.position.pan) && std::isfinite(status.position.tilt) &&
                  std::isfinite(status.position.zoom),
              "a status read has a finite position");

    error.clear();
    QDateTime utc;
    const bool haveClock = parseSystemDateAndTime(xml, utc, error);
    refusedOnOneLine(haveClock, error);
    if (haveClock)
        check(utc.isValid(), "a clock read is a valid time");

    if (const std::optional<SoapFault> fault = parseFault(xml))
        check(!fault->line.contains(QLatin1Char('\n')), "a fault is one line");
    return 0;
}
