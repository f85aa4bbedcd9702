// Same-host sockets: the name registry (live names refused, stale entries replaced, names
// matched without regard to case, a race for one name), all-digit ports and bad names.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"
#include "vorutil.h"

namespace {

constexpr double kWait = 10.0;

// Names are per user and outlive the test, so each run takes fresh ones.
std::string FreshName(const char* stem) {
  static std::mt19937_64 rng(std::random_device{}() ^
                             static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  return std::string("vut-") + stem + "-" + std::to_string(rng() % 1000000000000ull);
}

// Connects a client to the address and accepts it on server; true when both ends are made.
bool Reaches(const std::string& address, VorSock server) {
  VorSock client = VorSocketCreateClientLocal(address.c_str());
  if (client == VOR_INVALID_SOCKET) return false;
  bool ok = VorSocketCheck(server, 0, kWait) == 1;
  VorSock accepted = ok ? VorSocketAccept(server) : VOR_INVALID_SOCKET;
  ok = accepted != VOR_INVALID_SOCKET;
  if (ok) VorWinCloseSocket(accepted);
  VorWinCloseSocket(client);
  return ok;
}

TEST(UtilLocal, NamedServerIsReachedByNameInAnyCase) {
  int32_t start = vortest::LiveBlocks();
  std::string name = FreshName("Echo");
  VorSock server = VorSocketCreateServerLocal(name.c_str());
  ASSERT_NE(server, VOR_INVALID_SOCKET);
  char area[256];
  ASSERT_EQ(VorSocketGetNameStr(server, 1, area), 1);
  EXPECT_EQ(std::string(area).rfind("127.0.0.1:", 0), 0u);  // loopback only
  EXPECT_TRUE(Reaches(name, server));
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(Reaches(upper, server));

  VorSock begun = VorSocketConnectBeginLocal(name.c_str());
  ASSERT_NE(begun, VOR_INVALID_SOCKET);
  EXPECT_EQ(VorSocketCheck(begun, 1, kWait), 1);
  EXPECT_EQ(VorSocketConnectCompleteTcp(begun, 0, 0), 1);
  VorWinCloseSocket(begun);
  VorWinCloseSocket(server);
  EXPECT_EQ(vortest::LiveBlocks(), start);
}

TEST(UtilLocal, LiveNameIsRefusedAndStaleEntryReplaced) {
  int32_t start = vortest::LiveBlocks();
  std::string name = FreshName("owned");
  VorSock first = VorSocketCreateServerLocal(name.c_str());
  ASSERT_NE(first, VOR_INVALID_SOCKET);
  EXPECT_EQ(VorSocketCreateServerLocal(name.c_str()), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), ERR_EXISTS);
  EXPECT_TRUE(Reaches(name, first));  // the refused attempt left the entry alone

  VorWinCloseSocket(first);  // the entry stays behind, stale
  EXPECT_EQ(VorSocketCreateClientLocal(name.c_str()), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), -10061);
  VorSock second = VorSocketCreateServerLocal(name.c_str());
  ASSERT_NE(second, VOR_INVALID_SOCKET);
  EXPECT_TRUE(Reaches(name, second));
  VorWinCloseSocket(second);

  // A server that never had a connection leaves its port free at once.
  std::string quiet = FreshName("quiet");
  VorSock unused = VorSocketCreateServerLocal(quiet.c_str());
  ASSERT_NE(unused, VOR_INVALID_SOCKET);
  VorWinCloseSocket(unused);
  VorSock replacement = VorSocketCreateServerLocal(quiet.c_str());
  ASSERT_NE(replacement, VOR_INVALID_SOCKET);
  EXPECT_TRUE(Reaches(quiet, replacement));
  VorWinCloseSocket(replacement);

  EXPECT_EQ(VorSocketCreateClientLocal(FreshName("never-served").c_str()), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), -10061);
  EXPECT_EQ(vortest::LiveBlocks(), start);
}

// Four threads race to serve one name, in several rounds so that a loser also meets the moment
// the winner lets go of the name's lock.
TEST(UtilLocal, ServersRacingForOneNameGetItOnce) {
  constexpr int kRounds = 20;
  constexpr size_t kThreads = 4;
  for (int round = 0; round < kRounds; ++round) {
    std::string name = FreshName("race");
    std::atomic<size_t> ready{0};
    std::vector<VorSock> results(kThreads, VOR_INVALID_SOCKET);
    std::vector<int32_t> errors(kThreads, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        results[i] = VorSocketCreateServerLocal(name.c_str());
        errors[i] = VorErrNumGet();
      });
    }
    for (std::thread& t : threads) t.join();
    int winners = 0;
    for (size_t i = 0; i < kThreads; ++i) {
      if (results[i] != VOR_INVALID_SOCKET) {
        ++winners;
        EXPECT_TRUE(Reaches(name, results[i]));
        VorWinCloseSocket(results[i]);
      } else {
        EXPECT_EQ(errors[i], ERR_EXISTS) << "round " << round;
      }
    }
    ASSERT_EQ(winners, 1) << "round " << round;
  }
}

TEST(UtilLocal, AllDigitAddressIsThatLoopbackPort) {
  int32_t start = vortest::LiveBlocks();
  VorSock server = VorSocketCreateServerLocal("0");  // a port the system chooses
  ASSERT_NE(server, VOR_INVALID_SOCKET);
  char area[256];
  ASSERT_EQ(VorSocketGetNameStr(server, 1, area), 1);
  std::string text(area);
  ASSERT_EQ(text.rfind("127.0.0.1:", 0), 0u);
  EXPECT_TRUE(Reaches(text.substr(10), server));
  VorWinCloseSocket(server);
  EXPECT_EQ(VorSocketCreateClientLocal("0"), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(vortest::LiveBlocks(), start);
}

TEST(UtilLocal, BadAddressesAreRefused) {
  int32_t start = vortest::LiveBlocks();
  const std::string too_long(65, 'a');
  for (const char* bad : {"../x", "", "a/b", "a\\b", "..", ".", "a b", "na\xc3\xafve", "65536",
                          too_long.c_str()}) {
    EXPECT_EQ(VorSocketCreateServerLocal(bad), VOR_INVALID_SOCKET) << bad;
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID) << bad;
    EXPECT_EQ(VorSocketCreateClientLocal(bad), VOR_INVALID_SOCKET) << bad;
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID) << bad;
    EXPECT_EQ(VorSocketConnectBeginLocal(bad), VOR_INVALID_SOCKET) << bad;
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID) << bad;
  }
  EXPECT_EQ(VorSocketCreateServerLocal(nullptr), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorSocketCreateClientLocal(nullptr), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  std::string longest = FreshName("x");
  longest += std::string(64 - longest.size(), 'z');  // exactly 64 characters is allowed
  VorSock server = VorSocketCreateServerLocal(longest.c_str());
  EXPECT_NE(server, VOR_INVALID_SOCKET);
  VorWinCloseSocket(server);
  EXPECT_EQ(vortest::LiveBlocks(), start);
}

}  // namespace
