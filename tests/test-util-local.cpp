// Same-host sockets: the name registry (live names refused, stale entries replaced, names
// matched without regard to case, a race for one name, a create that waits out another's probe,
// an entry whose process has ended, a directory that is not ours), all-digit ports and bad names.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "basetest.h"
#include "testutil.h"
#include "vorutil.h"
#include "vorwin.h"

#ifndef _WIN32
#  include <sys/stat.h>
#  include <unistd.h>
#endif

namespace {

using UtilLocal = vortest::BaseTest;
using UtilLocalThreads = vortest::BaseTest;

constexpr double kWait = 10.0;

// Names are per user and outlive the test, so each run takes fresh ones.
std::string FreshName(const char* stem) {
  static std::mt19937_64 rng(
      std::random_device{}() ^
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

TEST_F(UtilLocal, NamedServerIsReachedByNameInAnyCase) {
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
}

TEST_F(UtilLocal, LiveNameIsRefusedAndStaleEntryReplaced) {
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
}

// Four threads race to serve one name, in several rounds so that a loser also meets the moment
// the winner lets go of the name's lock.
TEST_F(UtilLocalThreads, ServersRacingForOneNameGetItOnce) {
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

TEST_F(UtilLocal, AllDigitAddressIsThatLoopbackPort) {
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
}

TEST_F(UtilLocal, BadAddressesAreRefused) {
  const std::string too_long(65, 'a');
  // A trailing dot is refused everywhere: Windows would file "svc." and "svc" as one name.
  for (const char* bad : {"../x", "", "a/b", "a\\b", "..", ".", "a b", "na\xc3\xafve", "65536",
                          "svc.", "svc..", too_long.c_str()}) {
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
}

namespace fs = std::filesystem;

// The registry directory: the one under the temporary folder that holds the entry of key.
fs::path RegistryDirOf(const std::string& key) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
    if (entry.path().filename().string().rfind("vor-local-", 0) == 0 &&
        fs::exists(entry.path() / ("n-" + key), ec))
      return entry.path();
  }
  return {};
}

int32_t PortOf(VorSock sock) {
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

// A server whose process has ended does not live on in whatever listens on its port later: its
// name is free for a new server, and a client is not sent to the newcomer on the port.
TEST_F(UtilLocal, EntryOfAnEndedProcessIsStaleWhoeverHoldsItsPort) {
  std::string name = FreshName("ended");
  VorSock first = VorSocketCreateServerLocal(name.c_str());
  ASSERT_NE(first, VOR_INVALID_SOCKET);
  const int32_t port = PortOf(first);
  fs::path dir = RegistryDirOf(name);
  ASSERT_FALSE(dir.empty());
  VorWinCloseSocket(first);
  {
    // The entry as a server in a process that has ended leaves it (no process has this number).
    std::ofstream entry(dir / ("n-" + name), std::ios::trunc);
    entry << port << " 4000000000 1\n";
  }
  VorSock squatter = VorSocketCreateServerTcpEx("127.0.0.1", port);
  ASSERT_NE(squatter, VOR_INVALID_SOCKET);
  EXPECT_EQ(VorSocketCreateClientLocal(name.c_str()), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), -10061);
  VorSock second = VorSocketCreateServerLocal(name.c_str());
  ASSERT_NE(second, VOR_INVALID_SOCKET) << VorErrNumGet();
  EXPECT_NE(PortOf(second), port);
  EXPECT_TRUE(Reaches(name, second));
  VorWinCloseSocket(second);
  VorWinCloseSocket(squatter);
}

// Creates that meet the name's lock while its holder probes a live but silent server (its
// queue full, so each probe runs to its limit) wait the holders before them out and are refused
// with ERR_EXISTS like the first, not with a failure to get the lock: the third waits for two
// probes.
TEST_F(UtilLocalThreads, CreateWaitingOutAnotherCreatesProbeEndsWithExists) {
  std::string name = FreshName("busy");
  VorSock server = VorSocketCreateServerLocal(name.c_str());
  ASSERT_NE(server, VOR_INVALID_SOCKET);
  ASSERT_EQ(listen(server, 0), 0);  // the smallest queue, filled below
  const int32_t port = PortOf(server);
  std::vector<VorSock> fillers;
  for (int i = 0; i < 4; ++i) fillers.push_back(VorSocketConnectBeginTcp("127.0.0.1", port, 0));
  constexpr int kCreators = 3;
  std::atomic<int> ready{0};
  int32_t errors[kCreators] = {};
  VorSock results[kCreators] = {};
  std::vector<std::thread> creators;
  for (int i = 0; i < kCreators; ++i) {
    creators.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kCreators) std::this_thread::yield();
      results[i] = VorSocketCreateServerLocal(name.c_str());
      errors[i] = VorErrNumGet();
    });
  }
  for (std::thread& t : creators) t.join();
  for (int i = 0; i < kCreators; ++i) {
    EXPECT_EQ(results[i], VOR_INVALID_SOCKET);
    EXPECT_EQ(errors[i], ERR_EXISTS) << "creator " << i;
    if (results[i] != VOR_INVALID_SOCKET) VorWinCloseSocket(results[i]);
  }
  for (VorSock filler : fillers)
    if (filler != VOR_INVALID_SOCKET) VorWinCloseSocket(filler);
  VorWinCloseSocket(server);
}

#ifndef _WIN32
// Where the temporary folder is for this process, for the cases below: a scratch folder of the
// test's own, set through TMPDIR and put back afterwards.
class ScratchTemp {
 public:
  ScratchTemp() {
    const char* old = std::getenv("TMPDIR");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    root_ = fs::temp_directory_path() / FreshName("scratch");
    fs::create_directories(root_);
    setenv("TMPDIR", root_.c_str(), 1);
  }
  ~ScratchTemp() {
    if (had_old_) {
      setenv("TMPDIR", old_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& root() const { return root_; }

 private:
  fs::path root_;
  std::string old_;
  bool had_old_ = false;
};

// The registry directory is refused, and nothing is written in it, when another user owns it
// or when a link stands in its place; our own directory works again afterwards.
TEST_F(UtilLocal, RegistryDirectoryNotOursIsRefused) {
  ScratchTemp temp;
  std::string name = FreshName("owner");
  VorSock first = VorSocketCreateServerLocal(name.c_str());
  ASSERT_NE(first, VOR_INVALID_SOCKET);
  VorWinCloseSocket(first);
  fs::path dir = RegistryDirOf(name);
  ASSERT_EQ(dir.parent_path(), temp.root());
  std::string other = FreshName("other");

  if (geteuid() == 0) {
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);  // as if another user had made it first
    EXPECT_EQ(VorSocketCreateServerLocal(other.c_str()), VOR_INVALID_SOCKET);
    EXPECT_EQ(VorErrNumGet(), -static_cast<int32_t>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(fs::exists(dir / ("n-" + other)));
    EXPECT_EQ(VorSocketCreateClientLocal(name.c_str()), VOR_INVALID_SOCKET);
    ASSERT_EQ(chown(dir.c_str(), 0, 0), 0);
  }

  // A link to a directory of ours (which another user could have made point anywhere).
  fs::path elsewhere = temp.root() / "elsewhere";
  fs::rename(dir, elsewhere);
  fs::create_directory_symlink(elsewhere, dir);
  EXPECT_EQ(VorSocketCreateServerLocal(other.c_str()), VOR_INVALID_SOCKET);
  EXPECT_EQ(VorErrNumGet(), -static_cast<int32_t>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(fs::exists(elsewhere / ("n-" + other)));
  fs::remove(dir);
  fs::rename(elsewhere, dir);

  VorSock again = VorSocketCreateServerLocal(other.c_str());
  ASSERT_NE(again, VOR_INVALID_SOCKET);
  EXPECT_TRUE(Reaches(other, again));
  VorWinCloseSocket(again);
}
#endif

}  // namespace
