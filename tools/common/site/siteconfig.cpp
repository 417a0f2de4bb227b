#include "tools/common/site/siteconfig.h"

#include "tools/common/cli/mountingoptions.h"
#include "tools/common/site/georeference.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cmath>
#include <functional>
#include <memory>
#include <utility>

#include <arpa/inet.h>
#include <sys/stat.h>

namespace trklib::site {

namespace {

constexpr double maxHeadingDeg = 360.0; // either way round
// A radar stands within 100 km of the site's origin, east and north: the
// site view draws its map to that size, and a place further out is a typo.
constexpr double maxPlaceM = 100000.0;
constexpr double maxLatitudeDeg = 90.0;
constexpr double maxLongitudeDeg = 180.0;
// The origin's height above the ellipsoid: from below the shore of the
// Dead Sea (about -430 m, the geoid there a little above the ellipsoid)
// to above the highest summits; anything outside is a typo or feet.
constexpr double minAltitudeM = -1000.0;
constexpr double maxAltitudeM = 10000.0;
// Pictures per second: one every 10 s at the least, and no more than a
// radar could ever feed.
constexpr double minRatePerS = 0.1;
constexpr double maxRatePerS = 100.0;
// Gates narrower than a walker's stride join nothing; wider than a
// junction join everything.
constexpr double minGateM = 1.0;
constexpr double maxGateM = 100.0;
constexpr double maxCoastS = 60.0;
// [radar.NAME] range_offset, metres either way: a radar's distances are
// off by centimetres to a few metres; more is a typo or another unit.
constexpr double maxRangeOffsetM = 50.0;
// [classes] threshold: a class is given at this probability or above.
constexpr double minClassThreshold = 0.5;
constexpr double maxClassThreshold = 0.99;
// ASTERIX codes (SAC, SIC) are one byte.
constexpr int maxAsterixCode = 255;
// Cursor-on-Target rounds per second: one every 10 s at the least, and no
// more than clients redraw.
constexpr double minCotRatePerS = 0.1;
constexpr double maxCotRatePerS = 10.0;
const QString radarPrefix = QStringLiteral("radar.");
const QString cameraPrefix = QStringLiteral("camera.");
// [camera.NAME]: a lens from below the ground (a camera in a cutting) to a
// mast's top; fields of view of a PTZ camera's lenses; pan and tilt rates
// of their motors; the ranges a camera's pan (one turn and a bit either
// way) and tilt can span from their zeros.
constexpr double minCameraHeightM = -100.0;
constexpr double maxCameraHeightM = 1000.0;
constexpr double minFovDeg = 0.1; // degrees, horizontal
constexpr double maxFovDeg = 180.0;
constexpr double minSlewDegPerS = 0.1;
constexpr double maxSlewDegPerS = 1000.0;
constexpr double maxPanRangeDeg = 360.0;  // either way of pan zero
constexpr double maxTiltRangeDeg = 180.0; // either way of tilt zero
constexpr double maxTiltOffsetDeg = 90.0;
constexpr double minCameraReachM = 1.0;
constexpr double maxCameraReachM = 50000.0;
constexpr double minFill = 0.01; // share of the view's width
constexpr double maxFill = 1.0;
constexpr double maxCameraLatencyS = 10.0;
constexpr double maxHomeAfterS = 3600.0;
// The names that the site's own topics use: the fused picture and status
// (<prefix>/<site>/site/...), the zone states (<prefix>/<site>/zones/<zone>,
// where a zone named "tracks" would look like a radar's tracks), the
// events (<prefix>/<site>/events) and the alarms (<prefix>/<site>/alarms,
// whose changes on .../alarms/changes would look like a radar's).
bool isReservedRadarName(const QString& name)
{
    return name == QLatin1String("site") || name == QLatin1String("zones") ||
           name == QLatin1String("events") || name == QLatin1String("alarms");
}

// One "key = value" line.
struct Entry
{
    int line;
    QString key;
    QString value;
};

// A [section] and its lines.
struct Section
{
    QString name;
    int line;
    QVector<Entry> entries;
};

// A key's check and store: an empty string when the value is good,
// otherwise why not.
using KeyHandler = std::function<QString(const QString& value)>;
using KeyTable = QVector<std::pair<QString, KeyHandler>>;

// Letters, digits, '_', '-' and '.': a topic level that is neither a
// wildcard ('+', '#') nor a separator ('/'), and a client id every broker
// takes.
bool isTopicSafe(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9_.-]{1,64}\\z"));
    return pattern.match(name).hasMatch();
}

QString notTopicSafe(const QString& value)
{
    return QStringLiteral("'%1' is not topic-safe: use 1 to 64 letters, digits, '_', '-' or '.'")
        .arg(value);
}

// The first control character of a line other than tab (C0, DEL, C1), or
// -1. A NUL would cut the value short wherever it goes as a C string.
int controlCharacter(const QString& line)
{
    for (int i = 0; i < line.size(); ++i) {
        if (line[i] != QLatin1Char('\t') && line[i].category() == QChar::Other_Control)
            return i;
    }
    return -1;
}

// Splits the text into its sections. Whole lines are comments (# or ;);
// a value may stand in double quotes, as QSettings writes some. Lines end
// with \n or \r\n; no other control character but tab may stand in one.
bool splitSections(const QByteArray& text, QVector<Section>& sections, QString& error)
{
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const int number = i + 1;
        // With its size: QString::fromUtf8(QByteArray) stops at a NUL.
        QString raw = QString::fromUtf8(lines[i].constData(), lines[i].size());
        if (raw.endsWith(QLatin1Char('\r')))
            raw.chop(1);
        const int control = controlCharacter(raw);
        if (control >= 0) {
            // The key is named when the character stands after a clean one.
            const int equals = raw.indexOf(QLatin1Char('='));
            const QString key = raw.left(equals).trimmed();
            const QString where = !sections.isEmpty() && equals >= 0 && equals < control &&
                                          !key.isEmpty() && controlCharacter(key) < 0
                                      ? QStringLiteral(" [%1] %2:").arg(sections.last().name, key)
                                      : QString();
            // In one pass: the key may hold a '%'.
            error =
                QStringLiteral("%1:%2 a control character (U+%3) in column %4; only tab "
                               "may stand in a line")
                    .arg(QString::number(number), where,
                         QStringLiteral("%1").arg(raw[control].unicode(), 4, 16, QLatin1Char('0')),
                         QString::number(control + 1));
            return false;
        }
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']'))) {
                error =
                    QStringLiteral("%1: %2: a section header ends with ]").arg(number).arg(line);
                return false;
            }
            const QString name = line.mid(1, line.size() - 2).trimmed();
            for (const Section& s : qAsConst(sections)) {
                if (s.name == name) {
                    error = QStringLiteral("%1: [%2]: a second section of this name (the first "
                                           "is at line %3)")
                                .arg(number)
                                .arg(name)
                                .arg(s.line);
                    return false;
                }
            }
            sections.append({name, number, {}});
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            error = QStringLiteral("%1: '%2' is not a [section], a key = value line or a comment")
                        .arg(number)
                        .arg(line);
            return false;
        }
        const QString key = line.left(equals).trimmed();
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
            value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        if (sections.isEmpty()) {
            error = QStringLiteral("%1: %2: a key before the first [section]").arg(number).arg(key);
            return false;
        }
        Section& section = sections.last();
        for (const Entry& e : qAsConst(section.entries)) {
            if (e.key == key) {
                error = QStringLiteral("%1: [%2] %3: set twice (first at line %4)")
                            .arg(number)
                            .arg(section.name, key)
                            .arg(e.line);
                return false;
            }
        }
        section.entries.append({number, key, value});
    }
    return true;
}

// Runs every line of the section through its key's handler.
bool applySection(const Section& section, const KeyTable& keys, QString& error)
{
    for (const Entry& entry : section.entries) {
        const auto handler = std::find_if(keys.begin(), keys.end(),
                                          [&](const auto& key) { return key.first == entry.key; });
        if (handler == keys.end()) {
            QStringList known;
            for (const auto& key : keys)
                known << key.first;
            error = QStringLiteral("%1: [%2] %3: unknown key (known: %4)")
                        .arg(entry.line)
                        .arg(section.name, entry.key, known.join(QStringLiteral(", ")));
            return false;
        }
        const QString reason = handler->second(entry.value);
        if (!reason.isEmpty()) {
            error = QStringLiteral("%1: [%2] %3: %4")
                        .arg(entry.line)
                        .arg(section.name, entry.key, reason);
            return false;
        }
    }
    return true;
}

// The line of a key in the section, or of the section when it is not set.
int lineOf(const Section& section, const QString& key)
{
    for (const Entry& e : section.entries) {
        if (e.key == key)
            return e.line;
    }
    return section.line;
}

bool hasKey(const Section& section, const QString& key)
{
    return lineOf(section, key) != section.line;
}

KeyHandler portHandler(quint16& port)
{
    return [&port](const QString& v) {
        bool ok = false;
        const uint number = v.toUInt(&ok);
        if (!ok || number < 1 || number > 65535)
            return QStringLiteral("'%1' is not a port number (1 to 65535)").arg(v);
        port = quint16(number);
        return QString();
    };
}

// An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the IPv4 address it
// stands for; any other address as it is. The kernel takes both forms for
// one local address, and senders arrive in the IPv4 form.
QHostAddress unmapped(const QHostAddress& address)
{
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        return address;
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    constexpr int mappedPrefixBytes = 12; // ten zero bytes, then 0xffff
    for (int i = 0; i < mappedPrefixBytes; ++i) {
        if (bytes[i] != (i < 10 ? 0x00 : 0xff))
            return address;
    }
    return QHostAddress(quint32(bytes[12]) << 24 | quint32(bytes[13]) << 16 |
                        quint32(bytes[14]) << 8 | quint32(bytes[15]));
}

// Parses an address literal, IPv4-mapped forms as IPv4. IPv4 addresses
// take all four parts: "10.1.2" would be taken for 10.1.0.2.
bool parseAddress(const QString& text, QHostAddress& address)
{
    in_addr ipv4{};
    const bool good = text.contains(QLatin1Char(':'))
                          ? address.setAddress(text)
                          : inet_pton(AF_INET, text.toLatin1().constData(), &ipv4) == 1 &&
                                address.setAddress(text);
    if (good)
        address = unmapped(address);
    else
        address.clear();
    return good;
}

bool isUnspecified(const QHostAddress& address)
{
    return address == QHostAddress(QHostAddress::AnyIPv4) ||
           address == QHostAddress(QHostAddress::AnyIPv6);
}

// Why an address cannot be one host's, or an empty string when it can.
QString notUnicast(const QHostAddress& address, const QString& text)
{
    const char* what = isUnspecified(address)  ? "the unspecified address"
                       : address.isMulticast() ? "a multicast address"
                       : address.isBroadcast() ? "the broadcast address"
                                               : nullptr;
    return what ? QStringLiteral("'%1' is %2, not one host's").arg(text, QLatin1String(what))
                : QString();
}

// An address literal, or empty for the default.
KeyHandler addressHandler(QHostAddress& address)
{
    return [&address](const QString& v) {
        address.clear();
        if (!v.isEmpty() && !parseAddress(v, address))
            return QStringLiteral("'%1' is not an IPv4 or IPv6 address").arg(v);
        return QString();
    };
}

// The address of one host, or empty for any.
KeyHandler unicastHandler(QHostAddress& address)
{
    return [&address, parse = addressHandler(address)](const QString& v) {
        const QString reason = parse(v);
        return reason.isEmpty() && !address.isNull() ? notUnicast(address, v) : reason;
    };
}

// Why the broker's host is neither a host name nor an address, or an empty
// string. libmosquitto takes the port apart, so "host:port", "[::1]" and
// URLs are refused here rather than found when trackd connects.
QString notHost(const QString& v)
{
    const QString notOne = QStringLiteral("'%1' is not a host name or address").arg(v);
    QHostAddress address;
    if (parseAddress(v, address))
        return notUnicast(address, v);
    // Labels of letters, digits, '-' and '_' (not at either end), at most
    // 63 characters each and 253 in all, the last not all digits (that is
    // an IPv4 address in short).
    static const QRegularExpression name(QStringLiteral(
        "\\A(?=.{1,253}\\z)(?:[A-Za-z0-9_](?:[A-Za-z0-9_-]{0,61}[A-Za-z0-9_])?\\.)*"
        "(?=[^.]*[A-Za-z_-])[A-Za-z0-9_](?:[A-Za-z0-9_-]{0,61}[A-Za-z0-9_])?\\.?\\z"));
    if (name.match(v).hasMatch())
        return QString();
    static const QRegularExpression withPort(QStringLiteral("\\A(?:\\[.*\\]|[^:]*):(\\d+)\\z"));
    const QRegularExpressionMatch port = withPort.match(v);
    if (v.contains(QLatin1String("://")))
        return notOne + QStringLiteral(": give the host alone, without a scheme");
    if (port.hasMatch())
        return notOne + QStringLiteral(": give the port as port = %1").arg(port.captured(1));
    if (v.startsWith(QLatin1Char('[')))
        return notOne + QStringLiteral(": give an IPv6 address without brackets");
    return notOne;
}

KeyHandler numberHandler(double& field, double least, double greatest, const char* unit)
{
    return [&field, least, greatest, unit](const QString& v) {
        bool ok = false;
        const double number = v.toDouble(&ok);
        if (!ok || !std::isfinite(number) || number < least || number > greatest)
            return QStringLiteral("'%1' is not a number of %2 from %3 to %4")
                .arg(v, QLatin1String(unit), QString::number(least), QString::number(greatest));
        field = number;
        return QString();
    };
}

// A mounting key, checked against the tools' table of limits.
KeyHandler mountingHandler(RadarConfig& mounting, const QString& option)
{
    return [&mounting, option](const QString& v) {
        QString reason;
        if (cli::setMountingOption(mounting, option, v, reason))
            return QString();
        for (const cli::MountingOption& o : cli::mountingOptions()) {
            if (o.name == option && option == QLatin1String("orientation"))
                return QStringLiteral("'%1' is neither 0 (horizontal) nor 1 (vertical)").arg(v);
            if (o.name == option)
                return QStringLiteral("'%1' is not a number from %2 to %3")
                    .arg(v, QString::number(o.least), QString::number(o.greatest));
        }
        return reason;
    };
}

// A file that must be there and readable; stored as an absolute path.
// A file's path as the site file gives it, relative to base unless
// absolute; a leading "%d/" stands for the folder of the service's
// systemd credentials ($CREDENTIALS_DIRECTORY, as %d does in a unit), so
// that one site file names each service's own copy of a secret. Empty with
// why set when %d is given without that folder.
QString filePath(const QString& v, const QDir& base, QString& why)
{
    static const QLatin1String credentials("%d/");
    if (!v.startsWith(credentials))
        return QDir::cleanPath(base.absoluteFilePath(v));
    const QString folder = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
    if (folder.isEmpty()) {
        why = QStringLiteral("'%1' is in the service's credentials folder (%d), but "
                             "CREDENTIALS_DIRECTORY is not set: its systemd unit sets it; by "
                             "hand, set it to a folder that holds the file")
                  .arg(v);
        return QString();
    }
    return QDir::cleanPath(QDir(folder).absoluteFilePath(v.mid(credentials.size())));
}

KeyHandler fileHandler(QString& path, const QDir& base)
{
    return [&path, base](const QString& v) {
        if (v.isEmpty())
            return QStringLiteral("empty; leave the key out for none");
        QString why;
        path = filePath(v, base, why);
        if (path.isEmpty())
            return why;
        const QFileInfo info(path);
        if (!info.exists())
            return QStringLiteral("no such file: %1").arg(path);
        if (!info.isFile())
            return QStringLiteral("not a regular file: %1").arg(path);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return QString();
    };
}

// A user name to log in with; the key is left out for none.
KeyHandler usernameHandler(QString& name)
{
    return [&name](const QString& v) {
        name = v;
        return v.isEmpty() ? QStringLiteral("empty; leave the key out for none") : QString();
    };
}

// An ASTERIX code: an integer from 0 to 255.
KeyHandler codeHandler(int& code)
{
    return [&code](const QString& v) {
        bool ok = false;
        const int number = v.toInt(&ok);
        if (!ok || number < 0 || number > maxAsterixCode)
            return QStringLiteral("'%1' is not a code from 0 to %2").arg(v).arg(maxAsterixCode);
        code = number;
        return QString();
    };
}

// "address:port", IPv6 addresses in brackets: one host's, or a multicast
// group. Addresses only: a name would be looked up by a service that
// must not wait for one.
KeyHandler destinationHandler(Destination& destination)
{
    return [&destination](const QString& v) {
        static const QRegularExpression form(
            QStringLiteral("\\A(?:\\[([^\\]]*)\\]|([^:\\[\\]]*))(?::([^:]*))?\\z"));
        const QRegularExpressionMatch m = form.match(v);
        if (!m.hasMatch() || m.captured(3).isNull())
            return QStringLiteral("'%1' has no port: give address:port ([address]:port for IPv6)")
                .arg(v);
        const QString host = m.captured(1).isNull() ? m.captured(2) : m.captured(1);
        QHostAddress address;
        if (!parseAddress(host, address))
            return QStringLiteral("'%1' is not an IPv4 or IPv6 address").arg(host);
        if (isUnspecified(address) || address.isBroadcast())
            return QStringLiteral("'%1' is neither one host's address nor a multicast group")
                .arg(host);
        bool ok = false;
        const uint port = m.captured(3).toUInt(&ok);
        if (!ok || port < 1 || port > 65535)
            return QStringLiteral("'%1' is not a port number (1 to 65535)").arg(m.captured(3));
        destination = {address, quint16(port)};
        return QString();
    };
}

// The keys of each section, each with its check and store into the given
// fields: the parser's and siteConfigKeys()'s one list.
KeyTable siteKeys(SiteConfig& config, Origin& origin)
{
    const KeyTable keys{
        {QStringLiteral("name"),
         [&](const QString& v) {
             config.name = v;
             return isTopicSafe(v) ? QString() : notTopicSafe(v);
         }},
        {QStringLiteral("prefix"),
         [&](const QString& v) {
             config.prefix = v;
             for (const QString& level : v.split(QLatin1Char('/'))) {
                 if (!isTopicSafe(level))
                     return QStringLiteral("'%1' is not topic-safe: use levels of 1 to 64 letters, "
                                           "digits, '_', '-' or '.' between single '/'")
                         .arg(v);
             }
             return QString();
         }},
        {QStringLiteral("latitude"),
         numberHandler(origin.latitudeDeg, -maxLatitudeDeg, maxLatitudeDeg, "degrees")},
        {QStringLiteral("longitude"),
         numberHandler(origin.longitudeDeg, -maxLongitudeDeg, maxLongitudeDeg, "degrees")},
        {QStringLiteral("altitude"),
         numberHandler(origin.altitudeM, minAltitudeM, maxAltitudeM, "metres")},
        {QStringLiteral("timezone"),
         [&](const QString& v) {
             config.timezone = v.toUtf8();
             if (QTimeZone::isTimeZoneIdAvailable(config.timezone))
                 return QString();
             return QStringLiteral("'%1' is not a time zone of the system's tz database: give "
                                   "its IANA name, as Europe/Berlin or UTC (timedatectl "
                                   "list-timezones)")
                 .arg(v);
         }},
    };
    return keys;
}

bool parseSite(const Section& section, SiteConfig& config, QString& error)
{
    Origin origin;
    if (!applySection(section, siteKeys(config, origin), error))
        return false;
    if (!hasKey(section, QStringLiteral("name"))) {
        error = QStringLiteral("%1: [site] name: missing; the site's name goes into every topic")
                    .arg(section.line);
        return false;
    }
    // The origin is a point: a part of it is a mistake, not a default.
    const QStringList originKeys{QStringLiteral("latitude"), QStringLiteral("longitude"),
                                 QStringLiteral("altitude")};
    int given = 0;
    for (const QString& key : originKeys)
        given += hasKey(section, key) ? 1 : 0;
    if (given == 0)
        return true;
    for (const QString& key : originKeys) {
        if (!hasKey(section, key)) {
            error = QStringLiteral("%1: [site] %2: missing; the origin takes latitude, "
                                   "longitude and altitude together, or none of them")
                        .arg(section.line)
                        .arg(key);
            return false;
        }
    }
    config.origin = origin;
    return true;
}

KeyTable asterixKeys(AsterixConfig& asterix)
{
    const KeyTable keys{
        {QStringLiteral("sac"), codeHandler(asterix.sac)},
        {QStringLiteral("sic_site"), codeHandler(asterix.sicSite)},
        {QStringLiteral("cat010"), destinationHandler(asterix.cat010)},
        {QStringLiteral("cat062"), destinationHandler(asterix.cat062)},
    };
    return keys;
}

bool parseAsterix(const Section& section, AsterixConfig& asterix, QString& error)
{
    if (!applySection(section, asterixKeys(asterix), error))
        return false;
    const bool anyOutput = asterix.cat010.isSet() || asterix.cat062.isSet();
    const char* missing = anyOutput && asterix.sac < 0                    ? "sac"
                          : asterix.cat062.isSet() && asterix.sicSite < 0 ? "sic_site"
                                                                          : nullptr;
    if (missing) {
        error = QStringLiteral("%1: [asterix] %2: missing; the records name their source by it")
                    .arg(section.line)
                    .arg(QLatin1String(missing));
        return false;
    }
    return true;
}

KeyTable cotKeys(CotConfig& cot)
{
    const KeyTable keys{
        {QStringLiteral("destination"), destinationHandler(cot.destination)},
        {QStringLiteral("rate"),
         numberHandler(cot.ratePerS, minCotRatePerS, maxCotRatePerS, "rounds per second")},
    };
    return keys;
}

bool parseCot(const Section& section, CotConfig& cot, QString& error)
{
    cot.enabled = true;
    return applySection(section, cotKeys(cot), error);
}

constexpr int maxRetentionDays = 36600; // a hundred years
// [history] max_size, GB (10^9 bytes): from a megabyte to a hundred terabytes.
constexpr double minHistoryGB = 0.001;
constexpr double maxHistoryGB = 100000.0;
constexpr double bytesPerGB = 1e9;

// true or false, as written; nothing else.
KeyHandler switchHandler(bool& field)
{
    return [&field](const QString& v) {
        if (v != QLatin1String("true") && v != QLatin1String("false"))
            return QStringLiteral("'%1' is neither true nor false").arg(v);
        field = v == QLatin1String("true");
        return QString();
    };
}

KeyTable historyKeys(HistoryConfig& history, const QDir& base)
{
    const KeyTable keys{
        {QStringLiteral("database"),
         [&](const QString& v) {
             if (v.isEmpty())
                 return QStringLiteral("empty; leave the key out for <site name>.sqlite");
             history.database = v.startsWith(QLatin1String("postgresql://")) ||
                                        v.startsWith(QLatin1String("postgres://"))
                                    ? v
                                    : QDir::cleanPath(base.absoluteFilePath(v));
             history.databaseGiven = true;
             return QString();
         }},
        {QStringLiteral("enabled"), switchHandler(history.enabled)},
        {QStringLiteral("max_size"),
         numberHandler(history.maxSizeGB, minHistoryGB, maxHistoryGB, "GB")},
        {QStringLiteral("retention_days"),
         [&](const QString& v) {
             bool ok = false;
             const int days = v.toInt(&ok);
             if (!ok || days < 1 || days > maxRetentionDays)
                 return QStringLiteral("'%1' is not a number of days from 1 to %2")
                     .arg(v)
                     .arg(maxRetentionDays);
             history.retentionDays = days;
             return QString();
         }},
    };
    return keys;
}

bool parseHistory(const Section& section, const QDir& base, HistoryConfig& history, QString& error)
{
    return applySection(section, historyKeys(history, base), error);
}

constexpr int maxSessionHours = 8760; // a year

KeyTable httpKeys(HttpConfig& http, const QDir& base)
{
    const KeyTable keys{
        {QStringLiteral("listen"), destinationHandler(http.listen)},
        // Made by sited --add-user when missing; refused when others may read it.
        {QStringLiteral("users_file"),
         [&](const QString& v) {
             if (v.isEmpty())
                 return QStringLiteral("empty; leave the key out for no logins");
             QString why;
             http.usersFile = filePath(v, base, why);
             if (http.usersFile.isEmpty())
                 return why;
             const QFileInfo info(http.usersFile);
             if (info.exists() && !info.isFile())
                 return QStringLiteral("not a regular file: %1").arg(http.usersFile);
             return info.exists() ? privateFileProblem(http.usersFile) : QString();
         }},
        {QStringLiteral("session_hours"),
         [&](const QString& v) {
             bool ok = false;
             const int hours = v.toInt(&ok);
             if (!ok || hours < 1 || hours > maxSessionHours)
                 return QStringLiteral("'%1' is not a number of hours from 1 to %2")
                     .arg(v)
                     .arg(maxSessionHours);
             http.sessionHours = hours;
             return QString();
         }},
        {QStringLiteral("web_root"),
         [&](const QString& v) {
             http.webRoot = QDir::cleanPath(base.absoluteFilePath(v));
             if (v.isEmpty())
                 return QStringLiteral("empty; leave the key out for sited's own");
             if (!QFileInfo(http.webRoot).isDir())
                 return QStringLiteral("no such folder: %1").arg(http.webRoot);
             return QString();
         }},
        {QStringLiteral("cert_file"), fileHandler(http.certFile, base)},
        {QStringLiteral("key_file"), fileHandler(http.keyFile, base)},
    };
    return keys;
}

// A server listens on one host's address: a multicast group is refused.
bool checkListen(const Section& section, const QString& key, const Destination& listen,
                 QString& error)
{
    if (!listen.address.isMulticast())
        return true;
    error = QStringLiteral("%1: [%2] %3: '%4' is a multicast group; give one host's address")
                .arg(lineOf(section, key))
                .arg(section.name, key, listen.address.toString());
    return false;
}

QString sslReason();
int noPassphrase(char*, int, int, void*);

// Loads the HTTPS server's certificate chain and key as the server does;
// an empty string when they load and belong together.
QString serverTlsProblem(const HttpConfig& http, const char*& key)
{
    ERR_clear_error();
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(
        SSL_CTX_new(TLS_server_method()), &SSL_CTX_free);
    key = "cert_file";
    if (!context)
        return QStringLiteral("cannot set up TLS: %1").arg(sslReason());
    SSL_CTX_set_default_passwd_cb(context.get(), noPassphrase);
    if (SSL_CTX_use_certificate_chain_file(context.get(),
                                           QFile::encodeName(http.certFile).constData()) != 1)
        return QStringLiteral("%1 holds no certificate in PEM form (%2)")
            .arg(http.certFile, sslReason());
    key = "key_file";
    const std::unique_ptr<BIO, decltype(&BIO_free)> file(
        BIO_new_file(QFile::encodeName(http.keyFile).constData(), "r"), &BIO_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> privateKey(
        file ? PEM_read_bio_PrivateKey(file.get(), nullptr, noPassphrase, nullptr) : nullptr,
        &EVP_PKEY_free);
    if (!privateKey)
        return QStringLiteral("%1 holds no private key in PEM form without a passphrase (%2)")
            .arg(http.keyFile, sslReason());
    if (X509_check_private_key(SSL_CTX_get0_certificate(context.get()), privateKey.get()) != 1)
        return QStringLiteral("%1 is not the key of the certificate in cert_file (%2)")
            .arg(http.keyFile, sslReason());
    return QString();
}

bool parseHttp(const Section& section, const QDir& base, HttpConfig& http, QString& error)
{
    if (!applySection(section, httpKeys(http, base), error) ||
        !checkListen(section, QStringLiteral("listen"), http.listen, error))
        return false;
    if (http.certFile.isEmpty() != http.keyFile.isEmpty()) {
        const QString given =
            http.certFile.isEmpty() ? QStringLiteral("key_file") : QStringLiteral("cert_file");
        const QString missing =
            http.certFile.isEmpty() ? QStringLiteral("cert_file") : QStringLiteral("key_file");
        error = QStringLiteral("%1: [http] %2: needs %3; HTTPS takes both")
                    .arg(lineOf(section, given))
                    .arg(given, missing);
        return false;
    }
    const char* tlsKey = nullptr;
    const QString tls = http.certFile.isEmpty() ? QString() : serverTlsProblem(http, tlsKey);
    if (!tls.isEmpty()) {
        error = QStringLiteral("%1: [http] %2: %3")
                    .arg(lineOf(section, QLatin1String(tlsKey)))
                    .arg(QLatin1String(tlsKey), tls);
        return false;
    }
    return true;
}

KeyTable trackdKeys(TrackdConfig& trackd)
{
    const KeyTable keys{
        {QStringLiteral("metrics_listen"), destinationHandler(trackd.metricsListen)}};
    return keys;
}

bool parseTrackd(const Section& section, TrackdConfig& trackd, QString& error)
{
    const QString metricsListen = QStringLiteral("metrics_listen");
    if (!applySection(section, trackdKeys(trackd), error) ||
        !checkListen(section, metricsListen, trackd.metricsListen, error))
        return false;
    // Debian's civetweb, which serves trackd's /metrics, is built without IPv6.
    if (trackd.metricsListen.isSet() &&
        trackd.metricsListen.address.protocol() != QAbstractSocket::IPv4Protocol) {
        error = QStringLiteral("%1: [trackd] metrics_listen: '%2' is IPv6; give an IPv4 address")
                    .arg(lineOf(section, metricsListen))
                    .arg(trackd.metricsListen.address.toString());
        return false;
    }
    return true;
}

// Every radar has a code of its own when its targets go out as ASTERIX,
// and the site service's code is none of theirs.
bool checkSics(const QVector<Section>& radarSections, const QVector<RadarEntry>& radars,
               const Section* asterixSection, const AsterixConfig& asterix, QString& error)
{
    const auto fail = [&](int i, const QString& why) {
        error = QStringLiteral("%1: [%2] sic: %3")
                    .arg(lineOf(radarSections[i], QStringLiteral("sic")))
                    .arg(radarSections[i].name, why);
        return false;
    };
    for (int j = 0; j < radars.size(); ++j) {
        if (radars[j].sic < 0) {
            if (asterix.cat010.isSet())
                return fail(j, QStringLiteral("missing; [asterix] cat010 (line %1) sends "
                                              "every radar's targets under its own sic")
                                   .arg(lineOf(*asterixSection, QStringLiteral("cat010"))));
            continue;
        }
        for (int i = 0; i < j; ++i) {
            if (radars[i].sic == radars[j].sic)
                return fail(j, QStringLiteral("%1 is radar %2's already; each radar has a sic "
                                              "of its own")
                                   .arg(radars[j].sic)
                                   .arg(radars[i].name));
        }
        if (radars[j].sic == asterix.sicSite)
            return fail(j, QStringLiteral("%1 is [asterix] sic_site's (line %2); the site "
                                          "service has a sic of its own")
                               .arg(radars[j].sic)
                               .arg(lineOf(*asterixSection, QStringLiteral("sic_site"))));
    }
    return true;
}

// [fusion] align_anchor as written: a radar's name, checked once every
// radar is read.
KeyTable fusionKeys(FusionConfig& fusion, QString& anchor)
{
    const KeyTable keys{
        {QStringLiteral("rate"),
         numberHandler(fusion.ratePerS, minRatePerS, maxRatePerS, "pictures per second")},
        {QStringLiteral("gate"), numberHandler(fusion.gateM, minGateM, maxGateM, "metres")},
        {QStringLiteral("coast"), numberHandler(fusion.coastS, 0.0, maxCoastS, "seconds")},
        {QStringLiteral("align"),
         [&](const QString& v) {
             for (const AlignMode mode : {AlignMode::Off, AlignMode::Report, AlignMode::Apply}) {
                 if (v == QLatin1String(alignModeName(mode))) {
                     fusion.align = mode;
                     return QString();
                 }
             }
             return QStringLiteral("'%1' is none of off, report and apply").arg(v);
         }},
        {QStringLiteral("align_anchor"),
         [&](const QString& v) {
             anchor = v;
             return v.isEmpty() ? QStringLiteral("empty; leave the key out for the radars' "
                                                 "consensus")
                                : QString();
         }},
    };
    return keys;
}

// The radar that [fusion] align_anchor names, once every radar is read.
bool findAnchor(const Section& section, const QString& anchor, SiteConfig& config, QString& error)
{
    for (int i = 0; i < config.radars.size(); ++i) {
        if (config.radars[i].name == anchor) {
            config.fusion.alignAnchor = i;
            return true;
        }
    }
    error = QStringLiteral("%1: [fusion] align_anchor: '%2' is no radar of the file")
                .arg(lineOf(section, QStringLiteral("align_anchor")))
                .arg(anchor);
    return false;
}

KeyTable classesKeys(ClassesConfig& classes, const QDir& base)
{
    const KeyTable keys{
        {QStringLiteral("threshold"),
         numberHandler(classes.threshold, minClassThreshold, maxClassThreshold, "probability")},
        {QStringLiteral("model"), fileHandler(classes.model, base)},
    };
    return keys;
}

// OpenSSL's reason for the last failure, and its queue emptied.
QString sslReason()
{
    const char* reason = ERR_reason_error_string(ERR_peek_last_error());
    ERR_clear_error();
    return reason ? QString::fromLatin1(reason) : QStringLiteral("no reason given");
}

// A key under a passphrase is refused rather than asked for on a terminal
// that a service does not have.
int noPassphrase(char*, int, int, void*)
{
    return 0;
}

// Loads the TLS files as libmosquitto does when it connects: the
// authorities' certificates, the client's certificate chain, and its key,
// which must belong to that certificate. An empty string when they load.
QString tlsProblem(const BrokerConfig& broker, const char*& key)
{
    if (broker.caFile.isEmpty())
        return QString();
    ERR_clear_error();
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(
        SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
    key = "ca_file";
    if (!context)
        return QStringLiteral("cannot set up TLS: %1").arg(sslReason());
    SSL_CTX_set_default_passwd_cb(context.get(), noPassphrase);
    if (SSL_CTX_load_verify_locations(context.get(), QFile::encodeName(broker.caFile).constData(),
                                      nullptr) != 1)
        return QStringLiteral("%1 holds no certificate in PEM form (%2)")
            .arg(broker.caFile, sslReason());
    if (broker.certFile.isEmpty())
        return QString();
    key = "cert_file";
    if (SSL_CTX_use_certificate_chain_file(context.get(),
                                           QFile::encodeName(broker.certFile).constData()) != 1)
        return QStringLiteral("%1 holds no certificate in PEM form (%2)")
            .arg(broker.certFile, sslReason());
    key = "key_file";
    const std::unique_ptr<BIO, decltype(&BIO_free)> file(
        BIO_new_file(QFile::encodeName(broker.keyFile).constData(), "r"), &BIO_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> privateKey(
        file ? PEM_read_bio_PrivateKey(file.get(), nullptr, noPassphrase, nullptr) : nullptr,
        &EVP_PKEY_free);
    if (!privateKey)
        return QStringLiteral("%1 holds no private key in PEM form without a passphrase (%2)")
            .arg(broker.keyFile, sslReason());
    if (X509_check_private_key(SSL_CTX_get0_certificate(context.get()), privateKey.get()) != 1)
        return QStringLiteral("%1 is not the key of the certificate in cert_file (%2)")
            .arg(broker.keyFile, sslReason());
    return QString();
}

// A password file that others may change is refused; one they may read
// is used with a warning, as the broker does with its own files.
QString passwordFileProblem(const QString& path, const QString& section, const QString& key,
                            QStringList& warnings, int line)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QString(); // readable a moment ago: the read below says what is wrong
    const QString mode =
        QString::number(info.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0'));
    if (info.st_mode & S_IWOTH)
        return QStringLiteral("%1 is writable by others (mode %2): chmod o-w it").arg(path, mode);
    if (info.st_mode & S_IROTH)
        warnings << QStringLiteral("%1: [%2] %3: %4 is readable by others (mode %5): chmod "
                                   "o-r it")
                        .arg(line)
                        .arg(section, key, path, mode);
    return QString();
}

// The password of a password file: its first line. False with the error
// when others may change the file.
bool readPassword(const Section& section, const QString& key, const QString& path,
                  QByteArray& password, QStringList& warnings, QString& error)
{
    if (path.isEmpty())
        return true;
    const int line = lineOf(section, key);
    const QString problem = passwordFileProblem(path, section.name, key, warnings, line);
    if (!problem.isEmpty()) {
        error = QStringLiteral("%1: [%2] %3: %4").arg(line).arg(section.name, key, problem);
        return false;
    }
    QFile file(path);
    file.open(QIODevice::ReadOnly); // readable: checked when the key was read
    password = file.readLine();
    while (password.endsWith('\n') || password.endsWith('\r'))
        password.chop(1);
    return true;
}

KeyTable brokerKeys(BrokerConfig& broker, const QDir& base)
{
    const KeyTable keys{
        {QStringLiteral("host"),
         [&](const QString& v) {
             broker.host = v;
             return notHost(v);
         }},
        {QStringLiteral("port"), portHandler(broker.port)},
        {QStringLiteral("client_id"),
         [&](const QString& v) {
             broker.clientId = v;
             return isTopicSafe(v) ? QString() : notTopicSafe(v);
         }},
        {QStringLiteral("username"), usernameHandler(broker.username)},
        {QStringLiteral("password_file"), fileHandler(broker.passwordFile, base)},
        {QStringLiteral("sited_username"), usernameHandler(broker.sitedUsername)},
        {QStringLiteral("sited_password_file"), fileHandler(broker.sitedPasswordFile, base)},
        {QStringLiteral("ca_file"), fileHandler(broker.caFile, base)},
        {QStringLiteral("cert_file"), fileHandler(broker.certFile, base)},
        {QStringLiteral("key_file"), fileHandler(broker.keyFile, base)},
    };
    return keys;
}

bool parseBroker(const Section& section, const QDir& base, BrokerConfig& broker,
                 QStringList& warnings, QString& error)
{
    if (!applySection(section, brokerKeys(broker, base), error))
        return false;
    // What needs what else.
    const struct
    {
        const char* key;
        bool wrong;
        const char* why;
    } rules[]{
        {"client_id", !hasKey(section, QStringLiteral("client_id")),
         "missing; each radar connects as <client_id>-<radar>"},
        {"password_file", !broker.passwordFile.isEmpty() && broker.username.isEmpty(),
         "needs username"},
        {"sited_password_file",
         !broker.sitedPasswordFile.isEmpty() && broker.sitedUsername.isEmpty(),
         "needs sited_username"},
        {"cert_file", broker.certFile.isEmpty() != broker.keyFile.isEmpty(),
         "cert_file and key_file go together"},
        {"cert_file", !broker.certFile.isEmpty() && broker.caFile.isEmpty(),
         "needs ca_file: a client certificate is for TLS"},
    };
    for (const auto& rule : rules) {
        if (rule.wrong) {
            const QString key = QLatin1String(rule.key);
            error = QStringLiteral("%1: [broker] %2: %3")
                        .arg(lineOf(section, key))
                        .arg(key, QLatin1String(rule.why));
            return false;
        }
    }
    const char* tlsKey = nullptr;
    const QString tls = tlsProblem(broker, tlsKey);
    if (!tls.isEmpty()) {
        error = QStringLiteral("%1: [broker] %2: %3")
                    .arg(lineOf(section, QLatin1String(tlsKey)))
                    .arg(QLatin1String(tlsKey), tls);
        return false;
    }
    return readPassword(section, QStringLiteral("password_file"), broker.passwordFile,
                        broker.password, warnings, error) &&
           readPassword(section, QStringLiteral("sited_password_file"), broker.sitedPasswordFile,
                        broker.sitedPassword, warnings, error);
}

KeyTable radarKeys(RadarEntry& radar)
{
    const KeyTable keys{
        {QStringLiteral("bind_address"), addressHandler(radar.bindAddress)},
        {QStringLiteral("port"), portHandler(radar.port)},
        {QStringLiteral("radar_address"), unicastHandler(radar.radarAddress)},
        {QStringLiteral("tilt"), mountingHandler(radar.mounting, QStringLiteral("tilt"))},
        {QStringLiteral("pan"), mountingHandler(radar.mounting, QStringLiteral("pan"))},
        {QStringLiteral("height"), mountingHandler(radar.mounting, QStringLiteral("height"))},
        {QStringLiteral("pan_offset"),
         mountingHandler(radar.mounting, QStringLiteral("pan-offset"))},
        {QStringLiteral("orientation"),
         mountingHandler(radar.mounting, QStringLiteral("orientation"))},
        {QStringLiteral("x"), numberHandler(radar.placement.x, -maxPlaceM, maxPlaceM, "metres")},
        {QStringLiteral("y"), numberHandler(radar.placement.y, -maxPlaceM, maxPlaceM, "metres")},
        {QStringLiteral("heading"),
         numberHandler(radar.placement.headingDeg, -maxHeadingDeg, maxHeadingDeg, "degrees")},
        {QStringLiteral("sic"), codeHandler(radar.sic)},
        {QStringLiteral("range_offset"),
         numberHandler(radar.rangeOffsetM, -maxRangeOffsetM, maxRangeOffsetM, "metres")},
    };
    return keys;
}

bool parseRadar(const Section& section, RadarEntry& radar, QString& error)
{
    radar.name = section.name.mid(radarPrefix.size());
    radar.line = section.line;
    if (!isTopicSafe(radar.name)) {
        error = QStringLiteral("%1: [%2]: the radar's name %3")
                    .arg(section.line)
                    .arg(section.name, notTopicSafe(radar.name));
        return false;
    }
    if (isReservedRadarName(radar.name)) {
        error = QStringLiteral("%1: [%2]: the radar's name '%3' is reserved for the site's own "
                               "topics; choose another")
                    .arg(section.line)
                    .arg(section.name, radar.name);
        return false;
    }
    return applySection(section, radarKeys(radar), error);
}

// An ONVIF device service's address: http or https, a host, a path.
KeyHandler deviceAddressHandler(QString& address)
{
    return [&address](const QString& v) {
        const QUrl url(v, QUrl::StrictMode);
        const QString scheme = url.scheme();
        if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
            return QStringLiteral("'%1' is not an http:// or https:// address of the camera's "
                                  "device service (http://HOST[:PORT]/onvif/device_service)")
                .arg(v);
        if (url.host().isEmpty())
            return QStringLiteral("'%1' names no host").arg(v);
        address = v;
        return QString();
    };
}

KeyTable cameraKeys(CameraEntry& camera, const QDir& base)
{
    const KeyTable keys{
        {QStringLiteral("x"), numberHandler(camera.xM, -maxPlaceM, maxPlaceM, "metres")},
        {QStringLiteral("y"), numberHandler(camera.yM, -maxPlaceM, maxPlaceM, "metres")},
        {QStringLiteral("height"),
         numberHandler(camera.heightM, minCameraHeightM, maxCameraHeightM, "metres")},
        {QStringLiteral("heading"),
         numberHandler(camera.headingDeg, -maxHeadingDeg, maxHeadingDeg, "degrees")},
        {QStringLiteral("tilt_offset"),
         numberHandler(camera.tiltOffsetDeg, -maxTiltOffsetDeg, maxTiltOffsetDeg, "degrees")},
        {QStringLiteral("address"), deviceAddressHandler(camera.address)},
        {QStringLiteral("profile"), usernameHandler(camera.profile)},
        {QStringLiteral("username"), usernameHandler(camera.username)},
        {QStringLiteral("password_file"), fileHandler(camera.passwordFile, base)},
        {QStringLiteral("fov_wide"),
         numberHandler(camera.wideFovDeg, minFovDeg, maxFovDeg, "degrees")},
        {QStringLiteral("fov_narrow"),
         numberHandler(camera.narrowFovDeg, minFovDeg, maxFovDeg, "degrees")},
        {QStringLiteral("pan_speed"), numberHandler(camera.panSpeedDegPerS, minSlewDegPerS,
                                                    maxSlewDegPerS, "degrees per second")},
        {QStringLiteral("tilt_speed"), numberHandler(camera.tiltSpeedDegPerS, minSlewDegPerS,
                                                     maxSlewDegPerS, "degrees per second")},
        {QStringLiteral("pan_min"),
         numberHandler(camera.panMinDeg, -maxPanRangeDeg, maxPanRangeDeg, "degrees")},
        {QStringLiteral("pan_max"),
         numberHandler(camera.panMaxDeg, -maxPanRangeDeg, maxPanRangeDeg, "degrees")},
        {QStringLiteral("tilt_min"),
         numberHandler(camera.tiltMinDeg, -maxTiltRangeDeg, maxTiltRangeDeg, "degrees")},
        {QStringLiteral("tilt_max"),
         numberHandler(camera.tiltMaxDeg, -maxTiltRangeDeg, maxTiltRangeDeg, "degrees")},
        {QStringLiteral("home_pan"),
         numberHandler(camera.homePanDeg, -maxPanRangeDeg, maxPanRangeDeg, "degrees")},
        {QStringLiteral("home_tilt"),
         numberHandler(camera.homeTiltDeg, -maxTiltRangeDeg, maxTiltRangeDeg, "degrees")},
        {QStringLiteral("reach"),
         numberHandler(camera.reachM, minCameraReachM, maxCameraReachM, "metres")},
        {QStringLiteral("fill"), numberHandler(camera.fill, minFill, maxFill, "the view's width")},
        {QStringLiteral("latency"),
         numberHandler(camera.latencyS, 0.0, maxCameraLatencyS, "seconds")},
        {QStringLiteral("home_after"),
         numberHandler(camera.homeAfterS, 0.0, maxHomeAfterS, "seconds")},
    };
    return keys;
}

bool parseCamera(const Section& section, const QDir& base, CameraEntry& camera,
                 QStringList& warnings, QString& error)
{
    camera.name = section.name.mid(cameraPrefix.size());
    camera.line = section.line;
    if (!isTopicSafe(camera.name)) {
        error = QStringLiteral("%1: [%2]: the camera's name %3")
                    .arg(section.line)
                    .arg(section.name, notTopicSafe(camera.name));
        return false;
    }
    if (!applySection(section, cameraKeys(camera, base), error))
        return false;
    // What needs what else, and ranges that must lie the right way round.
    const auto within = [](double v, double least, double greatest) {
        return v >= least && v <= greatest;
    };
    const struct
    {
        const char* key;
        bool wrong;
        QString why;
    } rules[]{
        {"address", camera.address.isEmpty(),
         QStringLiteral("missing; the camera's ONVIF device service, "
                        "http://HOST[:PORT]/onvif/device_service")},
        {"password_file", !camera.passwordFile.isEmpty() && camera.username.isEmpty(),
         QStringLiteral("needs username")},
        {"fov_narrow", camera.narrowFovDeg > camera.wideFovDeg,
         QStringLiteral("%1 degrees is wider than fov_wide (%2)")
             .arg(camera.narrowFovDeg)
             .arg(camera.wideFovDeg)},
        {"pan_max", camera.panMaxDeg <= camera.panMinDeg,
         QStringLiteral("%1 is not above pan_min (%2)")
             .arg(camera.panMaxDeg)
             .arg(camera.panMinDeg)},
        {"pan_max", camera.panMaxDeg - camera.panMinDeg > maxPanRangeDeg,
         QStringLiteral("pan_min to pan_max spans %1 degrees, more than one turn")
             .arg(camera.panMaxDeg - camera.panMinDeg)},
        {"tilt_max", camera.tiltMaxDeg <= camera.tiltMinDeg,
         QStringLiteral("%1 is not above tilt_min (%2)")
             .arg(camera.tiltMaxDeg)
             .arg(camera.tiltMinDeg)},
        {"home_pan", !within(camera.homePanDeg, camera.panMinDeg, camera.panMaxDeg),
         QStringLiteral("%1 lies outside pan_min to pan_max (%2 to %3)")
             .arg(camera.homePanDeg)
             .arg(camera.panMinDeg)
             .arg(camera.panMaxDeg)},
        {"home_tilt", !within(camera.homeTiltDeg, camera.tiltMinDeg, camera.tiltMaxDeg),
         QStringLiteral("%1 lies outside tilt_min to tilt_max (%2 to %3)")
             .arg(camera.homeTiltDeg)
             .arg(camera.tiltMinDeg)
             .arg(camera.tiltMaxDeg)},
    };
    for (const auto& rule : rules) {
        if (rule.wrong) {
            const QString key = QLatin1String(rule.key);
            error = QStringLiteral("%1: [%2] %3: %4")
                        .arg(lineOf(section, key))
                        .arg(section.name, key, rule.why);
            return false;
        }
    }
    return readPassword(section, QStringLiteral("password_file"), camera.passwordFile,
                        camera.password, warnings, error);
}

// Radars on one port must either share a bind address, and be told apart
// by their radar addresses, or bind addresses that do not overlap: the
// kernel gives each datagram to one socket only.
bool checkSockets(const QVector<Section>& radarSections, const QVector<RadarEntry>& radars,
                  QString& error)
{
    const auto fail = [&](int i, const char* key, const QString& why) {
        error = QStringLiteral("%1: [%2] %3: %4")
                    .arg(lineOf(radarSections[i], QLatin1String(key)))
                    .arg(radarSections[i].name, QLatin1String(key), why);
        return false;
    };
    for (int j = 1; j < radars.size(); ++j) {
        const RadarEntry& b = radars[j];
        for (int i = 0; i < j; ++i) {
            const RadarEntry& a = radars[i];
            if (a.port != b.port)
                continue;
            if (a.bindAddress != b.bindAddress) {
                // 0.0.0.0 and :: given are every interface too.
                const auto everyInterface = [](const QHostAddress& address) {
                    return address.isNull() || isUnspecified(address);
                };
                if (everyInterface(a.bindAddress) || everyInterface(b.bindAddress))
                    return fail(j, "bind_address",
                                QStringLiteral("overlaps radar %1's socket (%2); radars on one "
                                               "port share one bind_address or bind distinct ones")
                                    .arg(a.name, describeSocket(a)));
                continue;
            }
            const int lacking = a.radarAddress.isNull() ? i : b.radarAddress.isNull() ? j : -1;
            if (lacking >= 0)
                return fail(lacking, "radar_address",
                            QStringLiteral("needed: radars %1 and %2 share a socket (%3) and are "
                                           "told apart by their addresses")
                                .arg(a.name, b.name, describeSocket(a)));
            if (a.radarAddress.isEqual(b.radarAddress, QHostAddress::TolerantConversion))
                return fail(j, "radar_address",
                            QStringLiteral("%1 is radar %2's already, on the same socket (%3)")
                                .arg(b.radarAddress.toString(), a.name, describeSocket(a)));
        }
    }
    return true;
}

// [zones] file: the site's zones and lines, a GeoJSON file read by the
// site's service; their positions need the site's origin.
KeyTable zonesKeys(SiteConfig& config, const QDir& base)
{
    const KeyTable keys{{QStringLiteral("file"), fileHandler(config.zonesFile, base)}};
    return keys;
}

bool parseZonesSection(const Section& section, const QDir& base, SiteConfig& config, QString& error)
{
    if (!applySection(section, zonesKeys(config, base), error))
        return false;
    if (!hasKey(section, QStringLiteral("file"))) {
        error = QStringLiteral("%1: [zones] file: missing; leave the section out for no zones")
                    .arg(section.line);
        return false;
    }
    if (!config.origin) {
        error = QStringLiteral("%1: [zones] file: the site has no origin; zones need [site] "
                               "latitude, longitude and altitude")
                    .arg(section.line);
        return false;
    }
    return true;
}

// [map]: the site's own map under the site view, an MBTiles file or a
// plan placed by three of its corners. The files are sited's to open
// (tools/sited/history/basemap.h): one missing at start leaves the page
// without its map rather than the site without its service.
KeyHandler mapFileHandler(QString& path, const QDir& base)
{
    return [&path, base](const QString& v) {
        if (v.isEmpty())
            return QStringLiteral("empty; leave the section out for no map");
        QString why;
        path = filePath(v, base, why);
        return why;
    };
}

// "LAT,LON" in degrees.
KeyHandler cornerHandler(GeoPoint& corner)
{
    return [&corner](const QString& v) {
        const QStringList parts = v.split(QLatin1Char(','));
        bool latOk = false;
        bool lonOk = false;
        const double lat = parts.value(0).trimmed().toDouble(&latOk);
        const double lon = parts.value(1).trimmed().toDouble(&lonOk);
        if (parts.size() != 2 || !latOk || !lonOk || !std::isfinite(lat) || !std::isfinite(lon) ||
            std::abs(lat) > maxLatitudeDeg || std::abs(lon) > maxLongitudeDeg)
            return QStringLiteral("'%1' is not LAT,LON in degrees (latitude -90 to 90, longitude "
                                  "-180 to 180)")
                .arg(v);
        corner = {lat, lon};
        return QString();
    };
}

KeyTable mapKeys(MapConfig& map, const QDir& base)
{
    const KeyTable keys{
        {QStringLiteral("mbtiles"), mapFileHandler(map.mbtiles, base)},
        {QStringLiteral("plan"), mapFileHandler(map.plan, base)},
        {QStringLiteral("plan_top_left"), cornerHandler(map.topLeft)},
        {QStringLiteral("plan_top_right"), cornerHandler(map.topRight)},
        {QStringLiteral("plan_bottom_left"), cornerHandler(map.bottomLeft)},
    };
    return keys;
}

// The least area of a plan's placement (m²): three corners closer to one
// line are a typo.
constexpr double minPlanAreaM2 = 1.0;

// A plan's corners: near the origin, not on one line, and not mirrored
// (from the top-left, the top-right lies clockwise of the bottom-left as
// seen from above, as on the plan).
QString planPlacementProblem(const MapConfig& map, const Origin& origin, const char*& key)
{
    const GeoReference geo(origin);
    const std::pair<const char*, GeoPoint> corners[]{{"plan_top_left", map.topLeft},
                                                     {"plan_top_right", map.topRight},
                                                     {"plan_bottom_left", map.bottomLeft}};
    SitePoint at[3];
    for (int i = 0; i < 3; ++i) {
        key = corners[i].first;
        at[i] = geo.toSitePlane(corners[i].second.latitudeDeg, corners[i].second.longitudeDeg);
        if (std::abs(at[i].xM) > maxPlaceM || std::abs(at[i].yM) > maxPlaceM)
            return QStringLiteral("more than %1 km east or north of the site's origin")
                .arg(maxPlaceM / 1000);
    }
    key = "plan_bottom_left";
    const double right[2]{at[1].xM - at[0].xM, at[1].yM - at[0].yM};
    const double down[2]{at[2].xM - at[0].xM, at[2].yM - at[0].yM};
    const double cross = right[0] * down[1] - right[1] * down[0];
    if (std::abs(cross) < minPlanAreaM2)
        return QStringLiteral("the three corners lie on one line");
    if (cross > 0)
        return QStringLiteral("the corners place the plan mirrored: are plan_top_right and "
                              "plan_bottom_left swapped?");
    return QString();
}

bool parseMapSection(const Section& section, const QDir& base, SiteConfig& config, QString& error)
{
    MapConfig& map = config.map;
    if (!applySection(section, mapKeys(map, base), error))
        return false;
    const auto fail = [&](const char* key, const QString& why) {
        error = QStringLiteral("%1: [map] %2: %3")
                    .arg(lineOf(section, QLatin1String(key)))
                    .arg(QLatin1String(key), why);
        return false;
    };
    const bool tiles = hasKey(section, QStringLiteral("mbtiles"));
    const bool plan = hasKey(section, QStringLiteral("plan"));
    if (tiles == plan)
        return fail(tiles ? "plan" : "mbtiles",
                    tiles ? QStringLiteral("give mbtiles or plan, not both")
                          : QStringLiteral("missing; give mbtiles or plan, or leave the section "
                                           "out for no map"));
    for (const char* corner : {"plan_top_left", "plan_top_right", "plan_bottom_left"}) {
        const bool given = hasKey(section, QLatin1String(corner));
        if (plan && !given)
            return fail(corner, QStringLiteral("missing; a plan is placed by plan_top_left, "
                                               "plan_top_right and plan_bottom_left"));
        if (tiles && given)
            return fail(corner, QStringLiteral("for a plan; an MBTiles file places its tiles "
                                               "itself"));
    }
    map.line = lineOf(section, tiles ? QStringLiteral("mbtiles") : QStringLiteral("plan"));
    if (!config.origin)
        return fail(tiles ? "mbtiles" : "plan",
                    QStringLiteral("the site has no origin; a map needs [site] latitude, "
                                   "longitude and altitude"));
    const char* key = nullptr;
    const QString placement = plan ? planPlacementProblem(map, *config.origin, key) : QString();
    return placement.isEmpty() || fail(key, placement);
}

} // namespace

const char* alignModeName(AlignMode mode)
{
    switch (mode) {
    case AlignMode::Off:
        return "off";
    case AlignMode::Report:
        return "report";
    case AlignMode::Apply:
        break;
    }
    return "apply";
}

QByteArray SiteConfig::topic(const RadarEntry& radar, const char* leaf) const
{
    return QStringLiteral("%1/%2/%3/%4")
        .arg(prefix, name, radar.name, QLatin1String(leaf))
        .toUtf8();
}

std::int64_t HistoryConfig::maxSizeBytes() const
{
    return std::llround(maxSizeGB * bytesPerGB);
}

BrokerConfig sitedBroker(const BrokerConfig& broker)
{
    BrokerConfig sited = broker;
    if (!broker.sitedUsername.isEmpty()) {
        sited.username = broker.sitedUsername;
        sited.passwordFile = broker.sitedPasswordFile;
        sited.password = broker.sitedPassword;
    }
    return sited;
}

QString describeSocket(const RadarEntry& radar)
{
    return QStringLiteral("%1 port %2")
        .arg(radar.bindAddress.isNull() ? QStringLiteral("every interface")
                                        : radar.bindAddress.toString())
        .arg(radar.port);
}

QVector<SiteConfigKey> siteConfigKeys()
{
    SiteConfig config;
    Origin origin;
    RadarEntry radar;
    CameraEntry camera;
    QString anchor;
    const QDir base;
    const std::pair<const char*, KeyTable> sections[]{
        {"site", siteKeys(config, origin)},
        {"broker", brokerKeys(config.broker, base)},
        {"fusion", fusionKeys(config.fusion, anchor)},
        {"classes", classesKeys(config.classes, base)}, // sited's alone
        {"zones", zonesKeys(config, base)},
        {"asterix", asterixKeys(config.asterix)},
        {"cot", cotKeys(config.cot)},
        {"history", historyKeys(config.history, base)},
        {"http", httpKeys(config.http, base)},
        {"map", mapKeys(config.map, base)},
        {"trackd", trackdKeys(config.trackd)},
        {"radar.NAME", radarKeys(radar)},
        {"camera.NAME", cameraKeys(camera, base)}, // sited's alone
    };
    QVector<SiteConfigKey> keys;
    for (const auto& [section, table] : sections) {
        for (const auto& key : table)
            keys.append({QLatin1String(section), key.first});
    }
    return keys;
}

bool parseSiteConfig(const QByteArray& text, const QString& baseDir, SiteConfig& config,
                     QString& error)
{
    config = SiteConfig();
    QVector<Section> sections;
    if (!splitSections(text, sections, error))
        return false;
    const QDir base(baseDir);
    bool haveSite = false;
    bool haveBroker = false;
    QVector<Section> radarSections;
    const Section* zones = nullptr;      // read after [site], wherever it stands
    const Section* mapSection = nullptr; // as zones
    const Section* asterixSection = nullptr;
    const Section* fusionSection = nullptr;
    QString anchor; // [fusion] align_anchor, found among the radars at the end
    for (const Section& section : qAsConst(sections)) {
        if (section.name == QLatin1String("site")) {
            haveSite = true;
            if (!parseSite(section, config, error))
                return false;
        } else if (section.name == QLatin1String("fusion")) {
            fusionSection = &section;
            if (!applySection(section, fusionKeys(config.fusion, anchor), error))
                return false;
        } else if (section.name == QLatin1String("classes")) {
            if (!applySection(section, classesKeys(config.classes, base), error))
                return false;
        } else if (section.name == QLatin1String("asterix")) {
            asterixSection = &section;
            if (!parseAsterix(section, config.asterix, error))
                return false;
        } else if (section.name == QLatin1String("cot")) {
            if (!parseCot(section, config.cot, error))
                return false;
        } else if (section.name == QLatin1String("history")) {
            if (!parseHistory(section, base, config.history, error))
                return false;
        } else if (section.name == QLatin1String("http")) {
            if (!parseHttp(section, base, config.http, error))
                return false;
        } else if (section.name == QLatin1String("trackd")) {
            if (!parseTrackd(section, config.trackd, error))
                return false;
        } else if (section.name == QLatin1String("broker")) {
            haveBroker = true;
            if (!parseBroker(section, base, config.broker, config.warnings, error))
                return false;
        } else if (section.name == QLatin1String("zones")) {
            zones = &section;
        } else if (section.name == QLatin1String("map")) {
            mapSection = &section;
        } else if (section.name.startsWith(radarPrefix)) {
            RadarEntry radar;
            if (!parseRadar(section, radar, error))
                return false;
            config.radars.append(radar);
            radarSections.append(section);
        } else if (section.name.startsWith(cameraPrefix)) {
            CameraEntry camera;
            if (!parseCamera(section, base, camera, config.warnings, error))
                return false;
            config.cameras.append(camera);
        } else {
            error = QStringLiteral("%1: [%2]: unknown section (known: [site], [broker], "
                                   "[fusion], [classes], [zones], [asterix], [cot], [history], "
                                   "[http], [map], [trackd], [radar.NAME], [camera.NAME])")
                        .arg(section.line)
                        .arg(section.name);
            return false;
        }
    }
    if (!haveSite) {
        error = QStringLiteral("[site]: missing; it names the site");
        return false;
    }
    if (zones && !parseZonesSection(*zones, base, config, error))
        return false;
    if (mapSection && !parseMapSection(*mapSection, base, config, error))
        return false;
    if (config.history.database.isEmpty())
        config.history.database = base.absoluteFilePath(config.name + QStringLiteral(".sqlite"));
    if (!haveBroker) {
        error = QStringLiteral("[broker]: missing; it names at least the client_id");
        return false;
    }
    if (config.radars.isEmpty()) {
        error = QStringLiteral("[radar.NAME]: missing; a site has at least one radar");
        return false;
    }
    if (!anchor.isEmpty() && !findAnchor(*fusionSection, anchor, config, error))
        return false;
    return checkSockets(radarSections, config.radars, error) &&
           checkSics(radarSections, config.radars, asterixSection, config.asterix, error);
}

QString privateFileProblem(const QString& path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QString(); // the read says what is wrong
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) == 0)
        return QString();
    return QStringLiteral("%1 is readable or writable by its group or others (mode %2): chmod "
                          "600 it")
        .arg(path, QString::number(info.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0')));
}

bool loadSiteConfig(const QString& path, SiteConfig& config, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    const auto located = [&path](const QString& message) {
        return QStringLiteral("%1:%2%3").arg(
            path, message.at(0).isDigit() ? QString() : QStringLiteral(" "), message);
    };
    if (!parseSiteConfig(file.readAll(), QFileInfo(path).absolutePath(), config, error)) {
        error = located(error);
        return false;
    }
    for (QString& warning : config.warnings)
        warning = located(warning);
    return true;
}

} // namespace trklib::site
