#include "testutil.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <sys/resource.h>

#  include <filesystem>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "vorutil.h"

namespace vortest {
int32_t LiveBlocks() { return VorMemBlockCount(); }

#if defined(_WIN32)
double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1.0;
  auto seconds = [](const FILETIME& time) {
    return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime) *
           1e-7;
  };
  return seconds(kernel) + seconds(user);
}
#else
double ProcessCpuSeconds() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return -1.0;
  auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + time.tv_usec * 1e-6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
#endif

bool ThreadsAvailable() {
  const char* emulated = std::getenv("VOR_EMULATED_I386");
  return emulated == nullptr || std::strcmp(emulated, "1") != 0;
}

void LeaveOutThreadsWhereUnavailable() {
  if (ThreadsAvailable()) return;
  constexpr const char* kThreadSuites = "*Threads.*";
  std::string filter = GTEST_FLAG_GET(filter);
  filter += filter.find('-') == std::string::npos ? "-" : ":";
  GTEST_FLAG_SET(filter, filter + kThreadSuites);
  const testing::UnitTest& tests = *testing::UnitTest::GetInstance();
  for (int i = 0; i < tests.total_test_suite_count(); ++i) {
    const testing::TestSuite& suite = *tests.GetTestSuite(i);
    if (!std::string_view(suite.name()).ends_with("Threads")) continue;
    for (int j = 0; j < suite.total_test_count(); ++j)
      std::printf("%s: %s.%s\n", kNoThreads, suite.name(), suite.GetTestInfo(j)->name());
  }
  std::fflush(stdout);
}

namespace {
int FailuresSoFar() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  return test == nullptr ? 0 : test->result()->total_part_count();
}
}  // namespace

FailureContext::FailureContext(std::string scene)
    : scene_(std::move(scene)), failures_at_start_(FailuresSoFar()) {}

FailureContext::~FailureContext() {
  if (FailuresSoFar() > failures_at_start_) ADD_FAILURE() << "the failures above are in " << scene_;
}

namespace {
// gtest's printer also hands each failure and skip to OutputDebugStringA on Windows, which raises
// an exception for a debugger to catch; under 32-bit emulation wine's handling of that exception
// crashes the process, and the report with it. This printer passes every event to gtest's own,
// except the results, which it prints to standard output alone, in gtest's format.
class ResultsToStdout : public testing::TestEventListener {
 public:
  explicit ResultsToStdout(testing::TestEventListener* inner) : inner_(inner) {}

  void OnTestProgramStart(const testing::UnitTest& test) override {
    inner_->OnTestProgramStart(test);
  }
  void OnTestIterationStart(const testing::UnitTest& test, int iteration) override {
    inner_->OnTestIterationStart(test, iteration);
  }
  void OnEnvironmentsSetUpStart(const testing::UnitTest& test) override {
    inner_->OnEnvironmentsSetUpStart(test);
  }
  void OnEnvironmentsSetUpEnd(const testing::UnitTest& test) override {
    inner_->OnEnvironmentsSetUpEnd(test);
  }
  void OnTestSuiteStart(const testing::TestSuite& suite) override {
    inner_->OnTestSuiteStart(suite);
  }
#ifndef GTEST_REMOVE_LEGACY_TEST_CASEAPI_
  void OnTestCaseStart(const testing::TestCase& suite) override { inner_->OnTestCaseStart(suite); }
  void OnTestCaseEnd(const testing::TestCase& suite) override { inner_->OnTestCaseEnd(suite); }
#endif
  void OnTestStart(const testing::TestInfo& info) override { inner_->OnTestStart(info); }
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (result.type() == testing::TestPartResult::kSuccess) return;
    const char* kind = result.skipped() ? "Skipped" : "Failure";
    std::printf("%s:%d: %s\n%s\n\n", result.file_name() ? result.file_name() : "unknown file",
                result.line_number(), kind, result.message());
    std::fflush(stdout);
  }
  void OnTestEnd(const testing::TestInfo& info) override { inner_->OnTestEnd(info); }
  void OnTestSuiteEnd(const testing::TestSuite& suite) override { inner_->OnTestSuiteEnd(suite); }
  void OnEnvironmentsTearDownStart(const testing::UnitTest& test) override {
    inner_->OnEnvironmentsTearDownStart(test);
  }
  void OnEnvironmentsTearDownEnd(const testing::UnitTest& test) override {
    inner_->OnEnvironmentsTearDownEnd(test);
  }
  void OnTestIterationEnd(const testing::UnitTest& test, int iteration) override {
    inner_->OnTestIterationEnd(test, iteration);
  }
  void OnTestProgramEnd(const testing::UnitTest& test) override { inner_->OnTestProgramEnd(test); }

 private:
  std::unique_ptr<testing::TestEventListener> inner_;
};

// Installed before main(), so it is in place before gtest runs anything.
bool UseResultsToStdoutWhenEmulated() {
  if (ThreadsAvailable()) return false;
  testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
  testing::TestEventListener* printer = listeners.default_result_printer();
  if (printer == nullptr) return false;
  listeners.Release(printer);
  listeners.Append(new ResultsToStdout(printer));
  return true;
}
[[maybe_unused]] const bool kResultsToStdout = UseResultsToStdoutWhenEmulated();
}  // namespace

int32_t OpenHandles() {
#ifdef _WIN32
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return -1;
  return static_cast<int32_t>(count);
#else
  int32_t count = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++count;
  return ec ? -1 : count;
#endif
}
}  // namespace vortest
