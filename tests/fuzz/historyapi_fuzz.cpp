// Fuzz target: requests to sited's history HTTP API through its own server.
// The ApiServer runs once per process on a free loopback port, over a
// SQLite store in a temporary folder that holds a few pictures, objects,
// events and statuses; each input is sent as it stands, as the bytes of a
// request, followed by an empty line, on a connection of its own, and the
// first answer is read. So cpp-httplib's reading of the request line,
// headers and body, its routing and the API's handlers all see the bytes.
//
// Checked: whatever the server sends back is HTTP; an answer of the API's
// handler has one of its statuses and one line of JSON; the server takes
// every connection (a crash on its threads ends the run).

#include "fuzzinput.h"

#include "tools/sited/history/historyapi.h"
#include "tools/sited/history/historystore.h"

#include <QTemporaryDir>

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace trklib::fuzz {
namespace {

using namespace trklib::sited::history;

const QString siteName = QStringLiteral("junction");

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

// The store, the API over it and its port, for the whole process.
struct Served
{
    QTemporaryDir dir{QStringLiteral("/tmp/trklib-fuzz-historyapi-XXXXXX")};
    std::unique_ptr<SharedStore> store;
    std::unique_ptr<ApiServer> server;

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
        check(sqlite->write(batch, error), "the store takes the rows");
        store = std::make_unique<SharedStore>(std::move(sqlite));
        ApiContext context;
        context.store = store.get();
        context.site = siteName;
        context.zonesJson = "{\"site\":\"junction\",\"zones\":[]}";
        context.zoneNames = QStringList{QStringLiteral("crossing"), QStringLiteral("stop-east")};
        server = std::make_unique<ApiServer>(context);
        check(server->start(QStringLiteral("127.0.0.1"), 0, error), "the API server starts");
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
QByteArray exchange(quint16 port, const std::uint8_t* data, std::size_t size)
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
    QByteArray request(reinterpret_cast<const char*>(data), int(size));
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

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;

    const quint16 port = served().server->port();
    const QByteArray answer = exchange(port, data, size);
    check(answer.isEmpty() || answer.startsWith("HTTP/1.1 "), "the server answers in HTTP");
    // An answer of the API's own (every one of them lets any origin read
    // it): a status it gives, or cpp-httplib's for a range of it; and when
    // the body is as the API gives it (neither compressed nor cut to
    // ranges, which cpp-httplib does after the handler), one line of JSON.
    const QByteArray response = firstResponse(answer);
    const int body = response.indexOf("\r\n\r\n") + 4;
    const QByteArray head = response.left(body).toLower();
    if (head.contains("\r\naccess-control-allow-origin: *\r\n") && response.size() > body) {
        const int status = response.mid(9, 3).toInt();
        check(status == 200 || status == 400 || status == 404 || status == 503 || status == 206 ||
                  status == 416,
              "the API answers 200, 400, 404 or 503, or a range of it");
        const QByteArray json = response.mid(body);
        if (status != 206 && status != 416 && !head.contains("\r\ncontent-encoding:") &&
            !head.contains("\r\ncontent-range:") && !head.contains("multipart/byteranges"))
            check(json.startsWith('{') && json.endsWith('}') && !json.contains('\n'),
                  "the API answers one line of JSON");
    }
    return 0;
}
