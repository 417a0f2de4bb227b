#pragma once

#include <array>
#include <cstdint>

/// The radar's wire format. A packet is seven blocks, each sent in its own
/// datagram or datagrams (no datagram carries bytes of two blocks): a 48-byte
/// header in exactly one datagram, then six arrays of one entry per cell.
/// Every multi-byte value is little-endian; floats are IEEE 754 single
/// precision. This is the one definition that the parser, the packet encoder,
/// the tools, the tests and the benchmarks use.
namespace trklib::wire {

/// UDP port the radar sends to.
constexpr std::uint16_t defaultPort = 34567;

/// Header bytes 0-5; a header with any other pattern is rejected.
constexpr std::array<std::uint8_t, 6> syncPattern{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAB};
/// The length of the sync pattern, bytes.
constexpr int syncBytes = int(syncPattern.size());
/// Header byte 6: the only format version understood.
constexpr std::int8_t version = 2;
/// Header byte 7 holds the header's own size, which must be this.
constexpr int headerBytes = 48;
/// Header bytes 12-19: the packet's time, signed 64-bit milliseconds.
constexpr int timestampOffset = 12;

/// Cells per packet: every array block has one entry per cell, entry i
/// belonging to cell i.
constexpr int cellCount = 1024;

// The array blocks in packet order, their element types and sizes.
constexpr int amplitudeBytes = cellCount * 1;   ///< signed 8-bit, dB
constexpr int relVelocityBytes = cellCount * 4; ///< float, km/h
constexpr int distanceBytes = cellCount * 4;    ///< float, metres
constexpr int elevationBytes = cellCount * 4;   ///< float, degrees
constexpr int azimuthBytes = cellCount * 4;     ///< float, degrees
constexpr int phaseDiffBytes = cellCount * 2;   ///< signed 16-bit, raw sensor value

/// The blocks of a packet: the header and six arrays.
constexpr int blockCount = 7;
/// The sizes of all seven blocks in packet order, header first, bytes.
constexpr std::array<int, blockCount> blockBytes{headerBytes,   amplitudeBytes, relVelocityBytes,
                                                 distanceBytes, elevationBytes, azimuthBytes,
                                                 phaseDiffBytes};

/// One whole packet, all blocks back to back.
constexpr int packetBytes = 19504;
static_assert(headerBytes + amplitudeBytes + relVelocityBytes + distanceBytes + elevationBytes +
                      azimuthBytes + phaseDiffBytes ==
                  packetBytes,
              "the blocks make up one packet");

} // namespace trklib::wire
