/* A host built as Microsoft's toolchain builds one: compiled for the MSVC target (no GCC
 * extensions, Microsoft's record layout), linked against the Microsoft-format import libraries
 * vor.lib and vorutil.lib, without a C runtime. It drives the DLLs through user events, a timer
 * and a TCP connection on loopback, reads the shared records directly, and exits with 0 when
 * everything worked, otherwise with a bit per failed step. */
#include "vor.h"

/* The C runtime marks programs that use floating point with this symbol; there is none here. */
int _fltused = 0;

enum {
  FAILED_USER_EVENT = 1,
  FAILED_TIMER = 2,
  FAILED_TCP = 4,
  FAILED_MEMORY = 8,
  FAILED_VERSION = 16
};

static int32_t VOR_CDECL StopLoop(Event* event, void* callback_arg) {
  *(Event**)callback_arg = event;
  return 0;
}

static int UserEventWorks(Mux* mux) {
  Event* seen = 0;
  Event* event = VorEventCreate();
  int ok = event != 0 && VorEventPost(event, mux, StopLoop, &seen) == event &&
           VorMuxEventLoop(mux) == event && seen == event && event->type == VOR_EVENT_USER &&
           event->callback_arg == &seen && event->mux == mux;
  VorEventDestroy(event);
  return ok;
}

static int TimerWorks(Mux* mux) {
  Event* seen = 0;
  Timer* timer = VorTimerCreate(0.02, "host");
  Event* event = timer ? VorTimerPost(timer, mux, StopLoop, &seen) : 0;
  Timer* owner = 0;
  int ok = event != 0 && VorMuxEventLoop(mux) == event && seen == event &&
           event->type == VOR_EVENT_TIMER && VorEventGetTimer(event, &owner) && owner == timer &&
           timer->interval == 0.02;
  VorEventDestroy(event);
  VorTimerDestroy(timer);
  return ok;
}

static int TcpWorks(void) {
  Link* server = VorLinkCreateServer("tcp", "127.0.0.1", "");
  const char* port = "";
  int ok = server != 0 && VorLinkGetAddress(server, 0, 0, &port);
  Link* client = ok ? VorLinkCreateClient("tcp", "127.0.0.1", port) : 0;
  ok = client != 0 && VorLinkConnect(client, 5.0);
  Link* peer = ok ? VorLinkAcceptClient(server) : 0;
  char byte = 0;
  ok = peer != 0 && VorLinkSend(client, "v", 1) == 1 &&
       VorLinkRecvTimeout(peer, &byte, 1, 5.0) == 1 && byte == 'v';
  VorLinkDestroy(peer);
  VorLinkDestroy(client);
  VorLinkDestroy(server);
  return ok;
}

int VOR_CDECL VorHostEntry(void) {
  int failed = 0;
  VorLinkDriverLookup("tcp"); /* the registry lives as long as the process */
  const int32_t blocks = VorMemBlockCount();
  Mux* mux = VorMuxCreate();
  if (!mux || !UserEventWorks(mux)) failed |= FAILED_USER_EVENT;
  if (!mux || !TimerWorks(mux)) failed |= FAILED_TIMER;
  VorMuxDestroy(mux);
  if (!TcpWorks()) failed |= FAILED_TCP;
  if (VorMemBlockCount() != blocks) failed |= FAILED_MEMORY;
  if (VOR_VERSION_NUMBER != VOR_VERSION_MAJOR * 10000 + VOR_VERSION_MINOR * 100 + VOR_VERSION_PATCH)
    failed |= FAILED_VERSION;
  return failed;
}
