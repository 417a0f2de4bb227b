#pragma once

#include "tools/sited/history/httpauth.h"

#include <QByteArray>
#include <QVector>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

// The live messages of the site for the pages that sited serves, as
// Server-Sent Events (GET /api/stream): what the page would read from the
// broker (every radar's tracks and status, the site's picture and status,
// the zones, their states and events), each with its topic, so that the
// page needs no login of the broker's and sited alone says who sees what.
namespace trklib::sited::history {

// One message as an event of the stream: "data: TOPIC\ndata: PAYLOAD\n\n",
// the payload's lines each a data line of their own (the page's EventSource
// joins them with "\n" again).
QByteArray streamEvent(const QByteArray& topic, const QByteArray& payload);

class LiveStream
{
public:
    // What a page may fall behind by, bytes of the stream's text; the
    // oldest messages are dropped past it (some seconds of a busy site).
    static constexpr std::size_t queuedBytes = 8 * 1024 * 1024;
    // Pages streamed to at once; each holds one of the server's threads.
    static constexpr int maxPages = 16;

    // One page's messages.
    class Page
    {
    public:
        // The messages queued, as the stream's text, waiting up to wait for
        // one (empty: none came); false once the stream is closed.
        bool next(std::chrono::milliseconds wait, QByteArray& out);
        std::uint64_t dropped() const;

    private:
        friend class LiveStream;
        Page(LiveStream& stream, Role role) : stream_(stream), role_(role) {}
        LiveStream& stream_;
        const Role role_;
        std::deque<QByteArray> queue_; // under the stream's mutex
        std::size_t queuedBytes_ = 0;
        std::uint64_t dropped_ = 0;
    };

    // A message for every page whose role allows it. A retained message
    // (a status, the zones, a zone's state) is kept, the latest of its
    // topic, and is a new page's first; an empty one clears the topic's.
    void publish(const QByteArray& topic, const QByteArray& payload, bool retained,
                 Role needed = Role::Viewer);
    // A page of role joins; null when maxPages are streamed to already.
    std::shared_ptr<Page> join(Role role);
    // Ends every page's stream (sited stops).
    void close();

private:
    struct Kept
    {
        QByteArray topic;
        QByteArray event;
        Role needed;
    };
    void leave(Page* page);

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    bool closed_ = false;
    QVector<Kept> kept_;
    QVector<Page*> pages_;
};

} // namespace trklib::sited::history
