/* blocking_client.c: a client with a blocking connect and the blocking calls.
 *
 * The client connects, sends a request, and reads the reply with a time-out; no multiplexer
 * is involved. So that it runs by itself, the example starts its own server link in the same
 * process and serves the one request with the blocking calls too. */
#include <stdio.h>
#include <string.h>

#include "vor.h"

int main(void) {
  /* The driver registry is made on first use and lives as long as the process; the block
   * count taken after it exists must come back at the end. */
  VorLinkDriverLookup("tcp");
  const int32_t blocks_at_start = VorMemBlockCount();
  const char request[] = "ping";
  char reply[sizeof request];
  char seen[sizeof request];

  /* A server on a port the system chooses, loopback only. */
  Link* server = VorLinkCreateServer("tcp", "127.0.0.1", "");
  if (server == NULL) {
    VorPerror("blocking_client: listen");
    return 1;
  }
  const char* port = NULL;
  VorLinkGetAddress(server, NULL, NULL, &port);

  /* The client: a link has no socket until it connects; the connect blocks until done. */
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", port);
  if (client == NULL || !VorLinkConnect(client, 5.0)) {
    VorPerror("blocking_client: connect");
    return 1;
  }
  /* A send may take only part of the area: it returns the count sent. */
  if (VorLinkSend(client, request, (int32_t)sizeof request) != (int32_t)sizeof request) {
    VorPerror("blocking_client: send");
    return 1;
  }

  /* The server's side: the connection is already queued, so the blocking accept returns at
   * once; the receive waits at most 5 s for each part of the request. */
  Link* peer = VorLinkAcceptClient(server);
  if (peer == NULL || VorLinkRecvTimeout(peer, seen, (int32_t)sizeof seen, 5.0) != (int32_t)sizeof seen ||
      VorLinkSend(peer, seen, (int32_t)sizeof seen) != (int32_t)sizeof seen) {
    VorPerror("blocking_client: serve");
    return 1;
  }

  /* Wait until the reply is readable, then read all of it. */
  int passed = 0;
  if (VorLinkCheck(client, 0, 5.0) &&
      VorLinkRecvAll(client, reply, (int32_t)sizeof reply) == (int32_t)sizeof reply) {
    passed = memcmp(reply, request, sizeof reply) == 0;
    printf("reply: %s\n", reply);
  } else {
    /* The error number says why: ERR_TIMEOUT, ERR_EOF (the peer closed), ... */
    printf("no reply: %s\n", VorErrNumStr(VorErrNumGet()));
  }

  /* Once the server is gone the reader sees the end of the stream. */
  VorLinkDestroy(peer);
  const int32_t after_close = VorLinkRecvTimeout(client, reply, 1, 5.0);
  printf("after the peer closed: %d, %s\n", after_close, VorErrNumStr(VorErrNumGet()));
  passed = passed && after_close == -1 && VorErrNumGet() == ERR_EOF;

  VorLinkDestroy(client);
  VorLinkDestroy(server);
  if (VorMemBlockCount() != blocks_at_start) {
    fprintf(stderr, "blocking_client: %d blocks left\n", VorMemBlockCount() - blocks_at_start);
    return 1;
  }
  return passed ? 0 : 1;
}
