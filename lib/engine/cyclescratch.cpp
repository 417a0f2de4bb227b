#include "engine/cyclescratch.h"

namespace trklib {

CycleScratch& CycleScratch::local()
{
    static thread_local CycleScratch scratch;
    return scratch;
}

} // namespace trklib
