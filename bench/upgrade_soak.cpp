// upgrade-soak: many whole upgrades in process (virtual port, virtual clock,
// unpaced) against the simulated station with random faults from a seed.
// Every run must end in "Done." with the station's flash equal to the image
// and its session ended by the last closing command (else it counts as a
// wrong flash), or in one of the run's two failures; a run that does neither within a
// generous span of virtual time is a hang. Prints the counts, one a line, and
// the same counts again for the runs in which some reply came later than its
// command's timeout; caught_out_of_step counts the communication errors of
// the end check (a reply still owed after the last closing command).
//
//   upgrade-soak [runs] [seed] [late_ms]   late replies up to late_ms (3,000)
//   upgrade-soak --sweep [runs] [seed]
//   upgrade-soak --trace SEED     one run of the first form, every frame on
//                                 standard error with its virtual time
//
// The sweep runs, for each lateness of a reply past its command's timeout
// (1 ms to 6 s), upgrades at 19,200 baud with one late reply alone, followed
// by a refusal of one of the next 60 commands (about two seconds of them),
// and followed by a refusal of the last closing command, and prints one line
// of counts for each. Replies carry no sequence number: a reply later than
// the settling wait (3 s past the first reply to the re-sent command) is
// taken for the next command's, and the replies stay one behind; the end
// check sees the reply still owed after the last closing command. A wrong
// flash is an error at every lateness.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "app/main_panel.h"
#include "sim/simulated_station.h"
#include "app/run/trace_device.h"
#include "platform/toolkit/toolkit_headless.h"

using namespace odu;
using namespace odu::platform;

namespace {

struct Counts {
  long runs = 0, done = 0, communication_error = 0, command_timeout = 0, wrong_flash = 0, hangs = 0, other = 0;
  long caught_out_of_step = 0;  // of the communication errors
  double done_seconds = 0;      // virtual time of the runs that ended in "Done."
};

void Print(const char* prefix, const Counts& c) {
  std::printf("%sruns: %ld\n", prefix, c.runs);
  std::printf("%sdone: %ld\n", prefix, c.done);
  std::printf("%scommunication_error: %ld\n", prefix, c.communication_error);
  std::printf("%scommand_timeout: %ld\n", prefix, c.command_timeout);
  std::printf("%swrong_flash: %ld\n", prefix, c.wrong_flash);
  std::printf("%shangs: %ld\n", prefix, c.hangs);
  std::printf("%scaught_out_of_step: %ld\n", prefix, c.caught_out_of_step);
  std::printf("%sdone_mean_s: %.2f\n", prefix, c.done ? c.done_seconds / static_cast<double>(c.done) : 0.0);
  if (c.other) std::printf("%sother_end: %ld\n", prefix, c.other);
}

// The embedded image's commands as the station numbers them: the erase, 650
// data records, the three closing commands.
constexpr int kLastCommand = 653;

// The faults of one run, drawn from its seed.
sim::StationConfig RandomStation(uint64_t seed, int late_ms = 3000) {
  std::mt19937_64 rng(seed);
  sim::StationConfig c;
  c.seed = seed;
  c.fault_rate = std::uniform_real_distribution<double>(0.0, 0.04)(rng);
  c.random_kinds = {sim::Fault::Drop,      sim::Fault::Corrupt, sim::Fault::Refuse,  sim::Fault::Delay,
                    sim::Fault::Split,     sim::Fault::SplitSlow, sim::Fault::Noise, sim::Fault::Garbled};
  // Replies later than their command's timeout in one run of ten, by up to
  // `late_ms`.
  if (std::uniform_int_distribution<int>(0, 9)(rng) == 0) {
    c.random_kinds.push_back(sim::Fault::LateTimeout);
    c.late_by = Millis(std::uniform_int_distribution<int>(1, late_ms)(rng));
  }
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

enum class Then { Nothing, RefuseNext, RefuseLastClosing };

// One late reply (to any command but the erase and the last one), and what follows it.
sim::StationConfig LateStation(uint64_t seed, int late_ms, Then then) {
  std::mt19937_64 rng(seed);
  sim::StationConfig c;
  c.seed = seed;
  c.late_by = Millis(late_ms);
  c.faults_first_time_only = true;
  const int late = std::uniform_int_distribution<int>(1, kLastCommand - 1)(rng);
  c.faults[late] = sim::Fault::LateTimeout;
  if (then == Then::RefuseNext)
    c.faults[std::min(kLastCommand, late + std::uniform_int_distribution<int>(1, 60)(rng))] = sim::Fault::Refuse;
  if (then == Then::RefuseLastClosing) c.faults[kLastCommand] = sim::Fault::Refuse;
  return c;
}

struct Outcome {
  bool ended = false;
  bool late = false;        // some reply came after its command's timeout
  std::string ending;       // the box's text; empty for "Done."
  bool done = false;
  bool flash_matches = false;
  bool out_of_step = false;  // the end check caught it
  double seconds = 0;        // virtual time from Start to the end
};

// One upgrade; `baud` 0 puts bytes on the line at once.
Outcome RunOne(const sim::StationConfig& config, uint32_t baud, bool trace = false) {
  VirtualClock clock;
  HeadlessToolkit toolkit(clock);
  sim::SimulatedStation simulated(clock, baud, config);
  Outcome o;
  TComponent root(nullptr);
  auto* panel = new TMainPanel(&root);
  TracingOpener tracing(simulated.opener(), [&](const std::string&, Traffic, const std::string& line) {
    if (trace) std::fprintf(stderr, "%9.3f s %s\n", std::chrono::duration<double>(clock.Now()).count(), line.c_str());
  });
  panel->Port->SetOpener(&tracing);
  panel->ListPorts = [](std::vector<std::string>& l) { l.push_back(sim::SimulatedStation::kPortName); };
  toolkit.on_box = [&](const HeadlessToolkit::Box& box) { o.ending = box.text; };
  panel->Button1->Click();
  // The longest healthy run is a few minutes of virtual time; a run that has
  // not ended after two hours never will.
  o.ended = toolkit.RunUntil([&] { return panel->Button1->Enabled() && panel->Step == 0; }, clock.Now() + Millis(7'200'000));
  o.late = simulated.station().stats().late_replies > 0;
  o.done = o.ended && o.ending.empty() && panel->stage() == Stage::kDone;
  // "Done." is only right when the station also ended its session.
  o.flash_matches = simulated.FlashMatches(panel->Image) && simulated.station().Finished();
  o.out_of_step = panel->RepliesOutOfStep;
  o.seconds = std::chrono::duration<double>(clock.Now()).count();
  return o;
}

void Count(Counts& c, const Outcome& o) {
  ++c.runs;
  if (!o.ended) {
    ++c.hangs;
  } else if (o.done) {
    ++c.done;
    c.done_seconds += o.seconds;
    if (!o.flash_matches) ++c.wrong_flash;
  } else if (o.ending == "Communication error.") {
    ++c.communication_error;
    if (o.out_of_step) ++c.caught_out_of_step;
  } else if (o.ending == "Command timeout.") {
    ++c.command_timeout;
  } else {
    ++c.other;
  }
}

int Sweep(long runs, uint64_t seed) {
  static constexpr int kLateMs[] = {1, 10, 100, 500, 900, 1500, 3000, 4500, 6000};
  static constexpr struct {
    Then then;
    const char* name;
  } kCases[] = {{Then::Nothing, "alone"}, {Then::RefuseNext, "then_a_refusal"}, {Then::RefuseLastClosing, "then_last_closing_refused"}};
  bool sound = true;
  for (const int late_ms : kLateMs) {
    for (const auto& kase : kCases) {
      Counts c;
      long examples = 0;
      for (long i = 0; i < runs; ++i) {
        const uint64_t run_seed = seed * 1'000'003 + static_cast<uint64_t>(i);
        const sim::StationConfig config = LateStation(run_seed, late_ms, kase.then);
        // At the line's pace, so that the commands after the late one are
        // still going out when its reply comes.
        const Outcome o = RunOne(config, 19200);
        const long wrong_before = c.wrong_flash;
        Count(c, o);
        if (c.wrong_flash > wrong_before && examples++ < 2)
          std::fprintf(stderr, "late by %d ms, %s: wrong flash after \"Done.\" with the late reply to command %d (seed %llu)\n",
                       late_ms, kase.name, config.faults.begin()->first, static_cast<unsigned long long>(run_seed));
      }
      std::printf(
          "late_%dms_%s: runs %ld done %ld communication_error %ld command_timeout %ld wrong_flash %ld hangs %ld "
          "caught_out_of_step %ld\n",
          late_ms, kase.name, c.runs, c.done, c.communication_error, c.command_timeout, c.wrong_flash, c.hangs,
          c.caught_out_of_step);
      if (c.hangs || c.other || c.wrong_flash) sound = false;
    }
  }
  return sound ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--trace") == 0) {
    const Outcome o = RunOne(RandomStation(std::strtoull(argv[2], nullptr, 10)), 0, true);
    std::printf("ended: %s, flash %s\n", o.done ? "Done." : o.ending.c_str(), o.flash_matches ? "matches" : "differs");
    return 0;
  }
  const bool sweep = argc > 1 && std::strcmp(argv[1], "--sweep") == 0;
  const int first = sweep ? 2 : 1;
  const long runs = argc > first ? std::atol(argv[first]) : (sweep ? 100 : 10000);
  const uint64_t seed = argc > first + 1 ? std::strtoull(argv[first + 1], nullptr, 10) : 1;
  if (sweep) return Sweep(runs, seed);
  const int late_ms = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3000;

  Counts all, late;
  long examples = 0;
  for (long i = 0; i < runs; ++i) {
    const uint64_t run_seed = seed * 1'000'003 + static_cast<uint64_t>(i);
    const Outcome o = RunOne(RandomStation(run_seed, late_ms), 0);
    const long wrong_before = all.wrong_flash;
    Count(all, o);
    if (o.late) Count(late, o);
    if (all.wrong_flash > wrong_before && examples++ < 3)
      std::fprintf(stderr, "wrong flash after \"Done.\": run %ld, seed %llu%s\n", i,
                   static_cast<unsigned long long>(run_seed), o.late ? " (a late reply)" : "");
    if (o.ended && !o.done && o.ending != "Communication error." && o.ending != "Command timeout.")
      std::fprintf(stderr, "run %ld ended with \"%s\"\n", i, o.ending.c_str());
  }
  Print("", all);
  Print("late_", late);
  return all.hangs == 0 && all.other == 0 && all.wrong_flash == 0 ? 0 : 1;
}
