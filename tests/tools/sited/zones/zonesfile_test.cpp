#include "tools/sited/zones/zonesfile.h"

#include "support/programrun.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <cmath>

using namespace trklib::sited::zones;

// The zones file: each way a file is refused, one line naming the feature,
// and where its positions land, against GeographicLib's CartConvert.
namespace trklib::sited::test {
namespace {

using trklib::test::ProgramRun;
using trklib::test::runProgram;

const site::Origin origin{48.137, 11.575, 520.0};
const site::Origin nullIsland{0.0, 0.0, 0.0};

// A GeoJSON FeatureCollection of the given features.
QByteArray collection(const QStringList& features)
{
    return QStringLiteral(R"({"type":"FeatureCollection","features":[%1]})")
        .arg(features.join(','))
        .toUtf8();
}

QString feature(const QString& type, const QString& coordinates, const QString& properties)
{
    return QStringLiteral(R"({"type":"Feature","geometry":{"type":"%1","coordinates":%2},)"
                          R"("properties":{%3}})")
        .arg(type, coordinates, properties);
}

// A square of about 10 m north-east of the origin, closed.
const QString squareRing = QStringLiteral(
    "[[11.575,48.137],[11.5751,48.137],[11.5751,48.1371],[11.575,48.1371],[11.575,48.137]]");
const QString square = QStringLiteral("[%1]").arg(squareRing);
const QString gate = feature(QStringLiteral("Polygon"), square, QStringLiteral(R"("name":"gate")"));

// The properties of a zone z armed by the given list, and a list of n spans.
QString armed(const QString& list)
{
    return QStringLiteral(R"("name":"z","armed":%1)").arg(list);
}

QString spans(int n)
{
    QStringList list;
    for (int i = 0; i < n; ++i)
        list.append(QStringLiteral(R"({"days":"Mon","from":"00:00","to":"01:00"})"));
    return QStringLiteral("[%1]").arg(list.join(','));
}

TEST(ZonesFile, RefusesEachBadFileWithOneLineNamingTheFeature)
{
    const QString polygon = QStringLiteral("Polygon");
    const QString lineString = QStringLiteral("LineString");
    const QString name = QStringLiteral(R"("name":"z")");
    const struct
    {
        const char* what;
        QByteArray text;
        const char* error;
        // The site's origin: the rows drawn about latitude and longitude 0
        // lie at an origin there, within the site view's reach.
        const site::Origin* at = &origin;
    } cases[]{
        {"not JSON", "{\"type\":", "not JSON: "},
        {"not a collection", R"({"type":"Feature"})", "not a GeoJSON FeatureCollection"},
        {"a point", collection({feature(QStringLiteral("Point"), "[11.575,48.137]", name)}),
         "feature 1 (z): geometry 'Point': only Polygon (a zone) and LineString (a line)"},
        {"no geometry",
         collection(
             {QStringLiteral(R"({"type":"Feature","geometry":null,"properties":{"name":"z"}})")}),
         "feature 1 (z): geometry 'none': only Polygon"},
        {"a ring not closed",
         collection({feature(polygon,
                             "[[[11.575,48.137],[11.5751,48.137],[11.5751,48.1371],"
                             "[11.575,48.1371]]]",
                             name)}),
         "feature 1 (z): the outer ring is not closed: its last position is not its first"},
        {"a ring of 3 positions",
         collection(
             {feature(polygon, "[[[11.575,48.137],[11.5751,48.137],[11.575,48.137]]]", name)}),
         "feature 1 (z): the outer ring has 3 positions; a ring takes at least 4"},
        {"a bow tie",
         collection({feature(polygon,
                             "[[[11.575,48.137],[11.5751,48.1371],[11.5751,48.137],"
                             "[11.575,48.1371],[11.575,48.137]]]",
                             name)}),
         "feature 1 (z): the outer ring crosses itself: edges 1 and 3 meet"},
        {"a ring touching itself at a corner",
         collection({feature(polygon,
                             "[[[0,0],[0.002,0],[0.001,0.001],[0.002,0.002],[0,0.002],"
                             "[0.001,0.001],[0,0]]]",
                             name)}),
         "feature 1 (z): the outer ring crosses itself: edges 2 and 5 meet", &nullIsland},
        {"the closing edge crossing another",
         collection({feature(polygon,
                             "[[[0,0],[0.004,0],[0.004,0.004],[0,0.004],[0.002,0.006],"
                             "[0,0]]]",
                             name)}),
         "feature 1 (z): the outer ring crosses itself: edges 3 and 5 meet", &nullIsland},
        {"a spike folding back",
         collection({feature(polygon, "[[[0,0],[0.002,0],[0.001,0],[0,0.001],[0,0]]]", name)}),
         "feature 1 (z): the outer ring crosses itself: edge 2 folds back over edge 1",
         &nullIsland},
        {"a hole crossing itself",
         collection({feature(polygon,
                             QStringLiteral("[%1,[[11.57502,48.13702],[11.57508,48.13708],"
                                            "[11.57508,48.13702],[11.57502,48.13708],"
                                            "[11.57502,48.13702]]]")
                                 .arg(squareRing),
                             name)}),
         "feature 1 (z): hole 1 crosses itself: edges 1 and 3 meet"},
        {"a line of one position", collection({feature(lineString, "[[0,0]]", name)}),
         "feature 1 (z): a line takes at least 2 positions, not 1", &nullIsland},
        {"a line with a dwell",
         collection(
             {feature(lineString, "[[0,0],[0,0.001]]", QStringLiteral(R"("name":"z","dwell":2)"))}),
         "feature 1 (z): a line takes no dwell or speed_limit", &nullIsland},
        {"a latitude past 90", collection({feature(lineString, "[[0,0],[0,90.5]]", name)}),
         "feature 1 (z): position [0, 90.5] is not a longitude and a latitude", &nullIsland},
        {"a position of four numbers", collection({feature(lineString, "[[0,0],[0,0,0,0]]", name)}),
         "feature 1 (z): a position is not [longitude, latitude]", &nullIsland},
        {"no name", collection({feature(polygon, square, QString())}),
         "feature 1: name: missing; use 1 to 64 letters"},
        {"a name of 65",
         collection(
             {feature(polygon, square, QStringLiteral(R"("name":"%1")").arg(QString(65, 'a')))}),
         "feature 1: name: 'aaaa"},
        {"a name with a slash",
         collection({feature(polygon, square, QStringLiteral(R"("name":"a/b")"))}),
         "feature 1: name: 'a/b'; use 1 to 64"},
        {"a duplicate name", collection({gate, gate}),
         "feature 2 (gate): name: another feature has it; names are unique"},
        {"a dwell of 0",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","dwell":0)"))}),
         "feature 1 (z): dwell: not a number of seconds above 0"},
        {"a negative speed limit",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","speed_limit":-1)"))}),
         "feature 1 (z): speed_limit: not a number of km/h above 0"},
        {"longitude and latitude swapped",
         collection({feature(lineString, "[[48.137,11.575],[48.1371,11.575]]", name)}),
         "feature 1 (z): position [48.137, 11.57"},
        {"a dwell past the page's last date",
         collection({feature(polygon, square,
                             QStringLiteral(R"("name":"z","dwell":8.6400000000001e12)"))}),
         "feature 1 (z): dwell: not a number of seconds above 0 and at most"},
        {"a speed limit past 1000 km/h",
         collection(
             {feature(polygon, square, QStringLiteral(R"("name":"z","speed_limit":1000.000001)"))}),
         "feature 1 (z): speed_limit: not a number of km/h above 0 and at most 1000"},
        {"confirmed_only not a bool",
         collection(
             {feature(polygon, square, QStringLiteral(R"("name":"z","confirmed_only":"no")"))}),
         "feature 1 (z): confirmed_only: not true or false"},
        {"watch not a bool",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","watch":1)"))}),
         "feature 1 (z): watch: not true or false"},
        {"a line watched",
         collection({feature(QStringLiteral("LineString"), "[[11.575,48.137],[11.5751,48.137]]",
                             QStringLiteral(R"("name":"l","watch":true)"))}),
         "feature 1 (l): watch: a line holds nothing to watch"},
        {"armed not a list", collection({feature(polygon, square, armed("{}"))}),
         "feature 1 (z): armed: not a list of spans"},
        {"armed empty", collection({feature(polygon, square, armed("[]"))}),
         "feature 1 (z): armed: an empty list; leave it out for always armed"},
        {"armed past its spans",
         collection({feature(polygon, square, armed(spans(maxArmedSpans + 1)))}),
         "feature 1 (z): armed: 51 spans; at most 50"},
        {"a bad day",
         collection({feature(polygon, square,
                             armed(R"([{"days":"Mon-Fry","from":"18:00","to":"07:00"}])"))}),
         "feature 1 (z): armed span 1 days: 'Mon-Fry' is not a list of days"},
        {"an empty day",
         collection(
             {feature(polygon, square, armed(R"([{"days":"Mon,","from":"18:00","to":"07:00"}])"))}),
         "feature 1 (z): armed span 1 days: 'Mon,'"},
        {"a start of 24:00",
         collection(
             {feature(polygon, square, armed(R"([{"days":"Sun","from":"24:00","to":"07:00"}])"))}),
         "feature 1 (z): armed span 1 from: '24:00' is not a time HH:MM from 00:00 to 23:59"},
        {"a time of one digit",
         collection({feature(lineString, "[[0,0],[0,0.001]]",
                             armed(R"([{"days":"Sun","from":"00:00","to":"24:00"},)"
                                   R"({"days":"Sun","from":"00:00","to":"7:00"}])"))}),
         "feature 1 (z): armed span 2 to: '7:00' is not a time HH:MM from 00:00 to 24:00",
         &nullIsland},
        {"a span of another key",
         collection({feature(polygon, square,
                             armed(R"([{"days":"Sun","from":"00:00","until":"07:00"}])"))}),
         "feature 1 (z): armed span 1 not an object of days, from and to"},
        {"alarm not a list",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","alarm":"enter")"))}),
         "feature 1 (z): alarm: not a list of events"},
        {"alarm of a number",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","alarm":[1])"))}),
         "feature 1 (z): alarm: holds something other than an event's name"},
        {"alarm twice",
         collection(
             {feature(polygon, square, QStringLiteral(R"("name":"z","alarm":["enter","enter"])"))}),
         "feature 1 (z): alarm: 'enter' given twice"},
        {"a zone's alarm of cross",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","alarm":["cross"])"))}),
         "feature 1 (z): alarm: 'cross' is not an event a zone raises; use enter, exit"},
        {"a line's alarm of enter",
         collection({feature(lineString, "[[0,0],[0,0.001]]",
                             QStringLiteral(R"("name":"z","alarm":["cross","enter"])"))}),
         "feature 1 (z): alarm: 'enter' is not an event a line raises; use cross", &nullIsland},
        {"an alarm of dwell without one",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","alarm":["dwell"])"))}),
         "feature 1 (z): alarm: 'dwell' needs a dwell"},
        {"an alarm of speed without a limit",
         collection({feature(polygon, square,
                             QStringLiteral(R"("name":"z","dwell":5,"alarm":["dwell","speed"])"))}),
         "feature 1 (z): alarm: 'speed' needs a speed_limit"},
        {"an unknown class",
         collection({feature(polygon, square,
                             QStringLiteral(R"("name":"z","classes":["person","dog"])"))}),
         "feature 1 (z): classes: 'dog' is not a class; use person, two-wheeler, car, truck or "
         "animal"},
        {"unknown among the classes",
         collection(
             {feature(polygon, square, QStringLiteral(R"("name":"z","classes":["unknown"])"))}),
         "feature 1 (z): classes: 'unknown' is not a class to choose; strict says whether objects "
         "not yet classified count"},
        {"no classes",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","classes":[])"))}),
         "feature 1 (z): classes: not a list of one or more of person, two-wheeler, car, truck or "
         "animal"},
        {"a class twice",
         collection({feature(polygon, square,
                             QStringLiteral(R"("name":"z","classes":["car","truck","car"])"))}),
         "feature 1 (z): classes: 'car' given twice"},
        {"a class not a string",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","classes":[3])"))}),
         "feature 1 (z): classes: holds something other than a class's name"},
        {"strict without classes",
         collection({feature(polygon, square, QStringLiteral(R"("name":"z","strict":true)"))}),
         "feature 1 (z): strict: only with classes"},
        {"strict not a bool",
         collection({feature(polygon, square,
                             QStringLiteral(R"("name":"z","classes":["car"],"strict":"yes")"))}),
         "feature 1 (z): strict: not true or false"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QVector<Zone> zones;
        QString error;
        EXPECT_FALSE(parseZones(c.text, site::GeoReference(*c.at), zones, error));
        EXPECT_TRUE(error.startsWith(QLatin1String(c.error))) << error.toStdString();
        EXPECT_FALSE(error.contains('\n'));
        EXPECT_TRUE(zones.isEmpty());
    }
}

// Site coordinates keep a fold exactly on its edge: caught at the fold.
TEST(ZonesFile, RefusesARingFoldingBackOverItsEdge)
{
    EXPECT_EQ(ringFault({{0, 0}, {2, 0}, {1, 0}, {0, 1}, {0, 0}}),
              QStringLiteral("crosses itself: edge 2 folds back over edge 1"));
    EXPECT_EQ(ringFault({{0, 0}, {2, 0}, {0, 1}, {1, 0}, {0, 0}}),
              QStringLiteral("crosses itself: edges 1 and 3 meet"));
    EXPECT_EQ(ringFault({{0, 0}, {2, 0}, {2, 1}, {0, 0}}), QString());
}

// A name of 64 characters, the smallest dwell and limit and the most
// spans are taken; properties left out take their defaults (always armed).
TEST(ZonesFile, TakesFeaturesAtTheLimits)
{
    const QString longest(64, QLatin1Char('a'));
    const QByteArray text = collection(
        {feature(
             QStringLiteral("Polygon"), square,
             QStringLiteral(
                 R"("name":"%1","dwell":1e-3,"speed_limit":0.1,"confirmed_only":false,"watch":true,)"
                 R"("colour":"red",)"
                 R"("alarm":["enter","exit","dwell","speed"])")
                 .arg(longest)),
         feature(QStringLiteral("LineString"), "[[11.575,48.137],[11.5751,48.137]]",
                 QStringLiteral(R"("name":"a.b-c_9","alarm":["cross"],)"
                                R"("classes":["animal","person","two-wheeler","car","truck"],)"
                                R"("strict":true)")),
         feature(QStringLiteral("LineString"), "[[11.575,48.137],[11.5751,48.137]]",
                 armed(spans(maxArmedSpans))),
         feature(QStringLiteral("LineString"), "[[11.575,48.137],[11.5751,48.137]]",
                 QStringLiteral(R"("name":"w","armed":[{"days":"Mon,Wed-Thu , Sat-Mon",)"
                                R"("from":"23:59","to":"24:00"}])"))});
    QVector<Zone> zones;
    QString error;
    ASSERT_TRUE(parseZones(text, site::GeoReference(origin), zones, error)) << error.toStdString();
    ASSERT_EQ(zones.size(), 4);
    EXPECT_EQ(zones[0].name, longest);
    EXPECT_TRUE(zones[0].armed.isEmpty());
    EXPECT_EQ(zones[2].armed.size(), maxArmedSpans);
    EXPECT_EQ(zones[3].armed, (QVector<ArmedSpan>{{0b1101101, 23 * 60 + 59, 24 * 60}}));
    EXPECT_EQ(zones[0].kind, Zone::Kind::Zone);
    EXPECT_EQ(zones[0].dwellS, 1e-3);
    EXPECT_EQ(zones[0].speedLimitKph, 0.1);
    EXPECT_FALSE(zones[0].confirmedOnly);
    EXPECT_TRUE(zones[0].watch);
    EXPECT_FALSE(zones[1].watch);
    EXPECT_EQ(zones[0].alarm.join(','), QStringLiteral("enter,exit,dwell,speed"));
    EXPECT_EQ(zones[1].kind, Zone::Kind::Line);
    EXPECT_EQ(zones[1].alarm, QStringList{QStringLiteral("cross")});
    EXPECT_EQ(zones[1].line.size(), 2);
    EXPECT_FALSE(zones[1].dwellS || zones[1].speedLimitKph);
    EXPECT_TRUE(zones[1].confirmedOnly);
    EXPECT_TRUE(zones[0].classes.isEmpty() && !zones[0].strict);
    EXPECT_EQ(zones[1].classes.size(), 5);
    EXPECT_EQ(zones[1].classes.first(), ObjectClass::Animal);
    EXPECT_TRUE(zones[1].strict);
}

// The site view's limits: positions within maxZoneM of the origin on
// each axis, maxZones features and maxZoneCorners corners in all (a ring's
// closing position not counted), dwell and speed_limit at their largest;
// each at the limit taken, just past it refused with one line.
TEST(ZonesFile, TakesWhatTheSiteViewShowsAndRefusesJustPast)
{
    const site::GeoReference geo(origin);
    const auto onPlane = [&](double xM, double yM) {
        const site::GeoPoint p = geo.toGeodetic(xM, yM);
        return QStringLiteral("[%1,%2]")
            .arg(p.longitudeDeg, 0, 'g', 17)
            .arg(p.latitudeDeg, 0, 'g', 17);
    };
    const auto line = [&](const QString& name, const QStringList& positions) {
        return feature(QStringLiteral("LineString"),
                       QStringLiteral("[%1]").arg(positions.join(',')),
                       QStringLiteral(R"("name":"%1")").arg(name));
    };
    const QString here = onPlane(0, 0);
    const auto lines = [&](int count) {
        QStringList features;
        for (int i = 0; i < count; ++i)
            features << line(QStringLiteral("l%1").arg(i), {here, here});
        return collection(features);
    };
    const auto corners = [&](int count) {
        QStringList positions;
        for (int i = 0; i < count; ++i)
            positions << here;
        // The square's ring counts 4 of its 5 positions.
        return collection({gate, line(QStringLiteral("long"), positions)});
    };
    constexpr double nearM = 0.01; // well above the conversion's error
    const struct
    {
        const char* what;
        QByteArray text;
        const char* error; // empty: taken
    } cases[]{
        {"east at the limit", collection({line("e", {here, onPlane(maxZoneM - nearM, 0)})}), ""},
        {"east just past", collection({line("e", {here, onPlane(maxZoneM + nearM, 0)})}),
         "feature 1 (e): position ["},
        {"south at the limit", collection({line("s", {here, onPlane(0, -maxZoneM + nearM)})}), ""},
        {"south just past", collection({line("s", {here, onPlane(0, -maxZoneM - nearM)})}),
         "feature 1 (s): position ["},
        {"as many features as the page shows", lines(maxZones), ""},
        {"one more", lines(maxZones + 1), "201 features; the site view shows at most 200"},
        {"as many corners as the page draws", corners(maxZoneCorners - 4), ""},
        {"one more corner", corners(maxZoneCorners - 3),
         "feature 2 (long): more than 10000 corners"},
        {"the longest dwell and the highest speed limit",
         collection({feature(QStringLiteral("Polygon"), square,
                             QStringLiteral(R"("name":"z","dwell":8.64e12,"speed_limit":1000)"))}),
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QVector<Zone> zones;
        QString error;
        const bool taken = parseZones(c.text, geo, zones, error);
        EXPECT_EQ(taken, *c.error == '\0') << error.toStdString();
        if (!taken) {
            EXPECT_TRUE(error.startsWith(QLatin1String(c.error))) << error.toStdString();
        }
        EXPECT_FALSE(error.contains('\n'));
    }
}

// The example scenes' zones load, at the places their comments give, in
// site metres about the examples' origin.
TEST(ZonesFile, LoadsTheExamples)
{
    constexpr double toleranceM = 0.01;
    const struct
    {
        const char* file;
        site::Origin origin; // of the scene's site file
        QStringList names;
        Point first; // the first feature's first point
    } cases[]{
        {"perimeter-zones.geojson", {53.631611, 9.988153, 52}, {"fence", "restricted"}, {-300, 0}},
        {"junction-zones.geojson",
         {47.376887, 8.541694, 456},
         {"box", "stop-north", "stop-south", "stop-east", "stop-west"},
         {-10, -10}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        QVector<Zone> zones;
        QString error;
        ASSERT_TRUE(loadZones(QStringLiteral(SITES_DIR "/%1").arg(QLatin1String(c.file)),
                              site::GeoReference(c.origin), zones, error))
            << error.toStdString();
        QStringList names;
        for (const Zone& z : zones)
            names << z.name;
        EXPECT_EQ(names, c.names);
        const Point first =
            zones[0].kind == Zone::Kind::Line ? zones[0].line[0] : zones[0].rings[0][0];
        EXPECT_NEAR(first.x, c.first.x, toleranceM);
        EXPECT_NEAR(first.y, c.first.y, toleranceM);
    }
}

// A position with a height lands at CartConvert's x, y of that point; one
// without lies in the site's plane: CartConvert -r of (x, y, 0) gives its
// latitude and longitude back.
TEST(ZonesFile, PositionsAgreeWithCartConvert)
{
    constexpr double toleranceM = 1e-6;
    constexpr double toleranceDeg = 1e-9;
    const double lon = 11.581, lat = 48.1405, heightM = 610.0; // ~450 m east, ~390 m north, up
    const QByteArray text =
        collection({feature(QStringLiteral("LineString"),
                            QStringLiteral("[[%1,%2,%3],[%1,%2]]").arg(lon).arg(lat).arg(heightM),
                            QStringLiteral(R"("name":"post")"))});
    QVector<Zone> zones;
    QString error;
    ASSERT_TRUE(parseZones(text, site::GeoReference(origin), zones, error)) << error.toStdString();
    const Point high = zones[0].line[0];
    const Point plane = zones[0].line[1];
    const QStringList frame{QStringLiteral("-l"),
                            QString::number(origin.latitudeDeg, 'g', 17),
                            QString::number(origin.longitudeDeg, 'g', 17),
                            QString::number(origin.altitudeM, 'g', 17),
                            QStringLiteral("-p"),
                            QStringLiteral("9"),
                            QStringLiteral("--input-string")};
    const ProgramRun forward =
        runProgram(QStringLiteral("CartConvert"),
                   frame + QStringList{QStringLiteral("%1 %2 %3").arg(lat).arg(lon).arg(heightM)});
    ASSERT_EQ(forward.exitCode, 0)
        << "CartConvert (geographiclib-tools): " << forward.err.toStdString();
    const QList<QByteArray> xyz = forward.out.simplified().split(' ');
    ASSERT_EQ(xyz.size(), 3) << forward.out.toStdString();
    EXPECT_NEAR(high.x, xyz[0].toDouble(), toleranceM);
    EXPECT_NEAR(high.y, xyz[1].toDouble(), toleranceM);
    // The height moves the point on the ground by centimetres, not less.
    EXPECT_GT(std::hypot(high.x - plane.x, high.y - plane.y), 0.005);

    const ProgramRun reverse = runProgram(
        QStringLiteral("CartConvert"),
        QStringList{QStringLiteral("-r")} + frame +
            QStringList{
                QStringLiteral("%1 %2 0").arg(plane.x, 0, 'g', 17).arg(plane.y, 0, 'g', 17)});
    ASSERT_EQ(reverse.exitCode, 0) << reverse.err.toStdString();
    const QList<QByteArray> geodetic = reverse.out.simplified().split(' ');
    ASSERT_EQ(geodetic.size(), 3) << reverse.out.toStdString();
    EXPECT_NEAR(geodetic[0].toDouble(), lat, toleranceDeg);
    EXPECT_NEAR(geodetic[1].toDouble(), lon, toleranceDeg);
}

} // namespace
} // namespace trklib::sited::test
