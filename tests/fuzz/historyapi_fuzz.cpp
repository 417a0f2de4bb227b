// Fuzz target: requests to sited's history HTTP API through its own server.
// Two ApiServers run once per process on free loopback ports, over one
// SQLite store in a temporary folder that holds a few pictures, objects,
// events, statuses and logins; both serve the site view's files from a web
// root, /metrics and a live stream. The first has no users file (every
// route open), the second logins for three users, one of each role, and a
// zones file that its admins save, restore and preview and its operators
// arm and disarm, through a picture thread of the harness's. Each
// input is sent to both as it stands, as the bytes of a request, followed
// by an empty line, on a connection of its own, and the first answer is
// read. So cpp-httplib's reading of the request line, headers and body, its
// routing and the API's handlers all see the bytes.
//
// A session cannot be guessed: the input names one by a placeholder
// (@viewer@, @operator@, @admin@), which is replaced by the cookie value
// of a session of that role, kept logged in by the harness. The logins'
// clock is the harness's: it moves on by more than the longest wait after
// wrong passwords from one input to the next, so that what an input meets
// does not depend on the wrong passwords of those before it.
//
// The users' hashes are made at libsodium's least cost, so that a login
// costs little; a name that is no user's still costs a check against the
// hash that Logins makes itself, at the interactive limits (64 MiB).
//
// Checked: whatever the servers send back is HTTP; an answer of the API's
// own has one of its statuses and one line of JSON, may be read by any
// origin without logins and by none with them; no file outside the web
// root, nor a hidden one, is ever served (the harness plants such files);
// /metrics answers the metrics function's text. With logins, an input
// without a session gets nothing but the open routes' answers (the login
// page and its files, the health, a login, a logout, /metrics), else
// 401, or a redirect to the login page; without the admin's session,
// no users, no login records and no admin's messages of the stream; every
// session cookie is HttpOnly and SameSite=Strict, and every login is
// recorded. The servers take every connection (a crash on their threads
// ends the run).
//
// The live stream would go on for ever: its answer is read as far as the
// silence after its first messages (the retained ones of the page's role),
// and after each exchange the harness publishes a message, so that a
// stream whose connection is gone finds out at its next write and gives
// its server thread back.

#include "fuzzinput.h"

#include "tools/common/service/metrics.h"
#include "tools/sited/history/historyapi.h"
#include "tools/sited/history/historystore.h"
#include "tools/sited/history/zoneseditor.h"
#include "tools/sited/zones/zonemailbox.h"
#include "tools/sited/zones/zoneoutput.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sodium.h>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <iterator>
#include <memory>

namespace trklib::fuzz {
namespace {

using namespace trklib::sited::history;
using namespace trklib::sited::zones;

const QString siteName = QStringLiteral("junction");
// The zones file the second server edits: a zone and a line by the origin.
constexpr char zonesFileText[] =
    R"({"type":"FeatureCollection","features":[)"
    R"({"type":"Feature","properties":{"name":"crossing","alarm":["enter"]},"geometry":)"
    R"({"type":"Polygon","coordinates":[[[11.4998,48.0998],[11.5002,48.0998],)"
    R"([11.5002,48.1002],[11.4998,48.1002],[11.4998,48.0998]]]}},)"
    R"({"type":"Feature","properties":{"name":"stop-east"},"geometry":)"
    R"({"type":"LineString","coordinates":[[11.5003,48.0999],[11.5003,48.1001]]}}]})";

// What may appear in no answer at all: the planted files outside the web
// root and the hidden ones in it (whose type, having no known suffix, is
// also the only octet-stream there is).
constexpr char secretMark[] = "trklib-fuzz-secret";
// What appears only in the answers of routes that need a session.
constexpr char protectedMark[] = "trklib-fuzz-protected";
// A retained message of the stream for admins only.
constexpr char adminStreamMark[] = "trklib-fuzz-stream-admin";
constexpr char viewerStreamMark[] = "trklib-fuzz-stream-viewer";
constexpr char metricsText[] = "# TYPE sited_fuzz_up gauge\nsited_fuzz_up 1\n";
// The login page and what it loads: served to anyone.
constexpr char loginPage[] = "<!doctype html><title>log in</title><!-- open page -->\n";
constexpr char loginScript[] = "// open login script\n";
constexpr char styleSheet[] = "/* open style */\n";
// Logins' clock: moved on by more than the longest wait per input, ms.
constexpr std::int64_t clockStepMs = longestWaitMs + 1000;
constexpr int sessionHours = 1;

struct Account
{
    const char* placeholder;
    const char* name;
    const char* password;
    Role role;
};

constexpr Account accounts[]{
    {"@viewer@", "vera", "vera-secret", Role::Viewer},
    {"@operator@", "otto", "otto-secret", Role::Operator},
    {"@admin@", "ada", "ada-secret", Role::Admin},
};

ObjectRow object(std::int64_t timeMs, std::int64_t id, double x, double y, bool onEarth)
{
    ObjectRow row;
    row.timeMs = timeMs;
    row.id = id;
    row.x = x;
    row.y = y;
    if (onEarth) {
        row.lat = 47.376887 + y / 111000.0;
        row.lon = 8.541694 + x / 75000.0;
    }
    row.vx = 2.0;
    row.vy = -1.0;
    row.speed = 8.0;
    row.heading = 116.6;
    row.confirmed = id % 2 == 1;
    row.radars = "[{\"radar\":\"east\",\"number\":" + QByteArray::number(qint64(id)) + "}]";
    row.sinceMs = 1000;
    return row;
}

EventRow event(std::int64_t timeMs, const char* zone, const char* kind, std::int64_t id)
{
    EventRow row;
    row.timeMs = timeMs;
    row.zone = QString::fromLatin1(zone);
    row.event = QString::fromLatin1(kind);
    row.object = id;
    row.json = "{\"site\":\"junction\",\"zone\":\"" + QByteArray(zone) + "\",\"event\":\"" +
               QByteArray(kind) + "\",\"object\":" + QByteArray::number(qint64(id)) +
               ",\"time\":" + QByteArray::number(qint64(timeMs)) + "}";
    return row;
}

// A users file's hash of the password at libsodium's least cost, which
// its check then costs too.
QByteArray cheapHash(const char* password)
{
    char out[crypto_pwhash_STRBYTES];
    check(sodium_init() >= 0 &&
              crypto_pwhash_str(out, password, std::strlen(password), crypto_pwhash_OPSLIMIT_MIN,
                                crypto_pwhash_MEMLIMIT_MIN) == 0,
          "a password hashed at the least cost");
    return QByteArray(out);
}

void writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    check(file.open(QIODevice::WriteOnly) && file.write(text) == text.size(), "a planted file");
}

// The web root: the page, the login page and their files; hidden files;
// and links to a file and a folder outside it, which are not served.
// Beside it: the secret file, and a folder whose name starts as the
// root's does.
QString plantWebRoot(const QDir& dir)
{
    check(dir.mkpath(QStringLiteral("web/src")) && dir.mkpath(QStringLiteral("outside")) &&
              dir.mkpath(QStringLiteral("web-other")),
          "the web root's folders");
    const QByteArray secret = QByteArray(secretMark) + " outside the root\n";
    writeFile(dir.filePath(QStringLiteral("outside/secret.bin")), secret);
    writeFile(dir.filePath(QStringLiteral("web-other/secret.bin")), secret);
    writeFile(dir.filePath(QStringLiteral("web/.hidden")), QByteArray(secretMark) + " hidden\n");
    writeFile(dir.filePath(QStringLiteral("web/src/.env")), QByteArray(secretMark) + " hidden\n");
    writeFile(dir.filePath(QStringLiteral("web/index.html")),
              "<!doctype html><title>site</title><!-- " + QByteArray(protectedMark) + " -->\n");
    writeFile(dir.filePath(QStringLiteral("web/src/app.js")),
              "// " + QByteArray(protectedMark) + " app\n");
    writeFile(dir.filePath(QStringLiteral("web/login.html")), loginPage);
    writeFile(dir.filePath(QStringLiteral("web/src/login.js")), loginScript);
    writeFile(dir.filePath(QStringLiteral("web/style.css")), styleSheet);
    const auto link = [&](const QByteArray& target, const char* name) {
        const QByteArray path = QFile::encodeName(dir.filePath(QString::fromLatin1(name)));
        check(::symlink(target.constData(), path.constData()) == 0, "a planted link");
    };
    link("../outside/secret.bin", "web/outside.html");
    link("../../outside/secret.bin", "web/src/up.js");
    link("../outside", "web/linked");
    link("../web-other", "web/other");
    link(QFile::encodeName(dir.filePath(QStringLiteral("outside/secret.bin"))), "web/absolute.css");
    return dir.filePath(QStringLiteral("web"));
}

// One server and its live stream.
struct Server
{
    LiveStream live;
    std::unique_ptr<ApiServer> api;

    void start(ApiContext context)
    {
        live.publish("trklib/junction/site/status",
                     "{\"note\":\"" + QByteArray(viewerStreamMark) + "\"}", true);
        live.publish("trklib/junction/admin", adminStreamMark, true, Role::Admin);
        context.live = &live;
        api = std::make_unique<ApiServer>(std::move(context));
        QString error;
        check(api->start(QStringLiteral("127.0.0.1"), 0, error), "the API server starts");
    }
};

// The store, the logins, the web root and the two servers, for the whole
// process.
struct Served
{
    QTemporaryDir dir{QStringLiteral("/tmp/trklib-fuzz-historyapi-XXXXXX")};
    std::unique_ptr<SharedStore> store;
    std::atomic<std::int64_t> clockMs{1'700'000'000'000};
    std::unique_ptr<Logins> logins;
    std::array<QByteArray, std::size(accounts)> tokens;
    std::atomic<int> recorded{0};
    std::atomic<int> cameraActions{0};
    Server open;
    Server guarded;
    // The zones the second server edits, arms and previews, and a picture
    // thread that takes what its editor hands over.
    std::unique_ptr<ZoneOutput> zones;
    ZoneMailbox mailbox;
    std::unique_ptr<ZonesEditor> editor;
    std::atomic<bool> stopped{false};
    std::thread pictures;

    ~Served()
    {
        guarded.api.reset();
        stopped = true;
        if (pictures.joinable())
            pictures.join();
    }

    Served()
    {
        check(dir.isValid(), "a temporary folder for the store");
        QString error;
        auto sqlite = Store::open(dir.filePath(QStringLiteral("history.sqlite")), siteName, error);
        check(sqlite != nullptr, "the SQLite store opens");
        Batch batch;
        batch.pictures = {1000, 1100, 1200};
        batch.objects = {object(1000, 1, 10.0, 5.0, true), object(1000, 2, -20.0, 30.0, true),
                         object(1100, 1, 12.0, 4.0, true), object(1100, 2, -18.0, 29.0, false),
                         object(1200, 3, 0.0, -40.0, true)};
        batch.events = {event(1000, "crossing", "enter", 1), event(1050, "stop-east", "cross", 2),
                        event(1100, "crossing", "dwell", 1), event(1200, "crossing", "exit", 1)};
        batch.statuses = {{1050, QStringLiteral("east"), false},
                          {1150, QStringLiteral("east"), true}};
        batch.logins = {
            {1000, QStringLiteral("ada"), QStringLiteral("login"), QStringLiteral("127.0.0.1")},
            {1100, QStringLiteral("nobody"), QStringLiteral("failed"),
             QStringLiteral("127.0.0.1")}};
        check(sqlite->write(batch, error), "the store takes the rows");
        store = std::make_unique<SharedStore>(std::move(sqlite));

        QVector<User> users;
        for (const Account& a : accounts)
            users.append({QString::fromLatin1(a.name), a.role, cheapHash(a.password)});
        logins = std::make_unique<Logins>(users, sessionHours, [this] { return clockMs.load(); });
        renewSessions();

        ApiContext context;
        context.store = store.get();
        context.site = siteName;
        context.zones->set("{\"site\":\"junction\",\"zones\":[]}",
                           QStringList{QStringLiteral("crossing"), QStringLiteral("stop-east")});
        context.webRoot = plantWebRoot(QDir(dir.path()));
        context.metrics = [] { return std::string(metricsText); };
        // One camera, gate, whose actions are taken and counted.
        context.cameraAction = [this](const QString& camera, const QString&,
                                      std::optional<std::int64_t>, const QString&, int& status,
                                      QString& why) {
            if (camera != QLatin1String("gate")) {
                status = 404;
                why = QStringLiteral("no camera");
                return false;
            }
            ++cameraActions;
            return true;
        };
        open.start(context);
        context.logins = logins.get();
        context.record = [this](const LoginRow&) { ++recorded; };
        startZones(context);
        guarded.start(context);
    }

    void startZones(ApiContext& context)
    {
        const QString file = dir.filePath(QStringLiteral("zones.geojson"));
        QFile out(file);
        check(out.open(QIODevice::WriteOnly) && out.write(zonesFileText) > 0, "the zones file");
        out.close();
        site::SiteConfig config;
        config.name = siteName;
        config.origin = site::Origin{48.1, 11.5, 520.0};
        const site::GeoReference geo(*config.origin);
        QVector<Zone> loaded;
        QString error;
        check(loadZones(file, geo, loaded, error), "the zones file loads");
        zones = std::make_unique<ZoneOutput>(config, loaded);
        editor = std::make_unique<ZonesEditor>(ZonesEditor::Settings{
            file, *config.origin, siteName, &mailbox, {}, [this] { return clockMs.load(); }});
        context.zonesEditor = editor.get();
        context.currentZones = [this] { return zones->zones(); };
        context.geo.emplace(*config.origin);
        pictures = std::thread([this] {
            while (!stopped) {
                mailbox.serve([this](const ZoneMailbox::Job& job) {
                    if (!job.zones)
                        return zones->command(job.command, clockMs.load());
                    zones->replace(*job.zones, clockMs.load());
                    return ArmingAnswer();
                });
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }

    // A session of each role, logged in anew when it ended (expired, or
    // an input logged it out).
    void renewSessions()
    {
        for (std::size_t i = 0; i < std::size(accounts); ++i) {
            if (logins->session(tokens[i]))
                continue;
            tokens[i] =
                logins->login(QString::fromLatin1(accounts[i].name), accounts[i].password).token;
            check(!tokens[i].isEmpty(), "the harness's users log in");
        }
    }
};

Served& served()
{
    static Served s;
    return s;
}

// How long the connection may stay silent before it is given up: an input
// whose request still waits for bytes (a body longer than it sent) gets
// there, and the server would wait its own 5 s for them. An answer slower
// than this is only cut short, and then not checked.
constexpr int silenceMs = 30;

// The first response in bytes, once it is whole: its headers and as much
// body as their Content-Length says. Interim responses (100 Continue) are
// passed over. Empty while it is not whole, or when it says no length.
QByteArray firstResponse(const QByteArray& bytes)
{
    int start = 0;
    for (;;) {
        const int end = bytes.indexOf("\r\n\r\n", start);
        if (end < 0)
            return {};
        const QByteArray head = bytes.mid(start, end + 4 - start);
        if (head.startsWith("HTTP/1.1 1")) {
            start = end + 4;
            continue;
        }
        const int at = head.toLower().indexOf("\r\ncontent-length: ");
        if (at < 0)
            return {};
        const int from = at + int(sizeof "\r\ncontent-length: ") - 1;
        const long long length = head.mid(from, head.indexOf("\r\n", from) - from).toLongLong();
        if (bytes.size() - (end + 4) < length)
            return {};
        return bytes.mid(start, end + 4 - start + int(length));
    }
}

// Connects fd to the address. libFuzzer's timer (SIGALRM, every half of
// -timeout) may interrupt connect(), which then goes on in the background:
// its outcome is waited for rather than taken as a refusal.
bool connected(int fd, const sockaddr_in& address)
{
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return true;
    if (errno != EINTR)
        return false;
    pollfd writable{fd, POLLOUT, 0};
    int polled = 0;
    while ((polled = ::poll(&writable, 1, -1)) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t length = sizeof error;
    return polled == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
           error == 0;
}

// The input, and an empty line, as one connection's bytes; what the server
// sends back until its first answer is whole, it closes the connection, or
// it falls silent. The connection is then closed: cpp-httplib reads each request of a
// connection kept alive afresh from the socket, so a request sent in the
// same bytes as one before it would not be read, and a connection shut for
// writing it takes as gone and answers nothing on.
QByteArray exchange(quint16 port, QByteArray request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd >= 0, "a socket for the request");
    // Closed with a reset rather than kept in TIME_WAIT, so that a
    // thousand connections a second do not use up the local ports.
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(connected(fd, address), "the server takes the connection");
    // An empty line after the input ends the headers of a request that
    // the input leaves open (after a request that is whole, the server
    // reads no more). The server may answer and close before it has read
    // everything (a request line too long, say): then the rest is not sent.
    request += "\r\n\r\n";
    for (int sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.constData() + sent, std::size_t(request.size() - sent),
                                 MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += int(n);
    }
    QByteArray answer;
    char buffer[16384];
    // Each segment acknowledged at once: the server writes an answer's
    // headers and its body apart, and would otherwise hold the body back
    // until the delayed acknowledgement of the headers, some 40 ms.
    const int on = 1;
    while (firstResponse(answer).isEmpty()) {
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        pollfd readable{fd, POLLIN, 0};
        const int polled = ::poll(&readable, 1, silenceMs);
        if (polled < 0 && errno == EINTR)
            continue; // libFuzzer's timer; the silence is measured afresh
        if (polled <= 0)
            break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // closed, or reset after an answer to a request it would not read
        answer.append(buffer, int(n));
    }
    ::close(fd);
    return answer;
}

// The first answer, split: its status, its headers in lower case (from the
// status line to the empty line), its body as far as it came, and whether
// that is the whole of it.
struct Answer
{
    int status = 0;
    QByteArray head;
    QByteArray body;
    bool whole = false;

    explicit Answer(const QByteArray& bytes)
    {
        int start = 0;
        int end = -1;
        while ((end = bytes.indexOf("\r\n\r\n", start)) >= 0 &&
               bytes.mid(start).startsWith("HTTP/1.1 1"))
            start = end + 4;
        if (end < 0)
            return;
        head = bytes.mid(start, end + 2 - start).toLower();
        status = head.mid(9, 3).toInt();
        const QByteArray response = firstResponse(bytes);
        whole = !response.isEmpty();
        body = whole ? response.mid(end + 4 - start) : bytes.mid(end + 4);
    }

    bool has(const char* header) const { return head.contains(QByteArray("\r\n") + header); }
    // The body as the handler gave it: neither compressed nor cut to ranges.
    bool plain() const
    {
        return whole && status != 206 && status != 416 && !has("content-encoding:") &&
               !has("content-range:") && !head.contains("multipart/byteranges");
    }
    bool isJson() const
    {
        return has("content-type: application/json") || has("content-type: application/geo+json");
    }
};

// The session cookies an answer sets: each HttpOnly and SameSite=Strict;
// whether one of them starts a session (a token, not the empty value of a
// logout).
bool startsSession(const Answer& a)
{
    bool starts = false;
    const QByteArray prefix = QByteArray("\r\nset-cookie: ") + sessionCookie + '=';
    for (int at = 0; (at = a.head.indexOf(prefix, at)) >= 0; at += prefix.size()) {
        const int end = a.head.indexOf("\r\n", at + 2);
        const QByteArray cookie = a.head.mid(at + prefix.size(), end - at - prefix.size());
        check(cookie.contains("; httponly") && cookie.contains("; samesite=strict"),
              "a session cookie is HttpOnly and SameSite=Strict");
        starts = starts || !cookie.startsWith(';');
    }
    return starts;
}

// The body of an open route's answer (with logins, before logging in).
bool openBody(const Answer& a)
{
    return a.body == loginPage || a.body == loginScript || a.body == styleSheet ||
           a.body == metricsText || a.body.startsWith("{\"database\":") ||
           a.body == "{\"logged_out\":true}" ||
           (a.body.startsWith("{\"site\":") && startsSession(a));
}

bool openType(const Answer& a)
{
    return a.isJson() || a.has("content-type: text/html") ||
           a.has("content-type: text/javascript") || a.has("content-type: text/css") ||
           a.has(QByteArray("content-type: ").append(service::expositionType).constData());
}

// What every answer must be, with logins or without.
void checkAnswer(const QByteArray& bytes, const Answer& a, bool withLogins)
{
    check(bytes.isEmpty() || bytes.startsWith("HTTP/1.1 "), "the server answers in HTTP");
    check(!bytes.contains(secretMark) && !bytes.toLower().contains("application/octet-stream"),
          "no file outside the web root, nor a hidden one, is served");
    const bool handlers = a.has("x-content-type-options: nosniff");
    if (handlers)
        check(a.has("access-control-allow-origin: *") == !withLogins,
              "any origin may read the API without logins, none with them");
    if (handlers && a.isJson()) {
        const int s = a.status;
        // 403 without logins: an action that records who acted needs them;
        // 409: a save on a stale version, an alarm's action not possible now.
        const bool known = s == 200 || s == 400 || s == 403 || s == 404 || s == 409 || s == 503 ||
                           s == 206 || s == 416 || (withLogins && (s == 401 || s == 429));
        check(known, "the API answers with one of its statuses, or a range of it");
        if (a.plain() && !a.body.isEmpty())
            check(a.body.startsWith('{') && a.body.endsWith('}') && !a.body.contains('\n'),
                  "the API answers one line of JSON");
    }
    if (a.has(QByteArray("content-type: ").append(service::expositionType).constData()) &&
        a.plain() && !a.body.isEmpty())
        check(a.body == metricsText, "/metrics answers the metrics function's text");
}

// What an answer with logins may hold, given the sessions the request had.
void checkAccess(const Answer& a, bool anySession, bool admin, int recordedBefore)
{
    const bool ok = a.status >= 200 && a.status < 300;
    if (startsSession(a))
        check(served().recorded.load() > recordedBefore, "a login is recorded");
    // cpp-httplib's own answers (an OPTIONS, say) carry nothing of the API.
    const bool handlers = a.has("x-content-type-options: nosniff");
    if (!anySession && handlers) {
        check(!ok || openType(a), "without a session, only the open routes answer");
        check(!ok || !a.plain() || openBody(a), "without a session, only the open routes answer");
        check(!ok || !a.body.contains(protectedMark), "without a session, no page of the site");
        check(a.status != 303 || a.has("location: /login.html"),
              "without a session, the page sends to the login page");
    }
    if (!admin && ok) {
        check(!a.body.startsWith("{\"users\":") && !a.body.startsWith("{\"logins\":"),
              "only admins see the users and the login records");
        check(!a.body.contains(adminStreamMark), "only admins get the admins' messages");
    }
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;

    Served& s = served();
    s.clockMs += clockStepMs;
    s.renewSessions();
    QByteArray request(reinterpret_cast<const char*>(data), int(size));
    bool anySession = false;
    bool admin = false;
    for (std::size_t i = 0; i < std::size(accounts); ++i) {
        if (!request.contains(accounts[i].placeholder))
            continue;
        request.replace(accounts[i].placeholder, s.tokens[i]);
        anySession = true;
        admin = admin || accounts[i].role == Role::Admin;
    }

    const QByteArray open = exchange(s.open.api->port(), request);
    s.open.live.publish("trklib/fuzz/wake", "", false);
    checkAnswer(open, Answer(open), false);

    const int recordedBefore = s.recorded.load();
    const QByteArray guarded = exchange(s.guarded.api->port(), request);
    s.guarded.live.publish("trklib/fuzz/wake", "", false);
    const Answer a(guarded);
    checkAnswer(guarded, a, true);
    checkAccess(a, anySession, admin, recordedBefore);
    return 0;
}
