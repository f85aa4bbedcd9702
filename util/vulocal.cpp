// Same-host sockets: AF_INET stream sockets on 127.0.0.1, addressed by a name (1 to 64 characters
// of [A-Za-z0-9._-], not ending in a dot, matched without regard to case) or by an all-digit
// loopback port.
//
// A named server listens on a port the system chooses and records, in a private per-user
// directory under the temporary folder, one file per name: the port and the identity of the
// process that serves it, written whole to a temporary file and renamed into place, so a reader
// sees the old entry or the new one, never part of one. Servers never remove their entry (closing
// a socket is not ours to see); an entry is stale once its process has ended, or when nobody
// listens on its port, and the next server of that name replaces it. A lock per name, which the
// system releases when its holder dies, keeps two servers, in any processes, from claiming one
// name at the same moment.
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>

#include "vorutil.h"
#include "vorwin.h"
#include "vufail.h"
#include "vulocalfs.h"
#include "vutext.h"

namespace fs = std::filesystem;
using vor::Fail;
using vor::FailOs;
using vor::FailSocket;
using vorutil::localfs::NameLock;
using vorutil::localfs::ProcessIdentity;
using vorutil::localfs::ProcessState;
using vorutil::localfs::RegistryDir;

namespace {

constexpr size_t kMaxNameLength = 64;
constexpr size_t kMaxEntryLength = 128;
// How long a live-server probe waits for the connect to be answered.
constexpr double kProbeSeconds = 5.0;
// How long a server waits for another holder of its name's lock: longer than a holder keeps it
// (one probe, then a file written), so that a concurrent create ends with ERR_EXISTS, not with
// a failure to get the lock.
constexpr double kLockSeconds = 3 * kProbeSeconds;

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

// The address as a port (all digits) or as a registry key (the name in lower case).
struct Address {
  bool valid = false;
  int32_t port = -1;  // set for an all-digit address
  std::string key;    // set for a name
};

// A name ending in a dot is refused on every build: Windows drops trailing dots from file names,
// so "svc." and "svc" would share one entry there.
Address ParseAddress(const char* text) {
  Address parsed;
  std::string name(text);
  if (name.empty() || name.size() > kMaxNameLength || name.back() == '.') return parsed;
  for (char c : name) {
    if (!NameChar(c)) return parsed;
  }
  if (vor::AllDigits(name.c_str())) {
    int32_t port = vor::DecimalValue(name.c_str());
    if (port > 65535) return parsed;
    parsed.port = port;
  } else {
    for (char& c : name) c = static_cast<char>(vor::AsciiLower(static_cast<unsigned char>(c)));
    parsed.key = name;
  }
  parsed.valid = true;
  return parsed;
}

std::string UserName() {
  char area[257];
  DWORD size = sizeof area;
  std::string name = GetUserNameA(area, &size) ? area : "unknown";
  for (char& c : name)
    if (!NameChar(c)) c = '_';
  return name;
}

// The registry directory's path, read afresh each time (the temporary folder comes from the
// environment); empty when there is no temporary folder.
fs::path RegistryPath() {
  static const std::string leaf = "vor-local-" + UserName();
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  return ec ? fs::path() : base / leaf;
}

std::string EntryFile(const std::string& key) { return "n-" + key; }

// What an entry records: the port, and the process that serves it (absent in entries that
// carry only a port).
struct Entry {
  int32_t port = 0;  // 0: no usable entry
  ProcessIdentity owner;
};

Entry ReadEntry(const RegistryDir& dir, const std::string& key) {
  Entry entry;
  std::string content;
  if (!dir.Read(EntryFile(key), &content, kMaxEntryLength)) return entry;
  std::istringstream in(content);
  long port = 0;
  if (!(in >> port) || port < 1 || port > 65535) return entry;
  entry.port = static_cast<int32_t>(port);
  if (!(in >> entry.owner.pid >> entry.owner.start)) entry.owner = ProcessIdentity{};
  return entry;
}

bool WriteEntry(const RegistryDir& dir, const std::string& key, int32_t port) {
  const ProcessIdentity self = vorutil::localfs::CurrentProcess();
  const std::string content = std::to_string(port) + ' ' + std::to_string(self.pid) + ' ' +
                              std::to_string(self.start) + '\n';
  // The temporary name is unique while the name's lock is held.
  return dir.Replace(EntryFile(key), "t-" + key, content);
}

// Whether the loopback port can be taken: then nobody listens there.
bool PortFree(int32_t port) {
  VorSock trial = VorSocketCreateServerTcpEx("127.0.0.1", port);
  if (trial == VOR_INVALID_SOCKET) return false;
  VorWinCloseSocket(trial);
  return true;
}

// Whether something accepts connections on the loopback port. Taking the port answers at once
// in the common case; when it is held (by a server, or by connections of a closed one waiting
// out their time), a connect decides. Windows refuses a loopback connect only after about two
// seconds, hence the long probe; a server too busy to answer within it counts as live.
bool Listening(int32_t port) {
  if (PortFree(port)) return false;
  VorSock probe = VorSocketConnectBeginTcp("127.0.0.1", port, 0);
  if (probe == VOR_INVALID_SOCKET) return false;
  bool live = VorSocketCheck(probe, 1, kProbeSeconds)
                  ? VorSocketConnectCompleteTcp(probe, 0, 0) == 1
                  : VorErrNumGet() == ERR_TIMEOUT;
  VorWinCloseSocket(probe);
  return live;
}

// A recorded server is live while its process runs and something listens on its port. Once the
// process has ended, whatever listens there now is not the server the name was given to.
bool Live(const Entry& entry) {
  if (entry.port == 0) return false;
  if (vorutil::localfs::StateOf(entry.owner) == ProcessState::kGone) return false;
  return Listening(entry.port);
}

int32_t LocalPort(VorSock sock) {
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

VorSock RegistryFailure() { return FailOs<VorSock>(ERROR_ACCESS_DENIED); }

VorSock ServeName(const std::string& key) {
  fs::path path = RegistryPath();
  if (path.empty()) return RegistryFailure();
  RegistryDir dir(path);
  if (!dir.ok()) return RegistryFailure();
  NameLock lock(dir, "k-" + key, kLockSeconds);
  if (!lock.held()) return RegistryFailure();
  if (Live(ReadEntry(dir, key))) return Fail<VorSock>(ERR_EXISTS);
  VorSock server = VorSocketCreateServerTcpEx("127.0.0.1", 0);
  if (server == VOR_INVALID_SOCKET) return server;
  int32_t port = LocalPort(server);
  if (port <= 0) {
    int32_t code = WSAGetLastError();
    VorWinCloseSocket(server);
    return FailSocket<VorSock>(code);
  }
  if (!WriteEntry(dir, key, port)) {
    VorWinCloseSocket(server);
    return RegistryFailure();
  }
  return server;
}

// The loopback port the address stands for; 0 with the error number set when there is none. A
// name whose server's process has ended is served by nobody, whoever holds its port now.
int32_t ResolveClient(const char* text) {
  if (text == nullptr) return Fail(ERR_NULL_PTR);
  Address address = ParseAddress(text);
  if (!address.valid) return Fail(ERR_VAL_INVALID);
  if (address.key.empty()) {
    if (address.port == 0) return Fail(ERR_VAL_INVALID);  // no server can be reached on port 0
    return address.port;
  }
  fs::path path = RegistryPath();
  Entry entry;
  if (!path.empty()) {
    RegistryDir dir(path);
    if (dir.ok()) entry = ReadEntry(dir, address.key);
  }
  if (entry.port != 0 && vorutil::localfs::StateOf(entry.owner) == ProcessState::kGone)
    entry.port = 0;
  if (entry.port == 0) return FailSocket(WSAECONNREFUSED);  // nobody serves the name
  return entry.port;
}

}  // namespace

extern "C" {

VORUTIL_API VorSock VorSocketCreateServerLocal(const char* address) {
  if (address == nullptr) return Fail<VorSock>(ERR_NULL_PTR);
  Address parsed = ParseAddress(address);
  if (!parsed.valid) return Fail<VorSock>(ERR_VAL_INVALID);
  if (parsed.key.empty()) return VorSocketCreateServerTcpEx("127.0.0.1", parsed.port);
  return ServeName(parsed.key);
}

VORUTIL_API VorSock VorSocketCreateClientLocal(const char* address) {
  int32_t port = ResolveClient(address);
  return port > 0 ? VorSocketCreateClientTcp("127.0.0.1", port) : VOR_INVALID_SOCKET;
}

VORUTIL_API VorSock VorSocketConnectBeginLocal(const char* address) {
  int32_t port = ResolveClient(address);
  return port > 0 ? VorSocketConnectBeginTcp("127.0.0.1", port, 0) : VOR_INVALID_SOCKET;
}

}  // extern "C"
