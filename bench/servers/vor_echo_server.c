/* Vor echo server for the benchmarks, on posted operations only: a posted accept that is
 * re-issued after each connection; per connection one 64 KiB Buffer, a posted receive into it
 * and a posted send of the same bytes, each event re-issued with VorEventRepost (so the steady
 * state allocates nothing). One thread runs VorMuxEventLoop.
 *
 *   vor_echo_server [limit_seconds] [--mem-after N] [--idle-timeout-ms N]
 *
 * Listens on 127.0.0.1 with a system-chosen port and prints "port=N". The loop stops on a timer
 * (the limit, default 300 s) or on a user event posted by a helper thread at end of input on
 * stdin. With --mem-after N, once N connections have each echoed once and sit idle with their
 * receive posted, it prints the tracking allocator's block count per connection and lists the
 * live blocks (VorMemReport, on standard error) for the report to sum by tag.
 *
 * With --idle-timeout-ms N every connection holds an idle time-out: a one-shot timer event of
 * N ms posted when the connection opens. A queued timer event cannot be moved, so a message
 * re-arms it by marking the connection active; the event, when it falls due, re-posts itself
 * (VorEventRepost, allocating nothing) if the connection was active since it was armed and
 * otherwise closes the link. A connection is thus closed after between N and 2N ms without a
 * message. At the end the server prints how many time-outs were re-armed and how many closed
 * a link.
 *
 * A line "mark" on stdin prints the allocation counters and the tracking allocator's live blocks
 * (alloc_count.h): the benchmark reads them at both ends of its measured window. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "alloc_count.h"
#include "vor.h"

enum { BUF_SIZE = 65536 };

typedef struct Conn {
  Link* link;
  Buffer* buf;
  Event* recv_event;
  Event* send_event; /* made by the first echo, re-issued after that */
  Event* idle_event; /* the idle time-out while it is queued or being delivered, else null */
  int echoed;        /* has completed one echo */
  int active;        /* a message arrived since the idle time-out was armed */
  int closed;        /* link and I/O events gone; freed once the idle time-out is back */
} Conn;

typedef struct Server {
  Mux* mux;
  Link* listener;
  int open_conns;
  int echoed_conns;
  int mem_after; /* 0: no memory report */
  int32_t blocks_before;
  Timer* idle_timer; /* null: no idle time-outs */
  long idle_rearms;
  long idle_closes;
} Server;

static Server server;

/* Called when the connection's one outstanding operation (a receive or a send) has come back
 * failed or at end of stream, or could not be posted: nothing of it is in the system any more.
 * A queued idle time-out must not be destroyed; the connection waits for it. */
static void close_conn(Conn* c) {
  if (c->link) VorLinkDestroy(c->link);
  c->link = NULL;
  VorEventDestroy(c->recv_event);
  if (c->send_event) VorEventDestroy(c->send_event);
  VorBufDestroy(c->buf);
  server.open_conns -= 1;
  c->closed = 1;
  if (!c->idle_event) free(c);
}

/* The idle time-out fell due. A closed connection is freed; an active one re-arms; an idle one
 * loses its link, and its outstanding operation comes back failed and closes it. */
static int32_t on_idle(Event* event, void* arg) {
  Conn* c = (Conn*)arg;
  if (c->closed) {
    VorEventDestroy(event);
    free(c);
    return 1;
  }
  if (c->active) {
    c->active = 0;
    server.idle_rearms += 1;
    if (VorEventRepost(event)) return 1;
    VorPerror("vor_echo_server: re-arm idle time-out");
  }
  server.idle_closes += 1;
  VorEventDestroy(event);
  c->idle_event = NULL;
  VorLinkDestroy(c->link);
  c->link = NULL;
  return 1;
}

static void report_memory(void) {
  int32_t blocks = VorMemBlockCount() - server.blocks_before;
  printf(
      "mem conns=%d blocks=%d blocks_per_conn=%.2f sizeof_link=%u sizeof_event=%u "
      "sizeof_buffer=%u\n",
      server.echoed_conns, (int)blocks, (double)blocks / server.echoed_conns,
      (unsigned)sizeof(Link), (unsigned)sizeof(Event), (unsigned)sizeof(Buffer));
  fflush(stdout);
  fprintf(stderr, "mem-report-begin\n");
  VorMemReport();
  fprintf(stderr, "mem-report-end\n");
  fflush(stderr);
}

static int32_t on_recv(Event* event, void* arg);

static int32_t on_send(Event* event, void* arg) {
  Conn* c = (Conn*)arg;
  int32_t ok = 0;
  VorEventGetSuccessful(event, &ok);
  if (!ok || !c->link) { /* failed, or the idle time-out took the link meanwhile */
    close_conn(c);
    return 1;
  }
  if (c->buf->read_offset < c->buf->write_offset) { /* partial send: send the rest */
    if (!VorEventRepost(event)) close_conn(c);
    return 1;
  }
  VorBufReset(c->buf);
  if (!VorEventRepost(c->recv_event)) {
    close_conn(c);
    return 1;
  }
  if (!c->echoed) {
    c->echoed = 1;
    server.echoed_conns += 1;
    if (server.mem_after > 0 && server.echoed_conns == server.mem_after) report_memory();
  }
  return 1;
}

static int32_t on_recv(Event* event, void* arg) {
  Conn* c = (Conn*)arg;
  int32_t ok = 0;
  uint32_t n = 0;
  VorEventGetSuccessful(event, &ok);
  VorEventGetBytesTransferred(event, &n);
  if (!ok || n == 0 || !c->link) { /* failed, the peer closed, or the idle time-out did */
    close_conn(c);
    return 1;
  }
  c->active = 1; /* re-arms the idle time-out */
  if (c->send_event) {
    if (!VorEventRepost(c->send_event)) close_conn(c);
  } else {
    c->send_event = VorLinkPostSend(c->link, server.mux, c->buf, on_send, c);
    if (!c->send_event) close_conn(c);
  }
  return 1;
}

static void open_conn(Link* link) {
  Conn* c = (Conn*)calloc(1, sizeof *c);
  c->link = link;
  c->buf = VorBufCreate(BUF_SIZE);
  server.open_conns += 1;
  c->recv_event = VorLinkPostRecv(link, server.mux, c->buf, on_recv, c);
  if (!c->recv_event) {
    VorPerror("vor_echo_server: post receive");
    VorLinkDestroy(link);
    VorBufDestroy(c->buf);
    free(c);
    server.open_conns -= 1;
    return;
  }
  if (server.idle_timer) {
    c->idle_event = VorTimerPost(server.idle_timer, server.mux, on_idle, c);
    if (!c->idle_event) VorPerror("vor_echo_server: post idle time-out");
  }
}

static int32_t on_accept(Event* event, void* arg) {
  int32_t ok = 0;
  Link* link = NULL;
  (void)arg;
  VorEventGetSuccessful(event, &ok);
  if (ok && VorEventGetAcceptLink(event, &link) && link) open_conn(link);
  if (!VorEventRepost(event)) {
    VorPerror("vor_echo_server: re-post accept");
    return 0;
  }
  return 1;
}

/* Reads commands from stdin: "mark" prints the allocation counters (alloc_count.h). At end of
 * input it stops the loop with a user event that has no callback. */
static void* watch_stdin(void* arg) {
  Event* stop = (Event*)arg;
  char line[64];
  while (fgets(line, sizeof line, stdin)) {
    if (alloc_is_mark(line)) alloc_print_mark(stdout, VorMemBlockCount());
  }
  VorEventPost(stop, server.mux, NULL, NULL);
  return NULL;
}

int main(int argc, char** argv) {
  double limit = 300.0;
  int idle_ms = 0;
  const char *driver = NULL, *node = NULL, *address = NULL;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--mem-after") == 0 && i + 1 < argc)
      server.mem_after = atoi(argv[++i]);
    else if (strcmp(argv[i], "--idle-timeout-ms") == 0 && i + 1 < argc)
      idle_ms = atoi(argv[++i]);
    else
      limit = atof(argv[i]);
  }
  if (idle_ms > 0) {
    server.idle_timer = VorTimerCreate(idle_ms / 1000.0, "idle");
    if (!server.idle_timer) {
      VorPerror("vor_echo_server: --idle-timeout-ms");
      return 2;
    }
  }
  server.mux = VorMuxCreate();
  server.listener = VorLinkCreateServer("tcp", "127.0.0.1", "");
  if (!server.listener || !VorLinkGetAddress(server.listener, &driver, &node, &address)) {
    VorPerror("vor_echo_server: listen");
    return 2;
  }
  Event* accept_event = VorLinkPostAccept(server.listener, server.mux, on_accept, NULL);
  if (!accept_event) {
    VorPerror("vor_echo_server: post accept");
    return 2;
  }
  Timer* timer = VorTimerCreate(limit, "limit");
  Event* limit_event = VorTimerPost(timer, server.mux, NULL, NULL);
  Event* stop_event = VorEventCreate();
  /* From here on, what the tracking allocator gains belongs to the connections. */
  server.blocks_before = VorMemBlockCount();
  printf("port=%s\n", address);
  fflush(stdout);
  pthread_t watcher;
  pthread_create(&watcher, NULL, watch_stdin, stop_event);
  pthread_detach(watcher);
  VorMuxEventLoop(server.mux);
  (void)limit_event;
  if (server.idle_timer) {
    printf("idle timeout_ms=%d rearms=%ld closes=%ld open=%d\n", idle_ms, server.idle_rearms,
           server.idle_closes, server.open_conns);
    fflush(stdout);
  }
  /* The process ends here; the connections, events and watcher thread go with it. */
  return 0;
}
