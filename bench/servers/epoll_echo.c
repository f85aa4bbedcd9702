/* Raw epoll echo server: the practical limit on Linux for the echo benchmarks.
 * One thread, level-triggered epoll, one 64 KiB buffer per connection: read, write the same
 * bytes (waiting for EPOLLOUT only when the socket is full), read again.
 * Listens on 127.0.0.1 with a system-chosen port and prints "port=N"; exits after the time
 * limit (first argument, seconds, default 300) or at end of input on stdin. A line "mark" on
 * stdin prints the allocation counters (alloc_count.h). */
#define _GNU_SOURCE /* accept4 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "alloc_count.h"

enum { BUF_SIZE = 65536, MAX_EVENTS = 256 };

typedef struct Conn {
  int fd;
  int pending; /* echoed bytes not yet written */
  int offset;  /* where they start in buf */
  char buf[BUF_SIZE];
} Conn;

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int listen_loopback(void) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  struct sockaddr_in addr;
  socklen_t len = sizeof addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0 || listen(fd, SOMAXCONN) != 0 ||
      getsockname(fd, (struct sockaddr*)&addr, &len) != 0) {
    perror("epoll_echo: listen");
    exit(2);
  }
  printf("port=%d\n", ntohs(addr.sin_port));
  fflush(stdout);
  return fd;
}

static void set_interest(int epfd, Conn* c, unsigned events) {
  struct epoll_event ev;
  ev.events = events;
  ev.data.ptr = c;
  epoll_ctl(epfd, EPOLL_CTL_MOD, c->fd, &ev);
}

static void close_conn(Conn* c) {
  close(c->fd); /* closing removes it from the epoll set */
  free(c);
}

/* Writes what is pending; returns 0 when the connection is gone. */
static int flush_conn(int epfd, Conn* c) {
  while (c->pending > 0) {
    ssize_t n = send(c->fd, c->buf + c->offset, (size_t)c->pending, MSG_NOSIGNAL);
    if (n > 0) {
      c->offset += (int)n;
      c->pending -= (int)n;
    } else if (n < 0 && errno == EAGAIN) {
      set_interest(epfd, c, EPOLLOUT);
      return 1;
    } else {
      return 0;
    }
  }
  return 1;
}

static void on_readable(int epfd, Conn* c) {
  ssize_t n = recv(c->fd, c->buf, BUF_SIZE, 0);
  if (n > 0) {
    c->offset = 0;
    c->pending = (int)n;
    if (!flush_conn(epfd, c)) close_conn(c);
  } else if (n == 0 || errno != EAGAIN) {
    close_conn(c);
  }
}

static void on_writable(int epfd, Conn* c) {
  if (!flush_conn(epfd, c)) {
    close_conn(c);
  } else if (c->pending == 0) {
    set_interest(epfd, c, EPOLLIN);
  }
}

static void accept_all(int epfd, int listener) {
  for (;;) {
    int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK);
    if (fd < 0) return;
    Conn* c = (Conn*)malloc(sizeof *c);
    struct epoll_event ev;
    c->fd = fd;
    c->pending = 0;
    c->offset = 0;
    ev.events = EPOLLIN;
    ev.data.ptr = c;
    epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
  }
}

/* A command line from stdin, gathered a byte per readiness. */
typedef struct Command {
  char text[64];
  size_t length;
} Command;

/* Reads one byte of stdin; a complete "mark" line prints the allocation counters. Returns 0 at
 * end of input. */
static int on_stdin(Command* command) {
  char byte;
  if (read(0, &byte, 1) <= 0) return 0;
  if (byte != '\n') {
    if (command->length < sizeof command->text - 1) command->text[command->length++] = byte;
    return 1;
  }
  command->text[command->length] = '\0';
  command->length = 0;
  if (alloc_is_mark(command->text)) alloc_print_mark(stdout, -1);
  return 1;
}

int main(int argc, char** argv) {
  double limit = argc > 1 ? atof(argv[1]) : 300.0;
  double deadline = now_s() + limit;
  int listener = listen_loopback();
  int epfd = epoll_create1(0);
  /* Tags: the listener and stdin are told apart from connections by these addresses. */
  static char listener_tag, stdin_tag;
  struct epoll_event ev, events[MAX_EVENTS];
  Command command = {.length = 0};
  ev.events = EPOLLIN;
  ev.data.ptr = &listener_tag;
  epoll_ctl(epfd, EPOLL_CTL_ADD, listener, &ev);
  ev.data.ptr = &stdin_tag;
  epoll_ctl(epfd, EPOLL_CTL_ADD, 0, &ev); /* fails harmlessly when stdin is a regular file */
  for (;;) {
    double left = deadline - now_s();
    if (left <= 0) return 0;
    int n = epoll_wait(epfd, events, MAX_EVENTS, (int)(left * 1000.0) + 1);
    for (int i = 0; i < n; ++i) {
      void* tag = events[i].data.ptr;
      if (tag == &listener_tag) {
        accept_all(epfd, listener);
      } else if (tag == &stdin_tag) {
        if (!on_stdin(&command)) return 0;
      } else if (events[i].events & EPOLLOUT) {
        on_writable(epfd, (Conn*)tag);
      } else {
        on_readable(epfd, (Conn*)tag);
      }
    }
  }
}
