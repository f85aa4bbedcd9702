// Shared helpers for the tests: leak checks against the tracking allocator, the process's
// processor time for checks that a wait does not spin, its open handles, and whether this
// process may start threads.
#pragma once
#include <cstdint>
#include <string>

namespace vortest {
// Live blocks in the tracking allocator right now.
int32_t LiveBlocks();
// Processor time (user + system) used by this process so far, in seconds.
double ProcessCpuSeconds();

// False when the test runs as a 32-bit program under user-mode emulation (qemu-i386), where a
// second thread, even one that only waits, makes the emulated process hang or crash. The runner
// (cmake/wine-run.sh) says so in the environment variable VOR_EMULATED_I386.
// A test that starts any thread goes in a suite whose name ends in "Threads" (for a fixture, an
// alias such as MuxThreads); under emulation the test program's main leaves those suites out and
// names each one it left out. A test that only may start a thread asks ThreadsAvailable().
// Nothing there may make gtest start a thread either: on Windows gtest starts one at a test's
// first reported result (a skip, a failure) and at SCOPED_TRACE, so tests skip by suite name and
// label their scenes with FailureContext.
bool ThreadsAvailable();
// Under emulation, adds the suites named "...Threads" to the tests gtest leaves out, and prints
// the name of each such test with kNoThreads. Called by main between gtest's set-up and the run.
void LeaveOutThreadsWhereUnavailable();
inline constexpr const char* kNoThreads = "skipped under 32-bit emulation: threads";

// Names the scene a group of assertions is in, as SCOPED_TRACE does: if any assertion fails while
// the context lives, one more failure says in which scene.
class FailureContext {
 public:
  explicit FailureContext(std::string scene);
  ~FailureContext();
  FailureContext(const FailureContext&) = delete;
  FailureContext& operator=(const FailureContext&) = delete;

 private:
  std::string scene_;
  int failures_at_start_;
};
// Handles the process holds open right now (descriptors natively, kernel handles on Windows),
// so a test can require that sockets and ports went back.
int32_t OpenHandles();
}  // namespace vortest
