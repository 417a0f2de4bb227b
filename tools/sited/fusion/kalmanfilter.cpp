#include "tools/sited/fusion/kalmanfilter.h"

#include "util/units.h"

#include <cmath>

namespace trklib::sited::fusion {

using util::sPerMs;

KalmanFilter::KalmanFilter(const GroundMeasurement& m, std::int64_t timeMs) : timeMs_(timeMs)
{
    s_[0] = m.xM;
    s_[1] = m.yM;
    p_[0][0] = m.covXX;
    p_[0][1] = p_[1][0] = m.covXY;
    p_[1][1] = m.covYY;
    p_[2][2] = p_[3][3] = initialSpeedSigmaMps * initialSpeedSigmaMps;
}

void KalmanFilter::predict(std::int64_t timeMs)
{
    if (timeMs <= timeMs_)
        return;
    const double q = processDensity();
    const double dt = double(timeMs - timeMs_) * sPerMs;
    timeMs_ = timeMs;
    s_[0] += dt * s_[2];
    s_[1] += dt * s_[3];
    // P = F P F^T with F = [I dt*I; 0 I], in place: rows, then columns.
    for (int c = 0; c < 4; ++c) {
        p_[0][c] += dt * p_[2][c];
        p_[1][c] += dt * p_[3][c];
    }
    for (int r = 0; r < 4; ++r) {
        p_[r][0] += dt * p_[r][2];
        p_[r][1] += dt * p_[r][3];
    }
    const double qPP = q * dt * dt * dt / 3.0;
    const double qPV = q * dt * dt / 2.0;
    const double qVV = q * dt;
    for (int axis = 0; axis < 2; ++axis) {
        p_[axis][axis] += qPP;
        p_[axis][axis + 2] += qPV;
        p_[axis + 2][axis] += qPV;
        p_[axis + 2][axis + 2] += qVV;
    }
}

double KalmanFilter::processDensity() const
{
    const double speedSq = s_[2] * s_[2] + s_[3] * s_[3];
    const double speedVariance = p_[2][2] + p_[3][3];
    const bool walker = speedSq <= walkerTopSpeedMps * walkerTopSpeedMps &&
                        speedVariance <= knownSpeedSigmaMps * knownSpeedSigmaMps;
    return walker ? walkerAccelerationDensity : accelerationDensity;
}

double KalmanFilter::xAt(std::int64_t timeMs) const
{
    return timeMs > timeMs_ ? s_[0] + double(timeMs - timeMs_) * sPerMs * s_[2] : s_[0];
}

double KalmanFilter::yAt(std::int64_t timeMs) const
{
    return timeMs > timeMs_ ? s_[1] + double(timeMs - timeMs_) * sPerMs * s_[3] : s_[1];
}

void KalmanFilter::updatePosition(const GroundMeasurement& m)
{
    // H picks x and y: S = P[0..1][0..1] + R, K = P[.][0..1] S^-1.
    const double sXX = p_[0][0] + m.covXX;
    const double sXY = p_[0][1] + m.covXY;
    const double sYY = p_[1][1] + m.covYY;
    const double det = sXX * sYY - sXY * sXY;
    if (!(det > 0.0))
        return;
    const double iXX = sYY / det, iXY = -sXY / det, iYY = sXX / det;
    const double innovationX = m.xM - s_[0];
    const double innovationY = m.yM - s_[1];
    double k[4][2];
    for (int r = 0; r < 4; ++r) {
        k[r][0] = p_[r][0] * iXX + p_[r][1] * iXY;
        k[r][1] = p_[r][0] * iXY + p_[r][1] * iYY;
    }
    for (int r = 0; r < 4; ++r)
        s_[r] += k[r][0] * innovationX + k[r][1] * innovationY;
    // P = P - K H P, with H P the first two rows of P.
    double hp[2][4];
    for (int c = 0; c < 4; ++c) {
        hp[0][c] = p_[0][c];
        hp[1][c] = p_[1][c];
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            p_[r][c] -= k[r][0] * hp[0][c] + k[r][1] * hp[1][c];
}

void KalmanFilter::updateAlong(double ux, double uy, double speedMps, double variance)
{
    // H = [0 0 ux uy].
    double ph[4];
    for (int r = 0; r < 4; ++r)
        ph[r] = p_[r][2] * ux + p_[r][3] * uy;
    const double s = ph[2] * ux + ph[3] * uy + variance;
    if (!(s > 0.0))
        return;
    const double innovation = speedMps - (s_[2] * ux + s_[3] * uy);
    for (int r = 0; r < 4; ++r)
        s_[r] += ph[r] / s * innovation;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            p_[r][c] -= ph[r] * ph[c] / s;
}

double KalmanFilter::positionErrorM() const
{
    const double meanVariance = (p_[0][0] + p_[1][1]) / 2.0;
    const double halfDifference = (p_[0][0] - p_[1][1]) / 2.0;
    return std::sqrt(meanVariance + std::hypot(halfDifference, p_[0][1]));
}

} // namespace trklib::sited::fusion
