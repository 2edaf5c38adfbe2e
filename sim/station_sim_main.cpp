// odu-station-sim: the simulated station on a pseudo-terminal, so that the
// tool's real POSIX device layer can be run against it from another process.
//
// It prints the path of the terminal's slave end as the first line on
// standard output, then serves whoever opens that path. The line is modelled
// in both directions: a byte the tool writes counts as arrived only when it
// would have at the line rate, and replies are handed over byte by byte (or
// in chunks of what is due) at that rate. The turnaround of the tool, from
// the end of an acknowledgement to the first byte of its next frame, is
// measured and reported.
//
// With --listen it serves the station as an RFC 2217 server on TCP instead,
// one client at a time: the client's Telnet data is the line, its
// COM-PORT-OPTION settings set the line rate and its DTR and RTS, and the
// modem lines it is told of are the station's (see ServeClient).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/socket/tcp_listener.h"
#include "resources/firmware_image.h"
#include "resources/version.h"
#include "sim/com_port_server.h"
#include "sim/line_pacer.h"
#include "sim/modem_state.h"
#include "sim/station.h"

namespace {

using odu::platform::Millis;
using odu::platform::Nanos;
using namespace odu::sim;

volatile sig_atomic_t g_signalled = 0;
void OnSignal(int) { g_signalled = 1; }

constexpr Nanos kHangupPoll = Millis(5);   // re-check of a terminal nobody holds
constexpr Nanos kLongestWait = Millis(50);  // so that a signal is never missed for long
constexpr Nanos kLinger = Millis(1000);     // after the last acknowledgement, for the tool to close
// A sleeping process wakes some tens of microseconds after its timer; the
// last stretch before a byte is due is spent awake, so that the line model
// does not add the simulator's own lateness to the tool's time.
constexpr Nanos kAwakeBeforeDue = std::chrono::microseconds(300);
// A client is read from no further ahead of the line than this many bytes,
// and not while this much of what the server says is still unsent: a flood
// waits in the connection, as it would in front of a real line.
constexpr int64_t kLineAhead = 4096;
constexpr size_t kMaxUnsent = 65536;

struct Options {
  uint32_t baud = 19200;
  StationConfig station;
  std::string modem_state;
  int carrier = -1;  // -1: follows the station's DTR; 0 or 1: forced
  std::string report;
  std::string image;
  bool exit_when_done = false;
  bool keep_open = false;
  int timeout_s = 300;
  std::string listen_host;  // --listen: serve on TCP instead of a pseudo-terminal
  std::string listen_port;
};

void Usage(FILE* to) {
  std::fputs(
      "Usage: odu-station-sim [options]\n"
      "\n"
      "Serves a simulated station on a new pseudo-terminal; prints its path first.\n"
      "\n"
      "Options:\n"
      "  --listen HOST:PORT   serve as an RFC 2217 server on TCP instead (PORT 0: any free one);\n"
      "                       prints rfc2217://ADDRESS:PORT first; one client at a time\n"
      "  --baud N             line rate that paces both directions (default 19200; 0: unpaced);\n"
      "                       with --listen, until the client sets one for its connection\n"
      "  --init MODE          answer to the initialisation frame: accept, refuse, silent, echo\n"
      "  --refuse-status N    status value of a refusal (default 11)\n"
      "  --processing-ms N    delay between a command and its reply\n"
      "  --delay-ms N         what the delay fault adds (default 500)\n"
      "  --fault N:KIND       fault for command N (the erase is 0): drop, corrupt, refuse, delay,\n"
      "                       late, split, split-slow, noise, stall, vanish (repeatable)\n"
      "  --fault-every-time   the faults hit re-sends of their command too\n"
      "  --random RATE        random faults with this probability per record\n"
      "  --seed S             seed of the random faults (default 1)\n"
      "  --random-kinds LIST  kinds of the random faults, comma-separated\n"
      "  --modem-state FILE   modem lines shared with the modem-line shim; the file also names\n"
      "                       this simulator's terminal\n"
      "  --carrier MODE       carrier detect the tool sees: auto (with the station's DTR, which\n"
      "                       with --listen follows the client's), on, off\n"
      "  --report FILE        what happened, written at exit as 'name: value' lines\n"
      "  --image FILE         Intel HEX image to compare the flash with, besides the embedded one\n"
      "  --exit-when-done     exit once the last closing record is acknowledged\n"
      "  --keep-open          serve again after the tool closes the terminal (or disconnects)\n"
      "  --timeout-s N        exit after N seconds in any case (default 300)\n"
      "  --version            print the version and exit\n"
      "  --help               print this and exit\n",
      to);
}

bool ParseNumber(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text.c_str(), &end, 0);
  return errno == 0 && *end == '\0' && value >= low && value <= high;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) items.push_back(item);
  return items;
}

// The command line, read one option at a time.
struct ArgReader {
  int argc;
  char** argv;
  int i = 1;
  // The option's value, the next argument.
  bool Value(std::string& v) {
    if (i + 1 >= argc) return false;
    v = argv[++i];
    return true;
  }
  bool Number(long long low, long long high, long long& n) {
    std::string v;
    return Value(v) && ParseNumber(v, low, high, n);
  }
};

enum class Parsed { kNotMine, kOk, kBad };

// The options of the station's behaviour: its answer to the initialisation
// frame, its timing and its faults. kBad with the reason in `error`.
Parsed ParseStationOption(const std::string& arg, ArgReader& in, StationConfig& station, std::string& error) {
  const auto bad = [&error](std::string why) {
    error = std::move(why);
    return Parsed::kBad;
  };
  long long n = 0;
  std::string v;
  if (arg == "--init") {
    if (!in.Value(v)) return bad("--init needs a mode");
    if (v == "accept") station.init = StationConfig::Init::Accept;
    else if (v == "refuse") station.init = StationConfig::Init::Refuse;
    else if (v == "silent") station.init = StationConfig::Init::Silent;
    else if (v == "echo") station.init = StationConfig::Init::Echo;
    else return bad("unknown --init mode: " + v);
  } else if (arg == "--refuse-status") {
    if (!in.Number(0, 255, n)) return bad("--refuse-status needs a value from 0 to 255");
    station.refuse_status = static_cast<uint8_t>(n);
  } else if (arg == "--processing-ms") {
    if (!in.Number(0, 600'000, n)) return bad("--processing-ms needs a number of milliseconds");
    station.processing = Millis(n);
  } else if (arg == "--delay-ms") {
    if (!in.Number(0, 600'000, n)) return bad("--delay-ms needs a number of milliseconds");
    station.delay = Millis(n);
  } else if (arg == "--fault") {
    if (!in.Value(v)) return bad("--fault needs N:KIND");
    const auto colon = v.find(':');
    const auto kind = colon == std::string::npos ? std::nullopt : FaultFromName(v.substr(colon + 1));
    if (!kind || !ParseNumber(v.substr(0, colon), 0, 1'000'000, n)) return bad("bad --fault (want N:KIND): " + v);
    station.faults[static_cast<int>(n)] = *kind;
  } else if (arg == "--fault-every-time") {
    station.faults_first_time_only = false;
  } else if (arg == "--random") {
    if (!in.Value(v)) return bad("--random needs a rate");
    char* end = nullptr;
    const double rate = std::strtod(v.c_str(), &end);
    if (*end != '\0' || !(rate >= 0.0 && rate <= 1.0)) return bad("--random needs a rate from 0 to 1");
    station.fault_rate = rate;
  } else if (arg == "--seed") {
    if (!in.Number(0, INT64_MAX, n)) return bad("--seed needs a number");
    station.seed = static_cast<uint64_t>(n);
  } else if (arg == "--random-kinds") {
    if (!in.Value(v)) return bad("--random-kinds needs a list");
    station.random_kinds.clear();
    for (const auto& name : SplitList(v)) {
      const auto kind = FaultFromName(name);
      if (!kind || *kind == odu::sim::Fault::None) return bad("unknown fault kind: " + name);
      station.random_kinds.push_back(*kind);
    }
  } else {
    return Parsed::kNotMine;
  }
  return Parsed::kOk;
}

// False, after a message, on a bad command line.
bool ParseOptions(int argc, char** argv, Options& o) {
  auto fail = [](const std::string& what) {
    std::fprintf(stderr, "odu-station-sim: %s\n", what.c_str());
    return false;
  };
  for (ArgReader in{argc, argv}; in.i < argc; ++in.i) {
    const std::string arg = argv[in.i];
    std::string error;
    if (const Parsed p = ParseStationOption(arg, in, o.station, error); p != Parsed::kNotMine) {
      if (p == Parsed::kBad) return fail(error);
      continue;
    }
    long long n = 0;
    std::string v;
    if (arg == "--help") {
      Usage(stdout);
      std::exit(0);
    } else if (arg == "--version") {
      std::printf("odu-station-sim %s\n", odu::VersionText());
      std::exit(0);
    } else if (arg == "--baud") {
      if (!in.Number(0, 4'000'000, n)) return fail("--baud needs a rate from 0 to 4000000");
      o.baud = static_cast<uint32_t>(n);
    } else if (arg == "--modem-state") {
      if (!in.Value(o.modem_state)) return fail("--modem-state needs a file");
    } else if (arg == "--carrier") {
      if (!in.Value(v)) return fail("--carrier needs a mode");
      if (v == "auto") o.carrier = -1;
      else if (v == "on") o.carrier = 1;
      else if (v == "off") o.carrier = 0;
      else return fail("unknown --carrier mode: " + v);
    } else if (arg == "--report") {
      if (!in.Value(o.report)) return fail("--report needs a file");
    } else if (arg == "--image") {
      if (!in.Value(o.image)) return fail("--image needs a file");
    } else if (arg == "--exit-when-done") {
      o.exit_when_done = true;
    } else if (arg == "--keep-open") {
      o.keep_open = true;
    } else if (arg == "--listen") {
      if (!in.Value(v)) return fail("--listen needs HOST:PORT");
      const auto colon = v.rfind(':');
      if (colon == std::string::npos || colon == 0 || !ParseNumber(v.substr(colon + 1), 0, 65535, n))
        return fail("bad --listen (want HOST:PORT): " + v);
      o.listen_host = v.substr(0, colon);
      if (o.listen_host.size() > 2 && o.listen_host.front() == '[' && o.listen_host.back() == ']')
        o.listen_host = o.listen_host.substr(1, o.listen_host.size() - 2);
      o.listen_port = std::to_string(n);
    } else if (arg == "--timeout-s") {
      if (!in.Number(1, 86'400, n)) return fail("--timeout-s needs a number of seconds");
      o.timeout_s = static_cast<int>(n);
    } else {
      Usage(stderr);
      return fail("unknown option: " + arg);
    }
  }
  // A whole frame must fit in the frame window, also on a slow line.
  o.station.frame_window = std::max(o.station.frame_window, 130 * ByteTime(o.baud));
  return true;
}

// The modem lines shared with the shim: the station's DTR and RTS up, no
// terminal named yet.
odu_modem_state_file* MapModemState(const std::string& path, int carrier) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  void* map = MAP_FAILED;
  if (::ftruncate(fd, sizeof(odu_modem_state_file)) == 0)
    map = ::mmap(nullptr, sizeof(odu_modem_state_file), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (map == MAP_FAILED) return nullptr;
  auto* file = static_cast<odu_modem_state_file*>(map);
  odu_modem_state* state = &file->lines;
  __atomic_store_n(&file->pty_rdev, uint64_t{0}, __ATOMIC_SEQ_CST);
  odu_modem_set(&state->tool_dtr, 0);
  odu_modem_set(&state->tool_rts, 0);
  odu_modem_set(&state->station_dtr, 1);
  odu_modem_set(&state->station_rts, 1);
  odu_modem_set(&state->carrier_override, carrier);
  __atomic_store_n(&state->magic, ODU_MODEM_STATE_MAGIC, __ATOMIC_SEQ_CST);
  return file;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return true;
}

bool FlashMatches(const Station& station, std::span<const std::string_view> lines) {
  static std::array<uint8_t, 65536> expected;
  return station.Erased() && FlashFromHex(lines, expected) && expected == station.Flash();
}

// Nearest-rank percentile of `sorted`, in microseconds.
long long PercentileUs(const std::vector<Nanos>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  const Nanos v = sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
  return std::chrono::duration_cast<std::chrono::microseconds>(v).count();
}

struct Counters {
  uint64_t clients = 0;  // connections served (--listen)
  uint64_t from_tool = 0;
  uint64_t to_tool = 0;
  std::vector<Nanos> turnarounds;
};

int64_t TotalUs(const std::vector<Nanos>& spans) {
  Nanos total{0};
  for (Nanos s : spans) total += s;
  return std::chrono::duration_cast<std::chrono::microseconds>(total).count();
}

// Written whole under a temporary name and renamed, so that a reader never
// sees half a report.
void WriteReport(const Options& o, const Station& station, Counters& c, const char* reason) {
  if (o.report.empty()) return;
  std::vector<std::string_view> embedded(odu::EmbeddedFirmwareLines().begin(), odu::EmbeddedFirmwareLines().end());
  std::sort(c.turnarounds.begin(), c.turnarounds.end());
  const auto& s = station.stats();
  auto yes = [](bool b) { return b ? "true" : "false"; };
  std::ostringstream r;
  r << "exit_reason: " << reason << "\n"
    << "finished: " << yes(station.Finished()) << "\n"
    << "erased: " << yes(station.Erased()) << "\n"
    << "flash_matches_embedded: " << yes(FlashMatches(station, embedded)) << "\n";
  if (!o.image.empty()) {
    std::vector<std::string> lines;
    const bool read = ReadLines(o.image, lines);
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    r << "flash_matches_image: " << yes(read && FlashMatches(station, views)) << "\n";
  }
  r << "stalled: " << yes(station.Stalled()) << "\n"
    << "vanished: " << yes(station.Vanished()) << "\n"
    << "init_frames: " << s.init_frames << "\n"
    << "records: " << s.records << "\n"
    << "commands: " << s.commands << "\n"
    << "acknowledged: " << s.acknowledged << "\n"
    << "refused: " << s.refused << "\n"
    << "faults: " << s.faults << "\n"
    << "bad_frames: " << s.bad_frames << "\n"
    << "bytes_from_tool: " << c.from_tool << "\n";
  if (!o.listen_host.empty()) r << "clients: " << c.clients << "\n";
  r << "bytes_to_tool: " << c.to_tool << "\n"
    << "turnaround_count: " << c.turnarounds.size() << "\n"
    << "turnaround_median_us: " << PercentileUs(c.turnarounds, 0.5) << "\n"
    << "turnaround_p99_us: " << PercentileUs(c.turnarounds, 0.99) << "\n"
    << "turnaround_total_us: " << TotalUs(c.turnarounds) << "\n";
  const std::string tmp = o.report + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << r.str();
    if (!out.flush()) {
      std::fprintf(stderr, "odu-station-sim: cannot write %s\n", tmp.c_str());
      return;
    }
  }
  if (std::rename(tmp.c_str(), o.report.c_str()) != 0)
    std::fprintf(stderr, "odu-station-sim: cannot write %s: %s\n", o.report.c_str(), std::strerror(errno));
}

Nanos Now() { return odu::platform::RealTime().Now(); }

// Serves the tool on `master` until the session ends; returns why it ended.
const char* Serve(int& master, const Options& o, Station& station, Counters& c, odu_modem_state* lines) {
  LinePacer pacer(o.baud);
  const Nanos byte_time = pacer.byte_time();
  const Nanos give_up = Now() + std::chrono::seconds(o.timeout_s);
  std::optional<Nanos> last_start;     // when the tool's last byte began on the line
  std::optional<Nanos> ack_end;        // end of the last acknowledgement, until the tool's next byte
  std::vector<uint8_t> backlog;        // due bytes the terminal has not taken yet
  std::optional<Nanos> backlog_ack;    // an acknowledgement ends with the backlog
  std::optional<Nanos> done_at;        // the last acknowledgement has gone out
  bool connected = false;              // the tool has written to us
  bool hung_up = false;                // nobody holds the slave end (last poll)

  for (;;) {
    if (g_signalled) return "signal";
    Nanos now = Now();
    if (now >= give_up) return "timeout";
    if (done_at && now >= *done_at + kLinger) return "done";

    // Hand over what is due.
    LinePacer::Chunk due = pacer.TakeDue(now);
    backlog.insert(backlog.end(), due.bytes.begin(), due.bytes.end());
    if (due.ack_end) backlog_ack = due.ack_end;
    while (!backlog.empty()) {
      const ssize_t n = ::write(master, backlog.data(), backlog.size());
      if (n > 0) {
        c.to_tool += static_cast<uint64_t>(n);
        backlog.erase(backlog.begin(), backlog.begin() + n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;  // full (EAGAIN), or nobody there (EIO): kept for later
    }
    if (backlog.empty() && backlog_ack) {
      // The tool can see the acknowledgement no earlier than it got it.
      ack_end = std::max(*backlog_ack, Now());
      backlog_ack.reset();
      if (o.exit_when_done && station.Finished() && !done_at) done_at = *ack_end;
    }

    // Wait for the tool, the next due byte or a deadline.
    now = Now();
    Nanos until = std::min(give_up, now + kLongestWait);
    if (const auto next = pacer.NextDue()) until = std::min(until, *next - kAwakeBeforeDue);
    if (done_at) until = std::min(until, *done_at + kLinger);
    if (hung_up) until = std::min(until, now + kHangupPoll);
    const Nanos span = std::max(Nanos(0), until - now);
    timespec ts{static_cast<time_t>(span.count() / 1'000'000'000), static_cast<long>(span.count() % 1'000'000'000)};
    // While nobody holds the slave end the master reports a hang-up at
    // once; it is then only looked at again after a short pause.
    pollfd pfd{master, static_cast<short>(POLLIN | (backlog.empty() ? 0 : POLLOUT)), 0};
    const int r = ::ppoll(&pfd, hung_up ? 0 : 1, &ts, nullptr);
    if (r < 0 && errno != EINTR) return "error";
    if (r < 0) continue;
    if (hung_up) pfd.revents = 0;
    hung_up = false;

    // Take what the tool wrote, each byte at the time it would have
    // arrived on the line.
    uint8_t buffer[4096];
    bool had_input = false;
    for (;;) {
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0 && errno == EIO) hung_up = true;  // nobody holds the slave end
        break;
      }
      had_input = true;
      const Nanos read_at = Now();
      c.from_tool += static_cast<uint64_t>(n);
      for (ssize_t i = 0; i < n; ++i) {
        const Nanos start = last_start ? std::max(read_at, *last_start + byte_time) : read_at;
        last_start = start;
        if (ack_end) {
          c.turnarounds.push_back(start - *ack_end);
          ack_end.reset();
        }
        pacer.Add(station.Receive(std::span(buffer + i, 1), start + byte_time));
      }
    }
    if (had_input) connected = true;
    if (station.Vanished()) {
      // The adapter is pulled out: the line and its lines go dead.
      if (lines) {
        odu_modem_set(&lines->station_dtr, 0);
        odu_modem_set(&lines->station_rts, 0);
      }
      ::close(master);
      master = -1;
      return "vanished";
    }
    if (hung_up || (r > 0 && (pfd.revents & POLLHUP))) {
      hung_up = true;
      if (connected && station.Finished() && o.exit_when_done) return "done";
      if (connected && !o.keep_open) return "hangup";
    }
  }
}

// The modem lines of a connection: the client's DTR and RTS, and the
// station's, which are up while it serves a client, as on the terminal (a
// client learns them when it sets its modem-state mask, before it raises its
// own lines). With a modem-state file they are kept there, where a test can
// look at them and change the station's; the client is told of such a
// change too.
class ConnectionLines {
 public:
  ConnectionLines(odu_modem_state* shared, int carrier) : shared_(shared), carrier_(carrier) {
    ToolSet(false, false);
    if (!shared_) return;
    odu_modem_set(&shared_->station_dtr, 1);
    odu_modem_set(&shared_->station_rts, 1);
  }

  void ToolSet(bool dtr, bool rts) {
    if (!shared_) return;
    odu_modem_set(&shared_->tool_dtr, dtr);
    odu_modem_set(&shared_->tool_rts, rts);
  }

  // The lines the tool sees, as NOTIFY-MODEMSTATE carries them.
  uint8_t Seen() const {
    // Without a modem-state file the station's lines stay up.
    const bool dtr = !shared_ || odu_modem_get(&shared_->station_dtr) != 0;
    const bool rts = !shared_ || odu_modem_get(&shared_->station_rts) != 0;
    const int carrier = shared_ ? odu_modem_get(&shared_->carrier_override) : carrier_;
    uint8_t lines = 0;
    if (rts) lines |= com_port::kCts;
    if (dtr) lines |= com_port::kDsr;
    if (carrier < 0 ? dtr : carrier != 0) lines |= com_port::kCd;
    return lines;
  }

 private:
  odu_modem_state* shared_;
  int carrier_;
};

// Serves one client on the connected socket `fd` until it leaves or the
// session ends. Returns why the session ended, or nullptr when the next
// client is to be served. `connected` (the tool has sent data),
// `done_at` and `give_up` span the whole session, as in Serve.
//
// The line is modelled as on the pseudo-terminal. Its rate is --baud until
// the client sets one with SET-BAUDRATE, which then holds for the rest of
// the connection (a client sets the rate it means to talk at). When the
// client leaves, its DTR and RTS drop, as when the tool closes the
// terminal, and what was still on its way to it is lost.
const char* ServeClient(int fd, const Options& o, Station& station, Counters& c, odu_modem_state* shared,
                        Nanos give_up, std::optional<Nanos>& done_at, bool& connected) {
  LinePacer pacer(o.baud);
  Nanos byte_time = pacer.byte_time();
  std::optional<Nanos> last_start;   // when the tool's last byte began on the line
  std::optional<Nanos> ack_end;      // end of the last acknowledgement, until the tool's next byte
  std::vector<uint8_t> backlog;      // due bytes not yet handed to the connection
  std::optional<Nanos> backlog_ack;  // an acknowledgement ends with the backlog
  std::vector<uint8_t> wire;         // what the server has committed to the connection
  size_t wire_sent = 0;
  std::optional<Nanos> wire_ack;     // an acknowledgement ends with the wire
  ConnectionLines lines(shared, o.carrier);

  ComPortServer::Hooks hooks;
  hooks.data = [&](std::span<const uint8_t> bytes) {
    // Each byte at the time it would have arrived on the line.
    const Nanos read_at = Now();
    c.from_tool += bytes.size();
    connected = true;
    for (size_t i = 0; i < bytes.size(); ++i) {
      const Nanos start = last_start ? std::max(read_at, *last_start + byte_time) : read_at;
      last_start = start;
      if (ack_end) {
        c.turnarounds.push_back(start - *ack_end);
        ack_end.reset();
      }
      pacer.Add(station.Receive(bytes.subspan(i, 1), start + byte_time));
      if (station.Vanished()) break;
    }
  };
  hooks.baud = [&](uint32_t rate) {
    pacer.SetBaud(rate);
    byte_time = pacer.byte_time();
    station.WidenFrameWindow(130 * byte_time);
  };
  hooks.purge = [&](uint8_t what) {
    // What the station sent and the server still holds; what the client
    // sent is on the line as soon as it is read.
    if (what & com_port::kPurgeFromLine) {
      backlog.clear();
      backlog_ack.reset();
    }
  };
  hooks.control = [&](bool dtr, bool rts) { lines.ToolSet(dtr, rts); };
  hooks.lines = [&] { return lines.Seen(); };
  ComPortServer server(o.baud, hooks);
  server.Start(wire);

  auto leave = [&]() -> const char* {
    lines.ToolSet(false, false);
    if (connected && station.Finished() && o.exit_when_done) return "done";
    if (connected && !o.keep_open) return "hangup";
    return nullptr;
  };

  for (;;) {
    if (g_signalled) return "signal";
    Nanos now = Now();
    if (now >= give_up) return "timeout";
    if (done_at && now >= *done_at + kLinger) return "done";

    server.RefreshLines(wire);
    LinePacer::Chunk due = pacer.TakeDue(now);
    backlog.insert(backlog.end(), due.bytes.begin(), due.bytes.end());
    if (due.ack_end) backlog_ack = due.ack_end;

    // Send: first what is committed, then the backlog behind it.
    bool gone = false;
    for (int round = 0; round < 2 && !gone && !server.suspended(); ++round) {
      while (wire_sent < wire.size()) {
        const ssize_t n = ::send(fd, wire.data() + wire_sent, wire.size() - wire_sent, MSG_NOSIGNAL);
        if (n > 0) {
          wire_sent += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          gone = n < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
          break;
        }
      }
      if (wire_sent < wire.size()) break;
      wire.clear();
      wire_sent = 0;
      if (wire_ack) {
        // The tool can see the acknowledgement no earlier than it got it.
        ack_end = std::max(*wire_ack, Now());
        wire_ack.reset();
        if (o.exit_when_done && station.Finished() && !done_at) done_at = *ack_end;
      }
      if (backlog.empty()) break;
      c.to_tool += backlog.size();
      ComPortServer::AppendData(backlog, wire);
      backlog.clear();
      wire_ack = std::exchange(backlog_ack, std::nullopt);
    }
    if (gone) return leave();

    // Wait for the client, the next due byte or a deadline.
    now = Now();
    Nanos until = std::min(give_up, now + kLongestWait);
    if (const auto next = pacer.NextDue()) until = std::min(until, *next - kAwakeBeforeDue);
    if (done_at) until = std::min(until, *done_at + kLinger);
    const bool line_full = last_start && byte_time > Nanos(0) && *last_start > now + kLineAhead * byte_time;
    const bool take = !line_full && wire.size() - wire_sent < kMaxUnsent;
    const bool give = wire_sent < wire.size() && !server.suspended();
    const Nanos span = std::max(Nanos(0), until - now);
    timespec ts{static_cast<time_t>(span.count() / 1'000'000'000), static_cast<long>(span.count() % 1'000'000'000)};
    pollfd pfd{fd, static_cast<short>((take ? POLLIN | POLLRDHUP : 0) | (give ? POLLOUT : 0)), 0};
    const int r = ::ppoll(&pfd, 1, &ts, nullptr);
    if (r < 0 && errno != EINTR) return "error";
    if (r <= 0) continue;
    if (!take) {
      if (pfd.revents & (POLLERR | POLLHUP)) return leave();
      continue;
    }

    uint8_t buffer[4096];
    for (int reads = 0; reads < 16 && wire.size() - wire_sent < kMaxUnsent; ++reads) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) return leave();  // closed, or reset
      server.Receive(std::span(buffer, static_cast<size_t>(n)), wire);
      if (station.Vanished()) break;
    }
    if (station.Vanished()) {
      // The adapter is pulled out: the connection goes dead.
      lines.ToolSet(false, false);
      return "vanished";
    }
  }
}

// A listening socket on `host`:`port` and its address for odu-upgrade
// --port; -1 after a message.
int Listen(const std::string& host, const std::string& port, std::string& address) {
  std::string bound, error;
  const int fd = odu::platform::ListenTcp(host, port, bound, error);
  if (fd < 0) {
    std::fprintf(stderr, "odu-station-sim: %s\n", error.c_str());
    return -1;
  }
  address = "rfc2217://" + bound;
  return fd;
}

// Serves clients of `listener` one after the other until the session ends;
// returns why it ended.
const char* ServeListener(int listener, const Options& o, Station& station, Counters& c, odu_modem_state* shared) {
  const Nanos give_up = Now() + std::chrono::seconds(o.timeout_s);
  std::optional<Nanos> done_at;
  bool connected = false;
  for (;;) {
    if (g_signalled) return "signal";
    const Nanos now = Now();
    if (now >= give_up) return "timeout";
    if (done_at && now >= *done_at + kLinger) return "done";
    Nanos until = std::min(give_up, now + kLongestWait);
    if (done_at) until = std::min(until, *done_at + kLinger);
    const Nanos span = std::max(Nanos(0), until - now);
    timespec ts{static_cast<time_t>(span.count() / 1'000'000'000), static_cast<long>(span.count() % 1'000'000'000)};
    pollfd pfd{listener, POLLIN, 0};
    const int r = ::ppoll(&pfd, 1, &ts, nullptr);
    if (r < 0 && errno != EINTR) return "error";
    if (r <= 0) continue;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) continue;  // gone again before it was taken, or out of descriptors for now
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ++c.clients;
    const char* reason = ServeClient(fd, o, station, c, shared, give_up, done_at, connected);
    ::close(fd);
    if (reason) return reason;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) return 2;
  if (!o.image.empty()) {
    std::vector<std::string> lines;
    std::array<uint8_t, 65536> flash{};
    size_t bad = 0;
    if (!ReadLines(o.image, lines)) {
      std::fprintf(stderr, "odu-station-sim: cannot read %s\n", o.image.c_str());
      return 2;
    }
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    if (!FlashFromHex(views, flash, &bad)) {
      std::fprintf(stderr, "odu-station-sim: %s: line %zu is not a record that fits the flash\n", o.image.c_str(), bad);
      return 2;
    }
  }

  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // wake on time, not up to 50 us late

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  odu_modem_state_file* modem_file = nullptr;
  if (!o.modem_state.empty() && !(modem_file = MapModemState(o.modem_state, o.carrier))) {
    std::fprintf(stderr, "odu-station-sim: cannot map %s: %s\n", o.modem_state.c_str(), std::strerror(errno));
    return 1;
  }
  odu_modem_state* lines = modem_file ? &modem_file->lines : nullptr;

  if (!o.listen_host.empty()) {
    std::string address;
    const int listener = Listen(o.listen_host, o.listen_port, address);
    if (listener < 0) return 1;
    std::printf("%s\n", address.c_str());
    std::fflush(stdout);
    Station station(o.station);
    Counters counters;
    const char* reason = ServeListener(listener, o, station, counters, lines);
    ::close(listener);
    if (lines) {
      odu_modem_set(&lines->station_dtr, 0);
      odu_modem_set(&lines->station_rts, 0);
    }
    WriteReport(o, station, counters, reason);
    return std::strcmp(reason, "error") == 0 ? 1 : 0;
  }

  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char slave[256] = {};
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, slave, sizeof slave) != 0) {
    std::fprintf(stderr, "odu-station-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  // Raw from the start (the master's termios calls set the slave's), so
  // that nothing is echoed or edited before the tool sets its own mode.
  termios raw{};
  if (::tcgetattr(master, &raw) == 0) {
    ::cfmakeraw(&raw);
    ::tcsetattr(master, TCSANOW, &raw);
  }

  // The file names its terminal before anyone can know the path.
  struct stat slave_stat {};
  if (modem_file && ::stat(slave, &slave_stat) == 0)
    __atomic_store_n(&modem_file->pty_rdev, static_cast<uint64_t>(slave_stat.st_rdev), __ATOMIC_SEQ_CST);

  std::printf("%s\n", slave);
  std::fflush(stdout);

  Station station(o.station);
  Counters counters;
  const char* reason = Serve(master, o, station, counters, lines);
  if (lines) {
    odu_modem_set(&lines->station_dtr, 0);
    odu_modem_set(&lines->station_rts, 0);
  }
  WriteReport(o, station, counters, reason);
  if (master >= 0) ::close(master);
  return std::strcmp(reason, "error") == 0 ? 1 : 0;
}
