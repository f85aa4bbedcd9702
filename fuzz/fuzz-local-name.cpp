// Same-host names on arbitrary text, through the exported server and client calls. A name is
// 1 to 64 characters of [A-Za-z0-9._-], not ending in a dot, matched without regard to case; an
// all-digit name is a loopback port up to 65535. Anything else is ERR_VAL_INVALID with no socket
// and no file made. A valid name is served on 127.0.0.1 only, reached by a client under any case,
// and recorded in the registry directory and nowhere else.
//
// The registry lives under a temporary directory of this process's own (TMPDIR), removed at exit.
// All-digit names from 1 to 65535 are checked for acceptance only: serving or connecting to a
// fixed port could meet another program's socket.
#include <sys/stat.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fuzzcheck.h"
#include "vorutil.h"
#include "vorwin.h"

namespace fs = std::filesystem;
using fuzzcheck::Require;

namespace {

fs::path scratch_root;

void RemoveScratch() {
  std::error_code ec;
  fs::remove_all(scratch_root, ec);
}

bool NameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-';
}

// -1 for a text that is no name, the port for an all-digit one, -2 for a plain name.
int64_t Classify(const std::string& text) {
  if (text.empty() || text.size() > 64 || text.back() == '.') return -1;
  bool digits = true;
  for (char c : text) {
    if (!NameChar(c) || static_cast<unsigned char>(c) >= 0x80) return -1;
    digits = digits && c >= '0' && c <= '9';
  }
  if (!digits) return -2;
  int64_t value = 0;
  for (char c : text) {
    value = value * 10 + (c - '0');
    if (value > 65535) return -1;
  }
  return value;
}

std::string SwapCase(std::string text) {
  for (char& c : text) {
    auto u = static_cast<unsigned char>(c);
    c = static_cast<char>(std::islower(u) ? std::toupper(u) : std::tolower(u));
  }
  return text;
}

bool OnLoopback(VorSock sock) {
  char name[256];
  return VorSocketGetNameStr(sock, 1, name) != 0 && std::strncmp(name, "127.0.0.1:", 10) == 0;
}

// The scratch root holds the registry directory only, private to the user, and the directory
// holds only name entries and the names' lock files (no temporary file left behind), none
// writable by others.
void CheckRegistry() {
  int dirs = 0;
  for (const auto& top : fs::directory_iterator(scratch_root)) {
    ++dirs;
    Require(top.is_directory(), "something other than the registry beside it");
    struct stat info {};
    Require(stat(top.path().c_str(), &info) == 0 && (info.st_mode & 077) == 0,
            "registry directory open to others");
    for (const auto& entry : fs::directory_iterator(top.path())) {
      std::string file = entry.path().filename().string();
      Require(file.rfind("n-", 0) == 0 || file.rfind("k-", 0) == 0,
              "temporary file left in the registry");
      Require(stat(entry.path().c_str(), &info) == 0 && (info.st_mode & 022) == 0,
              "registry entry writable by others");
    }
  }
  Require(dirs <= 1, "more than one registry directory");
}

void CheckServedName(const std::string& text) {
  VorSock server = VorSocketCreateServerLocal(text.c_str());
  Require(server != VOR_INVALID_SOCKET, "valid name not served");
  Require(OnLoopback(server), "same-host server not on 127.0.0.1");
  VorSock client = VorSocketConnectBeginLocal(SwapCase(text).c_str());
  Require(client != VOR_INVALID_SOCKET, "served name not found under another case");
  Require(VorSocketCheck(server, 0, 5.0) != 0, "no connection reached the server");
  VorSock accepted = VorSocketAccept(server);
  Require(accepted != VOR_INVALID_SOCKET, "connection not accepted");
  VorWinCloseSocket(accepted);
  VorWinCloseSocket(client);
  VorWinCloseSocket(server);
}

void CheckPortZero(const std::string& text) {
  VorSock server = VorSocketCreateServerLocal(text.c_str());
  Require(server != VOR_INVALID_SOCKET, "port 0 not served");
  Require(OnLoopback(server), "same-host server not on 127.0.0.1");
  VorWinCloseSocket(server);
  Require(VorSocketConnectBeginLocal(text.c_str()) == VOR_INVALID_SOCKET &&
              VorErrNumGet() == ERR_VAL_INVALID,
          "client of port 0 not refused");
}

void CheckRefused(const std::string& text) {
  Require(VorSocketCreateServerLocal(text.c_str()) == VOR_INVALID_SOCKET &&
              VorErrNumGet() == ERR_VAL_INVALID,
          "invalid name served");
  Require(VorSocketCreateClientLocal(text.c_str()) == VOR_INVALID_SOCKET &&
              VorErrNumGet() == ERR_VAL_INVALID,
          "invalid name accepted by a client");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/vor-fuzz-local-XXXXXX";
  Require(mkdtemp(pattern) != nullptr, "no scratch directory");
  scratch_root = pattern;
  setenv("TMPDIR", pattern, 1);
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data),
                   strnlen(reinterpret_cast<const char*>(data), size));
  int32_t blocks = VorMemBlockCount();
  int64_t kind = Classify(text);
  if (kind == -1) {
    CheckRefused(text);
  } else if (kind == -2) {
    CheckServedName(text);
  } else if (kind == 0) {
    CheckPortZero(text);
  }
  CheckRegistry();
  Require(VorMemBlockCount() == blocks, "blocks left over");
  return 0;
}
