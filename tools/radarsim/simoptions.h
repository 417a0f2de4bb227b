#pragma once

#include "tools/common/cli/mountingoptions.h"
#include "tools/common/sim/siteworld.h"

#include "input/wireformat.h"

#include <QString>
#include <QStringList>

namespace trklib::sim {

struct SimOptions
{
    QString host = QStringLiteral("127.0.0.1");
    // The loopback address the datagrams come from (empty: the kernel's
    // choice), so that several simulators can play radars on one port.
    QString source;
    quint16 port = wire::defaultPort;
    double ratePps = 20.0;
    qint64 packets = 0; // 0: until stopped
    QString scene = QStringLiteral("road");
    // A site file: every radar of it looks at one site scene, each with its
    // own addresses, port and mounting from the file.
    QString sitePath;
    // With a site: how each radar is truly mounted against its entry.
    QString mountingErrorsPath;
    quint64 seed = 1;
    RadarConfig mounting = cli::defaultMounting();
    int falseAlarms = 0;      // per packet
    int maxDatagramBytes = 0; // 0: one datagram per block
    double lossProbability = 0.0;
    double reorderProbability = 0.0;
    qint64 startMs = 1700000000000;
    QString pcapPath;
    QString truthPath;
    // With a site, where the truth's companion goes: every radar's
    // mounting error; empty without --truth or with --truth -.
    QString truthMountingPath() const;
    // --rcs-offset and --speed-scale: the site world's kinds changed.
    KindTuning tuning;
    bool noSend = false;
    bool quiet = false;

    // The latest timestamp: a classic pcap file holds the seconds of its
    // capture times in 32 bits.
    static constexpr qint64 maxTimestampMs = 4294967295000;

    // Timestamp of packet k: start + k * 1000 / rate, in whole milliseconds.
    qint64 timestampMs(qint64 packet) const;
    // The largest phase of a site's radar, ms: radar i's packet k has
    // timestampMs(k) plus a phase of 0 to maxPhaseMs(), less than the least
    // gap between two packets, so that every radar's packet k comes before
    // any radar's packet k + 1.
    qint64 maxPhaseMs() const;
    // How many packets from the start (per radar, with a site) keep their
    // timestamps, phases included, within maxTimestampMs: the most that a
    // run produces.
    qint64 packetLimit() const;
};

enum class ParseResult
{
    Run,
    Help,
    Version,
    Error
};

// Reads the command line (without the program name) into options; on Error
// the message says what was wrong.
ParseResult parseOptions(const QStringList& arguments, SimOptions& options, QString& error);

QString usageText();

} // namespace trklib::sim
