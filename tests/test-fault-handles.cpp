// A server that runs out of file handles while accepting: with the process at its handle limit a
// posted accept and a blocking accept fail with WSAEMFILE and leave nothing allocated, the
// waiting connection is not lost, and once handles are free the same server accepts it and
// carries its bytes unaltered.
//
// The limit is lowered inside this process (RLIMIT_NOFILE), which only the native build can do;
// under wine the test is skipped.
#include <cstdio>
#include <vector>

#include "faulttest.h"

#ifndef _WIN32
#  include <sys/resource.h>

#  include <filesystem>
#endif

namespace {

using vortest::Checksum;
using vortest::Deliveries;
using vortest::FillPattern;
using vortest::LinkTest;
using vortest::Successful;

#ifndef _WIN32
// Lowers the soft handle limit to a few above what is open now; restores it when done.
class HandleLimit {
 public:
  HandleLimit() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    size_t open_now = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
      ++open_now;
    rlimit lowered = saved_;
    lowered.rlim_cur = open_now + 16;
    ok_ = open_now > 0 && setrlimit(RLIMIT_NOFILE, &lowered) == 0;
  }
  ~HandleLimit() {
    for (FILE* file : fillers_) std::fclose(file);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  bool ok() const { return ok_; }
  // Takes every handle left; how many it took.
  size_t Exhaust() {
    while (FILE* file = std::fopen("/dev/null", "r")) fillers_.push_back(file);
    return fillers_.size();
  }
  void Release() {
    for (FILE* file : fillers_) std::fclose(file);
    fillers_.clear();
  }

 private:
  rlimit saved_{};
  bool ok_ = false;
  std::vector<FILE*> fillers_;
};
#endif

// A Windows process cannot lower its own handle limit, so these run on the native build only.
#ifndef _WIN32
TEST_F(LinkTest, ServerOutOfHandlesRefusesAcceptsAndRecovers) {
  Mux* mux = VorMuxCreate();
  Link* server = vortest::TcpServer();
  ASSERT_NE(server, nullptr);
  Link* client = vortest::TcpClientTo(server);  // waits in the listen queue
  ASSERT_NE(client, nullptr);
  Deliveries seen(mux);
  {
    HandleLimit limit;
    ASSERT_TRUE(limit.ok());
    ASSERT_GT(limit.Exhaust(), 0u);
    int32_t blocks = vortest::LiveBlocks();
    EXPECT_EQ(VorLinkAcceptClient(server), nullptr);
    EXPECT_EQ(VorErrNumGet(), -WSAEMFILE);
    EXPECT_EQ(VorLinkPostAccept(server, mux, nullptr, nullptr), nullptr);
    EXPECT_EQ(VorErrNumGet(), -WSAEMFILE);
    EXPECT_EQ(vortest::LiveBlocks(), blocks);  // nothing half made stays behind
    EXPECT_EQ(seen.Next(0.2), nullptr);        // and nothing will come back for them
    limit.Release();

    // Handles are free again: the same server takes the connection that waited.
    Event* accept = VorLinkPostAccept(server, mux, nullptr, nullptr);
    ASSERT_NE(accept, nullptr);
    ASSERT_TRUE(seen.Await(accept, 10.0));
    ASSERT_EQ(Successful(accept), 1);
    Link* accepted = nullptr;
    ASSERT_EQ(VorEventGetAcceptLink(accept, &accepted), 1);
    std::vector<char> sent(3000);
    FillPattern(sent.data(), sent.size(), 9);
    ASSERT_EQ(VorLinkSend(client, sent.data(), 3000), 3000);
    VorLinkSetBlockMode(accepted, 1);
    std::vector<char> got = vortest::ReceiveSome(accepted, 3000);
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_EQ(Checksum(got.data(), got.size()), Checksum(sent.data(), sent.size()));
    seen.Settle(0.3);
    EXPECT_EQ(seen.count[accept], 1);
    VorLinkDestroy(accepted);
    VorEventDestroy(accept);
  }
  VorLinkDestroy(client);
  VorLinkDestroy(server);
  VorMuxDestroy(mux);
}

// At the handle limit a multiplexer cannot get its port: creation fails with the OS error and
// leaves nothing behind, and works again once handles are free.
TEST_F(LinkTest, MultiplexerAtHandleLimitIsNotCreated) {
  HandleLimit limit;
  ASSERT_TRUE(limit.ok());
  ASSERT_GT(limit.Exhaust(), 0u);
  int32_t blocks = vortest::LiveBlocks();
  VorErrNumSet(ERR_OK);
  Mux* mux = VorMuxCreate();
  EXPECT_EQ(mux, nullptr);
  EXPECT_LT(VorErrNumGet(), 0);  // an OS error
  EXPECT_EQ(vortest::LiveBlocks(), blocks);
  if (mux != nullptr) VorMuxDestroy(mux);
  limit.Release();
  mux = VorMuxCreate();
  ASSERT_NE(mux, nullptr);
  VorMuxDestroy(mux);
}
#endif

}  // namespace
