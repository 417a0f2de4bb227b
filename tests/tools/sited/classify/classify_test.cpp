#include "tools/sited/classify/classifier.h"
#include "tools/sited/pipeline.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace trklib::sited;
using namespace trklib::sited::classify;

constexpr std::int64_t stepMs = 100; // pictures ten a second

double feature(const FeatureVector& f, Feature which)
{
    return f[int(which)];
}

// A walker at 1.5 m/s who stands still for 4 s of 10; a car at 10 m/s
// that turns through 90 degrees in 5 s (lateral acceleration v * w).
TEST(TrackFeatures, AWalkersStopsAndACarsTurn)
{
    TrackHistory walker;
    TrackHistory car;
    const double turnRadPerS = M_PI / 2 / 5.0;
    for (std::int64_t t = 0; t <= 10000; t += stepMs) {
        SiteObject w;
        w.vxMps = t < 4000 ? 0.0 : 1.5;
        w.radars = {{0, 1}};
        walker.add(t, w);
        SiteObject c;
        const double heading = std::min(t, std::int64_t(5000)) / 1000.0 * turnRadPerS;
        c.vxMps = 10.0 * std::cos(heading);
        c.vyMps = 10.0 * std::sin(heading);
        c.radars = {{0, 2}, {1, 7}};
        car.add(t, c);
    }
    const FeatureVector w = walker.features();
    EXPECT_NEAR(feature(w, Feature::StoppedShare), 40.0 / 101.0, 1e-9);
    EXPECT_NEAR(feature(w, Feature::SpeedMax), 1.5, 1e-9);
    EXPECT_NEAR(feature(w, Feature::SeenFor), 10.0, 1e-9);
    EXPECT_EQ(feature(w, Feature::RcsKnown), 0.0);
    const FeatureVector c = car.features();
    EXPECT_NEAR(feature(c, Feature::SpeedMean), 10.0, 1e-9);
    EXPECT_NEAR(feature(c, Feature::AlongAccel), 0.0, 1e-9);
    // Turning for half the steps: rms of (v w) over ten one-second steps.
    EXPECT_NEAR(feature(c, Feature::LateralAccel), 10.0 * turnRadPerS * std::sqrt(0.5), 1e-6);
    EXPECT_EQ(feature(c, Feature::Radars), 2.0);
}

// A track's reflectivity: a sample counts when its count grows; its change
// only against the same track's previous sample.
TEST(TrackFeatures, ReflectivityFromPacketToPacket)
{
    TrackHistory h;
    const struct
    {
        int samples;
        double last;
    } reports[] = {{1, 10.0}, {1, 10.0}, {2, 14.0}, {3, 10.0}};
    std::int64_t t = 0;
    for (const auto& r : reports) {
        SiteObject o;
        ObjectRadar radar{0, 5};
        radar.rcsSamples = r.samples;
        radar.rcsLastDbsm = r.last;
        o.radars = {radar};
        h.add(t += stepMs, o);
    }
    const FeatureVector f = h.features();
    EXPECT_NEAR(feature(f, Feature::RcsMean), 34.0 / 3.0, 1e-9);
    EXPECT_NEAR(feature(f, Feature::RcsFluctuation), 4.0, 1e-9);
    EXPECT_EQ(feature(f, Feature::RcsKnown), 1.0);
}

ClassProbabilities only(ObjectClass c, double p)
{
    ClassProbabilities out{};
    out[int(c)] = p;
    out[int(ObjectClass::Unknown)] = 1.0 - p;
    return out;
}

ClassProbabilities two(ObjectClass a, double pa, ObjectClass b, double pb)
{
    ClassProbabilities out{};
    out[int(a)] = pa;
    out[int(b)] = pb;
    out[int(ObjectClass::Unknown)] = 1.0 - pa - pb;
    return out;
}

// Given at the threshold exactly, not below; held against a brief
// contrary run; changed after switchHoldMs of a clear one.
TEST(ClassDecision, ThresholdAndHysteresis)
{
    ClassDecision d;
    EXPECT_EQ(d.update(only(ObjectClass::Car, 0.6999), 0.7, 0), ObjectClass::Unknown);
    EXPECT_EQ(d.update(only(ObjectClass::Car, 0.7), 0.7, 100), ObjectClass::Car);
    // Below the threshold again: the class stays.
    EXPECT_EQ(d.update(only(ObjectClass::Car, 0.3), 0.7, 200), ObjectClass::Car);
    const ClassProbabilities person = two(ObjectClass::Person, 0.85, ObjectClass::Car, 0.1);
    std::int64_t t = 1000;
    for (; t < 1000 + switchHoldMs; t += stepMs)
        ASSERT_EQ(d.update(person, 0.7, t), ObjectClass::Car) << t;
    // A break (ahead by less than the margin) starts the run anew.
    EXPECT_EQ(d.update(two(ObjectClass::Person, 0.75, ObjectClass::Car, 0.56), 0.7, t),
              ObjectClass::Car);
    const std::int64_t since = t += stepMs;
    for (; t < since + switchHoldMs; t += stepMs)
        ASSERT_EQ(d.update(person, 0.7, t), ObjectClass::Car) << t;
    EXPECT_EQ(d.update(person, 0.7, t), ObjectClass::Person);
}

TEST(ClassEvidence, UnknownUntilSeenLongEnough)
{
    const ClassProbabilities car = only(ObjectClass::Car, 1.0);
    EXPECT_EQ(withEvidence(car, minEvidenceS)[int(ObjectClass::Unknown)], 1.0);
    EXPECT_NEAR(withEvidence(car, (minEvidenceS + fullEvidenceS) / 2)[int(ObjectClass::Car)], 0.5,
                1e-12);
    EXPECT_EQ(withEvidence(car, fullEvidenceS)[int(ObjectClass::Car)], 1.0);
}

// Every bad model file is a one-line error; the built-in one reads.
TEST(ClassModel, FilesGoodAndBad)
{
    EXPECT_GE(Model::builtin().classes().size(), 2);
    const QByteArray good = R"({"format": "trklib-classes", "version": 1,
        "classes": ["person", "car"],
        "features": [{"name": "speed_max_mps", "mean": 5, "scale": 2}],
        "coefficients": [[-1], [1]], "intercepts": [0, 0], "temperature": 2})";
    Model m;
    QString error;
    ASSERT_TRUE(Model::fromJson(good, m, error)) << error.toStdString();
    FeatureVector f{};
    f[int(Feature::SpeedMax)] = 9.0; // (9 - 5) / 2 = 2: scores -2 and 2, halved
    const ClassProbabilities p = m.probabilities(f);
    EXPECT_NEAR(p[int(ObjectClass::Car)], 1.0 / (1.0 + std::exp(-2.0)), 1e-12);
    EXPECT_EQ(p[int(ObjectClass::Truck)], 0.0);

    const struct
    {
        QByteArray from, to;
        const char* error;
    } bad[] = {
        {"\"version\": 1", "\"version\": 2", "not a class model"},
        {"\"car\"]", "\"unknown\"]", "'classes': 'unknown' is not a class"},
        {"\"car\"]", "\"person\"]",
         "'classes': 'person' is not a class, is unknown or comes twice"},
        {"speed_max_mps", "colour", "'features': 'colour' is not a feature"},
        {"\"scale\": 2", "\"scale\": 0", "'features': 'speed_max_mps' needs"},
        {"[[-1], [1]]", "[[-1]]", "'coefficients' has 1 rows, not one per class (2)"},
        {"[0, 0]", "[0]", "'intercepts' is not a list of 2 numbers"},
        {"\"temperature\": 2", "\"temperature\": 0", "'temperature' is not a number above 0"},
        {"}", "", "not JSON"},
    };
    for (const auto& b : bad) {
        QByteArray text = good;
        text.replace(b.from, b.to);
        EXPECT_FALSE(Model::fromJson(text, m, error)) << b.to.constData();
        EXPECT_TRUE(error.startsWith(QLatin1String(b.error))) << error.toStdString();
        EXPECT_FALSE(error.contains('\n'));
    }
    EXPECT_FALSE(Model::load(QStringLiteral("/nonexistent/model.json"), m, error));
    EXPECT_TRUE(error.startsWith(QLatin1String("/nonexistent/model.json: ")));
}

class NullSink : public PictureSink
{
public:
    void picture(const QByteArray&) override {}
    void event(const QByteArray&, const QByteArray&) override {}
    void zoneState(const trklib::service::TopicMessage&) override {}
};

// The pipeline classifies each picture: an object seen long enough by a
// model that knows one speed's class gets it.
TEST(ClassPipeline, FillsClassAndClasses)
{
    trklib::site::SiteConfig site;
    site.name = QStringLiteral("s");
    site.radars.resize(1);
    const QByteArray json = R"({"format": "trklib-classes", "version": 1,
        "classes": ["person", "car"],
        "features": [{"name": "speed_max_mps", "mean": 0, "scale": 1}],
        "coefficients": [[-3], [3]], "intercepts": [0, 0], "temperature": 1})";
    Model model;
    QString error;
    ASSERT_TRUE(Model::fromJson(json, model, error));
    NullSink sink;
    PicturePipeline pipeline(site, {nullptr, nullptr, nullptr, nullptr, &model}, sink);
    Picture last;
    for (std::int64_t t = 0; t <= 8000; t += stepMs) {
        TracksReport report;
        report.radar = 0;
        report.receivedMs = t;
        RadarTrack track;
        track.number = 1;
        track.xM = 20.0 + 10.0 * t / 1000.0;
        track.yM = 50.0;
        track.distanceM = std::hypot(track.xM, track.yM);
        track.confirmed = true;
        report.targets = {track};
        pipeline.add(report);
        last = pipeline.make(t);
    }
    ASSERT_EQ(last.objects.size(), 1);
    EXPECT_EQ(last.objects[0].objectClass, ObjectClass::Car);
    EXPECT_GT(last.objects[0].classes[int(ObjectClass::Car)], 0.99);
    EXPECT_EQ(last.objects[0].classes[int(ObjectClass::Unknown)], 0.0);
}

} // namespace
