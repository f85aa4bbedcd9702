// The echo server: a listening link served entirely with posted operations on one multiplexer.
// Accept, receive into a Buffer, send back what came, receive again; one operation outstanding
// per connection at any time, so every event can be freed as soon as its connection ends.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "echo.h"

namespace echo {

class EchoServer {
 public:
  // Listens and posts the first accept; on failure error() says why and listening() is false.
  EchoServer(Mux* mux, const Endpoint& endpoint);
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  bool listening() const { return listen_link_ != nullptr; }
  const std::string& error() const { return error_; }
  // The endpoint clients use; for tcp the address is the port the system chose.
  const Endpoint& endpoint() const { return endpoint_; }

  // Stops listening: the listening link is destroyed, which ends the outstanding accept
  // whatever node and address the server listens on; the server is drained once that accept is
  // back and every connection has closed.
  void BeginStop();
  // Posts the accept again after a re-post failed (for instance for want of descriptors); the
  // owner calls it now and then. Nothing happens while an accept is outstanding.
  void RetryAccept();
  // Destroys the links of the open connections; their outstanding operations come back failed
  // through the multiplexer, and each connection is freed as its operation returns.
  void CloseConnections();
  bool accepting() const { return accept_event_ != nullptr; }
  bool Drained() const { return accept_event_ == nullptr && connections_.empty(); }
  int32_t open_connections() const { return static_cast<int32_t>(connections_.size()); }
  int64_t accepted() const { return accepted_; }
  int64_t bytes_echoed() const { return bytes_echoed_; }
  int64_t failed_operations() const { return failed_operations_; }

  // Called when the server becomes drained (set before BeginStop).
  void OnDrained(void (*fn)(void* arg), void* arg) {
    drained_fn_ = fn;
    drained_arg_ = arg;
  }

 private:
  struct Connection;
  static int32_t AcceptDone(Event* event, void* arg);
  static int32_t RecvDone(Event* event, void* arg);
  static int32_t SendDone(Event* event, void* arg);
  void Accepted(Event* event);
  void StartConnection(Link* link);
  void Received(Connection* connection, Event* event);
  void Sent(Connection* connection, Event* event);
  void Close(Connection* connection);
  void PostNextAccept();
  void FinishAccepting();
  void NoteDrained();

  Mux* mux_;
  Endpoint endpoint_;
  std::string error_;
  Link* listen_link_ = nullptr;
  Event* accept_event_ = nullptr;  // null once accepting has ended
  bool accept_waiting_ = false;    // the accept is not posted: its re-post failed
  bool stopping_ = false;
  std::unordered_set<Connection*> connections_;
  int64_t accepted_ = 0;
  int64_t bytes_echoed_ = 0;
  int64_t failed_operations_ = 0;
  void (*drained_fn_)(void*) = nullptr;
  void* drained_arg_ = nullptr;
};

}  // namespace echo
