// Station frames: 0x5A, total length L, 0x00, command, payload, and a 16-bit
// checksum (high byte first) that brings the sum of all bytes before it to 0
// modulo 65,536.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace odu {

inline constexpr uint8_t kFrameStart = 0x5A;
inline constexpr uint8_t kCommandInit = 0xF3;
inline constexpr uint8_t kCommandRecord = 0xF5;
inline constexpr uint8_t kAnswerStatus = 0xA2;
inline constexpr uint8_t kAnswerAck = 0xE5;

// The initialisation frame: command 0xF3 with the payload "0000".
inline constexpr uint8_t kInitFrame[10] = {0x5A, 0x0A, 0x00, 0xF3, 0x30, 0x30, 0x30, 0x30, 0xFD, 0xE9};

// The checksum of bytes [0, n): the two's complement of their sum.
uint16_t FrameChecksum(const uint8_t* bytes, size_t n);

// Writes the frame of `command` with `payload` into `out` (at least n + 6
// bytes) and returns its length, or 0 when the payload is too long for a
// frame (more than 121 bytes: the length byte is read as signed).
size_t BuildFrame(uint8_t command, const uint8_t* payload, size_t n, uint8_t* out);

// True when the L bytes of `frame` (L = frame[1], from 6 up) carry a
// consistent checksum.
bool FrameChecksumHolds(const uint8_t* frame);

// Judges the handshake's reply: `reply` holds the `count` bytes one read of
// 10 delivered. A valid station frame gives true and its verdict ("OK" or
// "Station upgrade not supported."). A length byte below 2 or above 10, or
// a frame longer than what was read, is no valid reply.
bool CheckStationReply(const uint8_t (&reply)[10], int count, std::string& verdict);

}  // namespace odu
