#include "engine/cycle.h"

namespace trklib {

CycleScratch& CycleScratch::local()
{
    static thread_local CycleScratch scratch;
    return scratch;
}

} // namespace trklib
