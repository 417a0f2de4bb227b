#include "tools/sited/history/zoneseditor.h"

#include "tools/sited/zones/zonemessages.h"

#include "tools/common/service/brokerclient.h"
#include "tools/common/service/jsonwriter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include <unistd.h>

namespace trklib::sited::history {

namespace {

using service::appendInteger;
using service::appendString;

Reply noZonesFile()
{
    return jsonError(404, QStringLiteral("no zones file: the site file's [zones] names none"));
}

// The segments of a path after "/api/zones/".
QStringList zonesSegments(const std::string& path)
{
    static const std::string prefix = "/api/zones/";
    if (path.rfind(prefix, 0) != 0)
        return {};
    return QString::fromStdString(path.substr(prefix.size())).split(QLatin1Char('/'));
}

bool isArmingAction(const QString& action)
{
    return action == QLatin1String("arm") || action == QLatin1String("disarm") ||
           action == QLatin1String("schedule");
}

// The greatest version number.
constexpr int maxVersion = 999999999;

// A version's number in a path: a whole number without leading zeros.
std::optional<int> versionNumber(const QString& text)
{
    static const QRegularExpression form(QStringLiteral("\\A(0|[1-9][0-9]{0,8})\\z"));
    if (!form.match(text).hasMatch())
        return std::nullopt;
    return text.toInt();
}

// A whole number from least to greatest in a JSON value.
std::optional<int> wholeNumber(const QJsonValue& value, int least, int greatest)
{
    const double n = value.toDouble();
    if (!value.isDouble() || n != std::floor(n) || n < least || n > greatest)
        return std::nullopt;
    return int(n);
}

QString isoTime(std::int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate);
}

// The zones and lines of a FeatureCollection, by their geometry.
std::pair<int, int> featureCounts(const QJsonObject& geojson)
{
    int zones = 0;
    int lines = 0;
    for (const QJsonValue& feature : geojson.value(QLatin1String("features")).toArray()) {
        const QString type = feature[QLatin1String("geometry")][QLatin1String("type")].toString();
        zones += type == QLatin1String("Polygon");
        lines += type == QLatin1String("LineString");
    }
    return {zones, lines};
}

// Writes bytes to path whole or not at all; false with one line.
bool writeWhole(const QString& path, const QByteArray& bytes, QString& why)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        why = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// Why this user may not write in folder, or empty.
QString folderFault(const QString& folder)
{
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0)
        return QString();
    const int error = errno;
    return QStringLiteral("the folder %1 is not writable by user %2: %3")
        .arg(folder)
        .arg(::geteuid())
        .arg(service::errnoText(error));
}

void appendOptionalUser(QByteArray& out, const QString& user)
{
    if (user.isEmpty())
        out.append("null");
    else
        appendString(out, user);
}

void appendOptionalTime(QByteArray& out, const std::optional<std::int64_t>& timeMs)
{
    if (timeMs)
        appendInteger(out, *timeMs);
    else
        out.append("null");
}

} // namespace

ZonesEditor::ZonesEditor(Settings settings) : settings_(std::move(settings)), geo_(settings_.origin)
{}

std::int64_t ZonesEditor::now() const
{
    return settings_.now ? settings_.now() : QDateTime::currentMSecsSinceEpoch();
}

QString ZonesEditor::unwritable() const
{
    const QString cannot = QStringLiteral("the zones cannot be saved: ");
    const QFileInfo file(settings_.file);
    QString fault = folderFault(file.absolutePath());
    if (!fault.isEmpty())
        return cannot + fault +
               QStringLiteral(" (the zones file is written through a new file there)");
    if (file.exists() && ::access(QFile::encodeName(file.filePath()).constData(), W_OK) != 0) {
        const int error = errno;
        return cannot + QStringLiteral("the file %1 is not writable by user %2: %3")
                            .arg(file.filePath())
                            .arg(::geteuid())
                            .arg(service::errnoText(error));
    }
    const QFileInfo versions(versionsFolder());
    if (versions.exists() && !versions.isDir())
        return cannot + QStringLiteral("%1 is not a folder (the versions are kept there)")
                            .arg(versions.filePath());
    if (versions.exists() && !(fault = folderFault(versions.filePath())).isEmpty())
        return cannot + fault;
    return QString();
}

// The versions kept, ascending.
QVector<int> ZonesEditor::versionNumbers() const
{
    QVector<int> numbers;
    const QStringList names =
        QDir(versionsFolder()).entryList({QStringLiteral("*.json")}, QDir::Files);
    for (const QString& name : names) {
        if (const std::optional<int> n = versionNumber(name.chopped(5)))
            numbers.append(*n);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

// Version 0 without saved versions is the file as it is.
bool ZonesEditor::readVersion(int number, Version& version, QString& why) const
{
    const bool saved = !versionNumbers().isEmpty();
    const QString path =
        saved ? QDir(versionsFolder()).filePath(QString::number(number) + QStringLiteral(".json"))
              : settings_.file;
    if (!saved && number != 0) {
        why = QStringLiteral("no version %1: none saved").arg(number);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        why = saved && !file.exists() ? QStringLiteral("no version %1").arg(number)
                                      : QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
    version = Version();
    version.version = number;
    if (!saved) {
        version.geojson = o;
    } else {
        version.user = o.value(QLatin1String("user")).toString();
        if (o.value(QLatin1String("time")).isDouble())
            version.timeMs = std::int64_t(o.value(QLatin1String("time")).toDouble());
        version.geojson = o.value(QLatin1String("geojson")).toObject();
    }
    if (version.geojson.isEmpty()) {
        why = QStringLiteral("%1: not a JSON object of GeoJSON").arg(path);
        return false;
    }
    return true;
}

Reply ZonesEditor::fileAnswer() const
{
    const QVector<int> numbers = versionNumbers();
    Version current;
    QString why;
    if (!readVersion(numbers.isEmpty() ? 0 : numbers.last(), current, why))
        return jsonError(500, why);
    // The file is what sited applies; the version says who saved it last.
    QFile file(settings_.file);
    if (!file.open(QIODevice::ReadOnly))
        return jsonError(500, QStringLiteral("%1: %2").arg(settings_.file, file.errorString()));
    const QJsonDocument geojson = QJsonDocument::fromJson(file.readAll());
    if (!geojson.isObject())
        return jsonError(500, QStringLiteral("%1: not a JSON object").arg(settings_.file));
    const QString fault = unwritable();
    Reply reply;
    reply.body = "{\"version\":";
    appendInteger(reply.body, current.version);
    reply.body.append(",\"user\":");
    appendOptionalUser(reply.body, current.user);
    reply.body.append(",\"time\":");
    appendOptionalTime(reply.body, current.timeMs);
    reply.body.append(fault.isEmpty() ? ",\"writable\":true" : ",\"writable\":false,\"why\":");
    if (!fault.isEmpty())
        appendString(reply.body, fault);
    // The page turns what it draws in site metres into the file's longitude
    // and latitude by the site's origin, as sited reads them back.
    reply.body.append(",\"origin\":{\"lat\":");
    service::appendNumber(reply.body, settings_.origin.latitudeDeg);
    reply.body.append(",\"lon\":");
    service::appendNumber(reply.body, settings_.origin.longitudeDeg);
    reply.body.append(",\"altitude\":");
    service::appendNumber(reply.body, settings_.origin.altitudeM);
    reply.body.append("},\"geojson\":");
    reply.body.append(geojson.toJson(QJsonDocument::Compact));
    reply.body.append('}');
    return reply;
}

Reply ZonesEditor::versionsAnswer() const
{
    QVector<int> numbers = versionNumbers();
    if (numbers.isEmpty())
        numbers.append(0);
    Reply reply;
    reply.body = "{\"current\":";
    appendInteger(reply.body, numbers.last());
    reply.body.append(",\"versions\":[");
    for (int i = numbers.size() - 1; i >= 0; --i) {
        Version v;
        QString why;
        if (!readVersion(numbers[i], v, why))
            continue; // a file of the folder that is no version
        const auto [zones, lines] = featureCounts(v.geojson);
        reply.body.append(reply.body.endsWith('[') ? "{\"version\":" : ",{\"version\":");
        appendInteger(reply.body, v.version);
        reply.body.append(",\"user\":");
        appendOptionalUser(reply.body, v.user);
        reply.body.append(",\"time\":");
        appendOptionalTime(reply.body, v.timeMs);
        reply.body.append(",\"zones\":");
        appendInteger(reply.body, zones);
        reply.body.append(",\"lines\":");
        appendInteger(reply.body, lines);
        reply.body.append('}');
    }
    reply.body.append("]}");
    return reply;
}

// The answer to a save from base when current is the latest version.
Reply ZonesEditor::conflict(int current, int base) const
{
    Version latest;
    QString why;
    Reply reply =
        readVersion(current, latest, why) && !latest.user.isEmpty() && latest.timeMs
            ? jsonError(409, QStringLiteral("the zones were saved by %1 at %2 (version %3) since "
                                            "version %4: load them again")
                                 .arg(latest.user, isoTime(*latest.timeMs))
                                 .arg(current)
                                 .arg(base))
            : jsonError(409, QStringLiteral("the zones are at version %1, not %2: load them again")
                                 .arg(current)
                                 .arg(base));
    reply.body.chop(1);
    reply.body.append(",\"version\":");
    appendInteger(reply.body, current);
    reply.body.append('}');
    return reply;
}

// Version next kept, then the file written (before the first save, the
// file as it is kept as version 0); the version is removed again when the
// file cannot be written.
bool ZonesEditor::write(int next, const QString& user, const QJsonObject& geojson,
                        const QByteArray& text, QString& error)
{
    if (!QDir().mkpath(versionsFolder())) {
        error = QStringLiteral("cannot make the folder %1").arg(versionsFolder());
        return false;
    }
    const auto path = [this](int n) {
        return QDir(versionsFolder()).filePath(QString::number(n) + QStringLiteral(".json"));
    };
    const auto record = [](int n, const QString& by, std::optional<std::int64_t> timeMs,
                           const QJsonObject& content) {
        const QJsonObject o{
            {QStringLiteral("version"), n},
            {QStringLiteral("user"), by.isEmpty() ? QJsonValue() : QJsonValue(by)},
            {QStringLiteral("time"), timeMs ? QJsonValue(double(*timeMs)) : QJsonValue()},
            {QStringLiteral("geojson"), content}};
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    };
    Version first;
    if (next == 1 && readVersion(0, first, error) &&
        !writeWhole(path(0), record(0, {}, std::nullopt, first.geojson), error))
        return false;
    if (!writeWhole(path(next), record(next, user, now(), geojson), error))
        return false;
    if (!writeWhole(settings_.file, text, error)) {
        QFile::remove(path(next));
        return false;
    }
    return true;
}

Reply ZonesEditor::save(const QJsonValue& baseValue, const QJsonValue& geojsonValue,
                        const QString& user)
{
    const std::optional<int> base = wholeNumber(baseValue, 0, maxVersion);
    if (!base)
        return jsonError(400, QStringLiteral("base: the version the edit began from, a whole "
                                             "number"));
    if (!geojsonValue.isObject())
        return jsonError(400, QStringLiteral("geojson: not a JSON object"));
    const QJsonObject geojson = geojsonValue.toObject();
    const QByteArray text = QJsonDocument(geojson).toJson(QJsonDocument::Indented);

    const std::lock_guard<std::mutex> lock(saving_);
    const QVector<int> numbers = versionNumbers();
    const int current = numbers.isEmpty() ? 0 : numbers.last();
    if (*base != current)
        return conflict(current, *base);
    QVector<zones::Zone> parsed;
    QString error;
    if (!zones::parseZones(text, geo_, parsed, error))
        return jsonError(400, error);
    const qsizetype messageBytes = zones::zonesMessage(settings_.site, parsed).size();
    if (messageBytes > zones::maxZonesMessageBytes)
        return jsonError(400, QStringLiteral("the zones make a message of %1 bytes; the site "
                                             "view takes at most %2")
                                  .arg(messageBytes)
                                  .arg(zones::maxZonesMessageBytes));
    const QString fault = unwritable();
    if (!fault.isEmpty())
        return jsonError(409, fault);
    const int next = current + 1;
    if (!write(next, user, geojson, text, error))
        return jsonError(500, QStringLiteral("the zones cannot be saved: %1").arg(error));
    const auto [zoneCount, lineCount] = featureCounts(geojson);
    if (settings_.log)
        settings_.log(QStringLiteral("zones: %1 saved version %2 (%3 zones, %4 lines) to %5")
                          .arg(user)
                          .arg(next)
                          .arg(zoneCount)
                          .arg(lineCount)
                          .arg(settings_.file));
    zones::ZoneMailbox::Job job;
    job.zones = std::move(parsed);
    if (!settings_.mailbox->wait(settings_.mailbox->post(std::move(job)), mailboxWait))
        return jsonError(503, QStringLiteral("saved as version %1, but the pictures have not "
                                             "taken the zones within %2 ms")
                                  .arg(next)
                                  .arg(mailboxWait.count()));
    Reply reply;
    reply.body = "{\"version\":";
    appendInteger(reply.body, next);
    reply.body.append(",\"applied\":true}");
    return reply;
}

Reply ZonesEditor::arm(const std::string& zone, const std::string& action, const QJsonObject& body,
                       const QString& user)
{
    zones::ArmingCommand command;
    command.zone = QString::fromStdString(zone);
    command.by = user;
    command.kind = action == "arm"      ? zones::ArmingCommand::Kind::Arm
                   : action == "disarm" ? zones::ArmingCommand::Kind::Disarm
                                        : zones::ArmingCommand::Kind::Schedule;
    const QJsonValue minutes = body.value(QLatin1String("minutes"));
    if (!minutes.isUndefined() && command.kind != zones::ArmingCommand::Kind::Schedule) {
        command.minutes = wholeNumber(minutes, 1, zones::maxArmingMinutes);
        if (!command.minutes)
            return jsonError(400, QStringLiteral("minutes: a whole number from 1 to %1")
                                      .arg(zones::maxArmingMinutes));
    }
    zones::ZoneMailbox::Job job;
    job.command = command;
    zones::ArmingAnswer answer;
    if (!settings_.mailbox->wait(settings_.mailbox->post(std::move(job)), mailboxWait, &answer))
        return jsonError(503, QStringLiteral("the pictures have not taken the command within "
                                             "%1 ms")
                                  .arg(mailboxWait.count()));
    if (!answer.found)
        return jsonError(404, QStringLiteral("no zone or line '%1'").arg(command.zone));
    if (settings_.alarms) {
        using Action = zones::AlarmChange::Action;
        const Action action = command.kind == zones::ArmingCommand::Kind::Arm ? Action::Arm
                              : command.kind == zones::ArmingCommand::Kind::Disarm
                                  ? Action::Disarm
                                  : Action::Schedule;
        settings_.alarms->armed(command.zone, user, action,
                                answer.override ? answer.override->untilMs.value_or(0) : 0, now());
    }
    if (settings_.log) {
        const QString until =
            !answer.override ? QString()
            : answer.override->untilMs
                ? QStringLiteral(" until %1").arg(isoTime(*answer.override->untilMs))
                : QStringLiteral(" until cleared");
        settings_.log(QStringLiteral("zone %1: %2 by %3%4")
                          .arg(command.zone,
                               command.kind == zones::ArmingCommand::Kind::Schedule
                                   ? QStringLiteral("back to its schedule")
                                   : QString::fromStdString(action) + QStringLiteral("ed"),
                               user, until));
    }
    Reply reply;
    reply.body = "{\"zone\":";
    appendString(reply.body, command.zone);
    reply.body.append(answer.armed ? ",\"armed\":true,\"override\":"
                                   : ",\"armed\":false,\"override\":");
    zones::appendOverride(reply.body, answer.override);
    reply.body.append('}');
    return reply;
}

Reply ZonesEditor::answer(const Request& r, const QString& user)
{
    const QStringList parts = zonesSegments(r.path);
    const bool get = r.method == "GET";
    if (r.body.size() > std::size_t(maxZonesFileBytes))
        return jsonError(400,
                         QStringLiteral("the body is larger than %1 bytes").arg(maxZonesFileBytes));
    QJsonObject body;
    if (!get && !r.body.empty()) {
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(r.body));
        if (!document.isObject())
            return jsonError(400, QStringLiteral("the body is not a JSON object"));
        body = document.object();
    }
    if (parts.size() == 2 && isArmingAction(parts[1]) && r.method == "POST")
        return arm(parts[0].toStdString(), parts[1].toStdString(), body, user);
    if (parts == QStringList{QStringLiteral("file")}) {
        if (get)
            return fileAnswer();
        if (r.method == "PUT")
            return save(body.value(QLatin1String("base")), body.value(QLatin1String("geojson")),
                        user);
    }
    if (parts == QStringList{QStringLiteral("versions")} && get)
        return versionsAnswer();
    if (parts.size() >= 2 && parts[0] == QLatin1String("versions")) {
        const std::optional<int> n = versionNumber(parts[1]);
        Version v;
        QString why;
        const bool restore =
            parts.size() == 3 && parts[2] == QLatin1String("restore") && r.method == "POST";
        if ((parts.size() == 2 && get) || restore) {
            if (!n || !readVersion(*n, v, why))
                return jsonError(
                    404,
                    n ? why
                      : QStringLiteral("no version '%1'").arg(parts[1].left(maxParameterChars)));
            if (restore)
                return save(body.value(QLatin1String("base")), v.geojson, user);
            Reply reply;
            reply.body = "{\"version\":";
            appendInteger(reply.body, v.version);
            reply.body.append(",\"user\":");
            appendOptionalUser(reply.body, v.user);
            reply.body.append(",\"time\":");
            appendOptionalTime(reply.body, v.timeMs);
            reply.body.append(",\"geojson\":");
            reply.body.append(QJsonDocument(v.geojson).toJson(QJsonDocument::Compact));
            reply.body.append('}');
            return reply;
        }
    }
    return jsonError(
        404, QStringLiteral("no such zones resource for %1").arg(QString::fromStdString(r.method)));
}

bool isZonesEditPath(const std::string& path)
{
    const QStringList parts = zonesSegments(path);
    return (parts.size() == 2 && isArmingAction(parts[1])) ||
           parts == QStringList{QStringLiteral("file")} ||
           (!parts.isEmpty() && parts[0] == QLatin1String("versions"));
}

Reply zonesEdit(ApiContext& c, const Request& r, const std::optional<Logins::Session>& who)
{
    if (r.method != "GET" && (!c.logins || !who))
        return jsonError(403, QStringLiteral("needs logins: [http] users_file"));
    if (!c.zonesEditor)
        return noZonesFile();
    return c.zonesEditor->answer(r, who ? who->name : QString());
}

} // namespace trklib::sited::history
