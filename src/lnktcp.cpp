// The built-in driver "tcp": listening servers (on a port the system chooses when the address is
// empty), blocking and posted connects, and the port parser. Everything after a socket exists is
// the shared socket operations.
#include <climits>
#include <cstring>

#include "vor.h"
#include "vorerr.h"
#include "vorlink.h"
#include "vorwin.h"

using vor::FailWith;

namespace {

constexpr const char* kUnit = "lnktcp";
// How long one polling pass of a posted connect blocks the dispatching thread.
constexpr double kConnectPollSeconds = 0.1;

// getservbyname needs Winsock started, and a port may be parsed before any socket exists.
void WinsockEnsure() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

bool AllDigits(const char* text) {
  for (size_t i = std::strlen(text); i > 0; --i) {
    if (text[i - 1] < '0' || text[i - 1] > '9') return false;
  }
  return true;
}

// The decimal value, held at INT32_MAX past it: still above every port, so refused later.
int32_t DecimalValue(const char* text) {
  int64_t value = 0;
  for (; *text != '\0' && value <= INT32_MAX; ++text) value = value * 10 + (*text - '0');
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

// The link's node and its address as a port.
bool Target(Link* link, const char** node, int32_t* port) {
  const char* address = nullptr;
  return VorLinkGetAddress(link, nullptr, node, &address) != 0 &&
         VorLinkTcpParsePort(address, port) != 0;
}

void CloseQuietly(SOCKET sock) { VorWinCloseSocket(sock); }

// Replaces an empty server address by the port the system chose, as decimal text.
bool AddressRewrite(Link* link, SOCKET sock) {
  char name[256];
  if (VorSocketGetNameStr(sock, 1, name) == 0) return false;
  const char* colon = std::strchr(name, ':');
  if (colon == nullptr) return false;
  VorFreeCheck(link->address, "server_link->address", kUnit, __LINE__);
  link->address = VorLinkStrCopyInternal(colon + 1, "(server_link->address)", kUnit, __LINE__);
  return true;
}

int32_t VorLinkTcpCreateServer(Link* link) {
  const char* node = nullptr;
  const char* address = nullptr;
  if (VorLinkGetAddress(link, nullptr, &node, &address) == 0) return 0;
  bool rewrite = address[0] == '\0';
  int32_t port = 0;
  if (!rewrite && VorLinkTcpParsePort(address, &port) == 0) return 0;
  SOCKET sock = VorSocketCreateServerTcpEx(node, port);
  if (sock == INVALID_SOCKET) return 0;
  if (rewrite && !AddressRewrite(link, sock)) {
    CloseQuietly(sock);
    return 0;
  }
  VorLinkSocketBufSizeInternal(sock);
  link->device = VorLinkCellCreateInternal(sock, kUnit, __LINE__);
  return 1;
}

int32_t VorLinkTcpConnect(Link* link, double) {
  const char* node = nullptr;
  int32_t port = 0;
  if (!Target(link, &node, &port)) return 0;
  SOCKET sock = VorSocketCreateClientTcp(node, port);
  if (sock == INVALID_SOCKET) return 0;
  VorLinkSocketBufSizeInternal(sock);
  return VorLinkCellReplaceInternal(link, sock, kUnit, __LINE__) ? 1 : 0;
}

int32_t VorLinkTcpConnectDone(Link* link, Event* event);

// Queues the event by hand: the next polling pass, or the first.
bool PollQueue(Mux* mux, Event* event) {
  return PostQueuedCompletionStatus(static_cast<HANDLE>(mux->port), 0, 0,
                                    reinterpret_cast<OVERLAPPED*>(&event->overlapped)) != 0;
}

int32_t VorLinkTcpPostConnect(Link* link, Mux* mux, Event* event) {
  const char* node = nullptr;
  int32_t port = 0;
  if (!Target(link, &node, &port)) return 0;
  SOCKET sock = VorSocketConnectBeginTcp(node, port, 0);
  if (sock == INVALID_SOCKET) return 0;
  // On a link that an earlier post bound, the new socket joins that port and the link's mode.
  if (!VorLinkCellReplaceInternal(link, sock, kUnit, __LINE__)) return 0;
  event->u.le.done = VorLinkTcpConnectDone;
  event->u.le.successful = 0;
  event->u.le.bytes_transferred = 0;
  event->u.le.link_error = 0;
  VorLinkOpBeginInternal(link);
  if (PollQueue(mux, event)) return 1;
  VorErrNumSetOs(0);
  VorLinkOpEndInternal(link);
  return 0;
}

// One polling pass, on the dispatching thread: 0 keeps the event from the host while the connect
// is still in progress (it is queued again), 1 delivers the outcome.
int32_t VorLinkTcpConnectDone(Link* link, Event* event) {
  if (VorLinkClosingInternal(link)) {
    VorLinkEventAbortInternal(event);
    VorLinkOpEndInternal(link);
    return 1;
  }
  SOCKET sock = VorLinkSocketInternal(link);
  if (VorSocketCheck(sock, 1, kConnectPollSeconds) == 0 && VorErrNumGet() == ERR_TIMEOUT) {
    if (PollQueue(event->mux, event)) return 0;
    // Never to come back through the port: deliver the failure instead of losing the event.
    event->u.le.successful = 0;
    event->u.le.link_error = static_cast<int32_t>(GetLastError());
  } else if (VorSocketConnectCompleteTcp(sock, 0, 0) != 0) {
    event->u.le.successful = 1;
    VorLinkSocketBufSizeInternal(sock);
  } else {
    event->u.le.successful = 0;
    event->u.le.link_error = VorErrNumGetSocket();
  }
  VorLinkOpEndInternal(link);
  return 1;
}

}  // namespace

extern "C" {

VOR_API int32_t VorLinkTcpParsePort(const char* text, int32_t* port) {
  if (text == nullptr || port == nullptr) return FailWith(ERR_NULL_PTR);
  if (AllDigits(text)) {
    *port = DecimalValue(text);
    return 1;
  }
  WinsockEnsure();
  if (const servent* entry = getservbyname(text, "tcp"); entry != nullptr) {
    *port = ntohs(static_cast<u_short>(entry->s_port));
    return 1;
  }
  return FailWith(ERR_VAL_INVALID);
}

}  // extern "C"

// The "tcp" table: servers and connects are this driver's own, the rest is the shared socket
// operations.
static const LinkDriver kTcpDriver = {
    nullptr, 1,
    // making, accepting and ending links
    VorLinkTcpCreateServer, VorLinkSocketCreateClient, VorLinkSocketAcceptClient,
    VorLinkSocketDestroy,
    // blocking calls
    VorLinkSocketCheck, VorLinkTcpConnect, VorLinkSocketRecv, VorLinkSocketSend,
    VorLinkSocketSetBlockMode,
    // posted operations
    VorLinkSocketPostAccept, VorLinkTcpPostConnect, VorLinkSocketPostRecv, VorLinkSocketPostSend,
    nullptr};

extern "C" VOR_API LinkDriver* VorLinkDriverTcpInit(void) {
  return VorLinkDriverRegisterInternal("tcp", kTcpDriver);
}
