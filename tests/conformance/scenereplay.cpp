// conformance_replay SCENE_DIR: prints the library's output for a recorded
// scene (config and packets.bin in SCENE_DIR), one line per record as the
// conformance test compares it. Other front ends of the library (the Python
// module's tests) compare their output with it, number for number.

#include "sceneoutput.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;

QByteArray readFile(const QDir& dir, const char* name, bool& ok)
{
    QFile file(dir.filePath(QString::fromLatin1(name)));
    ok = file.open(QIODevice::ReadOnly);
    return ok ? file.readAll() : QByteArray();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: conformance_replay SCENE_DIR\n");
        return exitUsage;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    bool configRead = false;
    bool packetsRead = false;
    const QByteArray configText = readFile(dir, "config", configRead);
    const QByteArray packets = readFile(dir, "packets.bin", packetsRead);
    trklib::RadarConfig config{};
    if (!configRead || !packetsRead || !trklib::test::parseSceneConfig(configText, config)) {
        std::fprintf(stderr, "conformance_replay: %s: no readable config and packets.bin\n",
                     argv[1]);
        return exitFailure;
    }
    for (const QByteArray& line : trklib::test::replayScene(packets, config))
        std::printf("%s\n", line.constData());
    return 0;
}
