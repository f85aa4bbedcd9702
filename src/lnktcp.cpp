// The built-in driver "tcp": listening servers (on a port the system chooses when the address is
// empty), blocking connects, posted connects through the system's overlapped connect (ConnectEx),
// and the port parser. Everything after a socket exists is the shared socket operations.
#include <cstring>

#include "vor.h"
#include "vorlink.h"
#include "vormux.h"
#include "vorwin.h"
#include "vufail.h"
#include "vusock.h"
#include "vutext.h"

using vor::ErrNumGuard;
using vor::Fail;
using vor::FailSocket;

namespace {

constexpr const char* kUnit = "lnktcp";

// The link's node and its address as a port.
bool Target(Link* link, const char** node, int32_t* port) {
  const char* address = nullptr;
  return VorLinkGetAddress(link, nullptr, node, &address) != 0 &&
         VorLinkTcpParsePort(address, port) != 0;
}

void CloseQuietly(SOCKET sock) { VorWinCloseSocket(sock); }

// Closes a socket of a failed step, keeping that step's error number.
void CloseKeepingError(SOCKET sock) {
  ErrNumGuard keep;
  VorWinCloseSocket(sock);
}

// Replaces an empty server address by the port the system chose, as decimal text.
bool AddressRewrite(Link* link, SOCKET sock) {
  char name[256];
  if (VorSocketGetNameStr(sock, 1, name) == 0) return false;
  const char* colon = std::strchr(name, ':');
  if (colon == nullptr) return false;
  VorFreeCheck(link->address, "server_link->address", kUnit, __LINE__);
  link->address = vor::StrCopy(colon + 1, "(server_link->address)", kUnit, __LINE__);
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
  vor::link::SocketBufSizeApply(sock);
  link->device = vor::link::CellCreate(sock, kUnit, __LINE__);
  return 1;
}

int32_t VorLinkTcpConnect(Link* link, double) {
  const char* node = nullptr;
  int32_t port = 0;
  if (!Target(link, &node, &port)) return 0;
  SOCKET sock = VorSocketCreateClientTcp(node, port);
  if (sock == INVALID_SOCKET) return 0;
  vor::link::SocketBufSizeApply(sock);
  return vor::link::CellReplace(link, sock, kUnit, __LINE__) ? 1 : 0;
}

// The system's overlapped connect, which Windows hands out per socket provider.
LPFN_CONNECTEX ConnectExOf(SOCKET sock) {
  GUID id = WSAID_CONNECTEX;
  LPFN_CONNECTEX connect_ex = nullptr;
  DWORD bytes = 0;
  if (WSAIoctl(sock, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &connect_ex,
               sizeof connect_ex, &bytes, nullptr, nullptr) == 0)
    return connect_ex;
  return FailSocket<LPFN_CONNECTEX>();
}

int32_t VorLinkTcpConnectDone(Link* link, Event* event);

// Starts ConnectEx on a fresh bound socket: 1 when started (its completion comes through the port
// whatever the outcome), 0 with the error number when nothing will come back.
int32_t VorLinkTcpPostConnect(Link* link, Mux* mux, Event* event) {
  const char* node = nullptr;
  int32_t port = 0;
  if (!Target(link, &node, &port)) return 0;
  sockaddr_in peer{};
  SOCKET sock = VorSocketConnectPrepareTcp(node, port, &peer, sizeof peer);
  if (sock == INVALID_SOCKET) return 0;
  LPFN_CONNECTEX connect_ex = ConnectExOf(sock);
  if (connect_ex == nullptr) {
    CloseKeepingError(sock);
    return 0;
  }
  // The connect completes through the port, so the socket is tied to it now: a bound link's new
  // socket joins its port and mode; an unbound link is bound to this multiplexer as its first
  // post with a socket would bind it. On failure the link keeps the new socket, unbound.
  if (!vor::link::CellReplace(link, sock, kUnit, __LINE__)) return 0;
  if (!vor::link::Bind(link, mux)) return 0;
  event->u.le.done = VorLinkTcpConnectDone;
  event->u.le.successful = 0;
  event->u.le.bytes_transferred = 0;
  event->u.le.link_error = 0;
  vor::link::OpBegin(link);
  DWORD sent = 0;
  if (connect_ex(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof peer, nullptr, 0, &sent,
                 reinterpret_cast<OVERLAPPED*>(&event->overlapped)))
    return 1;
  int32_t code = WSAGetLastError();
  if (code == WSA_IO_PENDING) return 1;
  vor::link::OpEnd(link);
  return FailSocket(code);
}

// The connect's completion. On success the socket takes the state of a connected one (without
// SO_UPDATE_CONNECT_CONTEXT Windows refuses shutdown and getpeername on it) and the buffer-size
// option. The socket is used only while the link is held from being destroyed, so a number
// closed and reused meanwhile is never touched.
int32_t VorLinkTcpConnectDone(Link* link, Event* event) {
  // A destroyed link, or a multiplexer being destroyed: end now, as an aborted operation.
  if (vor::mux::Closing(event->mux) || !vor::link::SocketUseBegin(link)) {
    vor::link::EventAbort(event);
  } else {
    if (event->u.le.successful == 1) {
      SOCKET sock = vor::link::SocketOf(link);
      setsockopt(sock, SOL_SOCKET, SO_UPDATE_CONNECT_CONTEXT, nullptr, 0);
      vor::link::SocketBufSizeApply(sock);
    } else {
      event->u.le.link_error = VorErrNumGetSocket();
    }
    vor::link::SocketUseEnd(link);
  }
  vor::link::OpEnd(link);
  return 1;
}

}  // namespace

extern "C" {

VOR_API int32_t VorLinkTcpParsePort(const char* text, int32_t* port) {
  if (text == nullptr || port == nullptr) return Fail(ERR_NULL_PTR);
  // A value past 65535 is given as it is (at most INT32_MAX): the socket layer refuses it.
  if (vor::AllDigits(text)) {
    *port = vor::DecimalValue(text);
    return 1;
  }
  // getservbyname needs Winsock started, and a port may be parsed before any socket exists; when
  // it cannot start, the lookup fails and so does the parse.
  vor::WinsockStart();
  if (const servent* entry = getservbyname(text, "tcp"); entry != nullptr) {
    *port = ntohs(static_cast<u_short>(entry->s_port));
    return 1;
  }
  return Fail(ERR_VAL_INVALID);
}

}  // extern "C"

// The "tcp" table: servers and connects are this driver's own, the rest is the shared socket
// operations.
// clang-format off
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
// clang-format on

extern "C" VOR_API LinkDriver* VorLinkDriverTcpInit(void) {
  return vor::link::DriverRegister("tcp", kTcpDriver);
}
