#include "tools/sited/zones/zonemailbox.h"

namespace trklib::sited::zones {

std::shared_ptr<ZoneMailbox::Posted> ZoneMailbox::post(Job job)
{
    auto posted = std::make_shared<Posted>();
    posted->job = std::move(job);
    const std::lock_guard<std::mutex> lock(mutex_);
    pending_.append(posted);
    return posted;
}

bool ZoneMailbox::wait(const std::shared_ptr<Posted>& posted, std::chrono::milliseconds timeout,
                       ArmingAnswer* answer)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!taken_.wait_for(lock, timeout, [&posted] { return posted->taken; }))
        return false;
    if (answer)
        *answer = posted->answer;
    return true;
}

void ZoneMailbox::serve(const std::function<ArmingAnswer(const Job&)>& handle)
{
    QVector<std::shared_ptr<Posted>> jobs;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.isEmpty())
            return;
        jobs.swap(pending_);
    }
    QVector<ArmingAnswer> answers;
    for (const std::shared_ptr<Posted>& posted : qAsConst(jobs))
        answers.append(handle(posted->job));
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < jobs.size(); ++i) {
            jobs[i]->answer = answers[i];
            jobs[i]->taken = true;
        }
    }
    taken_.notify_all();
}

} // namespace trklib::sited::zones
