// The two records exchanged with the handheld: the 128-byte status report read from
// the status pipe and the 32-byte command packet written to the data pipe.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

constexpr size_t kStatusReportSize = 128;
constexpr size_t kCommandPacketSize = 32;
constexpr unsigned kCommandRestart = 100;

using StatusReport = std::array<uint8_t, kStatusReportSize>;
using CommandPacket = std::array<uint8_t, kCommandPacketSize>;

// The boot-loader version word of a version reply (byte 4 = 'U'), 0 for any other report.
uint16_t VersionFromReport(const StatusReport& report);
// The command code's low 8 bits followed by 31 fill bytes 0x55.
CommandPacket BuildCommandPacket(unsigned code);

// Reads one status report: the version word of a version reply, 0 for a report that
// carries none. Nothing when no report came (no device, pipe error, time-out, a
// connection closed or a read that delivered no byte): that is no answer at all.
std::optional<uint16_t> QueryBootVersion();
// Writes one command packet to the data pipe; true when every byte went. Shows
// nothing: the caller decides what the user sees.
bool WriteCommandPacket(unsigned code);
