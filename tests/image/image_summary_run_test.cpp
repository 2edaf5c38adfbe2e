// The summary against a whole run: odu-upgrade --simulate at 19,200 baud on
// a virtual clock, whose --trace shows every byte sent and read. What the
// summary counts is what the run sends and receives, and the run takes the
// summary's expected time.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/cli.h"
#include "app/cli/cli_options.h"
#include "app/cli/image_summary.h"
#include "tests/support/cli_capture.h"
#include "tests/support/simulator.h"
#include "protocol/intel_hex.h"
#include "platform/serial/serial_virtual.h"
#include "resources/firmware_image.h"

namespace odu {
namespace {

using namespace odu::platform;

struct RunResult {
  int status = -1;
  std::string out;
  size_t frames_sent = 0, bytes_sent = 0, bytes_read = 0;
  double seconds = 0;
};

RunResult Upgrade(std::vector<std::string> args) {
  VirtualClock clock;
  VirtualPortOpener opener;
  CliEnvironment env;
  env.clock = &clock;
  env.opener = &opener;
  const sim::StationConfig station;
  const uint32_t baud = kSummaryBaud;
  env.simulator = testing::SimulatorOf(station, baud);
  args.insert(args.begin(), {"--simulate", "--trace"});
  RunResult r;
  const Nanos start = clock.Now();
  const testing::CliOutcome run = testing::CaptureCli(args, env);
  r.status = run.status;
  r.seconds = std::chrono::duration<double>(clock.Now() - start).count();
  r.out = run.out;
  // A trace line holds "TX" or "RX" and then the bytes, two hex digits each
  // (before them may come the time and the port).
  std::istringstream trace(run.err);
  for (std::string line; std::getline(trace, line);) {
    std::istringstream words(line);
    std::string word;
    while (words >> word && word != "TX" && word != "RX") {
    }
    if (word != "TX" && word != "RX") continue;
    const bool sent = word == "TX";
    size_t bytes = 0;
    while (words >> word && word.size() == 2 && std::isxdigit(static_cast<unsigned char>(word[0])) &&
           std::isxdigit(static_cast<unsigned char>(word[1]))) {
      ++bytes;
    }
    if (sent) {
      ++r.frames_sent;
      r.bytes_sent += bytes;
    } else {
      r.bytes_read += bytes;
    }
  }
  return r;
}

void ExpectRunMatches(const RunResult& run, const ImageSummary& s) {
  EXPECT_EQ(run.status, kExitDone) << run.out;
  EXPECT_NE(run.out.find("Simulated flash matches the image."), std::string::npos) << run.out;
  EXPECT_EQ(run.frames_sent, s.frames_sent);
  EXPECT_EQ(run.bytes_sent, s.bytes_sent);
  EXPECT_EQ(run.bytes_read, s.bytes_received);
  // The simulated station answers at once; the handshake's reply (8 bytes,
  // 4.2 ms) travels during the read's wait, which the summary counts whole.
  EXPECT_NEAR(run.seconds, s.expected_s, 0.010);
  EXPECT_LE(run.seconds, s.expected_s);
}

TEST(ImageSummaryRun, TheEmbeddedImageSendsAndTakesWhatTheSummarySays) {
  const auto lines = EmbeddedFirmwareLines();
  const ImageSummary s = SummarizeImage({lines.begin(), lines.end()});
  const RunResult run = Upgrade({});
  ExpectRunMatches(run, s);
  EXPECT_NEAR(run.seconds, 21.02, 0.01);
}

TEST(ImageSummaryRun, AFileWithAddressAndStartRecordsAsWell) {
  const std::string seed = std::to_string(::testing::UnitTest::GetInstance()->random_seed());
  const auto path = std::filesystem::temp_directory_path() / ("odu_image_summary_run_" + seed + ".hex");
  // Two blocks: 0x0100-0x010F and the byte at 0x0205.
  std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF:020000040000FA\r\n"
                                           ":10010000000102030405060708090a0b0c0d0e0f77 \r\n"
                                           ":020000020000FC\r\n"
                                           ":01020500AA4E\t\r\n"
                                           ":0400000500000100F6\r\n"
                                           ":00000001FF\r\n";
  const HexCheck check = CheckHexFile(path.string());
  ASSERT_TRUE(check.ok) << check.reason;
  const ImageSummary s = SummarizeImage(check.lines);
  EXPECT_EQ(s.records, 2u);
  EXPECT_EQ(s.blocks, 2u);
  const RunResult run = Upgrade({"--image", path.string()});
  std::filesystem::remove(path);
  ExpectRunMatches(run, s);
}

}  // namespace
}  // namespace odu
