#include "platform/serial/comm_timeouts.h"

#include <gtest/gtest.h>

#include <string>

namespace odu::platform {
namespace {

std::string Describe(std::optional<Nanos> wait) {
  if (!wait) return "ends";
  if (*wait == kForever) return "forever";
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(*wait).count()) + " ms" +
         (*wait % Millis(1) == Nanos::zero() ? "" : " and a fraction");
}

// How long a read still waits for bytes under each kind of timeouts, on a
// silent line or after bytes (times in ms after its start), and the total a
// write of the same count may take.
TEST(CommTimeoutsTest, ReadWaitsAndWriteTotalsFollowTheTimeouts) {
  constexpr uint32_t M = kMaxDword;
  struct Row {
    const char* what;
    CommTimeouts t;  // interval, read multiplier, read constant, write multiplier, write constant
    uint32_t count, read;
    int64_t last_byte, now;
    const char* wait;
    std::optional<uint64_t> write;
  };
  const Row rows[] = {
      {"no timeouts: no limit", {0, 0, 0, 0, 0}, 10, 0, 0, 0, "forever", std::nullopt},
      {"immediate", {M, 0, 0, 0, 0}, 10, 0, 0, 0, "ends", std::nullopt},
      {"the port's own on a silent line", {M, 0, 1000, 0, 1000}, 10, 0, 0, 0, "1000 ms", 1000},
      {"the port's own after bytes: no interval", {M, 0, 1000, 0, 1000}, 10, 4, 100, 400, "600 ms", 1000},
      {"first bytes on a silent line", {M, M, 50, 0, 0}, 10, 0, 0, 20, "30 ms", std::nullopt},
      {"first bytes once a byte came", {M, M, 50, 0, 0}, 10, 1, 10, 10, "ends", std::nullopt},
      {"first bytes need a constant below MAXDWORD", {M, M, M, 0, 0}, 1, 1, 0, 0, "8589934590 ms", std::nullopt},
      {"constant and multiplier MAXDWORD, 10 bytes", {M, M, M, 0, 0}, 10, 0, 0, 0, "47244640245 ms", std::nullopt},
      {"constant and multiplier MAXDWORD, 1000 bytes", {M, M, M, 0, 0}, 1000, 0, 0, 0, "forever", std::nullopt},
      {"multiplier MAXDWORD without a constant", {M, M, 0, 0, 0}, 1, 1, 0, 5, "4294967290 ms", std::nullopt},
      {"interval MAXDWORD with a multiplier", {M, 5, 0, 0, 0}, 10, 2, 10, 20, "30 ms", std::nullopt},
      {"total: constant + multiplier * count", {0, 10, 100, 10, 100}, 50, 0, 0, 250, "350 ms", 600},
      {"total: 1 ms before its end", {0, 10, 100, 0, 0}, 50, 0, 0, 599, "1 ms", std::nullopt},
      {"total: at its end", {0, 10, 100, 0, 0}, 50, 0, 0, 600, "ends", std::nullopt},
      {"total beyond 32 bits", {0, 100000, 5, 100000, 5}, 100000, 0, 0, 0, "10000000005 ms", 10000000005},
      {"multiplier and count MAXDWORD", {0, M, M, M, M}, M, 0, 0, 0, "forever", 18446744069414584320u},
      {"interval only on a silent line", {20, 0, 0, 0, 0}, 10, 0, 0, 500, "forever", std::nullopt},
      {"interval from the last byte", {20, 0, 0, 0, 0}, 10, 3, 100, 105, "15 ms", std::nullopt},
      {"interval 1 ms before its end", {20, 0, 0, 0, 0}, 10, 3, 100, 119, "1 ms", std::nullopt},
      {"interval at its end", {20, 0, 0, 0, 0}, 10, 3, 100, 120, "ends", std::nullopt},
      {"interval before the total", {20, 0, 100, 0, 0}, 10, 3, 10, 15, "15 ms", std::nullopt},
      {"total before the interval", {20, 0, 100, 0, 0}, 10, 3, 90, 95, "5 ms", std::nullopt},
      {"write multiplier alone", {0, 0, 0, 7, 0}, 3, 0, 0, 0, "forever", 21},
  };
  const Nanos start = Millis(1000);
  for (const Row& r : rows) {
    const ReadTimeouts rule = ReadTimeoutsFor(r.t, r.count);
    EXPECT_EQ(Describe(ReadWaitLeft(rule, start, start + Millis(r.now), r.read, start + Millis(r.last_byte))), r.wait)
        << r.what;
    EXPECT_EQ(WriteTotalFor(r.t, r.count), r.write) << r.what;
  }
}

}  // namespace
}  // namespace odu::platform
