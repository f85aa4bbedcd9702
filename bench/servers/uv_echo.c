/* libuv echo server for the benchmarks: one loop; per connection a 64 KiB buffer, read into and
 * written back from. Prints "port=N"; exits
 * after the time limit (first argument, seconds, default 300) or at end of input on stdin.
 * "--sizeof" prints the size of libuv's per-connection handle instead. With "--idle-timeout-ms N"
 * every connection holds an idle time-out, a uv_timer_t restarted by every read with
 * uv_timer_again (libuv's way to push a time-out back), that closes the connection when it
 * fires; at the end it prints how many re-arms and closes there were. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <uv.h>

enum { BUF_SIZE = 65536 };

/* The handle first, so a handle pointer is the connection's address. Each read's bytes go back
 * with uv_try_write; only what the socket does not take at once goes through uv_write, and the
 * connection stops reading until that write is done, so one buffer per connection is enough
 * (the same flow control as the other servers: read, write, read again). */
typedef struct Conn {
  uv_tcp_t handle;
  uv_write_t write_req;
  uv_timer_t idle; /* with --idle-timeout-ms only */
  int open_handles;
  char buf[BUF_SIZE];
} Conn;

static uv_loop_t* loop;
static uv_tcp_t server;
static uv_timer_t limit_timer;
static uv_poll_t stdin_poll;
static uint64_t idle_ms; /* 0: no idle time-outs */
static long idle_rearms;
static long idle_closes;

static void on_alloc(uv_handle_t* handle, size_t suggested, uv_buf_t* buf) {
  (void)suggested;
  *buf = uv_buf_init(((Conn*)handle)->buf, BUF_SIZE);
}

static void on_close(uv_handle_t* handle) {
  Conn* c = (Conn*)handle->data;
  if (--c->open_handles == 0) free(c);
}

static void close_conn(Conn* c) {
  if (uv_is_closing((uv_handle_t*)&c->handle)) return;
  uv_close((uv_handle_t*)&c->handle, on_close);
  if (idle_ms) uv_close((uv_handle_t*)&c->idle, on_close);
}

static void on_idle(uv_timer_t* timer) {
  idle_closes += 1;
  close_conn((Conn*)timer->data);
}

static void on_read(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf);

static void on_write(uv_write_t* req, int status) {
  if (status == 0)
    uv_read_start(req->handle, on_alloc, on_read);
  else
    close_conn((Conn*)req->handle);
}

static void on_read(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf) {
  Conn* c = (Conn*)stream;
  if (nread < 0) {
    close_conn(c);
    return;
  }
  if (idle_ms && nread > 0) {
    uv_timer_again(&c->idle);
    idle_rearms += 1;
  }
  uv_buf_t out = uv_buf_init(buf->base, (unsigned)nread);
  int sent = nread > 0 ? uv_try_write(stream, &out, 1) : 0;
  if (sent == UV_EAGAIN) sent = 0;
  if (sent < 0) {
    close_conn(c);
    return;
  }
  if (sent == nread) return;
  out = uv_buf_init(buf->base + sent, (unsigned)(nread - sent));
  uv_read_stop(stream);
  if (uv_write(&c->write_req, stream, &out, 1, on_write) != 0) close_conn(c);
}

static void on_connection(uv_stream_t* listener, int status) {
  if (status != 0) return;
  Conn* c = (Conn*)calloc(1, sizeof *c);
  uv_tcp_init(loop, &c->handle);
  c->handle.data = c;
  c->open_handles = 1;
  if (idle_ms) {
    uv_timer_init(loop, &c->idle);
    c->idle.data = c;
    c->open_handles = 2;
    uv_timer_start(&c->idle, on_idle, idle_ms, idle_ms);
  }
  if (uv_accept(listener, (uv_stream_t*)&c->handle) == 0) {
    uv_read_start((uv_stream_t*)&c->handle, on_alloc, on_read);
  } else {
    close_conn(c);
  }
}

static void on_limit(uv_timer_t* timer) {
  (void)timer;
  uv_stop(loop);
}

static void on_stdin(uv_poll_t* poll, int status, int events) {
  char byte;
  (void)poll;
  (void)events;
  if (status < 0 || fread(&byte, 1, 1, stdin) != 1) uv_stop(loop);
}

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--sizeof") == 0) {
    printf("uv_tcp_t=%zu\n", sizeof(uv_tcp_t));
    return 0;
  }
  double limit = 300.0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--idle-timeout-ms") == 0 && i + 1 < argc)
      idle_ms = (uint64_t)atoi(argv[++i]);
    else
      limit = atof(argv[i]);
  }
  struct sockaddr_in addr;
  int len = sizeof addr;
  signal(SIGPIPE, SIG_IGN); /* a peer that closes while we write must not end the server */
  loop = uv_default_loop();
  uv_ip4_addr("127.0.0.1", 0, &addr);
  uv_tcp_init(loop, &server);
  if (uv_tcp_bind(&server, (const struct sockaddr*)&addr, 0) != 0 ||
      uv_listen((uv_stream_t*)&server, SOMAXCONN, on_connection) != 0 ||
      uv_tcp_getsockname(&server, (struct sockaddr*)&addr, &len) != 0) {
    fprintf(stderr, "uv_echo: listen failed\n");
    return 2;
  }
  printf("port=%d\n", ntohs(addr.sin_port));
  fflush(stdout);
  uv_timer_init(loop, &limit_timer);
  uv_timer_start(&limit_timer, on_limit, (uint64_t)(limit * 1000.0), 0);
  setvbuf(stdin, NULL, _IONBF, 0);
  if (uv_poll_init(loop, &stdin_poll, 0) == 0) uv_poll_start(&stdin_poll, UV_READABLE, on_stdin);
  uv_run(loop, UV_RUN_DEFAULT);
  if (idle_ms) {
    printf("idle timeout_ms=%d rearms=%ld closes=%ld\n", (int)idle_ms, idle_rearms, idle_closes);
    fflush(stdout);
  }
  return 0;
}
