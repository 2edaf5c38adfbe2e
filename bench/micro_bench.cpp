// Micro-benchmarks of the work the tool does per run and per record.
#include <benchmark/benchmark.h>

#include <string>

#include "protocol/intel_hex.h"
#include "app/main_panel.h"
#include "protocol/station_frame.h"
#include "platform/toolkit/toolkit_headless.h"
#include "resources/firmware_image.h"

using namespace odu;
using namespace odu::platform;

// Checking an image file as --image does, on the embedded image's text.
static void BM_CheckImageFile(benchmark::State& state) {
  std::string text;
  for (std::string_view line : EmbeddedFirmwareLines()) (text += line) += '\n';
  for (auto _ : state) benchmark::DoNotOptimize(CheckHexText(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_CheckImageFile);

// Unpacking the embedded image at Start.
static void BM_UnpackImage(benchmark::State& state) {
  VirtualClock clock;
  HeadlessToolkit toolkit(clock);
  TComponent root(nullptr);
  auto* panel = new TMainPanel(&root);
  for (auto _ : state) {
    panel->UnpackImage();
    benchmark::DoNotOptimize(panel->Image[0]);
  }
}
BENCHMARK(BM_UnpackImage);

// Framing one data record.
static void BM_BuildRecordFrame(benchmark::State& state) {
  const std::string record = ":100000000220BBA21492B4122885220227FAC2B79A";
  uint8_t frame[256];
  for (auto _ : state)
    benchmark::DoNotOptimize(BuildFrame(kCommandRecord, reinterpret_cast<const uint8_t*>(record.data()), record.size(), frame));
}
BENCHMARK(BM_BuildRecordFrame);

BENCHMARK_MAIN();
