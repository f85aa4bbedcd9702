// Same-host sockets: AF_INET stream sockets on 127.0.0.1, addressed by a name (1 to 64 characters
// of [A-Za-z0-9._-], matched without regard to case) or by an all-digit loopback port.
//
// A named server listens on a port the system chooses and records name -> port in a per-user
// directory under the temporary folder: one file per name, written whole to a temporary file and
// renamed into place, so a reader sees the old entry or the new one, never part of one. Servers
// never remove their entry (closing a socket is not ours to see); an entry whose port has nobody
// listening is stale and the next server of that name replaces it. A short-lived lock directory
// per name keeps two servers, in any processes, from claiming one name at the same moment.
#include <cctype>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include "vorutil.h"
#include "vorwin.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxNameLength = 64;
// A lock directory older than this was left by a process that died while holding it.
constexpr auto kStaleLockAge = std::chrono::seconds(10);
constexpr int kLockAttempts = 3000;  // 1 ms apart
// How long a live-server probe waits for the connect to be answered.
constexpr double kProbeSeconds = 5.0;

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The address as a port (all digits) or as a registry key (the name in lower case).
struct Address {
  bool valid = false;
  int32_t port = -1;  // set for an all-digit address
  std::string key;    // set for a name
};

Address ParseAddress(const char* text) {
  Address parsed;
  std::string name(text);
  if (name.empty() || name.size() > kMaxNameLength) return parsed;
  bool digits = true;
  for (char c : name) {
    if (!NameChar(c)) return parsed;
    digits = digits && IsDigit(c);
  }
  if (digits) {
    int32_t port = 0;
    for (char c : name) {
      port = port * 10 + (c - '0');
      if (port > 65535) return parsed;
    }
    parsed.port = port;
  } else {
    if (name == "." || name == "..") return parsed;
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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

// The per-user registry directory, created (mode 0700) when missing.
bool RegistryDir(fs::path* dir) {
  static const fs::path path = [] {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    return ec ? fs::path() : base / ("vor-local-" + UserName());
  }();
  if (path.empty()) return false;
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec || fs::is_symlink(fs::symlink_status(path, ec)) || !fs::is_directory(path, ec))
    return false;
  // Owner-only whether made now or found: one opened to others is closed again, and one that
  // another user made (so that we cannot change it) is refused.
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace, ec);
  if (ec) return false;
  *dir = path;
  return true;
}

// On Windows a directory or file that another thread is removing or reading refuses to be
// created or replaced for a moment (access denied); such a refusal is worth another try.
bool Transient(const std::error_code& ec) {
  return ec == std::errc::permission_denied || ec == std::errc::device_or_resource_busy;
}

// Refusals that another holder of a name's lock explains: besides the transient ones, "exists"
// from a lock directory that its holder removed between our attempt to create it and our look at
// it.
bool Contended(const std::error_code& ec) {
  return Transient(ec) || ec == std::errc::file_exists;
}

constexpr int kRenameAttempts = 200;  // 1 ms apart

class NameLock {
 public:
  explicit NameLock(fs::path path) : path_(std::move(path)) {
    for (int attempt = 0; attempt < kLockAttempts && !held_; ++attempt) {
      std::error_code ec;
      held_ = fs::create_directory(path_, ec);
      if (held_ || (ec && !Contended(ec))) break;
      if (Stale()) {
        fs::remove(path_, ec);
        continue;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ~NameLock() {
    std::error_code ec;
    if (held_) fs::remove(path_, ec);
  }
  NameLock(const NameLock&) = delete;
  NameLock& operator=(const NameLock&) = delete;
  bool held() const { return held_; }

 private:
  bool Stale() const {
    std::error_code ec;
    auto written = fs::last_write_time(path_, ec);
    return !ec && fs::file_time_type::clock::now() - written > kStaleLockAge;
  }

  fs::path path_;
  bool held_ = false;
};

fs::path EntryPath(const fs::path& dir, const std::string& key) { return dir / ("n-" + key); }

// The port recorded for the name, or 0 when there is no usable entry.
int32_t ReadEntry(const fs::path& entry) {
  std::ifstream in(entry);
  long port = 0;
  if (!(in >> port) || port < 1 || port > 65535) return 0;
  return static_cast<int32_t>(port);
}

bool WriteEntry(const fs::path& dir, const std::string& key, int32_t port) {
  fs::path temporary = dir / ("t-" + key);  // unique while the name's lock is held
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << port << '\n';
    out.flush();
    if (!out) return false;
  }
  std::error_code ec;
  for (int attempt = 0; attempt < kRenameAttempts; ++attempt) {
    fs::rename(temporary, EntryPath(dir, key), ec);
    if (!ec || !Transient(ec)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (ec) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
  }
  return !ec;
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
  bool live = VorSocketCheck(probe, 1, kProbeSeconds) ? VorSocketConnectCompleteTcp(probe, 0, 0) == 1
                                                      : VorErrNumGet() == ERR_TIMEOUT;
  VorWinCloseSocket(probe);
  return live;
}

int32_t LocalPort(VorSock sock) {
  sockaddr_in address{};
  int length = sizeof address;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

VorSock RegistryFailure() {
  VorErrNumSetOs(ERROR_ACCESS_DENIED);
  return VOR_INVALID_SOCKET;
}

VorSock ServeName(const std::string& key) {
  fs::path dir;
  if (!RegistryDir(&dir)) return RegistryFailure();
  NameLock lock(dir / ("l-" + key));
  if (!lock.held()) return RegistryFailure();
  int32_t recorded = ReadEntry(EntryPath(dir, key));
  if (recorded != 0 && Listening(recorded)) {
    VorErrNumSet(ERR_EXISTS);
    return VOR_INVALID_SOCKET;
  }
  VorSock server = VorSocketCreateServerTcpEx("127.0.0.1", 0);
  if (server == VOR_INVALID_SOCKET) return server;
  int32_t port = LocalPort(server);
  if (port <= 0) {
    VorErrNumSetSocket(0);
    VorWinCloseSocket(server);
    return VOR_INVALID_SOCKET;
  }
  if (!WriteEntry(dir, key, port)) {
    VorWinCloseSocket(server);
    return RegistryFailure();
  }
  return server;
}

// The loopback port the address stands for; 0 with the error number set when there is none.
int32_t ResolveClient(const char* text) {
  if (text == nullptr) {
    VorErrNumSet(ERR_NULL_PTR);
    return 0;
  }
  Address address = ParseAddress(text);
  if (!address.valid) {
    VorErrNumSet(ERR_VAL_INVALID);
    return 0;
  }
  if (address.key.empty()) {
    if (address.port == 0) VorErrNumSet(ERR_VAL_INVALID);  // no server can be reached on port 0
    return address.port;
  }
  fs::path dir;
  int32_t port = RegistryDir(&dir) ? ReadEntry(EntryPath(dir, address.key)) : 0;
  if (port == 0) VorErrNumSetSocket(WSAECONNREFUSED);  // nobody serves the name
  return port;
}

}  // namespace

extern "C" {

VORUTIL_API VorSock VorSocketCreateServerLocal(const char* address) {
  if (address == nullptr) {
    VorErrNumSet(ERR_NULL_PTR);
    return VOR_INVALID_SOCKET;
  }
  Address parsed = ParseAddress(address);
  if (!parsed.valid) {
    VorErrNumSet(ERR_VAL_INVALID);
    return VOR_INVALID_SOCKET;
  }
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
