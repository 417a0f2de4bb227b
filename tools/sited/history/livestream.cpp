#include "tools/sited/history/livestream.h"

#include <QList>

#include <algorithm>

namespace trklib::sited::history {

QByteArray streamEvent(const QByteArray& topic, const QByteArray& payload)
{
    QByteArray out = "data: " + topic + '\n';
    QByteArray text = payload;
    text.replace("\r\n", "\n").replace('\r', '\n');
    for (const QByteArray& line : text.split('\n'))
        out.append("data: ").append(line).append('\n');
    out.append('\n');
    return out;
}

bool LiveStream::Page::next(std::chrono::milliseconds wait, QByteArray& out)
{
    out.clear();
    std::unique_lock<std::mutex> lock(stream_.mutex_);
    stream_.arrived_.wait_for(lock, wait, [&] { return stream_.closed_ || !queue_.empty(); });
    if (stream_.closed_)
        return false;
    for (const QByteArray& event : queue_)
        out.append(event);
    queue_.clear();
    queuedBytes_ = 0;
    return true;
}

std::uint64_t LiveStream::Page::dropped() const
{
    const std::lock_guard<std::mutex> lock(stream_.mutex_);
    return dropped_;
}

void LiveStream::publish(const QByteArray& topic, const QByteArray& payload, bool retained,
                         Role needed)
{
    // A topic is one line of the event.
    if (topic.contains('\n') || topic.contains('\r'))
        return;
    const QByteArray event = streamEvent(topic, payload);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (retained) {
            const auto it = std::find_if(kept_.begin(), kept_.end(),
                                         [&](const Kept& k) { return k.topic == topic; });
            // An empty retained message clears the topic's, as at a broker.
            if (payload.isEmpty()) {
                if (it != kept_.end())
                    kept_.erase(it);
            } else if (it == kept_.end()) {
                kept_.append({topic, event, needed});
            } else {
                *it = {topic, event, needed};
            }
        }
        for (Page* page : qAsConst(pages_)) {
            if (!allows(page->role_, needed))
                continue;
            page->queue_.push_back(event);
            page->queuedBytes_ += std::size_t(event.size());
            while (page->queuedBytes_ > queuedBytes && page->queue_.size() > 1) {
                page->queuedBytes_ -= std::size_t(page->queue_.front().size());
                page->queue_.pop_front();
                ++page->dropped_;
            }
        }
    }
    arrived_.notify_all();
}

std::shared_ptr<LiveStream::Page> LiveStream::join(Role role)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || pages_.size() >= maxPages)
        return nullptr;
    std::shared_ptr<Page> page(new Page(*this, role), [this](Page* p) {
        leave(p);
        delete p;
    });
    for (const Kept& k : qAsConst(kept_)) {
        if (allows(role, k.needed)) {
            page->queue_.push_back(k.event);
            page->queuedBytes_ += std::size_t(k.event.size());
        }
    }
    pages_.append(page.get());
    return page;
}

void LiveStream::leave(Page* page)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    pages_.removeOne(page);
}

void LiveStream::close()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    arrived_.notify_all();
}

} // namespace trklib::sited::history
