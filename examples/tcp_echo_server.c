/* tcp_echo_server.c: an echo server on posted operations.
 *
 * The server accepts with a posted accept, receives into a Buffer with a posted receive, sends
 * back what came with a posted send, and receives again; every completion arrives through the
 * multiplexer's dispatch loop as an Event with the callback given at the post.
 *
 * So that the example runs by itself, main() also plays the client: it connects with the
 * blocking calls, sends a greeting, lets the server echo it, and reads the echo back. */
#include <stdio.h>
#include <string.h>

#include "vor.h"

/* One accepted connection. Its receive and send alternate, so only one is ever outstanding. */
typedef struct Connection {
  Mux* mux;
  Link* link;
  Buffer* buffer;
  Event* recv_event;
  Event* send_event;
  int32_t echoed; /* bytes sent back so far */
  int32_t expected; /* the loop stops once this many bytes have been echoed */
} Connection;

static int32_t on_send(Event* event, void* arg);

/* A receive completed: send back what arrived, or close on end of stream. */
static int32_t on_recv(Event* event, void* arg) {
  Connection* c = arg;
  int32_t ok = 0;
  uint32_t bytes = 0;
  VorEventGetSuccessful(event, &ok);
  VorEventGetBytesTransferred(event, &bytes);
  if (!ok || bytes == 0) return 0; /* failed, or the peer closed: stop the loop */
  /* The completion advanced the buffer's write offset; a send takes [read, write). */
  if (c->send_event == NULL)
    c->send_event = VorLinkPostSend(c->link, c->mux, c->buffer, on_send, c);
  else
    VorEventRepost(c->send_event);
  return 1;
}

/* A send completed: send the rest, or empty the buffer and receive again. */
static int32_t on_send(Event* event, void* arg) {
  Connection* c = arg;
  int32_t ok = 0;
  uint32_t bytes = 0;
  VorEventGetSuccessful(event, &ok);
  VorEventGetBytesTransferred(event, &bytes);
  if (!ok) return 0;
  c->echoed += (int32_t)bytes;
  if (c->buffer->read_offset < c->buffer->write_offset) {
    VorEventRepost(event); /* partial send: it goes on from the advanced read offset */
    return 1;
  }
  if (c->echoed >= c->expected) return 0; /* the example's work is done */
  VorBufReset(c->buffer);
  VorEventRepost(c->recv_event);
  return 1;
}

/* An accept completed: take the new link first (a repost replaces it), then receive on it. */
static int32_t on_accept(Event* event, void* arg) {
  Connection* c = arg;
  int32_t ok = 0;
  VorEventGetSuccessful(event, &ok);
  if (!ok) return 0;
  VorEventGetAcceptLink(event, &c->link);
  c->recv_event = VorLinkPostRecv(c->link, c->mux, c->buffer, on_recv, c);
  /* A real server would VorEventRepost(event) here to accept the next client. */
  return c->recv_event != NULL;
}

int main(void) {
  /* The driver registry is made on first use and lives as long as the process; the block
   * count taken after it exists must come back at the end. */
  VorLinkDriverLookup("tcp");
  const int32_t blocks_at_start = VorMemBlockCount();
  const char greeting[] = "hello, vor";
  Connection c = {0};
  c.mux = VorMuxCreate();
  c.buffer = VorBufCreate(4096);
  c.expected = (int32_t)sizeof greeting;

  /* An empty address lets the system choose the port; the link's address then holds it. */
  Link* server = VorLinkCreateServer("tcp", "127.0.0.1", "");
  if (server == NULL) {
    VorPerror("tcp_echo_server: listen");
    return 1;
  }
  const char* port = NULL;
  VorLinkGetAddress(server, NULL, NULL, &port);
  printf("listening on 127.0.0.1:%s\n", port);
  Event* accept_event = VorLinkPostAccept(server, c.mux, on_accept, &c);

  /* The client side, with blocking calls: the connection waits in the listen queue and the
   * greeting in the socket buffers until the dispatch loop serves them. */
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", port);
  if (accept_event == NULL || client == NULL || !VorLinkConnect(client, 5.0) ||
      VorLinkSend(client, greeting, (int32_t)sizeof greeting) != (int32_t)sizeof greeting) {
    VorPerror("tcp_echo_server: client");
    return 1;
  }

  /* Dispatch until a callback answers 0; the loop returns that event. */
  VorMuxEventLoop(c.mux);

  char echo[sizeof greeting];
  const int32_t got = VorLinkRecvTimeout(client, echo, (int32_t)sizeof echo, 5.0);
  const int passed = got == (int32_t)sizeof echo && memcmp(echo, greeting, sizeof echo) == 0;
  printf("echo: %s\n", passed ? echo : "(wrong or missing)");

  /* The host frees what it made: links, events (none is outstanding now), buffer, mux. */
  VorLinkDestroy(client);
  VorLinkDestroy(c.link);
  VorEventDestroy(c.recv_event);
  VorEventDestroy(c.send_event);
  VorEventDestroy(accept_event);
  VorLinkDestroy(server);
  VorBufDestroy(c.buffer);
  VorMuxDestroy(c.mux);
  if (VorMemBlockCount() != blocks_at_start) {
    fprintf(stderr, "tcp_echo_server: %d blocks left\n", VorMemBlockCount() - blocks_at_start);
    return 1;
  }
  return passed ? 0 : 1;
}
