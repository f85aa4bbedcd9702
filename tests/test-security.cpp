// What the library defends against: same-host servers reachable from this host only, a name
// registry that other users can neither read nor redirect and that no name can walk out of, TCP
// servers whose port another socket cannot take over, and posted receives and sends that never
// touch a byte outside the host's Buffer whatever its offsets.
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "faulttest.h"

#ifndef _WIN32
#  include <sys/stat.h>
#  include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using vortest::AddressOf;
using vortest::Deliveries;
using vortest::LinkTest;
using vortest::SocketOf;
using vortest::Successful;

std::string NodeName() {
  char area[256] = {};
  EXPECT_EQ(VorGetNodeName(area), 1);
  return area;
}

// A name no other run uses at the same time.
std::string OwnName() {
  static const std::string name = "sec-" + std::to_string(std::random_device{}());
  return name;
}

std::string LocalName(SOCKET sock) {
  char area[256] = {};
  EXPECT_NE(VorSocketGetNameStr(sock, 1, area), 0);
  return area;
}

// The registry directory: the one under the temporary folder that holds the entry of name.
fs::path RegistryDirOf(const std::string& name) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), ec)) {
    if (entry.path().filename().string().rfind("vor-local-", 0) == 0 &&
        fs::exists(entry.path() / ("n-" + name), ec))
      return entry.path();
  }
  return {};
}

TEST_F(LinkTest, SameHostServersListenOnLoopbackOnly) {
  for (const std::string& address : {OwnName(), std::string("0")}) {
    Link* server = VorLinkCreateServer("local", NodeName().c_str(), address.c_str());
    ASSERT_NE(server, nullptr) << address;
    EXPECT_EQ(LocalName(SocketOf(server)).rfind("127.0.0.1:", 0), 0u) << address;
    VorLinkDestroy(server);
  }
}

TEST_F(LinkTest, NameRegistryIsPrivateAndNoNameLeavesIt) {
  std::string name = OwnName();
  Link* server = VorLinkCreateServer("local", NodeName().c_str(), name.c_str());
  ASSERT_NE(server, nullptr);
  fs::path dir = RegistryDirOf(name);
  ASSERT_FALSE(dir.empty()) << "no registry entry for " << name;
#ifndef _WIN32
  struct stat info {};
  ASSERT_EQ(lstat(dir.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode)) << "the registry is not a plain directory";
  EXPECT_EQ(info.st_uid, geteuid());
  EXPECT_EQ(info.st_mode & 0777, 0700u) << "others can reach the registry";
  ASSERT_EQ(stat((dir / ("n-" + name)).c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, geteuid());
  EXPECT_EQ(info.st_mode & 022, 0u) << "others can rewrite an entry";
#endif
  // Names that would leave the directory, or name it, are refused before any file is touched.
  fs::path parent = dir.parent_path();
  for (const char* bad : {"../x", "..", ".", "a/b", "..\\x", "/etc/passwd", "x/../../y", ""}) {
    EXPECT_EQ(VorLinkCreateServer("local", NodeName().c_str(), bad), nullptr) << bad;
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID) << bad;
    Link* client = VorLinkCreateClient("local", NodeName().c_str(), bad);
    ASSERT_NE(client, nullptr);  // a client is only checked when it connects
    EXPECT_EQ(VorLinkConnect(client, -1), 0) << bad;
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_INVALID) << bad;
    VorLinkDestroy(client);
  }
  std::error_code ec;
  EXPECT_FALSE(fs::exists(parent / "x", ec));
  EXPECT_FALSE(fs::exists(parent / "n-x", ec));
  VorLinkDestroy(server);
}

#ifndef _WIN32
// A registry directory that someone opened to others (or made for us) is closed again before
// anything is written in it.
TEST_F(LinkTest, OpenedRegistryIsMadePrivateAgain) {
  std::string name = OwnName() + "-reopen";
  Link* first = VorLinkCreateServer("local", NodeName().c_str(), name.c_str());
  ASSERT_NE(first, nullptr);
  fs::path dir = RegistryDirOf(name);
  VorLinkDestroy(first);
  ASSERT_FALSE(dir.empty());
  ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
  Link* second = VorLinkCreateServer("local", NodeName().c_str(), name.c_str());
  ASSERT_NE(second, nullptr);
  struct stat info {};
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  VorLinkDestroy(second);
}
#endif

// A second socket cannot bind the port of a listening TCP server, on its address or on any
// address, with or without SO_REUSEADDR (on Windows the server holds SO_EXCLUSIVEADDRUSE).
TEST_F(LinkTest, TcpServerPortCannotBeTakenOver) {
  Link* server = vortest::TcpServer();
  ASSERT_NE(server, nullptr);
  int32_t port = std::stoi(AddressOf(server));
#ifdef _WIN32
  // The binds below fail under wine whatever the option, as the host kernel refuses them; the
  // option itself is read back.
  int exclusive = 0;
  int size = sizeof exclusive;
  ASSERT_EQ(getsockopt(SocketOf(server), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                       reinterpret_cast<char*>(&exclusive), &size),
            0);
  EXPECT_NE(exclusive, 0);
#endif
  EXPECT_EQ(VorSocketCreateServerTcpEx("127.0.0.1", port), INVALID_SOCKET);
  for (u_long host : {static_cast<u_long>(INADDR_LOOPBACK), static_cast<u_long>(INADDR_ANY)}) {
    for (int reuse : {0, 1}) {
      SOCKET intruder = socket(AF_INET, SOCK_STREAM, 0);
      ASSERT_NE(intruder, INVALID_SOCKET);
      setsockopt(intruder, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                 sizeof reuse);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(host);
      address.sin_port = htons(static_cast<u_short>(port));
      EXPECT_NE(bind(intruder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
          << "bound the server's port, any address " << (host == INADDR_ANY) << ", reuse " << reuse;
      closesocket(intruder);
    }
  }
  // And the server still serves.
  Link* client = vortest::TcpClientTo(server);
  EXPECT_NE(client, nullptr);
  if (client != nullptr) VorLinkDestroy(client);
  VorLinkDestroy(server);
}

// A Buffer laid in the middle of a larger area: the bytes around it must never change.
struct GuardedBuffer {
  static constexpr int32_t kGuard = 256;
  static constexpr char kFill = 0x5a;
  std::vector<char> area;
  Buffer buf{};
  explicit GuardedBuffer(int32_t capacity)
      : area(static_cast<size_t>(capacity + 2 * kGuard), kFill) {
    buf.data = area.data() + kGuard;
    buf.capacity = capacity;
  }
  bool GuardsIntact() const {
    for (int32_t i = 0; i < kGuard; ++i) {
      if (area[static_cast<size_t>(i)] != kFill) return false;
      if (area[area.size() - 1 - static_cast<size_t>(i)] != kFill) return false;
    }
    return true;
  }
};

TEST_F(LinkTest, PostsNeverTouchBytesOutsideTheBuffer) {
  Mux* mux = VorMuxCreate();
  vortest::Pair pair = vortest::TcpPair();
  ASSERT_NE(pair.server, nullptr);
  Deliveries seen(mux);
  constexpr int32_t kCap = 100;
  struct Offsets {
    int32_t read, write, capacity;
  };
  const Offsets refused[] = {{-1, 0, kCap},
                             {0, -1, kCap},
                             {5, 4, kCap},
                             {0, kCap + 1, kCap},
                             {kCap + 1, kCap + 1, kCap},
                             {INT32_MIN, 0, kCap},
                             {0, INT32_MAX, kCap},
                             {0, 0, -1},
                             {INT32_MAX, INT32_MAX, kCap}};
  GuardedBuffer guarded(kCap);
  int32_t blocks = vortest::LiveBlocks();
  for (const Offsets& o : refused) {
    guarded.buf.read_offset = o.read;
    guarded.buf.write_offset = o.write;
    guarded.buf.capacity = o.capacity;
    EXPECT_EQ(VorLinkPostRecv(pair.server, mux, &guarded.buf, nullptr, nullptr), nullptr);
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE) << o.read << " " << o.write << " " << o.capacity;
    EXPECT_EQ(VorLinkPostSend(pair.server, mux, &guarded.buf, nullptr, nullptr), nullptr);
    EXPECT_EQ(VorErrNumGet(), ERR_VAL_RANGE) << o.read << " " << o.write << " " << o.capacity;
  }
  EXPECT_EQ(vortest::LiveBlocks(), blocks);  // nothing allocated for a refused post
  EXPECT_EQ(seen.Next(0.2), nullptr);        // and nothing comes back for one

  // A receive into the last 10 bytes while the peer sends far more: 10 bytes at most land.
  guarded.buf.capacity = kCap;
  guarded.buf.read_offset = kCap - 10;
  guarded.buf.write_offset = kCap - 10;
  std::vector<char> flood(5000, 'f');
  ASSERT_EQ(VorLinkSend(pair.client, flood.data(), 5000), 5000);
  Event* recv = VorLinkPostRecv(pair.server, mux, &guarded.buf, nullptr, nullptr);
  ASSERT_NE(recv, nullptr);
  ASSERT_TRUE(seen.Await(recv, 10.0));
  EXPECT_EQ(Successful(recv), 1);
  EXPECT_EQ(guarded.buf.write_offset, kCap);
  EXPECT_TRUE(guarded.GuardsIntact());
  // A send of exactly the unread bytes: the peer gets those and no more.
  guarded.buf.read_offset = kCap - 10;
  Event* send = VorLinkPostSend(pair.server, mux, &guarded.buf, nullptr, nullptr);
  ASSERT_NE(send, nullptr);
  ASSERT_TRUE(seen.Await(send, 10.0));
  EXPECT_EQ(guarded.buf.read_offset, kCap);
  std::vector<char> echoed = vortest::ReceiveSome(pair.client, 10);
  EXPECT_EQ(echoed, std::vector<char>(10, 'f'));
  EXPECT_TRUE(guarded.GuardsIntact());
  VorEventDestroy(recv);
  VorEventDestroy(send);
  vortest::PairDestroy(pair);
  VorMuxDestroy(mux);
}

}  // namespace
