#include "app/cli/cli_environment.h"

#include <utility>

#include "platform/terminal/terminal.h"
#include "resources/version.h"

namespace odu {

PortListing MachinePorts(const CliEnvironment& env) {
  if (env.port_listing) return env.port_listing();
  if (!env.list_ports) return ListMachinePorts();
  std::vector<std::string> names;
  env.list_ports(names);
  return ListingOfNames(std::move(names));
}

void ReportLeftOut(std::FILE* err, const PortListing& listing) {
  for (const LeftOutPort& tty : listing.left_out) {
    std::fprintf(err, "%s: left out: %s\n", tty.name.c_str(), DescribeLeftOut(tty.reason));
  }
}

std::function<void(std::function<void()>)> InterruptSlot(const CliEnvironment& env) {
  if (env.set_interrupt_handler) return env.set_interrupt_handler;
  return platform::SetInterruptHandler;
}

InterruptRoute::InterruptRoute(const CliEnvironment& env, RunRegister& runs) : set_(InterruptSlot(env)) {
  set_([&runs] { runs.InterruptAll(); });
}

InterruptRoute::~InterruptRoute() { set_(nullptr); }

std::unique_ptr<RunLog> OpenLog(const CliOptions& o, const CliEnvironment& env, platform::Clock& clock,
                                const std::string& what, bool& failed) {
  failed = false;
  if (!o.log) return nullptr;
  auto log = std::make_unique<RunLog>(*o.log, clock);
  if (!log->ok()) {
    std::fprintf(env.err, "odu-upgrade: --log %s: %s\n", o.log->c_str(), log->error().c_str());
    failed = true;
    return nullptr;
  }
  log->Line(std::string("odu-upgrade ") + VersionText() + " started" + what);
  return log;
}


}  // namespace odu
