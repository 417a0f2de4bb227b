#include "conformancescenes.h"
#include "sceneoutput.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>

#include <iostream>
#include <string>

namespace trklib {
namespace {

using Conformance = ::testing::TestWithParam<const char*>;

TEST_P(Conformance, ReplayGivesTheRecordedOutput)
{
    const QDir dir(QDir(QString::fromUtf8(test::conformanceSceneDir)).filePath(GetParam()));
    const auto read = [&dir](const char* name) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray configText = read("config");
    const QByteArray packets = read("packets.bin");
    const QByteArray expectedText = read("expected.txt");

    RadarConfig config{};
    ASSERT_TRUE(test::parseSceneConfig(configText, config)) << configText.toStdString();
    ASSERT_GT(packets.size(), 0) << dir.path().toStdString();
    ASSERT_EQ(packets.size() % wire::packetBytes, 0) << "packets.bin holds whole packets only";

    const test::SceneComparison result =
        test::compareScene(expectedText, test::replayScene(packets, config));

    QStringList counts;
    for (char kind : {'P', 'T', 'V'})
        counts << QStringLiteral("%1 %2/%3")
                      .arg(QChar(kind))
                      .arg(result.matched.value(kind))
                      .arg(result.expected.value(kind));
    const QString summary = QStringLiteral("%1: %2 lines match; %3 mismatching lines")
                                .arg(QString::fromUtf8(GetParam()), counts.join(", "))
                                .arg(result.mismatches);
    std::cout << "[ scene    ] " << summary.toStdString() << std::endl;
    RecordProperty("summary", summary.toStdString());

    EXPECT_GT(result.expected.value('P'), 0) << "expected.txt holds no packet";
    EXPECT_EQ(result.mismatches, 0)
        << summary.toStdString() << "\nfirst mismatch: " << result.firstMismatch.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Scenes, Conformance, ::testing::ValuesIn(test::conformanceScenes),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

} // namespace
} // namespace trklib
