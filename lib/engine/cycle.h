#pragma once

#include "detection/radardatamax.h"
#include "tracking/candidate.h"
#include "tracking/gating.h"

#include <QVector>

#include <vector>

namespace trklib {

// A target as checkTargets compares it: its place on the ground, x along the
// boresight and y across it (m), and its velocity (km/h); known is false
// until worked out and again after the target changed.
struct GroundView
{
    double x = 0.0;
    double y = 0.0;
    double v = 0.0;
    bool known = false;
};

// More maxima than this in one packet: the packet is taken as noise, and
// no candidate is made of it.
constexpr int maxMaximaPerCycle = 100;

// Working storage of an engine call that keeps its capacity from packet to
// packet, so that a cycle allocates nothing once the lists have grown to
// the scene. It cannot be a member of TargetTracking, whose size and layout
// are part of the library's binary interface; it is one per thread
// instead, and only ever used within one call on that thread, never
// across calls, so engines on one thread can share it. Each list belongs
// to one stage (or two that never run inside each other), which empties
// it before use.
struct CycleScratch
{
    QVector<RadarDataMax> maxima;        // the packet's maxima (performTracking, validation)
    std::vector<char> harmonicRemoved;   // checkHarmonics: per maximum
    QVector<Candidate> negatives;        // algorithmConvoy's streams; each cycle swaps them
    QVector<Candidate> positives;        // with the engine's leftovers
    QVector<Candidate> singleView;       // checkTargets: one new target as a measurement
    QVector<Candidate> selected;         // matchCandidates, createTargets: one gate's catch
    GatedPool::Storage gating;           // matchCandidates, createTargets
    std::vector<GroundView> groundViews; // checkTargets: per target

    // This thread's.
    static CycleScratch& local();
};

} // namespace trklib
