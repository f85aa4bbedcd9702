// Error numbers: per thread, OS and Winsock codes stored negative, the Win32-to-Winsock mapping
// of completion errors, texts and the interrupt flag.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "basetest.h"
#include "testutil.h"
#include "vorutil.h"
#include "vorwin.h"

namespace {

using UtilErrThreads = vortest::BaseTest;
using UtilErr = vortest::BaseTest;

TEST_F(UtilErrThreads, NumberIsPerThread) {
  VorErrNumSet(ERR_VAL_INVALID);
  int32_t seen_in_thread = -1;
  std::thread other([&seen_in_thread] {
    seen_in_thread = VorErrNumGet();  // a new thread starts with no error
    VorErrNumSet(ERR_TIMEOUT);
  });
  other.join();
  EXPECT_EQ(seen_in_thread, ERR_OK);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
}

TEST_F(UtilErr, OsAndSocketErrorsAreStoredNegative) {
  VorErrNumSetOs(6);
  EXPECT_EQ(VorErrNumGet(), -6);
  VorErrNumSetSocket(10061);
  EXPECT_EQ(VorErrNumGet(), -10061);
  SetLastError(5);
  VorErrNumSetOs(0);
  EXPECT_EQ(VorErrNumGet(), -5);
  WSASetLastError(10054);
  VorErrNumSetSocket(0);
  EXPECT_EQ(VorErrNumGet(), -10054);
}

TEST_F(UtilErr, CompletionCodesMapToWinsockCodes) {
  const struct {
    int32_t left_behind;
    int32_t expected;
  } cases[] = {{64, 10054}, {1225, 10061},  {1236, 10053}, {995, 995},
               {676, 995},  {10035, 10035}, {10061, 10061}};
  for (const auto& c : cases) {
    WSASetLastError(c.left_behind);
    EXPECT_EQ(VorErrNumGetSocket(), c.expected) << "code " << c.left_behind;
  }
}

TEST_F(UtilErr, EveryNumberHasAText) {
  const int32_t own[] = {ERR_OK,          ERR_NULL_PTR,    ERR_VAL_RANGE, ERR_EXISTS,
                         ERR_VAL_INVALID, ERR_TIMEOUT,     ERR_EOF,       ERR_INTR,
                         ERR_WOULD_BLOCK, ERR_UNSUPPORTED, ERR_BUSY,      ERR_WRONG_MUX};
  std::set<std::string> texts;
  for (int32_t number : own) {
    const char* text = VorErrNumStr(number);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 0u);
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), std::size(own));  // distinct texts
  EXPECT_NE(std::string(VorErrNumStr(-10061)).find("refused"), std::string::npos);
  EXPECT_NE(std::string(VorErrNumStr(12345)).find("12345"), std::string::npos);
  EXPECT_NE(std::string(VorErrNumStr(-54321)).find("54321"), std::string::npos);
  EXPECT_NE(VorErrNumStr(INT32_MIN), nullptr);
}

TEST_F(UtilErr, PerrorPrintsContextAndText) {
  VorErrNumSet(ERR_TIMEOUT);
  testing::internal::CaptureStderr();
  VorPerror("waiting");
  std::string text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(text, std::string("waiting: ") + VorErrNumStr(ERR_TIMEOUT) + "\n");
}

TEST_F(UtilErrThreads, InterruptFlagIsProcessWide) {
  EXPECT_EQ(VorInterruptGet(), 0);
  VorInterruptSet(1);
  int32_t seen = 0;
  std::thread other([&seen] { seen = VorInterruptGet(); });
  other.join();
  EXPECT_NE(seen, 0);
  VorInterruptSet(0);
  EXPECT_EQ(VorInterruptGet(), 0);
}

}  // namespace
