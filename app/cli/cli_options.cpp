#include "app/cli/cli_options.h"

namespace odu {

std::optional<CliOptions> ParseCli(const std::vector<std::string>& args, std::string& error) {
  CliOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* name) -> std::optional<std::string> {
      const std::string prefix = std::string(name) + "=";
      if (a.compare(0, prefix.size(), prefix) == 0) return a.substr(prefix.size());
      if (i + 1 >= args.size()) {
        error = std::string(name) + " needs a value";
        return std::nullopt;
      }
      return args[++i];
    };
    auto is = [&](const char* name) { return a == name || a.rfind(std::string(name) + "=", 0) == 0; };
    if (a == "--help" || a == "-h") {
      o.help = true;
    } else if (a == "--version") {
      o.version = true;
    } else if (a == "--list-ports") {
      o.list_ports = true;
    } else if (a == "--verbose" || a == "-v") {
      o.verbose = true;
    } else if (a == "--simulate") {
      o.simulate = true;
    } else if (a == "--trace") {
      o.trace = true;
    } else if (a == "--all") {
      o.all = true;
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--check-image") {
      o.check_image = true;
    } else if (a == "--handshake-only") {
      o.handshake_only = true;
    } else if (is("--log")) {
      auto v = value("--log");
      if (!v) return std::nullopt;
      if (v->empty() || o.log) {
        error = v->empty() ? "--log needs a file name" : "--log may be given once";
        return std::nullopt;
      }
      o.log = *v;
    } else if (is("--port")) {
      auto v = value("--port");
      if (!v) return std::nullopt;
      if (v->empty()) {
        error = "--port needs a device name";
        return std::nullopt;
      }
      o.ports.push_back(*v);
    } else if (is("--image")) {
      auto v = value("--image");
      if (!v) return std::nullopt;
      if (o.image) {
        error = "--image may be given once";
        return std::nullopt;
      }
      o.image = *v;
    } else {
      error = "unknown option '" + a + "'";
      return std::nullopt;
    }
  }
  if (o.simulate && !o.ports.empty()) {
    error = "--simulate and --port exclude each other";
    return std::nullopt;
  }
  if (o.simulate && o.all) {
    error = "--simulate and --all exclude each other";
    return std::nullopt;
  }
  if (o.handshake_only && o.all) {
    error = "--handshake-only and --all exclude each other";
    return std::nullopt;
  }
  return o;
}

std::string CliUsage() {
  return R"(Usage: odu-upgrade [options]

Upgrades the firmware of a station's outdoor unit over a serial line: finds the
port the station is on, starts its bootloader and programs the firmware image.

Options:
  --port NAME     try only this port (repeatable, tried in the order given);
                  without it every serial port of the machine is tried.
                  A port on the network: rfc2217://HOST:PORT (a Telnet
                  COM-PORT-OPTION server such as ser2net or a serial device
                  server: line settings, DTR/RTS and modem lines go through)
                  or socket://HOST:PORT (raw TCP, no line control: carrier,
                  DSR and CTS count as present while connected)
  --list-ports    print the machine's serial ports, one a line, and exit; the
                  ttys left out (the kernel's console, legacy ports without a
                  UART, no character device node) are named on standard error
                  with the reason. With --verbose each name is followed by
                  lines indented by two spaces, "key: value", for what is
                  known: driver, interface driver, usb id (vendor:product),
                  manufacturer, product, serial number, by-id (the
                  /dev/serial/by-id name, which --port accepts too)
  --image FILE    program this Intel HEX file instead of the built-in image
                  (checked whole before any port is opened)
  --simulate      upgrade a simulated station on a virtual port at 19,200 baud
                  and check its flash against the image afterwards
  --verbose       say what the scan found on every port it tried, and which
                  ttys it left out and why
  --trace         print every frame written (TX) and received (RX) on
                  standard error, with the milliseconds since the start and
                  the port
  --all           upgrade the stations on every port at once (every --port
                  given, or every port of the machine): each port with a
                  station is upgraded, ports without one are reported; one
                  line per station, and a summary table at the end
  --json          print the run as JSON objects, one a line, on standard
                  output (and nothing else there); the README gives the schema
  --log FILE      append the run's events and a trace of every frame to FILE
                  as they happen (milliseconds since the start on each line)
  --check-image   check the image (the built-in one, or --image FILE) and say
                  what a run would send and how long it takes at 19,200 baud;
                  no port is opened
  --handshake-only
                  scan for the station and print its verdict, then close the
                  port: nothing is erased or programmed
  --version       print the version and exit
  --help          print this text and exit

Exit status:
  0  done: the unit is upgraded
  2  bad usage
  3  station not found on any port
  4  the station refused the upgrade
  5  upgrade error (communication error or command timeout)
  6  bad image file
  7  simulated flash differs from the image (--simulate only)
  8  interrupted (Ctrl-C, SIGTERM, SIGHUP, the console closed): no further
     frame is sent (a scan stops before its next attempt), the port is
     closed, the unit is not upgraded; a second interrupt ends the program
     at once, after putting the port's settings back and removing its lock
     file
  9  --all: some stations were upgraded and some failed (the summary says
     which); when all stations found failed, the status of the first failure
  1  internal error
)";
}

}  // namespace odu
