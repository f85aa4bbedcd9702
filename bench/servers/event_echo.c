/* libevent echo server for the benchmarks, the idiomatic way: one bufferevent per connection
 * whose read callback moves the input buffer to the output buffer. Prints "port=N"; exits after
 * the time limit (first argument, seconds, default 300) or at end of input on stdin. */
#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void on_read(struct bufferevent* bev, void* arg) {
  (void)arg;
  evbuffer_add_buffer(bufferevent_get_output(bev), bufferevent_get_input(bev));
}

static void on_event(struct bufferevent* bev, short events, void* arg) {
  (void)arg;
  if (events & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) bufferevent_free(bev);
}

static void on_accept(struct evconnlistener* listener, evutil_socket_t fd, struct sockaddr* addr,
                      int len, void* arg) {
  struct event_base* base = evconnlistener_get_base(listener);
  struct bufferevent* bev = bufferevent_socket_new(base, fd, BEV_OPT_CLOSE_ON_FREE);
  (void)addr;
  (void)len;
  (void)arg;
  bufferevent_setcb(bev, on_read, NULL, on_event, NULL);
  bufferevent_setwatermark(bev, EV_READ, 0, 65536);
  bufferevent_enable(bev, EV_READ | EV_WRITE);
}

static void on_stdin(evutil_socket_t fd, short what, void* arg) {
  char byte;
  (void)what;
  if (read(fd, &byte, 1) <= 0) event_base_loopbreak((struct event_base*)arg);
}

int main(int argc, char** argv) {
  double limit = argc > 1 ? atof(argv[1]) : 300.0;
  signal(SIGPIPE, SIG_IGN); /* a peer that closes while we write must not end the server */
  struct event_base* base = event_base_new();
  struct sockaddr_in addr;
  socklen_t len = sizeof addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  struct evconnlistener* listener =
      evconnlistener_new_bind(base, on_accept, NULL, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_REUSEABLE,
                              SOMAXCONN, (struct sockaddr*)&addr, sizeof addr);
  if (!listener || getsockname(evconnlistener_get_fd(listener), (struct sockaddr*)&addr, &len) != 0) {
    fprintf(stderr, "event_echo: listen failed\n");
    return 2;
  }
  printf("port=%d\n", ntohs(addr.sin_port));
  fflush(stdout);
  struct event* stdin_ev = event_new(base, 0, EV_READ | EV_PERSIST, on_stdin, base);
  event_add(stdin_ev, NULL);
  struct timeval tv = {(long)limit, (long)((limit - (double)(long)limit) * 1e6)};
  event_base_loopexit(base, &tv);
  event_base_dispatch(base);
  return 0;
}
