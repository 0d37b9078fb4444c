// kqlink_packets.h - the KQ-LINK packets as the simulated units speak them: the start
// byte, the kinds in the high nibble of byte 1 and the sub-commands. Shared by the
// stations' loader (station.cpp) and the units' firmware (peripherals.cpp); only files
// of sim/ include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {
namespace kqlink_packets {

const uint8_t START = 0x80;
// Kinds in the high nibble of byte 1.
const uint8_t KIND_LOADER = 0x2, KIND_LOADER_REPLY = 0x0, KIND_QUERY_REPLY = 0x4, KIND_QUERY = 0x6;
const uint8_t KIND_SET = 0xA, KIND_ANNOUNCE = 0xC, KIND_DISCOVER = 0xE;
const uint8_t LOADER_BEGIN = 0x00, LOADER_ERASE = 0x01, LOADER_WRITE = 0x02, LOADER_FINISH = 0x03, LOADER_ACK = 0x04;
const uint8_t QUERY_LEVEL = 0x01, QUERY_FUNCTION = 0x02, QUERY_STATUS = 0x04;
const uint8_t SET_REMOTE = 0x01, SET_TEXT = 0x02;
const size_t TEXT_BYTES = 63;

// A request line of the log.
inline std::string Format(const char* format, uint32_t a, uint32_t b = 0) {
    char buf[96];
    snprintf(buf, sizeof buf, format, a, b);
    return buf;
}

}  // namespace kqlink_packets
}  // namespace sim
