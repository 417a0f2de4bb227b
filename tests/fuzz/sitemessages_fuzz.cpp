// Fuzz target: the messages sited takes from the broker, through
// TracksReader::read, against a small site of its own (site "junction",
// prefix "trklib", radars east and north). The input's first line is the
// topic, the rest the payload: a radar's tracks or status message, the
// site's own picture or anything else.
//
// Checked: whatever is not a report says why; a report is of the topic's
// radar, holds at most 1000 targets, each inside the message schema's
// bounds, and says nothing is wrong; and no message leaks memory, which
// would add up over a day of messages (libFuzzer's leak check).

#include "fuzzinput.h"

#include "tools/sited/link/tracksreader.h"

#include <cmath>

namespace trklib::fuzz {
namespace {

const site::SiteConfig& siteConfig()
{
    static const site::SiteConfig config = [] {
        const QByteArray text = "[site]\n"
                                "name = junction\n"
                                "prefix = trklib\n"
                                "latitude = 47.376887\n"
                                "longitude = 8.541694\n"
                                "altitude = 456\n"
                                "[broker]\n"
                                "client_id = trackd-junction\n"
                                "[radar.east]\n"
                                "port = 34567\n"
                                "x = 160\n"
                                "[radar.north]\n"
                                "port = 34568\n"
                                "y = 160\n";
        site::SiteConfig c;
        QString error;
        check(site::parseSiteConfig(text, QStringLiteral("/"), c, error),
              "the target's own site file is good");
        return c;
    }();
    return config;
}

bool within(double value, double bound)
{
    return std::isfinite(value) && std::fabs(value) <= bound;
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;
    using trklib::sited::link::TracksReader;

    static const TracksReader reader(siteConfig());
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));
    const int newline = input.indexOf('\n');
    const QByteArray topic = newline < 0 ? input : input.left(newline);
    const QByteArray payload = newline < 0 ? QByteArray() : input.mid(newline + 1);

    trklib::sited::TracksReport report;
    QString why;
    const TracksReader::Verdict verdict = reader.read(topic, payload, report, why);
    if (verdict == TracksReader::Verdict::Bad || verdict == TracksReader::Verdict::UnknownRadar) {
        check(!why.isEmpty(), "a message not taken says why");
        return 0;
    }
    check(why.isEmpty(), "a message taken says nothing is wrong");
    // MQTT allows no U+0000 in a topic, so a broker never hands one over;
    // the reader (Qt's fromUtf8) reads a topic level only up to it.
    const bool brokerTopic = !topic.contains('\0');
    if (verdict == TracksReader::Verdict::OwnPicture) {
        check(!brokerTopic || topic == "trklib/junction/site/tracks",
              "the own picture is on the site's topic");
        return 0;
    }
    const auto& radars = siteConfig().radars;
    check(report.radar >= 0 && report.radar < radars.size(), "a report is of a radar of the site");
    check(!brokerTopic || topic == siteConfig().topic(radars[report.radar], "tracks"),
          "a report is of the topic's radar");
    check(report.timestampMs >= 0 && report.receivedMs >= 0, "a report's times are not negative");
    check(report.targets.size() <= 1000, "a report holds at most 1000 targets");
    for (const trklib::sited::RadarTrack& t : report.targets) {
        check(t.number >= 0, "a target's number is not negative");
        check(within(t.xM, 200000.0) && within(t.yM, 200000.0), "a target lies within the site");
        check(within(t.distanceM, 100000.0) && t.distanceM >= 0.0,
              "a target's distance is bounded");
        check(within(t.velocityKph, 1000.0), "a target's velocity is bounded");
    }
    return 0;
}
