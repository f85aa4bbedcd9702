// The "local" driver: same-host servers and connects, the node rule, and the registry entry.
#include <cctype>
#include <string>

#include "linktest.h"

namespace {

using vortest::AddressOf;
using vortest::LinkTest;
using vortest::LiveBlocks;

using LinkLocal = LinkTest;

std::string HostName() {
  char host[256] = {};
  EXPECT_EQ(VorGetNodeName(host), 1);
  return host;
}

std::string Swapcase(std::string text) {
  for (char& c : text) {
    auto u = static_cast<unsigned char>(c);
    c = static_cast<char>(std::isupper(u) ? std::tolower(u) : std::toupper(u));
  }
  return text;
}

std::string LocalName(const char* what) {
  return std::string("vor-local-") + what + "-" +
         std::to_string(static_cast<int64_t>(VorGetWallTime() * 1000.0) % 100000000);
}

TEST_F(LinkLocal, ConnectsOnlyToThisHostInAnyCase) {
  std::string name = LocalName("node");
  // The server ignores its node text.
  Link* server = VorLinkCreateServer("LOCAL", "not even a host", name.c_str());
  ASSERT_NE(server, nullptr) << VorErrNumGet();
  EXPECT_EQ(AddressOf(server), name);
  const char* driver = nullptr;
  ASSERT_EQ(VorLinkGetAddress(server, &driver, nullptr, nullptr), 1);
  EXPECT_STREQ(driver, "local");

  for (const std::string& node : {HostName(), Swapcase(HostName())}) {
    for (double timeout : {-1.0, 0.0, 5.0}) {
      Link* client = VorLinkCreateClient("local", node.c_str(), name.c_str());
      ASSERT_NE(client, nullptr);
      ASSERT_EQ(VorLinkConnect(client, timeout), 1) << node << " " << timeout;
      Link* accepted = VorLinkAcceptClient(server);
      ASSERT_NE(accepted, nullptr);
      ASSERT_EQ(VorLinkSend(client, "ping", 4), 4);
      char area[4] = {};
      EXPECT_EQ(VorLinkRecvAll(accepted, area, 4), 4);
      EXPECT_EQ(std::string(area, 4), "ping");
      EXPECT_EQ(AddressOf(accepted), name);
      VorLinkDestroy(accepted);
      VorLinkDestroy(client);
    }
  }

  // Another name, even one for this same host, is refused before any socket is made.
  for (const char* other : {"localhost", "127.0.0.1", ""}) {
    Link* client = VorLinkCreateClient("local", other, name.c_str());
    ASSERT_NE(client, nullptr);
    int32_t blocks = LiveBlocks();
    EXPECT_EQ(VorLinkConnect(client, -1), 0) << other;
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID) << other;
    EXPECT_EQ(LiveBlocks(), blocks);
    void* cell = &blocks;
    ASSERT_EQ(VorLinkGetDevice(client, &cell), 1);
    EXPECT_EQ(cell, nullptr);
    VorLinkDestroy(client);
  }
  EXPECT_EQ(VorLinkDestroy(server), 1);
}

TEST_F(LinkLocal, FailuresComeFromTheSocketLayer) {
  std::string name = LocalName("twice");
  Link* server = VorLinkCreateServer("local", "", name.c_str());
  ASSERT_NE(server, nullptr);
  int32_t blocks = LiveBlocks();
  // The name is taken, and a name nobody serves cannot be reached: nothing is left behind.
  EXPECT_EQ(VorLinkCreateServer("local", "", name.c_str()), nullptr);
  EXPECT_NE(VorErrNumGet(), 0);
  Link* client = VorLinkCreateClient("local", HostName().c_str(), LocalName("nobody").c_str());
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(VorLinkConnect(client, -1), 0);
  EXPECT_NE(VorErrNumGet(), 0);
  VorLinkDestroy(client);
  EXPECT_EQ(LiveBlocks(), blocks);
  VorLinkDestroy(server);

  // The driver is the registry's "local"; registering it a second time is refused.
  LinkDriver* local = VorLinkDriverLookup("Local");
  ASSERT_NE(local, nullptr);
  const char* driver_name = nullptr;
  ASSERT_EQ(VorLinkDriverGetName(local, &driver_name), 1);
  EXPECT_STREQ(driver_name, "local");
  EXPECT_EQ(VorLinkDriverLocalInit(), nullptr);
  EXPECT_EQ(VorErrNumGet(), ERR_EXISTS);
}

}  // namespace
