#include "tracking/candidate.h"

#include "tracking/candidatepool.h"
#include "tracking/gating.h"
#include "util/units.h"
#include "util/util.h"

#include <cmath>
#include <cstdlib>

namespace trklib {

namespace {
constexpr double referenceHeightM = 0.5; // predicted point above the ground
constexpr int maxIndexGateCells = 8;     // candidate-to-candidate gate
constexpr int mainIndexWindowDb = 3;     // measurements this close to the strongest compete
} // namespace

namespace {

// The velocity along the mounting axis from the radial one, with the
// cosine of the elevation given.
double axialVelocity(double relVelocity, double cosElevation, double azimuth)
{
    return relVelocity / (cosElevation * util::cosd(azimuth));
}

} // namespace

// The cosine of the elevation serves the ground test and, unless the
// detection is mirrored, the axial velocity too.
Candidate::Candidate(RadarConfig* config, RadarDataMax max, double noiseLevel)
    : config(config), index(max.index), amplitude(max.amplitude), distance(max.distance),
      relVelocity(max.relVelocity), noiseLevel(noiseLevel)
{
    elevation = max.elevation + config->tilt;
    const double cosElevation = util::cosd(elevation);
    // Depression angle of the ground point at the detection's horizontal
    // range. A detection below it is a reflection off the ground: mirror it.
    const double g = -util::atand(config->height / (max.distance * cosElevation));
    azimuth = config->pan + max.azimuth;
    if (g > elevation) {
        elevation = (g + g) - elevation;
        updateAbsVelocity();
    } else {
        absVelocity = axialVelocity(relVelocity, cosElevation, azimuth);
    }
}

void Candidate::updateAbsVelocity()
{
    absVelocity = axialVelocity(relVelocity, util::cosd(elevation), azimuth);
}

void Candidate::getCoordErrors(double& distanceError, double& elevationError,
                               double& azimuthError) const
{
    const double snr = double(amplitude) - noiseLevel;
    distanceError = 80 / snr + 2;
    elevationError = 100 / distance + 20 / snr;
    azimuthError = 100 / distance + 15 / snr;
}

// Constant radial velocity; the elevation follows the small-angle elevation
// of a point half a metre above the ground, and the lateral offset is held.
void Candidate::predict(long elapsedMs)
{
    const double ds = (double(elapsedMs) / util::msPerS) * relVelocity;
    const double d0 = distance;
    const double d1 = d0 + ds;
    elevation =
        util::radToDeg(((referenceHeightM - config->height) * (d0 - d1)) / (d0 * d1)) + elevation;
    azimuth = azimuth * (1.0 - ds / d0);
    distance = d1;
}

// Radar cross-section, dB, from range, amplitude and the antenna pattern:
// 0.1 dB per square degree off boresight across the mounting, 0.05 along it.
double Candidate::calculateRcs() const
{
    double a = elevation - config->tilt;
    double b = azimuth - config->pan;
    if (config->orientation == 1)
        std::swap(a, b);
    return 20 * std::log10(distance) + double(amplitude) + 0.1 * (b * b) + 0.05 * (a * a) + 13.0;
}

// Among the measurements within 3 dB of the strongest, the one whose axial
// velocity is closest to this candidate's; ties go to the strongest, then to
// the earliest.
int Candidate::getMainIndex(const QVector<Candidate>& list) const
{
    if (list.size() <= 1)
        return 0;
    int strongest = 0;
    for (int i = 1; i < list.size(); ++i) {
        if (list[i].amplitude > list[strongest].amplitude)
            strongest = i;
    }
    int best = strongest;
    double bestDiff = std::fabs(list[strongest].absVelocity - absVelocity);
    for (int i = 0; i < list.size(); ++i) {
        if (list[strongest].amplitude - list[i].amplitude > mainIndexWindowDb || i == strongest)
            continue;
        const double diff = std::fabs(list[i].absVelocity - absVelocity);
        if (diff < bestDiff) {
            best = i;
            bestDiff = diff;
        }
    }
    return best;
}

// A fixed-gain blend, not a covariance filter: gain (0.1 n + 1) / (n + 1).
void Candidate::kalman(const Candidate& measurement, int n)
{
    const double gain = (0.1 * n + 1) / (n + 1);
    distance = distance + gain * (measurement.distance - distance);
    relVelocity = (relVelocity + measurement.relVelocity) * 0.5;
    updateAbsVelocity();
}

void Candidate::refine(const QVector<Candidate>& list)
{
    const int m = getMainIndex(list);
    kalman(list[m], 1);
    index = list[m].index;
}

// A NaN difference fails.
bool insideCandidateGate(const Candidate& p, const Candidate& c, const GateErrors& errors)
{
    return std::fabs(c.distance - p.distance) <= errors.distance &&
           std::abs(c.index - p.index) <= maxIndexGateCells &&
           std::fabs(c.azimuth - p.azimuth) <= errors.azimuth &&
           std::fabs(c.elevation - p.elevation) <= errors.elevation;
}

// Each pool entry is gated with its own errors. The pool is partitioned in
// place.
QVector<Candidate> Candidate::select(QVector<Candidate>& pool) const
{
    QVector<Candidate> selected;
    const auto inside = [this](const Candidate& c) {
        GateErrors errors;
        c.getCoordErrors(errors.distance, errors.elevation, errors.azimuth);
        return insideCandidateGate(*this, c, errors);
    };
    takeOut(pool, inside, [&selected](const Candidate& c) { selected.append(c); });
    return selected;
}

} // namespace trklib
