// The echo server on posted operations: see server.h.
#include "server.h"

#include <cstdio>

namespace echo {

namespace {

// Room for one receive; a larger message simply arrives in several receives.
constexpr int32_t kConnectionBufferSize = 64 * 1024;

}  // namespace

// One accepted connection. Its receive and send events alternate, never both outstanding.
struct EchoServer::Connection {
  EchoServer* server;
  Link* link;
  Buffer* buffer;
  Event* recv_event = nullptr;
  Event* send_event = nullptr;
  bool closing = false;  // its link is destroyed; the outstanding operation is on its way back
};

EchoServer::EchoServer(Mux* mux, const Endpoint& endpoint) : mux_(mux), endpoint_(endpoint) {
  listen_link_ =
      VorLinkCreateServer(endpoint.driver.c_str(), endpoint.node.c_str(), endpoint.address.c_str());
  if (listen_link_ == nullptr) {
    // An unknown driver name sets no error number of its own.
    error_ = VorLinkDriverLookup(endpoint.driver.c_str()) == nullptr
                 ? "no driver named \"" + endpoint.driver + "\""
                 : ErrorText();
    return;
  }
  const char* address = nullptr;
  VorLinkGetAddress(listen_link_, nullptr, nullptr, &address);
  endpoint_.address = address;
  accept_event_ = VorLinkPostAccept(listen_link_, mux_, AcceptDone, this);
  if (accept_event_ == nullptr) {
    error_ = "cannot post an accept: " + ErrorText();
    VorLinkDestroy(listen_link_);
    listen_link_ = nullptr;
  }
}

EchoServer::~EchoServer() {
  // Only a drained server gets here with its links; an undrained one is left to the process
  // exit, since its outstanding operations still refer to its records.
  if (listen_link_ != nullptr && Drained()) VorLinkDestroy(listen_link_);
}

void EchoServer::BeginStop() {
  const bool accept_outstanding = !stopping_ && accept_event_ != nullptr && !accept_waiting_;
  stopping_ = true;
  if (accept_outstanding) {
    // Its accept comes back failed, and Accepted finishes accepting then. A self-connect could
    // not do this for every endpoint (a local node other than this host's name, 0.0.0.0).
    VorLinkDestroy(listen_link_);
    listen_link_ = nullptr;
    return;
  }
  if (accept_event_ != nullptr) {
    FinishAccepting();  // nothing is posted on the listening link
    return;
  }
  NoteDrained();
}

void EchoServer::RetryAccept() {
  if (accept_waiting_ && !stopping_) PostNextAccept();
}

int32_t EchoServer::AcceptDone(Event* event, void* arg) {
  static_cast<EchoServer*>(arg)->Accepted(event);
  return 1;
}

int32_t EchoServer::RecvDone(Event* event, void* arg) {
  auto* connection = static_cast<Connection*>(arg);
  connection->server->Received(connection, event);
  return 1;
}

int32_t EchoServer::SendDone(Event* event, void* arg) {
  auto* connection = static_cast<Connection*>(arg);
  connection->server->Sent(connection, event);
  return 1;
}

void EchoServer::Accepted(Event* event) {
  Link* link = nullptr;
  if (Succeeded(event)) {
    VorEventGetAcceptLink(event, &link);  // taken before any repost replaces it
  } else if (!stopping_) {
    ++failed_operations_;  // when stopping, the accept fails because the listener is destroyed
  }
  if (stopping_) {
    if (link != nullptr) VorLinkDestroy(link);
    FinishAccepting();
    return;
  }
  if (link != nullptr) StartConnection(link);
  PostNextAccept();
}

// A failed re-post does not end accepting: the server says so once and tries again at the
// owner's next RetryAccept, since what failed (descriptors, memory) is often freed soon.
void EchoServer::PostNextAccept() {
  if (VorEventRepost(accept_event_) != 0) {
    if (accept_waiting_) std::fprintf(stderr, "vor-echo: accepting again\n");
    accept_waiting_ = false;
    return;
  }
  if (!accept_waiting_) {
    ++failed_operations_;
    std::fprintf(stderr, "vor-echo: cannot post the next accept: %s; trying again\n",
                 ErrorText().c_str());
  }
  accept_waiting_ = true;
}

void EchoServer::FinishAccepting() {
  VorEventDestroy(accept_event_);
  accept_event_ = nullptr;
  accept_waiting_ = false;
  NoteDrained();
}

void EchoServer::StartConnection(Link* link) {
  ++accepted_;
  auto* connection = new Connection{this, link, VorBufCreate(kConnectionBufferSize)};
  connections_.insert(connection);
  connection->recv_event = VorLinkPostRecv(link, mux_, connection->buffer, RecvDone, connection);
  if (connection->recv_event == nullptr) {
    ++failed_operations_;
    Close(connection);
  }
}

void EchoServer::Received(Connection* connection, Event* event) {
  const uint32_t bytes = BytesMoved(event);
  if (!Succeeded(event) || bytes == 0) {  // 0 bytes: the peer closed
    if (!Succeeded(event) && !connection->closing) ++failed_operations_;
    Close(connection);
    return;
  }
  if (!PostTransfer(connection->send_event, VorLinkPostSend, connection->link, mux_,
                    connection->buffer, SendDone, connection)) {
    ++failed_operations_;
    Close(connection);
  }
}

void EchoServer::Sent(Connection* connection, Event* event) {
  if (!Succeeded(event)) {
    if (!connection->closing) ++failed_operations_;
    Close(connection);
    return;
  }
  bytes_echoed_ += BytesMoved(event);
  Buffer* buffer = connection->buffer;
  // A partial send goes on from the read offset the completion advanced.
  Event* next = event;
  if (buffer->read_offset == buffer->write_offset) {
    VorBufReset(buffer);
    next = connection->recv_event;
  }
  if (VorEventRepost(next) == 0) {
    ++failed_operations_;
    Close(connection);
  }
}

// Frees a connection whose one operation has come back (or never started). An event may be
// freed inside its own callback: the dispatch loop does not touch it after a nonzero result.
void EchoServer::Close(Connection* connection) {
  if (!connection->closing) VorLinkDestroy(connection->link);
  if (connection->recv_event != nullptr) VorEventDestroy(connection->recv_event);
  if (connection->send_event != nullptr) VorEventDestroy(connection->send_event);
  VorBufDestroy(connection->buffer);
  connections_.erase(connection);
  delete connection;
  NoteDrained();
}

void EchoServer::CloseConnections() {
  for (Connection* connection : connections_) {
    if (connection->closing) continue;
    connection->closing = true;
    VorLinkDestroy(connection->link);
  }
}

void EchoServer::NoteDrained() {
  if (stopping_ && Drained() && drained_fn_ != nullptr) {
    auto fn = drained_fn_;
    drained_fn_ = nullptr;
    fn(drained_arg_);
  }
}

}  // namespace echo
