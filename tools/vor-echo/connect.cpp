// vor-echo connect: like netcat over a link. Sends standard input, writes what comes back to
// standard output, with the blocking calls: after each chunk it reads replies until as many
// bytes came back as went out, or until the peer has been silent for --wait seconds.
#include <cstdio>
#include <vector>

#include "echo.h"

namespace echo {

namespace {

constexpr int32_t kChunkSize = 16 * 1024;
constexpr double kConnectTimeout = 10.0;

// Sends the whole area; false with the error number set when the link fails.
bool SendAll(Link* link, const char* area, int32_t size) {
  while (size > 0) {
    const int32_t sent = VorLinkSend(link, area, size);
    if (sent < 0) return false;
    area += sent;
    size -= sent;
  }
  return true;
}

enum class Drain { kCaughtUp, kSilent, kClosed, kFailed };

// Copies replies to standard output until `owed` bytes came back or the peer falls silent.
Drain CopyReplies(Link* link, int64_t& owed, double wait, std::vector<char>& area) {
  while (owed > 0) {
    if (!VorLinkCheck(link, 0, wait))
      return VorErrNumGet() == ERR_TIMEOUT ? Drain::kSilent : Drain::kFailed;
    const int32_t got = VorLinkRecv(link, area.data(), static_cast<int32_t>(area.size()));
    if (got < 0) return VorErrNumGet() == ERR_EOF ? Drain::kClosed : Drain::kFailed;
    std::fwrite(area.data(), 1, static_cast<size_t>(got), stdout);
    std::fflush(stdout);
    owed -= got;
  }
  return Drain::kCaughtUp;
}

int Converse(Link* link, const Options& options) {
  std::vector<char> chunk(kChunkSize);
  std::vector<char> replies(kChunkSize);
  int64_t owed = 0;
  for (;;) {
    const int32_t got = ReadStdin(chunk.data(), kChunkSize);
    if (got < 0) {
      std::fprintf(stderr, "vor-echo: cannot read standard input\n");
      return kExitFailure;
    }
    if (got > 0 && !SendAll(link, chunk.data(), got)) {
      std::fprintf(stderr, "vor-echo: send failed: %s\n", ErrorText().c_str());
      return kExitFailure;
    }
    owed += got;
    const Drain drain = CopyReplies(link, owed, options.wait, replies);
    if (drain == Drain::kFailed) {
      std::fprintf(stderr, "vor-echo: receive failed: %s\n", ErrorText().c_str());
      return kExitFailure;
    }
    if (drain == Drain::kClosed) {
      std::fprintf(stderr, "vor-echo: the peer closed the connection\n");
      return owed > 0 ? kExitFailure : kExitOk;
    }
    if (got == 0) {
      if (owed > 0)
        std::fprintf(stderr, "vor-echo: %lld bytes did not come back within %.1f s\n",
                     static_cast<long long>(owed), options.wait);
      return owed > 0 ? kExitFailure : kExitOk;
    }
  }
}

}  // namespace

int RunConnect(const Options& options) {
  Endpoint endpoint{options.driver.empty() ? "tcp" : options.driver, options.node, options.address};
  if (endpoint.node.empty()) endpoint.node = DefaultNode(endpoint.driver);
  if (endpoint.address.empty()) {
    if (VorStrCmpi(endpoint.driver.c_str(), "tcp") == 0) {
      std::fprintf(stderr, "vor-echo: connect --driver tcp needs --address PORT\n");
      return kExitUsage;
    }
    endpoint.address = "vor-echo";
  }
  UseBinaryStdio();
  Link* link =
      VorLinkCreateClient(endpoint.driver.c_str(), endpoint.node.c_str(), endpoint.address.c_str());
  if (link == nullptr && VorLinkDriverLookup(endpoint.driver.c_str()) == nullptr) {
    std::fprintf(stderr, "vor-echo: no driver named \"%s\"\n", endpoint.driver.c_str());
    return kExitUsage;
  }
  if (link == nullptr || !VorLinkConnect(link, kConnectTimeout)) {
    std::fprintf(stderr, "vor-echo: cannot connect to %s: %s\n", Describe(endpoint).c_str(),
                 ErrorText().c_str());
    if (VorErrNumGet() == ERR_VAL_INVALID && endpoint.driver == "local")
      std::fprintf(stderr, "vor-echo: local links reach this host only, by its node name %s\n",
                   DefaultNode("local").c_str());
    if (link != nullptr) VorLinkDestroy(link);
    return kExitFailure;
  }
  const int status = Converse(link, options);
  VorLinkDestroy(link);
  return status;
}

}  // namespace echo
