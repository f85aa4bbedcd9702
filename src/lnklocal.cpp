// The built-in driver "local": links between two ends on this host, over the utility library's
// same-host sockets, addressed by the link's address alone. Everything after a socket exists is
// the shared socket operations; a posted connect is not supported.
#include "vor.h"
#include "vorlink.h"
#include "vorwin.h"
#include "vufail.h"

using vor::Fail;

namespace {

constexpr const char* kUnit = "lnklocal";

int32_t VorLinkLocalCreateServer(Link* link) {
  const char* address = nullptr;
  if (VorLinkGetAddress(link, nullptr, nullptr, &address) == 0) return 0;
  SOCKET sock = VorSocketCreateServerLocal(address);
  if (sock == INVALID_SOCKET) return 0;
  vor::link::SocketBufSizeApply(sock);
  link->device = vor::link::CellCreate(sock, kUnit, __LINE__);
  return 1;
}

// Only this host's own name, in any letter case, names the local end.
bool NodeIsThisHost(const char* node) {
  char host[256] = {};
  return VorGetNodeName(host) != 0 && VorStrCmpi(node, host) == 0;
}

int32_t VorLinkLocalConnect(Link* link, double) {
  const char* node = nullptr;
  const char* address = nullptr;
  if (VorLinkGetAddress(link, nullptr, &node, &address) == 0) return 0;
  if (!NodeIsThisHost(node)) return Fail(ERR_VAL_INVALID);
  SOCKET sock = VorSocketCreateClientLocal(address);
  if (sock == INVALID_SOCKET) return 0;
  vor::link::SocketBufSizeApply(sock);
  return vor::link::CellReplace(link, sock, kUnit, __LINE__) ? 1 : 0;
}

int32_t VorLinkLocalConnectDone(Link*, Event*) { return Fail(ERR_UNSUPPORTED); }

// Begins the connect, which the link keeps, but never queues the event: always 0 with
// ERR_UNSUPPORTED, so the post gives the host no event.
int32_t VorLinkLocalPostConnect(Link* link, Mux*, Event* event) {
  const char* address = nullptr;
  if (VorLinkGetAddress(link, nullptr, nullptr, &address) == 0) return 0;
  SOCKET sock = VorSocketConnectBeginLocal(address);
  if (sock == INVALID_SOCKET) return 0;
  if (!vor::link::CellReplace(link, sock, kUnit, __LINE__)) return 0;
  event->u.le.done = VorLinkLocalConnectDone;
  event->u.le.successful = 0;
  event->u.le.bytes_transferred = 0;
  event->u.le.link_error = 0;
  return Fail(ERR_UNSUPPORTED);
}

}  // namespace

// The "local" table: servers and connects are this driver's own, the rest is the shared socket
// operations.
// clang-format off
static const LinkDriver kLocalDriver = {
    nullptr, 0,
    // making, accepting and ending links
    VorLinkLocalCreateServer, VorLinkSocketCreateClient, VorLinkSocketAcceptClient,
    VorLinkSocketDestroy,
    // blocking calls
    VorLinkSocketCheck, VorLinkLocalConnect, VorLinkSocketRecv, VorLinkSocketSend,
    VorLinkSocketSetBlockMode,
    // posted operations
    VorLinkSocketPostAccept, VorLinkLocalPostConnect, VorLinkSocketPostRecv, VorLinkSocketPostSend,
    nullptr};
// clang-format on

extern "C" VOR_API LinkDriver* VorLinkDriverLocalInit(void) {
  return vor::link::DriverRegister("local", kLocalDriver);
}
