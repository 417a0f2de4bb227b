// trackdemo: asks for the radar's mounting and a packet count, then prints
// the targets the library reports for each received packet.
//
// A plain client of libtrklib: it uses the facade and standard streams only.
// It takes no arguments but --help and --version, each alone.

#include "interface/targettrackinginterface.h"

#include <cstring>
#include <iostream>
#include <vector>

namespace {

constexpr int statusOk = 0;
constexpr int statusReadError = 1;
constexpr int statusParseError = 2;

constexpr int exitUsage = 2; // a bad command line

void printUsage(std::ostream& out)
{
    out << "Usage: trackdemo\n"
           "Asks for the radar's mounting and a number of packets on standard input,\n"
           "then receives that many packets on UDP port "
        << trklib::wire::defaultPort
        << " (every interface) and\n"
           "prints the targets the library reports for each.\n"
           "\n"
           "  --help     show this text\n"
           "  --version  show the version\n";
}

// Answers --help or --version; anything else is a bad command line, since
// the dialogue takes its answers from standard input.
int answerArguments(int argc, char* argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        printUsage(std::cout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "trackdemo " TRKLIB_VERSION "\n";
        return 0;
    }
    std::cerr << "trackdemo: bad command line:";
    for (int i = 1; i < argc; ++i)
        std::cerr << ' ' << argv[i];
    std::cerr << " (--help or --version alone; the answers come from standard input)\n";
    printUsage(std::cerr);
    return exitUsage;
}

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

int main(int argc, char* argv[])
{
    if (argc > 1)
        return answerArguments(argc, argv);

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
