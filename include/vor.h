/* vor: an asynchronous, event-driven networking library on I/O completion ports.
 *
 * A multiplexer (Mux) delivers user events, timer expirations and completed link operations to
 * a dispatch loop run by the host. Links are connection end-points made through named drivers
 * ("tcp", "local", or the host's own); they offer blocking calls and posted operations that
 * complete through a multiplexer.
 *
 * Ownership: the host owns every object it creates and destroys it explicitly. The library never
 * frees an Event: a post function returns it to the host, the multiplexer only queues it and
 * hands it back. A Link owns its node and address strings; its device cell belongs to its driver.
 *
 * Results: 1 for success and 0 for failure in functions that return a flag, null in functions
 * that return an object, -1 in functions that return a byte count; the error number
 * (VorErrNumGet, per thread) says why. */
#ifndef VOR_H
#define VOR_H

#include <stddef.h>
#include <stdint.h>

#include "vorutil.h"
#include "vorversion.h"

#if defined(_WIN32)
#  if defined(VOR_BUILD)
#    define VOR_API __declspec(dllexport)
#  else
#    define VOR_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define VOR_API __attribute__((visibility("default")))
#else
#  define VOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Event Event;
typedef struct Mux Mux;
typedef struct Timer Timer;
typedef struct Link Link;
typedef struct LinkDriver LinkDriver;
typedef struct VorTimerIndex VorTimerIndex;

/* Event types. */
enum {
  VOR_EVENT_USER = 2,
  VOR_EVENT_TIMER = 3,
  VOR_EVENT_ACCEPT = 4,
  VOR_EVENT_CONNECT = 5,
  VOR_EVENT_RECV = 6,
  VOR_EVENT_SEND = 7
};

/* The host's callback, run by VorMuxEventLoop; a result of 0 stops the loop. */
typedef int32_t(VOR_CDECL* VorEventCallback)(Event* event, void* callback_arg);
/* A link event's completion handler; a result of 0 keeps the event from the host for now. */
typedef int32_t(VOR_CDECL* VorLinkDoneFn)(Link* link, Event* event);
/* The re-issue function of an event. Its real type depends on the event type:
 * VorEventRepostObjFn for user and timer events, VorLinkPostFn for link events. */
typedef void(VOR_CDECL* VorRepostFn)(void);
typedef Event*(VOR_CDECL* VorEventRepostObjFn)(void* repost_obj, Mux* mux, Event* event);

/* Layout of the Win32 OVERLAPPED and WSABUF records (checked against the system's at build). */
typedef struct VorOverlapped {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  uint32_t Offset;
  uint32_t OffsetHigh;
  void* hEvent;
} VorOverlapped;

typedef struct VorWsaBuf {
  uint32_t len;
  char* buf;
} VorWsaBuf;

struct Event {
  Event* left; /* deque links while queued as a timer event */
  Event* right;
  int32_t type;
  union {
    struct {
      Timer* timer;
      double fire_time; /* wall-clock seconds at which the event is due */
    } te;
    struct {
      Link* link;
      VorLinkDoneFn done;
      Link* accept_link;
      Buffer* buf;
      int32_t successful;
      uint32_t bytes_transferred;
      int32_t link_error;
      VorWsaBuf wsabuf;
    } le;
  } u;
  VorRepostFn repost_fn;
  void* repost_obj;
  Mux* mux;
  VorEventCallback callback;
  void* callback_arg;
  void* user_prop;
  VorOverlapped overlapped;
  Event* self; /* directly behind overlapped: maps a completion back to its event */
  /* A link event's course, written only by the library: 0 at rest, 1 while its operation is
   * outstanding, 2 when the host destroyed it meanwhile (the library frees it once the
   * operation has come back, since the system may still write to it until then). */
  int32_t link_state;
};

/* A link's or timer's place in the list of records bound to one multiplexer. When the
 * multiplexer is destroyed it marks each of them, so a later post refuses whatever
 * multiplexer happens to get the same address (ERR_WRONG_MUX) and nothing reads the freed one. */
typedef struct VorBinding {
  struct VorBinding* prev;
  struct VorBinding* next;
  int32_t mux_gone;
} VorBinding;

/* The timer queues: new_timers holds the posted timer events in posting order; scheduled holds
 * every scheduled one, in scheduling order, while sched_index (private to the multiplexer) keeps
 * their due order; ready holds the due ones in the order they fell due. Each count is the length
 * of its deque. */
struct Mux {
  VorMutex* mutex;
  void* port; /* the completion port (HANDLE) */
  int32_t new_count;
  VorDq new_timers;
  int32_t sched_count;
  VorDq scheduled;
  int32_t ready_count;
  VorDq ready;
  int32_t check_interval;
  int32_t check_countdown;
  VorCbList* idle_cbs;
  void* user_prop;
  VorTimerIndex* sched_index;
  /* Teardown bookkeeping, written only by the library: the link operations posted on this
   * multiplexer and not yet come back, the mark set while VorMuxDestroy gathers them, and the
   * heads of the lists of bound links and timers. */
  int32_t link_ops;
  int32_t closing;
  VorBinding bound_links;
  VorBinding bound_timers;
};

/* What an idle callback gets as call data; the multiplexer is the callback's object. */
typedef struct VorMuxIdleData {
  void* reserved;
  Event* event; /* the event that stopped the loop, or null after a burst */
} VorMuxIdleData;

struct Timer {
  char* id;
  double interval;
  Mux* mux;
  void* user_prop;
  int32_t outstanding; /* timer events posted and not yet delivered or dropped */
  VorBinding binding;
};

/* Driver operations. */
typedef int32_t(VOR_CDECL* VorLinkOpFn)(Link* link);
typedef int32_t(VOR_CDECL* VorLinkAcceptFn)(Link* server_link, Link* new_link);
typedef int32_t(VOR_CDECL* VorLinkCheckFn)(Link* link, int32_t mode, double timeout);
typedef int32_t(VOR_CDECL* VorLinkConnectFn)(Link* link, double timeout);
typedef int32_t(VOR_CDECL* VorLinkRecvFn)(Link* link, char* buf, int32_t size);
typedef int32_t(VOR_CDECL* VorLinkSendFn)(Link* link, const char* buf, int32_t size);
typedef int32_t(VOR_CDECL* VorLinkBlockModeFn)(Link* link, int32_t mode);
typedef int32_t(VOR_CDECL* VorLinkPostFn)(Link* link, Mux* mux, Event* event);

struct LinkDriver {
  char* name;
  int32_t flag;
  VorLinkOpFn create_server;
  VorLinkOpFn create_client;
  VorLinkAcceptFn accept_client;
  VorLinkOpFn destroy;
  VorLinkCheckFn check;
  VorLinkConnectFn connect;
  VorLinkRecvFn recv;
  VorLinkSendFn send;
  VorLinkBlockModeFn set_block_mode;
  VorLinkPostFn post_accept;
  VorLinkPostFn post_connect;
  VorLinkPostFn post_recv;
  VorLinkPostFn post_send;
  void* user_prop;
};

/* Orderly close. VorLinkDestroy neither waits for nor cancels posted operations, yet loses none:
 * it closes the socket, and every event still outstanding on the link comes back through its
 * multiplexer exactly once, failed (u.le.successful 0, u.le.link_error 995, the abort error),
 * including a TCP connect that is still polling and an operation that had in fact finished
 * before the destroy. Until the last of these events has been through its completion handler,
 * the Link record and its device cell stay allocated (the completion handlers read them); the
 * handler that ends the last one frees them. So the host may destroy a link at any time, then
 * keeps dispatching until its outstanding events are back, and destroys the events. It must not
 * read the link through u.le.link of such an event, nor post on a destroyed link.
 * close_state is this bookkeeping (operations outstanding and the destroyed mark, changed
 * atomically because posts and completions run on different threads); only the library writes
 * it. It applies to the built-in socket post operations; a host driver with post operations of
 * its own settles its own close. */
struct Link {
  LinkDriver* driver;
  char* node;
  char* address;
  void* device; /* the device cell holding the socket, or null */
  int32_t block_mode;
  Mux* mux;
  void* user_prop;
  int32_t close_state;
  VorBinding binding;
};

/* The records above are shared with the host: their layouts are part of the interface. */
#ifdef VOR_LAYOUT
VOR_LAYOUT_CHECK(sizeof(VorOverlapped) == VOR_LAYOUT(32, 20), "VorOverlapped layout");
VOR_LAYOUT_CHECK(sizeof(VorWsaBuf) == VOR_LAYOUT(16, 8), "VorWsaBuf layout");
VOR_LAYOUT_CHECK(sizeof(Event) == VOR_LAYOUT(184, 112), "Event layout");
VOR_LAYOUT_CHECK(offsetof(Event, type) == VOR_LAYOUT(16, 8), "Event layout");
VOR_LAYOUT_CHECK(offsetof(Event, u) == VOR_LAYOUT(24, 16), "Event layout");
VOR_LAYOUT_CHECK(offsetof(Event, u.te.fire_time) == VOR_LAYOUT(32, 24), "Event layout");
VOR_LAYOUT_CHECK(offsetof(Event, u.le.wsabuf) == VOR_LAYOUT(72, 44), "Event layout");
VOR_LAYOUT_CHECK(offsetof(Event, repost_fn) == VOR_LAYOUT(88, 56), "Event layout");
VOR_LAYOUT_CHECK(offsetof(Event, overlapped) == VOR_LAYOUT(136, 80), "Event layout");
VOR_LAYOUT_CHECK(offsetof(Event, self) == VOR_LAYOUT(168, 100), "Event layout");
VOR_LAYOUT_CHECK(offsetof(Event, link_state) == VOR_LAYOUT(176, 104), "Event layout");
VOR_LAYOUT_CHECK(sizeof(VorBinding) == VOR_LAYOUT(24, 12), "VorBinding layout");
VOR_LAYOUT_CHECK(sizeof(Mux) == VOR_LAYOUT(152, 84), "Mux layout");
VOR_LAYOUT_CHECK(offsetof(Mux, new_count) == VOR_LAYOUT(16, 8), "Mux layout");
VOR_LAYOUT_CHECK(offsetof(Mux, idle_cbs) == VOR_LAYOUT(72, 40), "Mux layout");
VOR_LAYOUT_CHECK(offsetof(Mux, link_ops) == VOR_LAYOUT(96, 52), "Mux layout");
VOR_LAYOUT_CHECK(offsetof(Mux, bound_links) == VOR_LAYOUT(104, 60), "Mux layout");
VOR_LAYOUT_CHECK(sizeof(VorMuxIdleData) == VOR_LAYOUT(16, 8), "VorMuxIdleData layout");
VOR_LAYOUT_CHECK(sizeof(Timer) == VOR_LAYOUT(64, 40), "Timer layout");
VOR_LAYOUT_CHECK(offsetof(Timer, interval) == VOR_LAYOUT(8, 8), "Timer layout");
VOR_LAYOUT_CHECK(offsetof(Timer, outstanding) == VOR_LAYOUT(32, 24), "Timer layout");
VOR_LAYOUT_CHECK(offsetof(Timer, binding) == VOR_LAYOUT(40, 28), "Timer layout");
VOR_LAYOUT_CHECK(sizeof(LinkDriver) == VOR_LAYOUT(128, 64), "LinkDriver layout");
VOR_LAYOUT_CHECK(offsetof(LinkDriver, create_server) == VOR_LAYOUT(16, 8), "LinkDriver layout");
VOR_LAYOUT_CHECK(offsetof(LinkDriver, user_prop) == VOR_LAYOUT(120, 60), "LinkDriver layout");
VOR_LAYOUT_CHECK(sizeof(Link) == VOR_LAYOUT(88, 44), "Link layout");
VOR_LAYOUT_CHECK(offsetof(Link, block_mode) == VOR_LAYOUT(32, 16), "Link layout");
VOR_LAYOUT_CHECK(offsetof(Link, close_state) == VOR_LAYOUT(56, 28), "Link layout");
VOR_LAYOUT_CHECK(offsetof(Link, binding) == VOR_LAYOUT(64, 32), "Link layout");
#endif

/* ---- Events ---- */
VOR_API Event* VOR_CDECL VorEventAllocInternal(int32_t type);
VOR_API Event* VOR_CDECL VorEventCreate(void);
VOR_API Event* VOR_CDECL VorEventPost(Event* event, Mux* mux, VorEventCallback callback,
                                      void* callback_arg);
/* The re-issue result: the event itself for user and timer events, the driver post
 * operation's result for link events; 0 on failure. */
VOR_API intptr_t VOR_CDECL VorEventRepost(Event* event);
VOR_API int32_t VOR_CDECL VorEventDestroy(Event* event);
VOR_API int32_t VOR_CDECL VorEventGetAcceptLink(Event* event, Link** result);
VOR_API int32_t VOR_CDECL VorEventGetBuf(Event* event, Buffer** result);
VOR_API int32_t VOR_CDECL VorEventGetBytesTransferred(Event* event, uint32_t* result);
VOR_API int32_t VOR_CDECL VorEventGetLink(Event* event, Link** result);
VOR_API int32_t VOR_CDECL VorEventGetLinkError(Event* event, int32_t* result);
VOR_API int32_t VOR_CDECL VorEventGetSuccessful(Event* event, int32_t* result);
VOR_API int32_t VOR_CDECL VorEventGetTimer(Event* event, Timer** result);
VOR_API int32_t VOR_CDECL VorEventGetUserProp(Event* event, void** result);
VOR_API int32_t VOR_CDECL VorEventSetUserProp(Event* event, void* value);

/* ---- OS event objects (unnamed, manual reset) ---- */
VOR_API void* VOR_CDECL VorEventCreateUnnamed(int32_t initial_state);
VOR_API int32_t VOR_CDECL VorEventSet(void* handle);
VOR_API int32_t VOR_CDECL VorEventReset(void* handle);
VOR_API int32_t VOR_CDECL VorEventWait(void* handle, int32_t timeout_ms);
VOR_API int32_t VOR_CDECL VorEventDestroyUnnamed(void* handle);

/* ---- Multiplexer ---- */
VOR_API Mux* VOR_CDECL VorMuxCreate(void);
VOR_API int32_t VOR_CDECL VorMuxDestroy(Mux* mux);
VOR_API int32_t VOR_CDECL VorMuxEventNotifyInternal(Mux* mux, Event* event);
VOR_API int32_t VOR_CDECL VorMuxTimerEventPostInternal(Mux* mux, Event* event);
VOR_API Event* VOR_CDECL VorMuxEventNext(Mux* mux, int32_t block);
VOR_API Event* VOR_CDECL VorMuxEventLoop(Mux* mux);
VOR_API VorCb* VOR_CDECL VorMuxIdleCbCreate(Mux* mux, VorCbFn function, void* argument);
VOR_API VorCb* VOR_CDECL VorMuxIdleCbLookup(Mux* mux, VorCbFn function, void* argument);
VOR_API int32_t VOR_CDECL VorMuxGetUserProp(Mux* mux, void** result);
VOR_API int32_t VOR_CDECL VorMuxSetUserProp(Mux* mux, void* value);

/* ---- Timers ---- */
VOR_API Timer* VOR_CDECL VorTimerCreate(double interval, const char* id);
VOR_API int32_t VOR_CDECL VorTimerDestroy(Timer* timer);
VOR_API Event* VOR_CDECL VorTimerPost(Timer* timer, Mux* mux, VorEventCallback callback,
                                      void* callback_arg);
VOR_API int32_t VOR_CDECL VorTimerGetUserProp(Timer* timer, void** result);
VOR_API int32_t VOR_CDECL VorTimerSetUserProp(Timer* timer, void* value);

/* ---- Link drivers ---- */
VOR_API LinkDriver* VOR_CDECL VorLinkDriverCreate(
    const char* name, int32_t flag, VorLinkOpFn create_server, VorLinkOpFn create_client,
    VorLinkAcceptFn accept_client, VorLinkOpFn destroy, VorLinkCheckFn check,
    VorLinkConnectFn connect, VorLinkRecvFn recv, VorLinkSendFn send,
    VorLinkBlockModeFn set_block_mode, VorLinkPostFn post_accept, VorLinkPostFn post_connect,
    VorLinkPostFn post_recv, VorLinkPostFn post_send);
VOR_API int32_t VOR_CDECL VorLinkDriverDestroy(LinkDriver* driver);
VOR_API LinkDriver* VOR_CDECL VorLinkDriverLookup(const char* name);
/* fn(name, driver, arg): 0 goes on, nonzero stops the walk and is returned; 1 after a full walk. */
VOR_API int32_t VOR_CDECL VorLinkDriverTraverse(VorHashTraverseFn fn, void* arg);
VOR_API int32_t VOR_CDECL VorLinkDriverGetName(LinkDriver* driver, const char** result);
VOR_API int32_t VOR_CDECL VorLinkDriverGetUserProp(LinkDriver* driver, void** result);
VOR_API int32_t VOR_CDECL VorLinkDriverSetUserProp(LinkDriver* driver, void* value);
VOR_API LinkDriver* VOR_CDECL VorLinkDriverLocalInit(void);
VOR_API LinkDriver* VOR_CDECL VorLinkDriverTcpInit(void);

/* ---- Links: blocking calls ---- */
VOR_API Link* VOR_CDECL VorLinkCreateServer(const char* driver, const char* node,
                                            const char* address);
VOR_API Link* VOR_CDECL VorLinkCreateClient(const char* driver, const char* node,
                                            const char* address);
VOR_API Link* VOR_CDECL VorLinkAcceptClient(Link* server_link);
VOR_API int32_t VOR_CDECL VorLinkDestroy(Link* link);
VOR_API int32_t VOR_CDECL VorLinkCheck(Link* link, int32_t mode, double timeout);
VOR_API int32_t VOR_CDECL VorLinkConnect(Link* link, double timeout);
VOR_API int32_t VOR_CDECL VorLinkRecv(Link* link, char* area, int32_t size);
VOR_API int32_t VOR_CDECL VorLinkSend(Link* link, const char* area, int32_t size);
VOR_API int32_t VOR_CDECL VorLinkRecvAll(Link* link, char* area, int32_t size);
VOR_API int32_t VOR_CDECL VorLinkRecvTimeout(Link* link, char* area, int32_t size, double timeout);
VOR_API int32_t VOR_CDECL VorLinkGetAddress(Link* link, const char** driver, const char** node,
                                            const char** address);
VOR_API int32_t VOR_CDECL VorLinkGetBlockMode(Link* link, int32_t* result);
VOR_API int32_t VOR_CDECL VorLinkSetBlockMode(Link* link, int32_t mode);
VOR_API int32_t VOR_CDECL VorLinkGetDevice(Link* link, void** result);
VOR_API int32_t VOR_CDECL VorLinkSetDevice(Link* link, void* cell);
VOR_API int32_t VOR_CDECL VorLinkGetDriver(Link* link, LinkDriver** result);
VOR_API int32_t VOR_CDECL VorLinkGetUserProp(Link* link, void** result);
VOR_API int32_t VOR_CDECL VorLinkSetUserProp(Link* link, void* value);

/* ---- Links: posted operations ---- */
VOR_API Event* VOR_CDECL VorLinkPostAccept(Link* link, Mux* mux, VorEventCallback callback,
                                           void* callback_arg);
VOR_API Event* VOR_CDECL VorLinkPostConnect(Link* link, Mux* mux, VorEventCallback callback,
                                            void* callback_arg);
VOR_API Event* VOR_CDECL VorLinkPostRecv(Link* link, Mux* mux, Buffer* buf,
                                         VorEventCallback callback, void* callback_arg);
VOR_API Event* VOR_CDECL VorLinkPostSend(Link* link, Mux* mux, Buffer* buf,
                                         VorEventCallback callback, void* callback_arg);
VOR_API int32_t VOR_CDECL VorLinkPostUnsupported(Link* link, Mux* mux, Event* event);

/* ---- Socket-backed driver operations (for drivers of the host's own too) ---- */
VOR_API int32_t VOR_CDECL VorLinkSocketCreateClient(Link* link);
VOR_API int32_t VOR_CDECL VorLinkSocketAcceptClient(Link* server_link, Link* new_link);
VOR_API int32_t VOR_CDECL VorLinkSocketDestroy(Link* link);
VOR_API int32_t VOR_CDECL VorLinkSocketCheck(Link* link, int32_t mode, double timeout);
VOR_API int32_t VOR_CDECL VorLinkSocketRecv(Link* link, char* buf, int32_t size);
VOR_API int32_t VOR_CDECL VorLinkSocketSend(Link* link, const char* buf, int32_t size);
VOR_API int32_t VOR_CDECL VorLinkSocketSetBlockMode(Link* link, int32_t mode);
VOR_API int32_t VOR_CDECL VorLinkSocketPostAccept(Link* link, Mux* mux, Event* event);
VOR_API int32_t VOR_CDECL VorLinkSocketPostRecv(Link* link, Mux* mux, Event* event);
VOR_API int32_t VOR_CDECL VorLinkSocketPostSend(Link* link, Mux* mux, Event* event);

/* ---- TCP ---- */
VOR_API int32_t VOR_CDECL VorLinkTcpParsePort(const char* text, int32_t* port);

#ifdef __cplusplus
}
#endif

#endif /* VOR_H */
