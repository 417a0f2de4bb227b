// scripts/plot-tracks run on small track and truth files.

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct ScriptRun
{
    int exitCode = -1;
    QString err;
};

ScriptRun plotTracks(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(PLOT_TRACKS_PATH), args);
    ScriptRun r;
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
        r.exitCode = p.exitCode();
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

void writeFile(const QString& path, const QByteArray& text)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

class PlotTracks : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(QStringLiteral("gnuplot")).isEmpty())
            GTEST_SKIP() << "gnuplot is not installed";
        tracks = dir.filePath(QStringLiteral("tracks.csv"));
        truth = dir.filePath(QStringLiteral("truth.csv"));
        // Two tracks approaching at 100 and 80 m, 5 m mounting height.
        writeFile(tracks, "packet,timestamp,number,elevation,azimuth,distance,velocity,confirmed\n"
                          "4,200,1,-2.86,1.0,100.1,-72,1\n"
                          "5,250,1,-2.87,1.0,99.1,-72,1\n"
                          "4,200,2,-3.58,-3.6,80.2,50,1\n"
                          "5,250,2,-3.57,-3.6,80.9,50,0\n");
        writeFile(truth, "packet,timestamp,id,kind,x,y,z,vx,vy,speed_kph,radial_kph,distance,"
                         "elevation,azimuth,cell\n"
                         "4,200,1,car,100.0,1.75,0.8,-20,0,72,-72,100.1,-2.4,1.0,-288\n"
                         "5,250,1,car,99.0,1.75,0.8,-20,0,72,-72,99.1,-2.4,1.0,-288\n");
    }

    QTemporaryDir dir;
    QString tracks;
    QString truth;
};

TEST_F(PlotTracks, DrawsAPngOfTracksAndTruth)
{
    const QString png = dir.filePath(QStringLiteral("out.png"));
    const ScriptRun r = plotTracks({tracks, "--truth", truth, "--height", "5", "-o", png});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QFile f(png);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.read(8), QByteArray("\x89PNG\r\n\x1a\n", 8));
}

TEST_F(PlotTracks, RefusesBadOptionsAndForeignFiles)
{
    const QString png = dir.filePath(QStringLiteral("out.png"));
    for (const QStringList& args : QList<QStringList>{{tracks, "--tilt", "steep", "-o", png},
                                                      {tracks, "--frobnicate", "-o", png},
                                                      {tracks},
                                                      {"-o", png}}) {
        const ScriptRun r = plotTracks(args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(QLatin1String("Usage: plot-tracks")));
    }
    // The truth file is not a track file, and a missing file is reported.
    for (const QString& input : {truth, dir.filePath(QStringLiteral("missing.csv"))}) {
        const ScriptRun r = plotTracks({input, "-o", png});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1) << r.err.toStdString();
    }
    EXPECT_FALSE(QFile::exists(png));
}

} // namespace
