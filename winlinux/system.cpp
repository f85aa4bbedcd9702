// Host facilities: the computer and user names.
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "standin.h"

namespace vorwin {

using standin::Fail;
using standin::Succeed;

namespace {

constexpr DWORD kMaxComputerNameLength = 15;  // the NetBIOS limit

// Copies text with its terminating zero when it fits into *size bytes.
bool CopyOut(const char* text, DWORD length, LPSTR buffer, LPDWORD size) {
  if (*size < length + 1) {
    *size = length + 1;
    return false;
  }
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return true;
}

}  // namespace

// Like Windows this gives the short name in upper case, cut at the first dot and at 15
// characters; *size receives the length without the zero, or the size needed with it.
BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
  if (buffer == nullptr || size == nullptr) return Fail(FALSE, ERROR_INVALID_PARAMETER);
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return Fail(FALSE, ERROR_GEN_FAILURE);
  DWORD length = 0;
  while (host[length] != '\0' && host[length] != '.' && length < kMaxComputerNameLength) {
    host[length] = static_cast<char>(std::toupper(static_cast<unsigned char>(host[length])));
    ++length;
  }
  if (!CopyOut(host, length, buffer, size)) return Fail(FALSE, ERROR_BUFFER_OVERFLOW);
  *size = length;
  return Succeed(TRUE);
}

// *size receives the length with the terminating zero, on success and when it does not fit.
BOOL GetUserNameA(LPSTR buffer, LPDWORD size) {
  if (size == nullptr) return Fail(FALSE, ERROR_INVALID_PARAMETER);
  passwd entry{};
  passwd* found = nullptr;
  char scratch[1024];
  if (::getpwuid_r(::geteuid(), &entry, scratch, sizeof scratch, &found) != 0 || found == nullptr) {
    return Fail(FALSE, ERROR_GEN_FAILURE);
  }
  const auto length = static_cast<DWORD>(std::strlen(found->pw_name));
  if (buffer == nullptr || !CopyOut(found->pw_name, length, buffer, size)) {
    *size = length + 1;
    return Fail(FALSE, ERROR_INSUFFICIENT_BUFFER);
  }
  *size = length + 1;
  return Succeed(TRUE);
}

}  // namespace vorwin
