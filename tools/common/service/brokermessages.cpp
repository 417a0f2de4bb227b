#include "tools/common/service/brokermessages.h"

namespace trklib::service {

bool EventBacklog::admit()
{
    if (int(held_.size()) < capacity_)
        return true;
    ++dropped_;
    return false;
}

} // namespace trklib::service
