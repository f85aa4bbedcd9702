/* vorutil: the utility library under vor. Memory with tags, error numbers, locks, deques,
 * hash tables, callback lists, options, buffers, clock, host name and socket set-up.
 * C linkage; every function is cdecl and exported undecorated from vorutil.dll / libvorutil.so. */
#ifndef VORUTIL_H
#define VORUTIL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(VORUTIL_BUILD)
#    define VORUTIL_API __declspec(dllexport)
#  else
#    define VORUTIL_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define VORUTIL_API __attribute__((visibility("default")))
#else
#  define VORUTIL_API
#endif

/* The calling convention of every function and callback of both libraries: cdecl. Stated on
 * 32-bit Windows, where a host compiled with another default (/Gz, /Gr, /Gv) would otherwise
 * call them wrongly; elsewhere there is only one. */
#if defined(_WIN32) && !defined(_WIN64)
#  define VOR_CDECL __cdecl
#else
#  define VOR_CDECL
#endif

/* VOR_LAYOUT_CHECK(condition, text): a compile-time check that the host's compiler lays out a
 * shared record as the library was built. C++ and C11 have static assertions; an older C
 * compiler (Microsoft's before C11 support) gets an array of negative size instead. */
#if defined(__cplusplus)
#  define VOR_LAYOUT_CHECK(condition, text) static_assert(condition, text)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#  define VOR_LAYOUT_CHECK(condition, text) _Static_assert(condition, text)
#else
#  define VOR_LAYOUT_JOIN2(a, b) a##b
#  define VOR_LAYOUT_JOIN(a, b) VOR_LAYOUT_JOIN2(a, b)
#  define VOR_LAYOUT_CHECK(condition, text) \
    typedef char VOR_LAYOUT_JOIN(vor_layout_check_, __LINE__)[(condition) ? 1 : -1]
#endif

/* VOR_LAYOUT(size64, size32): a pinned size or offset, for pointers of 8 bytes (64-bit Windows
 * and Linux) or of 4 bytes with doubles aligned to 8 (32-bit Windows, either compiler). Other
 * platforms are not pinned. */
#if UINTPTR_MAX > 0xFFFFFFFFu
#  define VOR_LAYOUT(size64, size32) (size64)
#elif defined(_WIN32)
#  define VOR_LAYOUT(size64, size32) (size32)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Error numbers ----------------------------------------------------------------------
 * One error number per thread. The library's own numbers are positive; an OS or Winsock error
 * is stored as the negative of its Windows code (-6 for ERROR_INVALID_HANDLE, -10061 for
 * WSAECONNREFUSED), the same on both builds. */
enum {
  ERR_OK = 0,
  ERR_NULL_PTR = 3,     /* a required pointer or object argument is null */
  ERR_VAL_RANGE = 4,    /* a size or interval outside its range */
  ERR_EXISTS = 6,       /* the name is taken */
  ERR_VAL_INVALID = 7,  /* a value the function does not accept */
  ERR_TIMEOUT = 9,      /* a wait ended by its time limit */
  ERR_EOF = 10,         /* the peer closed, reset or shut down the connection */
  ERR_INTR = 16,        /* interrupted */
  ERR_WOULD_BLOCK = 25, /* a non-blocking socket cannot proceed */
  ERR_UNSUPPORTED = 31, /* the driver does not support the operation */
  ERR_BUSY = 32,        /* the object is still in use */
  ERR_WRONG_MUX = 33    /* bound to another multiplexer */
};

VORUTIL_API void VOR_CDECL VorErrNumSet(int32_t number);
VORUTIL_API int32_t VOR_CDECL VorErrNumGet(void);
/* Stores -code; a code of 0 takes the thread's last OS error (GetLastError). */
VORUTIL_API void VOR_CDECL VorErrNumSetOs(int32_t code);
/* Stores -code; a code of 0 takes the thread's last Winsock error (WSAGetLastError). */
VORUTIL_API void VOR_CDECL VorErrNumSetSocket(int32_t code);
/* The thread's last Winsock error as a positive Winsock code; the Win32 codes that a failed
 * completion leaves behind are mapped to their Winsock equivalents (64 -> 10054, 1225 -> 10061,
 * 1236 -> 10053, ...; 995 stays 995). */
VORUTIL_API int32_t VOR_CDECL VorErrNumGetSocket(void);
/* A text for any error number (never null). */
VORUTIL_API const char* VOR_CDECL VorErrNumStr(int32_t number);
/* Prints "text: <text of the thread's error number>" to standard error. */
VORUTIL_API void VOR_CDECL VorPerror(const char* text);
/* Nonzero while an interrupt has been flagged by the host (VorInterruptSet). */
VORUTIL_API int32_t VOR_CDECL VorInterruptGet(void);
VORUTIL_API void VOR_CDECL VorInterruptSet(int32_t value);

/* ---- Tracking allocator ------------------------------------------------------------------
 * Every block carries a tag naming the object and the source file and line that made it.
 * Malloc/Calloc never return null: on exhaustion they print the tag and size and abort.
 * VorFreeCheck accepts null; its tag need not equal the allocation tag. A pointer that the
 * allocator did not give, or one freed twice, is reported on standard error and counted
 * (VorMemBadFreeCount) instead of being handed to the system allocator. */
VORUTIL_API void* VOR_CDECL VorMallocCheck(size_t size, const char* tag, const char* file,
                                           int32_t line);
VORUTIL_API void* VOR_CDECL VorCallocCheck(size_t size, const char* tag, const char* file,
                                           int32_t line);
VORUTIL_API void VOR_CDECL VorFreeCheck(void* ptr, const char* tag, const char* file, int32_t line);
VORUTIL_API int32_t VOR_CDECL VorMemBlockCount(void);
VORUTIL_API int32_t VOR_CDECL VorMemBadFreeCount(void);
/* Lists the live blocks (tag, file, line, size) on standard error; returns how many. */
VORUTIL_API int32_t VOR_CDECL VorMemReport(void);

/* ---- Locks ------------------------------------------------------------------------------ */
/* One process-wide re-entrant lock. */
VORUTIL_API void VOR_CDECL VorProcessMutexLock(void);
VORUTIL_API void VOR_CDECL VorProcessMutexUnlock(void);

/* A re-entrant mutex. flags: 0. Timeout in seconds, -1.0 waits for ever; Lock returns 1 when
 * held, 0 with ERR_TIMEOUT on time-out. Unlock by a thread that does not hold it fails with
 * ERR_VAL_INVALID; Destroy of a mutex that a thread holds fails with ERR_BUSY. */
typedef struct VorMutex VorMutex;
VORUTIL_API VorMutex* VOR_CDECL VorMutexCreate(int32_t flags);
VORUTIL_API int32_t VOR_CDECL VorMutexLock(VorMutex* mutex, double timeout);
VORUTIL_API int32_t VOR_CDECL VorMutexUnlock(VorMutex* mutex);
VORUTIL_API int32_t VOR_CDECL VorMutexDestroy(VorMutex* mutex);

/* ---- Deques -----------------------------------------------------------------------------
 * Circular and doubly linked through the first two fields of the nodes (left, right). The
 * handle is the head node: head->right is the first node, head->left the last. A record
 * becomes a node by starting with two pointers; queueing it allocates nothing. */
typedef struct VorDqNode {
  struct VorDqNode* left;
  struct VorDqNode* right;
} VorDqNode;
typedef VorDqNode* VorDq;

VORUTIL_API int32_t VOR_CDECL VorDqOpen(VorDq* handle);
/* Unlinks the nodes still in the deque (their links become null; the nodes are not freed),
 * frees the head and clears the handle. */
VORUTIL_API int32_t VOR_CDECL VorDqClose(VorDq* handle);
VORUTIL_API void* VOR_CDECL VorDqFirst(VorDq head);
VORUTIL_API void* VOR_CDECL VorDqLast(VorDq head);
VORUTIL_API void* VOR_CDECL VorDqPop(VorDq head);
/* Links node directly right of after (after may be the head). */
VORUTIL_API void VOR_CDECL VorDqRightInsert(void* node, void* after);
/* Unlinks node from whatever deque holds it. */
VORUTIL_API void VOR_CDECL VorDqRemove(void* node);
VORUTIL_API int32_t VOR_CDECL VorDqIsEmpty(VorDq head);

/* ---- Hash tables with case-blind string keys ---------------------------------------------
 * Keys are not copied: a key must live, unchanged, as long as its entry. The size hint is the
 * number of entries expected; tables grow as needed. Traversal callbacks return 0 to go on; a
 * nonzero result stops the walk and is returned by VorHashTraverse, which returns 1 after a full
 * walk. A callback may delete the entry it is given, and must not insert. Tables carry no lock. */
typedef struct VorHash VorHash;
typedef int32_t(VOR_CDECL* VorHashTraverseFn)(const char* key, void* value, void* arg);
VORUTIL_API VorHash* VOR_CDECL VorHashCreateStri(int32_t size_hint);
VORUTIL_API int32_t VOR_CDECL VorHashDestroy(VorHash* table);
/* 1 when inserted, 0 with ERR_EXISTS when the key is present. */
VORUTIL_API int32_t VOR_CDECL VorHashInsert(VorHash* table, const char* key, void* value);
VORUTIL_API void* VOR_CDECL VorHashLookup(VorHash* table, const char* key);
/* 1 when removed, 0 when absent. */
VORUTIL_API int32_t VOR_CDECL VorHashDelete(VorHash* table, const char* key);
VORUTIL_API int32_t VOR_CDECL VorHashCount(VorHash* table);
VORUTIL_API int32_t VOR_CDECL VorHashTraverse(VorHash* table, VorHashTraverseFn fn, void* arg);

/* ---- Callback types and lists ------------------------------------------------------------
 * A callback is fn(object, call_data, arg); its result is not examined. A type lives for the
 * whole process: VorCbTypeCreate with a number already made returns that type. A list belongs to
 * an owner and holds callbacks of one type; VorCbListCall calls the members present when it
 * starts, in the order they were added. A callback may create or destroy members of the list it
 * is called from: new ones wait for the next call, destroyed ones are skipped at once. Destroying
 * a list from inside its own call fails with ERR_BUSY.
 * Glob flag: the list of that type may be called from any thread (the list is then guarded by
 * its own re-entrant lock while it is called or changed). Local flag: a callback's (fn, arg) pair
 * is unique within one list, so creating it again returns the existing callback. */
typedef int32_t(VOR_CDECL* VorCbFn)(void* object, void* call_data, void* arg);
typedef struct VorCbType VorCbType;
typedef struct VorCbList VorCbList;
typedef struct VorCb VorCb;
VORUTIL_API VorCbType* VOR_CDECL VorCbTypeCreate(int32_t number, const char* name);
VORUTIL_API int32_t VOR_CDECL VorCbTypeSetGlobFlag(VorCbType* type, int32_t flag);
VORUTIL_API int32_t VOR_CDECL VorCbTypeSetLocalFlag(VorCbType* type, int32_t flag);
VORUTIL_API VorCbList* VOR_CDECL VorCbListCreate(VorCbType* type, void* owner);
VORUTIL_API int32_t VOR_CDECL VorCbListDestroy(VorCbList* list);
VORUTIL_API VorCb* VOR_CDECL VorCbListCbCreate(VorCbList* list, VorCbFn fn, void* arg);
VORUTIL_API VorCb* VOR_CDECL VorCbListCbLookup(VorCbList* list, VorCbFn fn, void* arg);
VORUTIL_API int32_t VOR_CDECL VorCbListCbDestroy(VorCbList* list, VorCb* cb);
/* Calls every callback with (object, call_data, its arg); returns how many were called. */
VORUTIL_API int32_t VOR_CDECL VorCbListCall(VorCbList* list, void* object, void* call_data);

/* ---- Options: a process-wide table of named doubles --------------------------------------
 * "_conn_socket_buffer_size" always exists (default 0). Names are matched exactly; a record
 * keeps its address for the life of the process. Lookup of a name never set gives null with
 * ERR_VAL_INVALID. */
typedef struct VorOption {
  const char* name;
  double* value;
} VorOption;
VORUTIL_API VorOption* VOR_CDECL VorOptionLookup(const char* name);
/* Sets (and creates, when absent) the option; 1 on success, 0 with ERR_NULL_PTR for no name. */
VORUTIL_API int32_t VOR_CDECL VorOptionSet(const char* name, double value);

/* ---- Buffers ----------------------------------------------------------------------------
 * Unread bytes are [data + read_offset, data + write_offset); free space is
 * [data + write_offset, data + capacity). */
typedef struct Buffer {
  char* data;
  int32_t read_offset;
  int32_t write_offset;
  int32_t capacity;
} Buffer;
#ifdef VOR_LAYOUT
VOR_LAYOUT_CHECK(sizeof(VorDqNode) == VOR_LAYOUT(16, 8), "VorDqNode layout");
VOR_LAYOUT_CHECK(sizeof(VorOption) == VOR_LAYOUT(16, 8), "VorOption layout");
VOR_LAYOUT_CHECK(sizeof(Buffer) == VOR_LAYOUT(24, 16), "Buffer layout");
VOR_LAYOUT_CHECK(offsetof(Buffer, read_offset) == VOR_LAYOUT(8, 4), "Buffer layout");
#endif
VORUTIL_API Buffer* VOR_CDECL VorBufCreate(int32_t capacity);
VORUTIL_API int32_t VOR_CDECL VorBufDestroy(Buffer* buffer);
/* n bytes of the free space, starting at the first address at or after data + write offset
 * that is a multiple of align (a power of two, 1 for none); advances the write offset past them.
 * Null with ERR_VAL_RANGE if they do not fit, ERR_VAL_INVALID for another align. */
VORUTIL_API void* VOR_CDECL VorBufAllocAligned(Buffer* buffer, int32_t n, int32_t align);
/* Moves the unread bytes to the front (read offset 0). */
VORUTIL_API int32_t VOR_CDECL VorBufCompact(Buffer* buffer);
/* Empties the buffer (both offsets 0). */
VORUTIL_API int32_t VOR_CDECL VorBufReset(Buffer* buffer);

/* ---- Clock, host, strings ---------------------------------------------------------------- */
/* Seconds since the epoch, sub-millisecond resolution, never going backwards: the wall time is
 * read once and then advanced by a monotonic clock. */
VORUTIL_API double VOR_CDECL VorGetWallTime(void);
/* This host's name into a 256-byte area; 1 on success. */
VORUTIL_API int32_t VOR_CDECL VorGetNodeName(char* area);
/* 0 when equal ignoring ASCII case; <0 or >0 otherwise. */
VORUTIL_API int32_t VOR_CDECL VorStrCmpi(const char* a, const char* b);

/* ---- Sockets ------------------------------------------------------------------------------
 * VorSock holds a Winsock SOCKET (the same handle the Windows calls take). Functions that give
 * a socket return VOR_INVALID_SOCKET (-1) on failure with the error number set. Winsock is
 * started once, lazily, on first use. */
typedef uintptr_t VorSock;
#define VOR_INVALID_SOCKET ((VorSock) ~(uintptr_t)0)

/* TCP: node is resolved to an IPv4 address ("" is any address for a server, this host's
 * loopback address for a client); ports outside 0..65535 fail with ERR_VAL_INVALID. */
VORUTIL_API VorSock VOR_CDECL VorSocketCreateServerTcpEx(const char* node, int32_t port);
VORUTIL_API VorSock VOR_CDECL VorSocketCreateClientTcp(const char* node, int32_t port);
/* Starts a non-blocking connect; flags: 0. */
VORUTIL_API VorSock VOR_CDECL VorSocketConnectBeginTcp(const char* node, int32_t port,
                                                       int32_t flags);
/* Nonzero when the begun connect succeeded; otherwise 0 with the connect's error recorded and
 * left as the thread's Winsock error (for VorErrNumGetSocket), or ERR_WOULD_BLOCK while the
 * connect has not ended. */
VORUTIL_API int32_t VOR_CDECL VorSocketConnectCompleteTcp(VorSock sock, int32_t reserved1,
                                                          int32_t reserved2);
/* A stream socket bound to a local address of the system's choosing, ready for an overlapped
 * connect (ConnectEx) to node:port; the target's address, a sockaddr_in, is stored in peer,
 * which has room for peer_size bytes (at least 16). */
VORUTIL_API VorSock VOR_CDECL VorSocketConnectPrepareTcp(const char* node, int32_t port, void* peer,
                                                         int32_t peer_size);
/* Same-host sockets, addressed by a name of 1..64 characters of [A-Za-z0-9._-], matched without
 * regard to case (or all digits: that loopback port). Servers listen on 127.0.0.1 only. A name
 * served by a live server fails with ERR_EXISTS; a client of a name nobody serves fails with
 * -WSAECONNREFUSED. */
VORUTIL_API VorSock VOR_CDECL VorSocketCreateServerLocal(const char* address);
VORUTIL_API VorSock VOR_CDECL VorSocketCreateClientLocal(const char* address);
VORUTIL_API VorSock VOR_CDECL VorSocketConnectBeginLocal(const char* address);
/* ERR_WOULD_BLOCK on a non-blocking listener with no connection waiting. */
VORUTIL_API VorSock VOR_CDECL VorSocketAccept(VorSock listener);
/* Waits until readable (mode 0) or writable (mode 1); timeout in seconds, -1 for ever. Nonzero
 * when ready (a failed connect counts as ready), 0 with ERR_TIMEOUT on time-out. */
VORUTIL_API int32_t VOR_CDECL VorSocketCheck(VorSock sock, int32_t mode, double timeout);
/* mode 1 blocking, 0 non-blocking; nonzero on success. */
VORUTIL_API int32_t VOR_CDECL VorSocketSetBlockMode(VorSock sock, int32_t mode);
VORUTIL_API int32_t VOR_CDECL VorSocketSetRecvBufSize(VorSock sock, int32_t bytes);
VORUTIL_API int32_t VOR_CDECL VorSocketSetSendBufSize(VorSock sock, int32_t bytes);
/* The socket's own (which 1) or peer's (which 0) address as "a.b.c.d:port" into a 256-byte
 * area; nonzero on success. */
VORUTIL_API int32_t VOR_CDECL VorSocketGetNameStr(VorSock sock, int32_t which, char* area);
/* 0 on success, -1 with the Winsock error recorded. */
VORUTIL_API int32_t VOR_CDECL VorWinCloseSocket(VorSock sock);

#ifdef __cplusplus
}
#endif

#endif /* VORUTIL_H */
