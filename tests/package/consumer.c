/* A tiny host of the installed library: a user event through the dispatch loop, and a TCP
 * connection on loopback with the blocking calls. Exit 0 when both work and nothing leaked. */
#include <stdio.h>

#include "vor.h"
#include "vorutil.h"

int main(void) {
  VorLinkDriverLookup("tcp"); /* the registry lives as long as the process */
  const int32_t blocks = VorMemBlockCount();

  Mux* mux = VorMuxCreate();
  Event* event = VorEventCreate();
  VorEventPost(event, mux, NULL, NULL);
  const int looped = VorMuxEventLoop(mux) == event;

  Link* server = VorLinkCreateServer("tcp", "127.0.0.1", "");
  const char* port = "";
  VorLinkGetAddress(server, NULL, NULL, &port);
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", port);
  const int connected = server != NULL && client != NULL && VorLinkConnect(client, 5.0);
  Link* peer = connected ? VorLinkAcceptClient(server) : NULL;
  char byte = 0;
  const int talked = peer != NULL && VorLinkSend(client, "v", 1) == 1 &&
                     VorLinkRecvTimeout(peer, &byte, 1, 5.0) == 1 && byte == 'v';

  VorLinkDestroy(peer);
  VorLinkDestroy(client);
  VorLinkDestroy(server);
  VorEventDestroy(event);
  VorMuxDestroy(mux);
  const int clean = VorMemBlockCount() == blocks;
  printf("installed vor: event loop %s, tcp %s, memory %s\n", looped ? "ok" : "FAILED",
         talked ? "ok" : "FAILED", clean ? "ok" : "LEAKED");
  return looped && talked && clean ? 0 : 1;
}
