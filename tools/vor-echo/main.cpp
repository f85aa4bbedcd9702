// vor-echo: the library at work. `demo` (the default) runs an echo server and its clients over
// both built-in drivers and checks every byte; `serve` and `connect` are an echo server and a
// netcat-like client for trying links by hand.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "echo.h"

namespace echo {

namespace {

constexpr const char* kUsage =
    "usage: vor-echo [demo] [--driver tcp|local] [--clients N] [--size BYTES] [--seconds S]\n"
    "       vor-echo serve [--driver tcp|local] [--node N] [--address A] [--seconds S]\n"
    "                      [--connections N]\n"
    "       vor-echo connect [--driver tcp|local] [--node N] [--address A] [--wait S]\n"
    "\n"
    "demo     echo server and clients on loopback with posted operations; prints round trips\n"
    "         per second and bytes moved per driver (both by default); exit 0 only when every\n"
    "         echoed byte matched. Defaults: 8 clients, 4096 bytes, 2 s per driver.\n"
    "serve    echo server until Ctrl-C, --seconds S (0: no limit) or N connections served;\n"
    "         prints its address.\n"
    "         tcp: node 127.0.0.1, port chosen by the system; local: address \"vor-echo\".\n"
    "connect  sends standard input, writes what comes back to standard output; waits up to\n"
    "         --wait S (5) for replies. tcp needs --address PORT; local needs this host's\n"
    "         node name (the default) and uses the address \"vor-echo\" unless given.\n";

constexpr int32_t kMaxClients = 1000;
constexpr int32_t kMaxSize = 16 * 1024 * 1024;
constexpr double kMaxSeconds = 24 * 3600.0;

struct UsageError {
  std::string message;
};

int32_t ParseCount(const std::string& name, const std::string& text, int32_t low, int32_t high) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high)
    throw UsageError{name + " takes a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + text + "\""};
  return static_cast<int32_t>(value);
}

double ParseSeconds(const std::string& name, const std::string& text, double low) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(value) || value < low || value > kMaxSeconds)
    throw UsageError{name + " takes seconds from " + std::to_string(low).substr(0, 4) + " to " +
                     std::to_string(static_cast<int>(kMaxSeconds)) + ", not \"" + text + "\""};
  return value;
}

std::string ParseDriver(const std::string& text) {
  for (const char* known : {"tcp", "local"})
    if (VorStrCmpi(text.c_str(), known) == 0) return known;
  throw UsageError{"--driver is tcp or local, not \"" + text + "\""};
}

// The options each command takes.
bool Accepts(const std::string& command, const std::string& option) {
  if (option == "--driver") return true;
  if (command == "demo")
    return option == "--clients" || option == "--size" || option == "--seconds";
  if (command == "serve")
    return option == "--node" || option == "--address" || option == "--seconds" ||
           option == "--connections";
  return option == "--node" || option == "--address" || option == "--wait";
}

void Apply(Options& options, const std::string& option, const std::string& value) {
  if (option == "--driver") options.driver = ParseDriver(value);
  if (option == "--node") options.node = value;
  if (option == "--address") options.address = value;
  if (option == "--clients") options.clients = ParseCount(option, value, 1, kMaxClients);
  if (option == "--connections") options.connections = ParseCount(option, value, 1, 1000000);
  if (option == "--size") options.size = ParseCount(option, value, 1, kMaxSize);
  if (option == "--wait") options.wait = ParseSeconds(option, value, 0.0);
  if (option == "--seconds")
    options.seconds = ParseSeconds(option, value, options.command == "demo" ? 0.1 : 0.0);
  if ((option == "--node" || option == "--address") && value.empty())
    throw UsageError{option + " must not be empty"};
}

Options Parse(const std::vector<std::string>& args) {
  Options options;
  size_t next = 0;
  if (!args.empty() && args[0].rfind("--", 0) != 0) {
    options.command = args[0];
    if (options.command != "demo" && options.command != "serve" && options.command != "connect")
      throw UsageError{"unknown command \"" + options.command + "\""};
    next = 1;
  }
  if (options.command == "serve") options.seconds = 0;
  while (next < args.size()) {
    std::string option = args[next++];
    std::string value;
    const size_t equals = option.find('=');
    if (equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
    } else if (next < args.size()) {
      value = args[next++];
    } else if (Accepts(options.command, option)) {
      throw UsageError{option + " needs a value"};
    }
    if (!Accepts(options.command, option))
      throw UsageError{"\"" + option + "\" is not an option of " + options.command};
    Apply(options, option, value);
  }
  return options;
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (const auto& arg : args)
    if (arg == "-h" || arg == "--help" || arg == "help") return true;
  return false;
}

}  // namespace

std::string UsageFault(const std::vector<std::string>& args) {
  try {
    Parse(args);
  } catch (const UsageError& error) {
    return error.message;
  }
  return {};
}

int Main(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  Options options;
  try {
    options = Parse(args);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "vor-echo: %s\n\n%s", error.message.c_str(), kUsage);
    return kExitUsage;
  }
  if (options.command == "serve") return RunServe(options);
  if (options.command == "connect") return RunConnect(options);
  return RunDemo(options);
}

}  // namespace echo
