// The public functions in random orders with random arguments. A model of what the host holds
// predicts each result: every failure must carry the error number the library documents for it,
// every posted operation must come back exactly once, and at the end of each input, with
// everything destroyed, the tracking allocator must hold the blocks it held at the start.
//
// Arguments are live objects, null, or values of every range; never a freed object (the library
// does not promise to survive one), and never a blocking call that could wait without end or a
// connect to a port this process does not own.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "fuzzcheck.h"
#include "vor.h"

using fuzzcheck::Require;

namespace {

// ---- What the host holds ----

struct UserEvent {
  Event* event;
  Mux* mux = nullptr;  // where it was last posted; null before its first post
  int pending = 0;     // posts not yet delivered
  bool orphaned = false;  // its multiplexer is gone: it may only be destroyed
};

struct TimerRecord {
  Timer* timer;
  Mux* bound = nullptr;
  bool bound_gone = false;
};

struct TimerEvent {
  Event* event;
  TimerRecord* timer;
  Mux* mux;
  bool pending = true;
  bool orphaned = false;
};

struct LinkOp {
  Event* event;
  Link* link;
  Mux* mux;
  Buffer buffer{};  // the host's buffer for a receive or send; its storage is below
  std::vector<char> storage;
  int32_t type;
  bool pending = true;
};

struct LinkRecord {
  Link* link;
  Mux* bound = nullptr;
  bool connected;  // has a socket that talks to a peer of ours
};

struct World {
  std::vector<Mux*> muxes;
  std::vector<UserEvent> users;
  std::vector<TimerRecord*> timers;
  std::vector<TimerEvent> timer_events;
  std::vector<LinkOp*> link_ops;
  std::vector<LinkRecord> links;
  Link* listener = nullptr;  // the "tcp" server every connect of ours goes to
  std::vector<LinkDriver*> drivers;
  std::vector<std::string> driver_names;  // lower case, the built-ins included
};

void ExpectFailure(bool failed, int32_t error, const char* what) {
  Require(failed, what);
  Require(VorErrNumGet() == error, what);
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool MuxInUse(const World& world, Mux* mux) {
  for (const LinkRecord& link : world.links)
    if (link.bound == mux) return true;
  for (const LinkOp* op : world.link_ops)
    if (op->pending && op->mux == mux) return true;
  return world.listener != nullptr && world.listener->mux == mux;
}

template <typename T>
T* PickOrNull(FuzzedDataProvider& in, std::vector<T*>& items) {
  size_t index = in.ConsumeIntegralInRange<size_t>(0, items.size());
  return index == items.size() ? nullptr : items[index];
}

Mux* PickMux(FuzzedDataProvider& in, World& world) { return PickOrNull(in, world.muxes); }

double PickTimeout(FuzzedDataProvider& in) {
  static constexpr double kTimes[] = {-1.0, 0.0, -0.5, -2.0, 1e-9,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      -std::numeric_limits<double>::infinity()};
  return in.PickValueInArray(kTimes);
}

// ---- Delivery: every event handed back must be one the model has outstanding there ----

bool Deliver(World& world, Mux* mux, Event* event) {
  for (UserEvent& user : world.users) {
    if (user.event != event) continue;
    Require(user.pending > 0 && user.mux == mux, "user event delivered that was not posted");
    --user.pending;
    return true;
  }
  for (TimerEvent& timed : world.timer_events) {
    if (timed.event != event) continue;
    Require(timed.pending && timed.mux == mux, "timer event delivered twice or elsewhere");
    timed.pending = false;
    return true;
  }
  for (LinkOp* op : world.link_ops) {
    if (op->event != event) continue;
    Require(op->pending && op->mux == mux, "link event delivered twice or elsewhere");
    op->pending = false;
    int32_t successful = -1;
    uint32_t bytes = 0;
    Require(VorEventGetSuccessful(event, &successful) == 1, "no outcome on a link event");
    Require(VorEventGetBytesTransferred(event, &bytes) == 1, "no byte count on a link event");
    if (op->type == VOR_EVENT_RECV || op->type == VOR_EVENT_SEND) {
      Require(op->buffer.read_offset >= 0 && op->buffer.read_offset <= op->buffer.write_offset &&
                  op->buffer.write_offset <= op->buffer.capacity,
              "completion left the buffer's offsets out of order");
    }
    if (op->type == VOR_EVENT_ACCEPT && successful == 1) {
      Link* accepted = nullptr;
      Require(VorEventGetAcceptLink(event, &accepted) == 1 && accepted != nullptr,
              "successful accept without a link");
      world.links.push_back({accepted, nullptr, true});
    }
    return true;
  }
  Require(false, "an event the host never had came back");
  return false;
}

void Poll(World& world, Mux* mux) {
  Event* event = VorMuxEventNext(mux, 0);
  if (event == nullptr) {
    // Nothing at hand, or a handler kept a polling connect back; never anything else.
    Require(VorErrNumGet() == ERR_TIMEOUT, "empty poll without ERR_TIMEOUT");
    return;
  }
  Deliver(world, mux, event);
}

// ---- Operations ----

void OpMuxCreate(World& world) {
  if (world.muxes.size() >= 3) return;
  Mux* mux = VorMuxCreate();
  Require(mux != nullptr, "VorMuxCreate failed");
  world.muxes.push_back(mux);
}

void MuxForget(World& world, Mux* mux) {
  for (UserEvent& user : world.users)
    if (user.mux == mux) {
      user.pending = 0;
      user.orphaned = true;
    }
  for (TimerEvent& timed : world.timer_events)
    if (timed.mux == mux) {
      timed.pending = false;
      timed.orphaned = true;
    }
  for (TimerRecord* timer : world.timers)
    if (timer->bound == mux) timer->bound_gone = true;
  world.muxes.erase(std::find(world.muxes.begin(), world.muxes.end(), mux));
}

void OpMuxDestroy(FuzzedDataProvider& in, World& world) {
  Mux* mux = PickMux(in, world);
  if (mux == nullptr) {
    ExpectFailure(VorMuxDestroy(nullptr) == 0, ERR_NULL_PTR, "VorMuxDestroy(null)");
    return;
  }
  if (MuxInUse(world, mux)) return;  // bound links keep using its port
  Require(VorMuxDestroy(mux) == 1, "VorMuxDestroy failed");
  MuxForget(world, mux);
}

void OpMuxNext(FuzzedDataProvider& in, World& world) {
  Mux* mux = PickMux(in, world);
  int32_t block = in.ConsumeIntegralInRange<int32_t>(-2, 3);
  if (mux == nullptr) {
    ExpectFailure(VorMuxEventNext(nullptr, block) == nullptr, ERR_NULL_PTR, "Next(null)");
    return;
  }
  if (block != 0 && block != 1) {
    ExpectFailure(VorMuxEventNext(mux, block) == nullptr, ERR_VAL_INVALID, "Next(bad block)");
    return;
  }
  Poll(world, mux);
}

void OpUserCreate(World& world) {
  if (world.users.size() >= 8) return;
  Event* event = VorEventCreate();
  Require(event != nullptr, "VorEventCreate failed");
  world.users.push_back({event});
}

void OpUserPost(FuzzedDataProvider& in, World& world) {
  Mux* mux = PickMux(in, world);
  if (world.users.empty() || in.ConsumeBool()) {
    ExpectFailure(VorEventPost(nullptr, mux, nullptr, nullptr) == nullptr, ERR_NULL_PTR,
                  "VorEventPost(null event)");
    return;
  }
  UserEvent& user = world.users[in.ConsumeIntegralInRange<size_t>(0, world.users.size() - 1)];
  if (user.orphaned) return;
  if (mux == nullptr) {
    ExpectFailure(VorEventPost(user.event, nullptr, nullptr, nullptr) == nullptr, ERR_NULL_PTR,
                  "VorEventPost(null mux)");
    return;
  }
  if (user.pending > 0 && user.mux != mux) return;  // one port at a time per event record
  Require(VorEventPost(user.event, mux, nullptr, nullptr) == user.event, "VorEventPost failed");
  user.mux = mux;
  ++user.pending;
}

void OpRepost(FuzzedDataProvider& in, World& world) {
  if (in.ConsumeBool() && !world.users.empty()) {
    UserEvent& user = world.users[in.ConsumeIntegralInRange<size_t>(0, world.users.size() - 1)];
    if (user.orphaned) return;
    if (user.mux == nullptr) {
      ExpectFailure(VorEventRepost(user.event) == 0, ERR_VAL_INVALID, "repost of an unposted event");
      return;
    }
    Require(VorEventRepost(user.event) == reinterpret_cast<intptr_t>(user.event), "repost failed");
    ++user.pending;
    return;
  }
  for (TimerEvent& timed : world.timer_events) {
    if (timed.pending || timed.orphaned) continue;
    Require(VorEventRepost(timed.event) == reinterpret_cast<intptr_t>(timed.event),
            "timer repost failed");
    timed.pending = true;
    return;
  }
  ExpectFailure(VorEventRepost(nullptr) == 0, ERR_NULL_PTR, "VorEventRepost(null)");
}

void OpTimerCreate(FuzzedDataProvider& in, World& world) {
  static constexpr double kIntervals[] = {0.01, 0.02, 0.05, 1e9, 0.0, -1.0, 0.0099,
                                          std::numeric_limits<double>::quiet_NaN(),
                                          -std::numeric_limits<double>::infinity()};
  double interval = in.PickValueInArray(kIntervals);
  std::string id = in.ConsumeRandomLengthString(16);
  Timer* timer = VorTimerCreate(interval, in.ConsumeBool() ? nullptr : id.c_str());
  if (!(interval >= 0.01)) {
    ExpectFailure(timer == nullptr, ERR_VAL_RANGE, "timer below 0.01 s made");
    return;
  }
  Require(timer != nullptr, "VorTimerCreate failed");
  world.timers.push_back(new TimerRecord{timer});
}

void OpTimerPost(FuzzedDataProvider& in, World& world) {
  TimerRecord* record = PickOrNull(in, world.timers);
  Mux* mux = PickMux(in, world);
  if (record == nullptr) {
    ExpectFailure(VorTimerPost(nullptr, mux, nullptr, nullptr) == nullptr, ERR_NULL_PTR,
                  "VorTimerPost(null timer)");
    return;
  }
  if (mux == nullptr) {
    ExpectFailure(VorTimerPost(record->timer, nullptr, nullptr, nullptr) == nullptr, ERR_NULL_PTR,
                  "VorTimerPost(null mux)");
    return;
  }
  if (record->bound_gone) {
    if (mux == record->bound) return;  // a new multiplexer at the old one's address
    ExpectFailure(VorTimerPost(record->timer, mux, nullptr, nullptr) == nullptr, ERR_WRONG_MUX,
                  "timer posted after its multiplexer went");
    return;
  }
  if (record->bound != nullptr && record->bound != mux) {
    ExpectFailure(VorTimerPost(record->timer, mux, nullptr, nullptr) == nullptr, ERR_WRONG_MUX,
                  "timer posted to a second multiplexer");
    return;
  }
  if (world.timer_events.size() >= 16) return;
  Event* event = VorTimerPost(record->timer, mux, nullptr, nullptr);
  Require(event != nullptr, "VorTimerPost failed");
  record->bound = mux;
  world.timer_events.push_back({event, record, mux});
}

bool TimerHasEvents(const World& world, const TimerRecord* record) {
  for (const TimerEvent& timed : world.timer_events)
    if (timed.timer == record && timed.pending) return true;
  return false;
}

void OpTimerDestroy(FuzzedDataProvider& in, World& world) {
  TimerRecord* record = PickOrNull(in, world.timers);
  if (record == nullptr) {
    ExpectFailure(VorTimerDestroy(nullptr) == 0, ERR_NULL_PTR, "VorTimerDestroy(null)");
    return;
  }
  if (TimerHasEvents(world, record)) {
    ExpectFailure(VorTimerDestroy(record->timer) == 0, ERR_BUSY, "timer with queued events freed");
    return;
  }
  for (const TimerEvent& timed : world.timer_events)
    if (timed.timer == record) return;  // a delivered event may still be reposted
  Require(VorTimerDestroy(record->timer) == 1, "VorTimerDestroy failed");
  world.timers.erase(std::find(world.timers.begin(), world.timers.end(), record));
  delete record;
}

// Accessors on any event: the type decides which ones answer.
void OpEventAccessors(FuzzedDataProvider& in, World& world) {
  std::vector<Event*> events;
  for (const UserEvent& user : world.users) events.push_back(user.event);
  for (const TimerEvent& timed : world.timer_events) events.push_back(timed.event);
  for (const LinkOp* op : world.link_ops)
    if (!op->pending) events.push_back(op->event);
  Event* event = PickOrNull(in, events);
  bool null_out = in.ConsumeBool();
  int32_t type = event != nullptr ? event->type : 0;
  auto expect = [&](int32_t result, bool type_fits, const char* what) {
    if (event == nullptr) return ExpectFailure(result == 0, ERR_NULL_PTR, what);
    if (!type_fits) return ExpectFailure(result == 0, ERR_VAL_INVALID, what);
    if (null_out) return ExpectFailure(result == 0, ERR_NULL_PTR, what);
    Require(result == 1, what);
  };
  bool link_type = type >= VOR_EVENT_ACCEPT && type <= VOR_EVENT_SEND;
  Link* link = nullptr;
  Timer* timer = nullptr;
  int32_t number = 0;
  void* prop = nullptr;
  switch (in.ConsumeIntegralInRange(0, 4)) {
    case 0:
      expect(VorEventGetLink(event, null_out ? nullptr : &link), link_type, "GetLink");
      break;
    case 1:
      expect(VorEventGetAcceptLink(event, null_out ? nullptr : &link), type == VOR_EVENT_ACCEPT,
             "GetAcceptLink");
      break;
    case 2:
      expect(VorEventGetTimer(event, null_out ? nullptr : &timer), type == VOR_EVENT_TIMER,
             "GetTimer");
      break;
    case 3:
      expect(VorEventGetLinkError(event, null_out ? nullptr : &number), link_type, "GetLinkError");
      break;
    default:
      expect(VorEventGetUserProp(event, null_out ? nullptr : &prop), true, "GetUserProp");
      break;
  }
}

// ---- Drivers: host drivers whose operations all refuse ----

int32_t Refuse() {
  VorErrNumSet(ERR_UNSUPPORTED);
  return 0;
}
int32_t RefuseOp(Link*) { return Refuse(); }
int32_t RefuseAccept(Link*, Link*) { return Refuse(); }
int32_t RefuseCheck(Link*, int32_t, double) { return Refuse(); }
int32_t RefuseConnect(Link*, double) { return Refuse(); }
int32_t RefuseRecv(Link*, char*, int32_t) { return Refuse() - 1; }
int32_t RefuseSend(Link*, const char*, int32_t) { return Refuse() - 1; }
int32_t RefuseMode(Link*, int32_t) { return Refuse(); }
int32_t RefusePost(Link*, Mux*, Event*) { return Refuse(); }

bool Registered(const World& world, const std::string& name) {
  return std::find(world.driver_names.begin(), world.driver_names.end(), Lower(name)) !=
         world.driver_names.end();
}

void OpDriverCreate(FuzzedDataProvider& in, World& world) {
  std::string name = in.ConsumeRandomLengthString(12);
  bool null_name = in.ConsumeProbability<float>() < 0.1f;
  int32_t flag = in.ConsumeIntegralInRange<int32_t>(-1, 2);
  int null_slot = in.ConsumeIntegralInRange(0, 20);  // 0..12: that operation missing
  auto op = [null_slot](int slot, auto fn) { return slot == null_slot ? nullptr : fn; };
  LinkDriver* driver = VorLinkDriverCreate(
      null_name ? nullptr : name.c_str(), flag, op(0, RefuseOp), op(1, RefuseOp),
      op(2, RefuseAccept), op(3, RefuseOp), op(4, RefuseCheck), op(5, RefuseConnect),
      op(6, RefuseRecv), op(7, RefuseSend), op(8, RefuseMode), op(9, RefusePost),
      op(10, RefusePost), op(11, RefusePost), op(12, RefusePost));
  name = name.c_str();  // the library saw the text up to its first NUL
  if (null_name) return ExpectFailure(driver == nullptr, ERR_NULL_PTR, "driver without a name");
  if (flag != 0 && flag != 1) return ExpectFailure(driver == nullptr, ERR_VAL_INVALID, "bad flag");
  if (null_slot <= 12) return ExpectFailure(driver == nullptr, ERR_NULL_PTR, "driver op missing");
  if (Registered(world, name)) return ExpectFailure(driver == nullptr, ERR_EXISTS, "name twice");
  Require(driver != nullptr, "VorLinkDriverCreate failed");
  world.drivers.push_back(driver);
  world.driver_names.push_back(Lower(name));
}

void OpDriverLookup(FuzzedDataProvider& in, World& world) {
  std::string name = in.ConsumeBool() && !world.driver_names.empty()
                         ? world.driver_names[in.ConsumeIntegralInRange<size_t>(
                               0, world.driver_names.size() - 1)]
                         : in.ConsumeRandomLengthString(12);
  name = name.c_str();
  if (in.ConsumeBool()) {
    for (char& c : name)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  VorErrNumSet(ERR_OK);
  LinkDriver* driver = VorLinkDriverLookup(name.c_str());
  if (!Registered(world, name)) {
    Require(driver == nullptr && VorErrNumGet() == ERR_OK, "lookup of an unknown name");
    return;
  }
  const char* found = nullptr;
  Require(driver != nullptr && VorLinkDriverGetName(driver, &found) == 1 &&
              Lower(found) == Lower(name),
          "lookup found another driver");
}

void OpDriverDestroy(FuzzedDataProvider& in, World& world) {
  LinkDriver* driver = PickOrNull(in, world.drivers);
  if (driver == nullptr) {
    ExpectFailure(VorLinkDriverDestroy(nullptr) == 0, ERR_NULL_PTR, "DriverDestroy(null)");
    return;
  }
  const char* name = nullptr;
  Require(VorLinkDriverGetName(driver, &name) == 1, "driver without a name");
  auto known = std::find(world.driver_names.begin(), world.driver_names.end(), Lower(name));
  world.driver_names.erase(known);
  Require(VorLinkDriverDestroy(driver) == 1, "VorLinkDriverDestroy failed");
  world.drivers.erase(std::find(world.drivers.begin(), world.drivers.end(), driver));
}

// ---- Links ----

// Link creation with every kind of argument; what succeeds is destroyed at once, except a
// connected client of our own listener, which joins the links of the world.
void OpLinkCreate(FuzzedDataProvider& in, World& world) {
  std::string random = in.ConsumeRandomLengthString(12);
  random = random.c_str();
  int choice = in.ConsumeIntegralInRange(0, 5);
  const char* driver = choice == 0 ? nullptr : choice == 1 ? "tcp" : choice == 2 ? "TCP"
                       : choice == 3 && !world.driver_names.empty() ? world.driver_names.back().c_str()
                                                                     : random.c_str();
  bool null_node = in.ConsumeProbability<float>() < 0.15f;
  const char* node = null_node ? nullptr : "127.0.0.1";
  // A tcp address that no services database holds: it starts with a '-'.
  std::string bad_port = "-" + random;
  bool server = in.ConsumeBool();
  const char* address = in.ConsumeBool() ? nullptr : in.ConsumeBool() ? "" : bad_port.c_str();
  Link* link = server ? VorLinkCreateServer(driver, node, address)
                      : VorLinkCreateClient(driver, node, address);
  if (driver == nullptr || node == nullptr || (!server && address == nullptr))
    return ExpectFailure(link == nullptr, ERR_NULL_PTR, "link made without an argument");
  if (!Registered(world, driver)) {
    Require(link == nullptr, "link made through an unknown driver");
    return;
  }
  bool tcp = Lower(driver) == "tcp";
  if (!tcp) {
    bool builtin_local = Lower(driver) == "local";
    if (!builtin_local) return ExpectFailure(link == nullptr, ERR_UNSUPPORTED, "host driver op");
    if (link != nullptr) Require(VorLinkDestroy(link) == 1, "local link destroy failed");
    return;
  }
  bool system_port = address == nullptr || address[0] == '\0';
  if (server && !system_port)
    return ExpectFailure(link == nullptr, ERR_VAL_INVALID, "server on a bad port");
  Require(link != nullptr, "tcp link not made");
  if (server) {
    const char* port = nullptr;
    Require(VorLinkGetAddress(link, nullptr, nullptr, &port) == 1 && port != nullptr &&
                std::atoi(port) > 0,
            "server address not rewritten to its port");
  } else if (!system_port) {
    ExpectFailure(VorLinkConnect(link, -1) == 0, ERR_VAL_INVALID, "connect to a bad port");
  }
  Require(VorLinkDestroy(link) == 1, "VorLinkDestroy failed");
}

bool EnsureListener(World& world) {
  if (world.listener != nullptr) return true;
  world.listener = VorLinkCreateServer("tcp", "127.0.0.1", "");
  Require(world.listener != nullptr, "no loopback listener");
  return true;
}

const char* ListenerPort(World& world) {
  const char* port = nullptr;
  Require(VorLinkGetAddress(world.listener, nullptr, nullptr, &port) == 1, "listener address");
  return port;
}

// A blocking connect to our own listener; the server end comes from a posted accept or a
// blocking one.
void OpConnect(FuzzedDataProvider& in, World& world) {
  if (world.links.size() >= 8) return;
  EnsureListener(world);
  Link* client = VorLinkCreateClient("tcp", "127.0.0.1", ListenerPort(world));
  Require(client != nullptr && VorLinkConnect(client, -1) == 1, "loopback connect failed");
  world.links.push_back({client, nullptr, true});
  bool accept_posted = false;
  for (const LinkOp* op : world.link_ops)
    accept_posted = accept_posted || (op->pending && op->type == VOR_EVENT_ACCEPT);
  if (accept_posted || in.ConsumeBool()) return;  // the peer comes (or came) from a post
  if (world.listener->mux != nullptr) return;     // a bound listener is non-blocking
  Link* server = VorLinkAcceptClient(world.listener);
  Require(server != nullptr, "blocking accept failed");
  world.links.push_back({server, nullptr, true});
}

LinkOp* NewOp(World& world, Link* link, Mux* mux, int32_t type) {
  auto* op = new LinkOp;
  op->event = nullptr;
  op->link = link;
  op->mux = mux;
  op->type = type;
  world.link_ops.push_back(op);
  return op;
}

void DropOp(World& world, LinkOp* op) {
  world.link_ops.erase(std::find(world.link_ops.begin(), world.link_ops.end(), op));
  delete op;
}

// A bound link refuses any other multiplexer, before anything is allocated.
bool WrongMux(LinkRecord& record, Mux* mux) { return record.bound != nullptr && record.bound != mux; }

void OpPostTransfer(FuzzedDataProvider& in, World& world, int32_t type) {
  LinkRecord* record = world.links.empty()
                           ? nullptr
                           : &world.links[in.ConsumeIntegralInRange<size_t>(0, world.links.size() - 1)];
  Mux* mux = PickMux(in, world);
  auto post = [type](Link* link, Mux* m, Buffer* buf) {
    return type == VOR_EVENT_RECV ? VorLinkPostRecv(link, m, buf, nullptr, nullptr)
                                  : VorLinkPostSend(link, m, buf, nullptr, nullptr);
  };
  if (record == nullptr || mux == nullptr) {
    Buffer scratch{};
    ExpectFailure(post(record ? record->link : nullptr, mux, &scratch) == nullptr, ERR_NULL_PTR,
                  "post without a link or multiplexer");
    return;
  }
  if (WrongMux(*record, mux)) {
    Buffer scratch{};
    ExpectFailure(post(record->link, mux, &scratch) == nullptr, ERR_WRONG_MUX, "wrong mux");
    return;
  }
  if (in.ConsumeProbability<float>() < 0.1f) {
    ExpectFailure(post(record->link, mux, nullptr) == nullptr, ERR_NULL_PTR, "post without buffer");
    return;
  }
  LinkOp* op = NewOp(world, record->link, mux, type);
  int32_t capacity = in.ConsumeIntegralInRange<int32_t>(0, 4096);
  op->storage.resize(static_cast<size_t>(capacity) + 1);
  for (size_t i = 0; i < op->storage.size(); ++i) op->storage[i] = static_cast<char>(i * 31 + 7);
  op->buffer.data = in.ConsumeProbability<float>() < 0.05f ? nullptr : op->storage.data();
  op->buffer.capacity = capacity;
  op->buffer.read_offset = in.ConsumeIntegralInRange<int32_t>(-3, capacity + 3);
  op->buffer.write_offset = in.ConsumeIntegralInRange<int32_t>(-3, capacity + 3);
  if (in.ConsumeProbability<float>() < 0.02f) op->buffer.write_offset = INT32_MIN;
  Event* event = post(record->link, mux, &op->buffer);
  record->bound = mux;
  const Buffer& buf = op->buffer;
  bool ordered = 0 <= buf.read_offset && buf.read_offset <= buf.write_offset &&
                 buf.write_offset <= buf.capacity;
  if (buf.data == nullptr && buf.capacity != 0) {
    ExpectFailure(event == nullptr, ERR_NULL_PTR, "post with a buffer without data");
    return DropOp(world, op);
  }
  if (!ordered) {
    ExpectFailure(event == nullptr, ERR_VAL_RANGE, "post with offsets outside the buffer");
    return DropOp(world, op);
  }
  if (event == nullptr) {
    // Refused by the socket at once (its peer is gone, say): a Winsock error, nothing to come.
    Require(VorErrNumGet() < 0, "post on a connected link failed without a socket error");
    return DropOp(world, op);
  }
  op->event = event;
}

void OpPostAccept(FuzzedDataProvider& in, World& world) {
  EnsureListener(world);
  Mux* mux = PickMux(in, world);
  if (mux == nullptr) {
    ExpectFailure(VorLinkPostAccept(world.listener, nullptr, nullptr, nullptr) == nullptr,
                  ERR_NULL_PTR, "accept without a multiplexer");
    return;
  }
  if (world.listener->mux != nullptr && world.listener->mux != mux) {
    ExpectFailure(VorLinkPostAccept(world.listener, mux, nullptr, nullptr) == nullptr,
                  ERR_WRONG_MUX, "accept on a second multiplexer");
    return;
  }
  LinkOp* op = NewOp(world, world.listener, mux, VOR_EVENT_ACCEPT);
  op->event = VorLinkPostAccept(world.listener, mux, nullptr, nullptr);
  Require(op->event != nullptr, "post accept failed");
}

void OpLinkArguments(FuzzedDataProvider& in, World& world) {
  Link* link = world.links.empty() || in.ConsumeBool()
                   ? nullptr
                   : world.links[in.ConsumeIntegralInRange<size_t>(0, world.links.size() - 1)].link;
  char area[8];
  int32_t size = in.ConsumeIntegralInRange<int32_t>(INT32_MIN, 0);
  int32_t mode = in.ConsumeIntegralInRange<int32_t>(-3, 4);
  double timeout = PickTimeout(in);
  bool bad_wait = !(mode == 0 || mode == 1) || !(timeout == -1.0 || timeout >= 0.0);
  if (link == nullptr) {
    ExpectFailure(VorLinkRecv(nullptr, area, 1) == -1, ERR_NULL_PTR, "Recv(null)");
    ExpectFailure(VorLinkCheck(nullptr, 0, 0.0) == 0, ERR_NULL_PTR, "Check(null)");
    ExpectFailure(VorLinkSetBlockMode(nullptr, 0) == 0, ERR_NULL_PTR, "SetBlockMode(null)");
    ExpectFailure(VorLinkGetUserProp(nullptr, nullptr) == 0, ERR_NULL_PTR, "GetUserProp(null)");
    ExpectFailure(VorLinkPostUnsupported(nullptr, nullptr, nullptr) == 0, ERR_NULL_PTR,
                  "PostUnsupported(null)");
    return;
  }
  if (size < 0) {
    ExpectFailure(VorLinkRecv(link, area, size) == -1, ERR_VAL_RANGE, "Recv(negative)");
    ExpectFailure(VorLinkSend(link, area, size) == -1, ERR_VAL_RANGE, "Send(negative)");
  }
  ExpectFailure(VorLinkRecvAll(link, area, size) == -1, ERR_VAL_RANGE, "RecvAll(<1)");
  ExpectFailure(VorLinkRecv(link, nullptr, 1) == -1, ERR_NULL_PTR, "Recv(null area)");
  if (bad_wait)
    ExpectFailure(VorLinkCheck(link, mode, timeout) == 0, ERR_VAL_INVALID, "Check(bad)");
  if (mode != 0 && mode != 1)
    ExpectFailure(VorLinkSetBlockMode(link, mode) == 0, ERR_VAL_INVALID, "SetBlockMode(bad)");
  if (!(timeout == -1.0 || timeout >= 0.0))
    ExpectFailure(VorLinkConnect(link, timeout) == 0, ERR_VAL_INVALID, "Connect(bad timeout)");
  void* prop = nullptr;
  ExpectFailure(VorLinkGetUserProp(link, nullptr) == 0, ERR_NULL_PTR, "GetUserProp(null out)");
  Require(VorLinkSetUserProp(link, &prop) == 1 && VorLinkGetUserProp(link, &prop) == 1 &&
              prop == &prop,
          "user prop lost");
  if (!world.muxes.empty()) {
    Event* event = VorEventCreate();
    ExpectFailure(VorLinkPostUnsupported(link, world.muxes[0], event) == 0, ERR_UNSUPPORTED,
                  "PostUnsupported");
    VorEventDestroy(event);
  }
}

// Destroying a link with operations outstanding: each comes back once, failed.
void OpLinkDestroy(FuzzedDataProvider& in, World& world) {
  if (world.links.empty()) {
    ExpectFailure(VorLinkDestroy(nullptr) == 0, ERR_NULL_PTR, "VorLinkDestroy(null)");
    return;
  }
  size_t index = in.ConsumeIntegralInRange<size_t>(0, world.links.size() - 1);
  Link* link = world.links[index].link;
  Require(VorLinkDestroy(link) == 1, "VorLinkDestroy failed");
  world.links.erase(world.links.begin() + static_cast<std::ptrdiff_t>(index));
  for (LinkOp* op : world.link_ops)
    if (op->link == link) op->link = nullptr;  // gone: never read it again
}

// ---- End of an input: everything back and destroyed ----

void DrainLinkOps(World& world) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    Mux* waiting = nullptr;
    for (const LinkOp* op : world.link_ops)
      if (op->pending) waiting = op->mux;
    if (waiting == nullptr) return;
    Require(std::chrono::steady_clock::now() < deadline, "a posted operation never came back");
    Poll(world, waiting);
  }
}

void TearDown(World& world) {
  for (const LinkRecord& record : world.links) Require(VorLinkDestroy(record.link) == 1, "destroy");
  world.links.clear();
  if (world.listener != nullptr) Require(VorLinkDestroy(world.listener) == 1, "listener destroy");
  world.listener = nullptr;
  DrainLinkOps(world);
  // Accepts that came in while draining.
  for (const LinkRecord& record : world.links) Require(VorLinkDestroy(record.link) == 1, "destroy");
  world.links.clear();
  DrainLinkOps(world);
  for (LinkOp* op : world.link_ops) {
    Require(VorEventDestroy(op->event) == 1, "link event destroy");
    delete op;
  }
  world.link_ops.clear();
  for (Mux* mux : std::vector<Mux*>(world.muxes)) {
    Require(VorMuxDestroy(mux) == 1, "VorMuxDestroy failed");
    MuxForget(world, mux);
  }
  for (const UserEvent& user : world.users) Require(VorEventDestroy(user.event) == 1, "destroy");
  for (const TimerEvent& timed : world.timer_events)
    Require(VorEventDestroy(timed.event) == 1, "timer event destroy");
  for (TimerRecord* record : world.timers) {
    Require(VorTimerDestroy(record->timer) == 1, "timer still held after its mux went");
    delete record;
  }
  for (LinkDriver* driver : world.drivers)
    Require(VorLinkDriverDestroy(driver) == 1, "driver destroy");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Same-host servers write their registry under TMPDIR: keep it to this process.
  static char pattern[] = "/tmp/vor-fuzz-api-XXXXXX";
  Require(mkdtemp(pattern) != nullptr, "no scratch directory");
  setenv("TMPDIR", pattern, 1);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(pattern, ec);
  });
  // The registry and the idle callback type live for the process: make them before counting.
  VorLinkDriverLookup("tcp");
  VorMuxDestroy(VorMuxCreate());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  int32_t blocks = VorMemBlockCount();
  World world;
  world.driver_names = {"tcp", "local"};
  for (int steps = 0; steps < 64 && in.remaining_bytes() > 0; ++steps) {
    switch (in.ConsumeIntegralInRange(0, 19)) {
      case 0: OpMuxCreate(world); break;
      case 1: OpMuxDestroy(in, world); break;
      case 2: OpMuxNext(in, world); break;
      case 3: OpUserCreate(world); break;
      case 4: OpUserPost(in, world); break;
      case 5: OpRepost(in, world); break;
      case 6: OpTimerCreate(in, world); break;
      case 7: OpTimerPost(in, world); break;
      case 8: OpTimerDestroy(in, world); break;
      case 9: OpEventAccessors(in, world); break;
      case 10: OpDriverCreate(in, world); break;
      case 11: OpDriverLookup(in, world); break;
      case 12: OpDriverDestroy(in, world); break;
      case 13: OpLinkCreate(in, world); break;
      case 14: OpConnect(in, world); break;
      case 15: OpPostTransfer(in, world, VOR_EVENT_RECV); break;
      case 16: OpPostTransfer(in, world, VOR_EVENT_SEND); break;
      case 17: OpPostAccept(in, world); break;
      case 18: OpLinkArguments(in, world); break;
      default: OpLinkDestroy(in, world); break;
    }
  }
  TearDown(world);
  Require(VorMemBlockCount() == blocks, "blocks left over at the end of an input");
  return 0;
}
