// trackdemo: asks for the radar's mounting and a packet count, then prints
// the targets the library reports for each received packet.
//
// A plain client of libtrklib: it uses the facade and standard streams only.

#include "interface/targettrackinginterface.h"

#include <iostream>
#include <vector>

namespace {

constexpr int statusOk = 0;
constexpr int statusReadError = 1;
constexpr int statusParseError = 2;

void printTarget(const trklib::TargetData& target)
{
    std::cout << "Target " << target.number << ":"
              << "\n\televation (degrees) = " << target.elevation
              << "\n\tazimuth (degrees)   = " << target.azimuth
              << "\n\tdistance (meters)   = " << target.distance
              << "\n\tvelocity (kph)      = " << target.velocity
              << "\n\tconfirmed           = " << target.confirmed << "\n";
}

void printPacket(int pass, long timestamp, const std::vector<trklib::TargetData>& targets)
{
    std::cout << "Packet: " << pass << "\n"
              << "Timestamp: " << timestamp << "\n"
              << "Number of targets: " << targets.size() << "\n";
    for (const trklib::TargetData& target : targets)
        printTarget(target);
}

} // namespace

int main()
{
    trklib::TargetTrackingInterface tracking;
    trklib::RadarConfig& config = tracking.radarConfig();

    // A failed read leaves std::cin failed; later reads store nothing, so
    // the configuration keeps its zeros and the packet count stays 0.
    std::cout << "Set tilt (degrees): ";
    std::cin >> config.tilt;
    std::cout << "Set pan (degrees): ";
    std::cin >> config.pan;
    std::cout << "Set height (meters): ";
    std::cin >> config.height;
    std::cout << "Set pan offset (degrees): ";
    std::cin >> config.panOffset;

    int orientation = 0;
    std::cout << "Set radar orientation (0 - horizontal, 1 - vertical): ";
    std::cin >> orientation;
    config.orientation = orientation != 0 ? 1 : 0;

    int packetCount = 0;
    std::cout << "Set number of packets to receive: ";
    std::cin >> packetCount;
    std::cout << std::endl;

    tracking.connect();
    for (int pass = 0; pass < packetCount; ++pass) {
        long timestamp = 0;
        std::vector<trklib::TargetData> targets;
        switch (tracking.getTargets(timestamp, targets)) {
        case statusReadError:
            std::cout << "Read error\n";
            break;
        case statusParseError:
            std::cout << "Parse error\n";
            break;
        case statusOk:
            printPacket(pass, timestamp, targets);
            break;
        default:
            break;
        }
        std::cout << std::endl;
    }
    tracking.disconnect();
    return 0;
}
