#pragma once

#include <cstdint>

// A constant-velocity Kalman filter on the ground: state x, y (metres) and
// vx, vy (m/s) in site coordinates, driven by white acceleration noise.
namespace trklib::sited::fusion {

// A point of the ground and its covariance, site coordinates.
struct GroundMeasurement
{
    double xM = 0.0;
    double yM = 0.0;
    double covXX = 0.0; // m^2
    double covXY = 0.0;
    double covYY = 0.0;
};

class KalmanFilter
{
public:
    // Vehicles: turns, braking and starting of a few m/s^2, as a white
    // acceleration of this spectral density, m^2/s^3.
    static constexpr double accelerationDensity = 1.0;
    // Walkers change their pace and way by a few tenths of a m/s^2: an
    // object known to move no faster than walkerTopSpeedMps (its speed's
    // error at most knownSpeedSigmaMps) is driven by this density instead,
    // so that while its radars lose it the velocity stays a walker's and
    // its estimate does not spread over a neighbour's track metres away.
    static constexpr double walkerAccelerationDensity = 0.3;
    static constexpr double walkerTopSpeedMps = 2.5;
    static constexpr double knownSpeedSigmaMps = 1.0;
    // Before any velocity is measured: up to about 80 km/h either way.
    static constexpr double initialSpeedSigmaMps = 15.0;

    KalmanFilter() = default;
    // Starts at a measured point, standing still but with a wide velocity.
    KalmanFilter(const GroundMeasurement& m, std::int64_t timeMs);

    std::int64_t timeMs() const { return timeMs_; }
    double x() const { return s_[0]; }
    double y() const { return s_[1]; }
    double vx() const { return s_[2]; }
    double vy() const { return s_[3]; }
    // Covariance of the state, row-major, x, y, vx, vy.
    double cov(int row, int column) const { return p_[row][column]; }
    // The radius in metres of the smallest circle that holds the 1-sigma
    // ellipse of the position error: the square root of the larger
    // eigenvalue of the position's covariance.
    double positionErrorM() const;

    // Moves the state forward to timeMs; never backwards.
    void predict(std::int64_t timeMs);
    // The acceleration density predict() drives the state with now: the
    // walker's or the vehicle's.
    double processDensity() const;
    // Where the object will be at timeMs (now, when timeMs is earlier).
    double xAt(std::int64_t timeMs) const;
    double yAt(std::int64_t timeMs) const;

    void updatePosition(const GroundMeasurement& m);
    // The ground velocity's component along the unit vector (ux, uy),
    // with its variance, (m/s)^2.
    void updateAlong(double ux, double uy, double speedMps, double variance);

private:
    double s_[4] = {0.0, 0.0, 0.0, 0.0};
    double p_[4][4] = {};
    std::int64_t timeMs_ = 0;
};

} // namespace trklib::sited::fusion
