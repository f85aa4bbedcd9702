// Winsock start-up, shared by both libraries: each starts Winsock once, on the first call that
// needs it (a socket, a name lookup). Not installed.
#pragma once

#include "vorwin.h"

namespace vor {

// The result of this library's one WSAStartup: 0 once Winsock is started, else its error code,
// given again to every later caller.
inline int WinsockStart() {
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return started;
}

}  // namespace vor
