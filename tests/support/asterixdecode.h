#pragma once

#include "support/programrun.h"

#include "pcapwriter.h"
#include "udpframes.h"

#include <QHash>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

// ASTERIX datagrams decoded by Wireshark's own dissector: written into a
// capture as UDP to a loopback port and read back with tshark, one row per
// record with the values of the fields asked for.
namespace trklib::test {

// One record: field name to its value as tshark prints it; "_ws.expert"
// holds the datagram's dissector warnings (empty: none).
using AsterixRecord = QHash<QString, QString>;

// Empty when tshark is not installed; a test then skips.
inline QString tsharkProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("tshark"));
}

// False with error when the capture cannot be written or tshark fails. Every
// field must appear once in each record of a datagram (tshark prints a
// datagram's values of one field joined by commas, and they are split here).
inline bool decodeAsterix(const QString& pcap, const QVector<QByteArray>& datagrams, quint16 port,
                          const QStringList& fields, QVector<AsterixRecord>& records,
                          QString& error)
{
    sim::PcapWriter writer;
    if (!writer.open(pcap, error))
        return false;
    sim::UdpFrameBuilder frames(QHostAddress(QHostAddress::LocalHost), port);
    qint64 timeUs = 0;
    for (const QByteArray& d : datagrams) {
        for (const QByteArray& frame : frames.frames(d))
            writer.write(frame, timeUs += 1000);
    }
    if (!writer.commit()) {
        error = writer.errorString();
        return false;
    }
    QTemporaryDir home; // tshark keeps a personal configuration there
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    QStringList arguments{"-n",
                          "-r",
                          pcap,
                          "-d",
                          QStringLiteral("udp.port==%1,asterix").arg(port),
                          "-T",
                          "fields",
                          "-E",
                          "occurrence=a",
                          "-E",
                          "aggregator=,"};
    const QStringList all = fields + QStringList{QStringLiteral("_ws.expert")};
    for (const QString& f : all)
        arguments << QStringLiteral("-e") << f;
    const ProgramRun run = runProgram(tsharkProgram(), arguments, env);
    if (run.exitCode != 0) {
        error = QStringLiteral("tshark failed: %1").arg(QString::fromLocal8Bit(run.err));
        return false;
    }
    const QStringList lines = QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList columns = line.split('\t');
        const int count = columns.value(0).split(',').size();
        for (int r = 0; r < count; ++r) {
            AsterixRecord record;
            for (int i = 0; i < fields.size(); ++i) {
                const QStringList values = columns.value(i).split(',');
                if (values.size() != count) {
                    error = QStringLiteral("%1 appears %2 times in a datagram of %3 records: %4")
                                .arg(fields[i])
                                .arg(values.size())
                                .arg(count)
                                .arg(line);
                    return false;
                }
                record.insert(fields[i], values[r]);
            }
            record.insert(QStringLiteral("_ws.expert"), columns.value(fields.size()));
            records.append(record);
        }
    }
    return true;
}

} // namespace trklib::test
