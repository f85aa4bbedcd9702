// vor-echo: shared pieces of the three commands (demo, serve, connect).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vor.h"

namespace echo {

// Exit status: 0 all went well, 1 the run failed (refused, address in use, bad echo), 2 bad usage.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Where a server listens or a client connects.
struct Endpoint {
  std::string driver;
  std::string node;
  std::string address;
};

// Command-line settings; every command reads the ones it needs.
struct Options {
  std::string command = "demo";
  std::string driver;       // empty: the command's default
  std::string node;         // empty: the driver's default
  std::string address;      // empty: the driver's default
  int32_t clients = 8;      // demo: concurrent clients per driver
  int32_t size = 4096;      // demo: bytes per round trip
  double seconds = 2.0;     // demo: run time per driver; serve: 0 serves until interrupted
  double wait = 5.0;        // connect: longest silence while an echo is still owed
  int32_t connections = 0;  // serve: stop once this many connections came and went (0: no limit)
};

// The thread's error number as "text (error N)".
std::string ErrorText();
// "127.0.0.1" for tcp (loopback only), this host's node name otherwise.
std::string DefaultNode(const std::string& driver);
// "tcp 127.0.0.1:40123" style text for messages.
std::string Describe(const Endpoint& endpoint);
// True when standard error is a terminal, so progress can redraw one line.
bool StderrIsTerminal();
// Flags an interrupt (Ctrl-C, SIGTERM) in InterruptRequested(); the handler does nothing else.
void CatchInterrupts();
bool InterruptRequested();
// Standard input and output untranslated (binary on Windows too).
void UseBinaryStdio();
// Reads what standard input has, up to size bytes: as soon as a line is typed on a terminal,
// or a chunk arrives in a pipe. 0 at the end, -1 on error.
int32_t ReadStdin(char* area, int32_t size);

// The outcome of a delivered link event.
bool Succeeded(Event* event);
uint32_t BytesMoved(Event* event);
// Starts a receive or send: the first time through `post`, which makes `event`; afterwards by
// reposting that event, which allocates nothing. False when the operation did not start.
using TransferPostFn = Event* (*)(Link*, Mux*, Buffer*, VorEventCallback, void*);
bool PostTransfer(Event*& event, TransferPostFn post, Link* link, Mux* mux, Buffer* buffer,
                  VorEventCallback callback, void* arg);

// The whole program: runs the command the arguments name; the exit status.
int Main(const std::vector<std::string>& args);
// What is wrong with the arguments, as the usage message says it; empty when they are usable.
std::string UsageFault(const std::vector<std::string>& args);

int RunDemo(const Options& options);
int RunServe(const Options& options);
int RunConnect(const Options& options);

}  // namespace echo
