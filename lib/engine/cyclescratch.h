#pragma once

#include "detection/radardatamax.h"

#include <QVector>

namespace trklib {

// Working storage of an engine call that keeps its capacity from packet to
// packet, so that a cycle allocates nothing once the lists have grown to
// the scene. It cannot be a member of TargetTracking, whose size and layout
// are part of the library's binary interface; it is one per thread
// instead, and only ever used within one call on that thread, never
// across calls, so engines on one thread can share it.
struct CycleScratch
{
    QVector<RadarDataMax> maxima; // the packet's maxima (performTracking, validation)

    // This thread's.
    static CycleScratch& local();
};

} // namespace trklib
