// upgrade-soak: many whole upgrades in process (virtual port, virtual clock,
// unpaced) against the simulated station with random faults from a seed.
// Every run must end in "Done." with the station's flash equal to the image,
// or in one of the run's two failures; a run that does neither within a
// generous span of virtual time is a hang. Prints the counts, one a line, and
// the same counts again for the runs in which some reply came later than its
// command's timeout (replies carry no sequence number, so such a reply can be
// taken for the answer to a later command: the protocol's own limit).
//
//   upgrade-soak [runs] [seed]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "app/main_panel.h"
#include "app/simulated_station.h"
#include "platform/toolkit/toolkit_headless.h"

using namespace odu;
using namespace odu::platform;

namespace {

struct Counts {
  long runs = 0, done = 0, communication_error = 0, command_timeout = 0, wrong_flash = 0, hangs = 0, other = 0;
};

void Print(const char* prefix, const Counts& c) {
  std::printf("%sruns: %ld\n", prefix, c.runs);
  std::printf("%sdone: %ld\n", prefix, c.done);
  std::printf("%scommunication_error: %ld\n", prefix, c.communication_error);
  std::printf("%scommand_timeout: %ld\n", prefix, c.command_timeout);
  std::printf("%swrong_flash: %ld\n", prefix, c.wrong_flash);
  std::printf("%shangs: %ld\n", prefix, c.hangs);
  if (c.other) std::printf("%sother_end: %ld\n", prefix, c.other);
}

// The faults of one run, drawn from its seed.
sim::StationConfig RandomStation(uint64_t seed) {
  std::mt19937_64 rng(seed);
  sim::StationConfig c;
  c.seed = seed;
  c.fault_rate = std::uniform_real_distribution<double>(0.0, 0.04)(rng);
  c.random_kinds = {sim::Fault::Drop,      sim::Fault::Corrupt, sim::Fault::Refuse,  sim::Fault::Delay,
                    sim::Fault::Split,     sim::Fault::SplitSlow, sim::Fault::Noise, sim::Fault::Garbled};
  // Replies later than their command's timeout in one run of ten.
  if (std::uniform_int_distribution<int>(0, 9)(rng) == 0) c.random_kinds.push_back(sim::Fault::LateTimeout);
  c.faults_first_time_only = true;
  std::uniform_int_distribution<int> command(0, 660);
  const int ending = std::uniform_int_distribution<int>(0, 99)(rng);
  if (ending < 3) {
    c.faults[command(rng)] = sim::Fault::Stall;
  } else if (ending < 6) {
    c.faults[command(rng)] = sim::Fault::Vanish;
  } else if (ending < 9) {
    c.faults[command(rng)] = sim::Fault::Refuse;  // every time it comes
    c.faults_first_time_only = false;
  }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  const long runs = argc > 1 ? std::atol(argv[1]) : 10000;
  const uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;
  Counts all, late;
  long examples = 0;
  for (long i = 0; i < runs; ++i) {
    const uint64_t run_seed = seed * 1'000'003 + static_cast<uint64_t>(i);
    VirtualClock clock;
    HeadlessToolkit toolkit(clock);
    SimulatedStation simulated(clock, 0, RandomStation(run_seed));
    const sim::Station& station = simulated.station();
    std::string ending;
    {
      TComponent root(nullptr);
      auto* panel = new TMainPanel(&root);
      panel->Port->SetOpener(&simulated.opener());
      panel->ListPorts = [](std::vector<std::string>& l) { l.push_back(SimulatedStation::kPortName); };
      toolkit.on_box = [&](const HeadlessToolkit::Box& box) { ending = box.text; };
      panel->Button1->Click();
      // The longest healthy run is a few minutes of virtual time; a run
      // that has not ended after two hours never will.
      const bool ended =
          toolkit.RunUntil([&] { return panel->Button1->Enabled() && panel->Step == 0; }, clock.Now() + Millis(7'200'000));
      const bool is_late = station.stats().late_replies > 0;
      for (Counts* c : {&all, is_late ? &late : nullptr}) {
        if (!c) continue;
        ++c->runs;
        if (!ended) {
          ++c->hangs;
        } else if (ending.empty() && panel->StaticText1->Caption() == "Done.") {
          ++c->done;
          if (!simulated.FlashMatches(panel->Image)) {
            ++c->wrong_flash;
            if (c == &all && examples++ < 3)
              std::fprintf(stderr, "wrong flash after \"Done.\": run %ld, seed %llu%s\n", i,
                           static_cast<unsigned long long>(run_seed), is_late ? " (a late reply)" : "");
          }
        } else if (ending == "Communication error.") {
          ++c->communication_error;
        } else if (ending == "Command timeout.") {
          ++c->command_timeout;
        } else {
          ++c->other;
          if (c == &all) std::fprintf(stderr, "run %ld ended with \"%s\"\n", i, ending.c_str());
        }
      }
    }
  }
  Print("", all);
  Print("late_", late);
  return all.hangs == 0 && all.other == 0 && all.wrong_flash - late.wrong_flash == 0 ? 0 : 1;
}
