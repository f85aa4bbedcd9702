// vor-echo's options: every kind of bad argument is refused with a message that names the fault,
// and the arguments a user types are taken.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "basetest.h"
#include "echo.h"

namespace {

using EchoUsage = vortest::BaseTest;

std::string Joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& arg : args) text += (text.empty() ? "" : " ") + arg;
  return text;
}

struct BadCase {
  std::vector<std::string> args;
  const char* fault;
};

TEST_F(EchoUsage, BadArgumentsAreRefusedWithTheFaultNamed) {
  const BadCase cases[] = {
      {{"bogus"}, "unknown command"},
      {{"demo", "--clients", "0"}, "--clients takes"},
      {{"demo", "--clients", "1001"}, "--clients takes"},
      {{"demo", "--size", "12x"}, "--size takes"},
      {{"demo", "--size", ""}, "--size takes"},
      {{"demo", "--seconds", "-1"}, "--seconds takes"},
      {{"demo", "--seconds", "nan"}, "--seconds takes"},
      {{"demo", "--seconds", "0.05"}, "--seconds takes"},
      {{"demo", "--driver", "udp"}, "--driver is tcp or local"},
      {{"serve", "--clients", "3"}, "not an option of serve"},
      {{"serve", "--address="}, "--address must not be empty"},
      {{"connect", "--address"}, "--address needs a value"},
      {{"connect", "--size", "10"}, "not an option of connect"},
  };
  for (const BadCase& bad : cases) {
    const std::string fault = echo::UsageFault(bad.args);
    EXPECT_NE(fault.find(bad.fault), std::string::npos)
        << "vor-echo " << Joined(bad.args) << ": \"" << fault << "\"";
  }
}

TEST_F(EchoUsage, UsableArgumentsAreTaken) {
  const std::vector<std::string> cases[] = {
      {},
      {"demo"},
      {"--clients", "3"},
      {"demo", "--driver", "LOCAL", "--clients", "1000", "--size=16", "--seconds", "0.1"},
      {"serve", "--seconds", "0", "--connections", "2"},
      {"connect", "--address", "40000", "--wait", "0"},
  };
  for (const std::vector<std::string>& args : cases)
    EXPECT_EQ(echo::UsageFault(args), "") << "vor-echo " << Joined(args);
}

}  // namespace
