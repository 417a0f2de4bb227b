#pragma once

#include <QByteArray>
#include <QProcess>

namespace trklib::test {

// trackdemo as a child process: the whole standard input is written at the
// start, standard output and standard error are collected as they arrive.
// The child is killed if it still runs when the object goes away.
class DemoProcess
{
public:
    explicit DemoProcess(const QByteArray& input);
    ~DemoProcess();

    DemoProcess(const DemoProcess&) = delete;
    DemoProcess& operator=(const DemoProcess&) = delete;

    bool started() const { return started_; }

    // Waits until `count` passes of the packet loop have been written (each
    // pass ends in an empty line). False on time-out or early exit.
    bool waitForPasses(int count, int timeoutMs);

    // Waits until the child holds a UDP socket bound to `port`, so that
    // datagrams sent from now on are queued for it, not dropped.
    bool waitForBoundPort(quint16 port, int timeoutMs);

    // Waits for the child to exit; false on time-out.
    bool finish(int timeoutMs);

    const QByteArray& output() const { return output_; }
    const QByteArray& errorOutput() const { return errors_; }
    bool exitedNormally() const;
    int exitCode() const { return process_.exitCode(); }

private:
    void collect();

    QProcess process_;
    QByteArray output_;
    QByteArray errors_;
    bool started_ = false;
};

} // namespace trklib::test
