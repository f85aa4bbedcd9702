// The driver registry. The first test must run first in its own process: it checks what the
// registry does when it does not exist yet.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "basetest.h"
#include "testutil.h"
#include "vor.h"

namespace {

using LinkRegistry = vortest::BaseTest;

using vortest::LiveBlocks;

// A host driver built from the shared socket operations, with one post slot chosen by the test.
LinkDriver* HostDriver(const char* name, int32_t flag, VorLinkPostFn post_send) {
  return VorLinkDriverCreate(
      name, flag, VorLinkSocketCreateClient, VorLinkSocketCreateClient, VorLinkSocketAcceptClient,
      VorLinkSocketDestroy, VorLinkSocketCheck, [](Link*, double) { return 0; }, VorLinkSocketRecv,
      VorLinkSocketSend, VorLinkSocketSetBlockMode, VorLinkPostUnsupported, VorLinkPostUnsupported,
      VorLinkPostUnsupported, post_send);
}

std::set<std::string> RegisteredNames() {
  std::set<std::string> names;
  int32_t walked = VorLinkDriverTraverse(
      [](const char* key, void* value, void* arg) -> int32_t {
        const char* name = nullptr;
        VorLinkDriverGetName(static_cast<LinkDriver*>(value), &name);
        EXPECT_STREQ(key, name);
        static_cast<std::set<std::string>*>(arg)->insert(key);
        return 0;
      },
      &names);
  EXPECT_EQ(walked, 1);
  return names;
}

TEST_F(LinkRegistry, FirstUseInAFreshProcess) {
  // A registration refused by its arguments does not create the registry.
  int32_t blocks = LiveBlocks();
  EXPECT_EQ(HostDriver("mine", 0, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(LiveBlocks(), blocks);

  // The first explicit "tcp" registration creates the registry, which registers both built-ins,
  // and then finds "tcp" taken.
  VorErrNumSet(0);
  EXPECT_EQ(VorLinkDriverTcpInit(), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_EXISTS);
  EXPECT_NE(VorLinkDriverLookup("tcp"), nullptr);
  EXPECT_NE(VorLinkDriverLookup("LOCAL"), nullptr);
  // The registry lives for the process; the fixture counts from here.
  TakeBaseline();
  EXPECT_EQ(VorLinkDriverLookup("Tcp"), VorLinkDriverLookup("tCP"));
  EXPECT_EQ(RegisteredNames(), (std::set<std::string>{"local", "tcp"}));
}

TEST_F(LinkRegistry, ArgumentsAreTestedInOrder) {
  EXPECT_EQ(VorLinkDriverCreate(nullptr, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(HostDriver("mine", 2, VorLinkPostUnsupported), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(HostDriver("mine", -1, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID);
  EXPECT_EQ(HostDriver("mine", 1, nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);

  LinkDriver* tcp = VorLinkDriverLookup("tcp");
  EXPECT_EQ(HostDriver("Tcp", 1, VorLinkPostUnsupported), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_EXISTS);
  EXPECT_EQ(VorLinkDriverLookup("tcp"), tcp);

  EXPECT_EQ(VorLinkDriverLookup(nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkDriverTraverse(nullptr, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkDriverDestroy(nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  const char* name = nullptr;
  EXPECT_EQ(VorLinkDriverGetName(nullptr, &name), 0);
  EXPECT_EQ(VorLinkDriverGetName(tcp, nullptr), 0);
  EXPECT_EQ(VorErrNumGet(), ERR_NULL_PTR);
  EXPECT_EQ(VorLinkDriverSetUserProp(nullptr, nullptr), 0);
}

TEST_F(LinkRegistry, HostDriversAndRemoval) {
  int32_t blocks = LiveBlocks();
  LinkDriver* mine = HostDriver("MyDriver", 1, VorLinkPostUnsupported);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(VorLinkDriverLookup("mydriver"), mine);
  const char* first = nullptr;
  const char* second = nullptr;
  ASSERT_EQ(VorLinkDriverGetName(mine, &first), 1);
  ASSERT_EQ(VorLinkDriverGetName(mine, &second), 1);
  EXPECT_STREQ(first, "MyDriver");
  EXPECT_EQ(first, second);
  void* prop = &blocks;
  ASSERT_EQ(VorLinkDriverGetUserProp(mine, &prop), 1);
  EXPECT_EQ(prop, nullptr);
  ASSERT_EQ(VorLinkDriverSetUserProp(mine, &blocks), 1);
  ASSERT_EQ(VorLinkDriverGetUserProp(mine, &prop), 1);
  EXPECT_EQ(prop, &blocks);
  EXPECT_EQ(RegisteredNames(), (std::set<std::string>{"MyDriver", "local", "tcp"}));

  // A traversal stops at the first nonzero result and passes it on.
  int32_t seen = 0;
  EXPECT_EQ(VorLinkDriverTraverse(
                [](const char*, void*, void* arg) -> int32_t {
                  ++*static_cast<int32_t*>(arg);
                  return 7;
                },
                &seen),
            7);
  EXPECT_EQ(seen, 1);

  EXPECT_EQ(VorLinkDriverDestroy(mine), 1);
  EXPECT_EQ(LiveBlocks(), blocks);

  // A removed built-in is not brought back by the registry, only by its init function.
  ASSERT_EQ(VorLinkDriverDestroy(VorLinkDriverLookup("tcp")), 1);
  VorErrNumSet(0);
  EXPECT_EQ(VorLinkDriverLookup("tcp"), nullptr);
  EXPECT_EQ(VorErrNumGet(), 0);
  EXPECT_EQ(VorLinkCreateServer("tcp", "127.0.0.1", nullptr), nullptr);
  EXPECT_EQ(VorErrNumGet(), 0);
  LinkDriver* tcp = VorLinkDriverTcpInit();
  ASSERT_NE(tcp, nullptr);
  EXPECT_EQ(VorLinkDriverLookup("TCP"), tcp);
}

// A walk callback may change the registry: it destroys the other host drivers and registers a few
// dozen new ones (the table grows several times). The walk sees each driver that was registered
// when it began exactly once, unless it was destroyed before its turn; drivers registered during
// the walk are not seen.
struct ReshapingWalk {
  std::vector<LinkDriver*> hosts;
  std::vector<LinkDriver*> added;
  std::vector<std::string> seen;
  bool reshaped = false;
};

TEST_F(LinkRegistry, WalkSurvivesDestroyAndGrowthInsideItsCallback) {
  ReshapingWalk walk;
  for (int32_t i = 0; i < 6; ++i) {
    std::string name = "host" + std::to_string(i);
    walk.hosts.push_back(HostDriver(name.c_str(), 0, VorLinkPostUnsupported));
    ASSERT_NE(walk.hosts.back(), nullptr);
  }
  int32_t walked = VorLinkDriverTraverse(
      [](const char* key, void* value, void* arg) -> int32_t {
        auto* w = static_cast<ReshapingWalk*>(arg);
        w->seen.emplace_back(key);
        auto* driver = static_cast<LinkDriver*>(value);
        bool is_host = std::find(w->hosts.begin(), w->hosts.end(), driver) != w->hosts.end();
        if (!is_host || w->reshaped) return 0;
        w->reshaped = true;
        for (LinkDriver* other : w->hosts) {
          if (other != driver) {
            EXPECT_EQ(VorLinkDriverDestroy(other), 1);
          }
        }
        w->hosts = {driver};
        for (int32_t i = 0; i < 40; ++i) {
          std::string name = "added" + std::to_string(i);
          w->added.push_back(HostDriver(name.c_str(), 1, VorLinkPostUnsupported));
          EXPECT_NE(w->added.back(), nullptr);
        }
        return 0;
      },
      &walk);
  EXPECT_EQ(walked, 1);
  ASSERT_TRUE(walk.reshaped);
  std::multiset<std::string> seen(walk.seen.begin(), walk.seen.end());
  EXPECT_EQ(seen.count("local"), 1u);
  EXPECT_EQ(seen.count("tcp"), 1u);
  const char* survivor = nullptr;
  ASSERT_EQ(VorLinkDriverGetName(walk.hosts[0], &survivor), 1);
  EXPECT_EQ(seen.count(survivor), 1u);
  EXPECT_EQ(seen.size(), 3u);  // the two built-ins and the one host driver left

  std::set<std::string> expected{"local", "tcp", survivor};
  for (int32_t i = 0; i < 40; ++i) expected.insert("added" + std::to_string(i));
  EXPECT_EQ(RegisteredNames(), expected);
  for (LinkDriver* driver : walk.added) EXPECT_EQ(VorLinkDriverDestroy(driver), 1);
  EXPECT_EQ(VorLinkDriverDestroy(walk.hosts[0]), 1);
}

}  // namespace
