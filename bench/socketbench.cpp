// Latency of the socket path on loopback: from the moment a packet's last
// datagram is handed to the kernel to the return of getTargets, with the
// radar sending 1000 packets per second (seven datagrams each, one per
// block) from its own thread. Beside it the same for a plain receiver that
// only reads the datagrams of each packet (poll, then recvmmsg until the
// packet's last datagram is in), the least any receiver could take.
// Iterations are packets; the figure of an iteration is its latency, and
// the counters give the median and the 99th percentile, microseconds, and
// the system calls the receiving thread made per packet (counted by the
// kernel's syscall tracepoint, which needs root; -1 where it cannot be
// read).
#include "bench/benchstatistics.h"
#include "bench/benchstream.h"

#include "input/packetencoder.h"
#include "interface/targettrackinginterface.h"
#include "tools/common/cli/mountingoptions.h"

#include <benchmark/benchmark.h>

#include <QHostAddress>
#include <QUdpSocket>

#include <QFile>

#include <arpa/inet.h>
#include <linux/perf_event.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace trklib::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int packetsPerSecond = 1000;
constexpr int measuredPackets = 3000;
constexpr qint64 firstTimestampMs = 1800000000000;
constexpr qint64 timestampStepMs = 50; // as the radar stamps them at 20 packets per second
constexpr int receiveBufferBytes = 1048576;
constexpr int maxDatagramBytes = 65536;
constexpr int pollWaitMs = 1000;

// The scenes sent: the highway (about twenty vehicles, the figure held to
// the goal), or noise alone, where getTargets has next to nothing to track
// and the figure is that of the reception.
enum Scene
{
    NoObjects = 0,
    Highway = 1
};

const QVector<RadarPacketData>& packets(Scene scene)
{
    static const QVector<RadarPacketData> highway = makeStream();
    static const QVector<RadarPacketData> noise = makeObjectStream(0);
    return scene == Highway ? highway : noise;
}

// Sends a scene's stream to 127.0.0.1:port from its own thread, packet i
// at i milliseconds and stamped firstTimestampMs + 50 i, so that the
// engine's time only grows however long the stream is replayed. Notes when
// each packet's last datagram left.
class Sender
{
public:
    Sender(quint16 port, Scene scene) : scene_(scene), sentNs_(size_t(capacity))
    {
        packets(scene); // made here, not on the sending thread while the receiver waits
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        thread_ = std::thread([this] { run(); });
    }

    ~Sender()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }

    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // When the last datagram of the packet stamped timestampMs was sent.
    Clock::time_point sentAt(qint64 timestampMs) const
    {
        const qint64 i = (timestampMs - firstTimestampMs) / timestampStepMs;
        if (i < 0 || i >= capacity)
            return Clock::time_point();
        return Clock::time_point(Clock::duration(sentNs_[size_t(i)].load()));
    }

private:
    static constexpr qint64 capacity = 600 * packetsPerSecond; // ten minutes

    void run()
    {
        const Clock::time_point start = Clock::now();
        for (qint64 i = 0; i < capacity && !stop_; ++i) {
            const QVector<RadarPacketData>& stream = packets(scene_);
            RadarPacketData packet = stream[int(i % stream.size())];
            packet.timestamp = firstTimestampMs + i * timestampStepMs;
            const QVector<QByteArray> datagrams = PacketEncoder::datagrams(packet);
            std::this_thread::sleep_until(
                start + std::chrono::microseconds(i * 1000000 / packetsPerSecond));
            for (int d = 0; d < datagrams.size(); ++d) {
                if (d == datagrams.size() - 1)
                    sentNs_[size_t(i)] = Clock::now().time_since_epoch().count();
                ::send(fd_, datagrams[d].constData(), size_t(datagrams[d].size()), 0);
            }
        }
    }

    Scene scene_;
    int fd_ = -1;
    std::vector<std::atomic<qint64>> sentNs_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Counts the system calls that the calling thread enters from construction
// on, through the kernel's raw_syscalls:sys_enter tracepoint.
class SyscallCounter
{
public:
    SyscallCounter()
    {
        QFile id(QStringLiteral("/sys/kernel/tracing/events/raw_syscalls/sys_enter/id"));
        if (!id.open(QIODevice::ReadOnly))
            return;
        perf_event_attr attr{};
        attr.size = sizeof attr;
        attr.type = PERF_TYPE_TRACEPOINT;
        attr.config = id.readAll().trimmed().toULongLong();
        fd_ = int(::syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
    }
    ~SyscallCounter()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    SyscallCounter(const SyscallCounter&) = delete;
    SyscallCounter& operator=(const SyscallCounter&) = delete;

    // -1 when the tracepoint cannot be read.
    qint64 count() const
    {
        quint64 value = 0;
        if (fd_ < 0 || ::read(fd_, &value, sizeof value) != ssize_t(sizeof value))
            return -1;
        return qint64(value);
    }

private:
    int fd_ = -1;
};

void report(benchmark::State& state, const std::vector<double>& latenciesUs,
            const SyscallCounter& syscalls)
{
    state.counters["p50_us"] = percentile(latenciesUs, 0.50);
    state.counters["p99_us"] = percentile(latenciesUs, 0.99);
    const qint64 calls = syscalls.count();
    state.counters["syscalls_per_packet"] =
        calls < 0 || latenciesUs.empty() ? -1.0 : double(calls) / double(latenciesUs.size());
}

// A loopback port free at the time of asking.
quint16 freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

void BM_SocketLatencyEngine(benchmark::State& state)
{
    TargetTrackingInterface tracker;
    tracker.radarConfig(cli::defaultMounting());
    ReceiverConfig config;
    config.bindAddress = "127.0.0.1";
    config.port = freePort();
    if (!tracker.connect(config)) {
        state.SkipWithError("cannot bind a loopback port");
        return;
    }
    Sender sender(config.port, Scene(state.range(0)));
    std::vector<double> latenciesUs;
    long timestamp = 0;
    std::vector<TargetData> targets;
    latenciesUs.reserve(measuredPackets);
    const SyscallCounter syscalls;
    for (auto _ : state) {
        const int status = tracker.getTargets(timestamp, targets);
        const Clock::time_point done = Clock::now();
        if (status != 0) {
            state.SkipWithError("getTargets failed");
            break;
        }
        const double s =
            std::chrono::duration<double>(done - sender.sentAt(qint64(timestamp))).count();
        state.SetIterationTime(s);
        latenciesUs.push_back(s * 1e6);
    }
    report(state, latenciesUs, syscalls);
}
BENCHMARK(BM_SocketLatencyEngine)
    ->ArgName("highway")
    ->Arg(Highway)
    ->Arg(NoObjects)
    ->UseManualTime()
    ->Iterations(measuredPackets)
    ->ComputeStatistics("min", leastOf);

// The plain receiver: reads datagrams, batched, until one packet's seven
// are in; datagrams read beyond them wait for the next iteration.
class PlainReceiver
{
public:
    PlainReceiver() : buffers_(size_t(batch) * maxDatagramBytes)
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        for (int k = 0; k < batch; ++k) {
            iov_[k].iov_base = buffers_.data() + size_t(k) * maxDatagramBytes;
            iov_[k].iov_len = maxDatagramBytes;
            messages_[k].msg_hdr.msg_iov = &iov_[k];
            messages_[k].msg_hdr.msg_iovlen = 1;
        }
    }

    ~PlainReceiver() { ::close(fd_); }

    PlainReceiver(const PlainReceiver&) = delete;
    PlainReceiver& operator=(const PlainReceiver&) = delete;

    quint16 port() const { return port_; }

    // The timestamp of the next whole packet; false when none came in time.
    bool receivePacket(qint64& timestampMs)
    {
        int blocks = 0;
        for (;;) {
            while (next_ < received_) {
                const mmsghdr& m = messages_[next_];
                const char* data = static_cast<const char*>(m.msg_hdr.msg_iov->iov_base);
                ++next_;
                if (m.msg_len == unsigned(wire::headerBytes)) {
                    std::memcpy(&timestampMs, data + wire::timestampOffset, sizeof timestampMs);
                    blocks = 1;
                } else if (blocks > 0 && ++blocks == wire::blockCount) {
                    return true;
                }
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, pollWaitMs) <= 0)
                return false;
            const int n = ::recvmmsg(fd_, messages_, batch, MSG_DONTWAIT, nullptr);
            received_ = std::max(n, 0);
            next_ = 0;
        }
    }

private:
    static constexpr int batch = 16;
    int fd_ = -1;
    quint16 port_ = 0;
    std::vector<char> buffers_;
    iovec iov_[batch]{};
    mmsghdr messages_[batch]{};
    int received_ = 0;
    int next_ = 0;
};

void BM_SocketLatencyPlain(benchmark::State& state)
{
    PlainReceiver receiver;
    Sender sender(receiver.port(), Highway);
    std::vector<double> latenciesUs;
    latenciesUs.reserve(measuredPackets);
    const SyscallCounter syscalls;
    for (auto _ : state) {
        qint64 timestamp = 0;
        const bool ok = receiver.receivePacket(timestamp);
        const Clock::time_point done = Clock::now();
        if (!ok) {
            state.SkipWithError("no packet");
            break;
        }
        const double s = std::chrono::duration<double>(done - sender.sentAt(timestamp)).count();
        state.SetIterationTime(s);
        latenciesUs.push_back(s * 1e6);
    }
    report(state, latenciesUs, syscalls);
}
BENCHMARK(BM_SocketLatencyPlain)
    ->UseManualTime()
    ->Iterations(measuredPackets)
    ->ComputeStatistics("min", leastOf);

} // namespace
} // namespace trklib::bench
