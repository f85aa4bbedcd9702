// The registry's file-system and process facts on Windows. The directory is held open without
// delete sharing while an operation runs, so it cannot be renamed or replaced under the paths
// used below it; links (reparse points) are never followed; a name's lock is a file opened
// without sharing.
#include <aclapi.h>

#include <chrono>
#include <thread>

#include "vorwin.h"
#include "vulocalfs.h"

namespace vorutil::localfs {

namespace {

HANDLE HandleOf(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

constexpr DWORD kNoLinks = FILE_FLAG_OPEN_REPARSE_POINT;

uint64_t FileTimeValue(const FILETIME& time) {
  return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

// The token facts of this process: its user, and the owner it gives new objects (for an elevated
// administrator that is the Administrators group, not the user).
class ProcessToken {
 public:
  ProcessToken() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, user_, sizeof user_, &size) &&
        GetTokenInformation(token, TokenOwner, owner_, sizeof owner_, &size)) {
      ok_ = true;
    }
    CloseHandle(token);
  }
  bool ok() const { return ok_; }
  PSID user() const { return reinterpret_cast<const TOKEN_USER*>(user_)->User.Sid; }
  PSID owner() const { return reinterpret_cast<const TOKEN_OWNER*>(owner_)->Owner; }

 private:
  alignas(8) unsigned char user_[256] = {};
  alignas(8) unsigned char owner_[256] = {};
  bool ok_ = false;
};

bool OwnedByCaller(HANDLE file, const ProcessToken& token) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool ours = EqualSid(owner, token.user()) || EqualSid(owner, token.owner());
  LocalFree(descriptor);
  return ours;
}

// Whether every entry of the directory's access list that grants something grants it to the
// caller.
bool Private(HANDLE dir, const ProcessToken& token) {
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(dir, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool only_caller = acl != nullptr;  // a missing list lets everyone in
  for (DWORD i = 0; only_caller && i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) {
      only_caller = false;
      break;
    }
    auto* header = static_cast<ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    only_caller = EqualSid(sid, token.user()) || EqualSid(sid, token.owner());
  }
  LocalFree(descriptor);
  return only_caller;
}

// Owner only: one entry granting the user everything, inherited by what is made inside, and
// nothing inherited from the folder above.
bool MakePrivate(HANDLE dir, const ProcessToken& token) {
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName = static_cast<LPWSTR>(token.user());
  PACL acl = nullptr;
  if (SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS) return false;
  const DWORD result = SetSecurityInfo(
      dir, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
      nullptr, acl, nullptr);
  LocalFree(acl);
  return result == ERROR_SUCCESS;
}

bool PlainDirectory(HANDLE dir) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(dir, &info) &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool PlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  return GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// A file or directory being removed or replaced by another thread refuses to be opened for a
// moment; such a refusal is worth another try.
bool Transient(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

constexpr int kTransientAttempts = 200;  // 1 ms apart

}  // namespace

ProcessIdentity CurrentProcess() {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return {GetCurrentProcessId(), FileTimeValue(created)};
}

ProcessState StateOf(const ProcessIdentity& process) {
  if (process.start == 0) return ProcessState::kUnknown;
  HANDLE handle =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(process.pid));
  if (handle == nullptr) {
    return GetLastError() == ERROR_INVALID_PARAMETER ? ProcessState::kGone : ProcessState::kUnknown;
  }
  FILETIME created{}, exited{}, kernel{}, user{};
  DWORD code = 0;
  ProcessState state = ProcessState::kUnknown;
  if (GetProcessTimes(handle, &created, &exited, &kernel, &user) &&
      GetExitCodeProcess(handle, &code)) {
    const bool same = FileTimeValue(created) == process.start;
    state = same && code == STILL_ACTIVE ? ProcessState::kRunning : ProcessState::kGone;
  }
  CloseHandle(handle);
  return state;
}

RegistryDir::RegistryDir(const std::filesystem::path& path) : path_(path) {
  const ProcessToken token;
  if (!token.ok()) return;
  const bool made = CreateDirectoryW(path.c_str(), nullptr) != 0;
  if (!made && GetLastError() != ERROR_ALREADY_EXISTS) return;
  HANDLE dir = CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | FILE_LIST_DIRECTORY,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | kNoLinks, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return;
  handle_ = reinterpret_cast<intptr_t>(dir);
  ok_ = PlainDirectory(dir) && OwnedByCaller(dir, token) &&
        (Private(dir, token) || MakePrivate(dir, token));
}

RegistryDir::~RegistryDir() {
  if (handle_ != -1) CloseHandle(HandleOf(handle_));
}

bool RegistryDir::Read(const std::string& file, std::string* content, size_t limit) const {
  const std::filesystem::path full = path_ / file;
  HANDLE handle = CreateFileW(full.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, kNoLinks, nullptr);
  for (int attempt = 0;
       handle == INVALID_HANDLE_VALUE && Transient(GetLastError()) && attempt < kTransientAttempts;
       ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    handle = CreateFileW(full.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, kNoLinks, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) return false;
  content->assign(limit, '\0');
  DWORD got = 0;
  const bool ok = PlainFile(handle) &&
                  ReadFile(handle, content->data(), static_cast<DWORD>(limit), &got, nullptr);
  CloseHandle(handle);
  content->resize(ok ? got : 0);
  return ok;
}

bool RegistryDir::Replace(const std::string& file, const std::string& temporary,
                          const std::string& content) const {
  const std::filesystem::path from = path_ / temporary;
  const std::filesystem::path to = path_ / file;
  HANDLE handle = CreateFileW(from.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | kNoLinks, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
      written == content.size();
  CloseHandle(handle);
  bool moved = false;
  for (int attempt = 0; ok && !moved && attempt < kTransientAttempts; ++attempt) {
    moved = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (!moved && !Transient(GetLastError())) break;
    if (!moved) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!moved) DeleteFileW(from.c_str());
  return moved;
}

NameLock::NameLock(const RegistryDir& dir, const std::string& file, double seconds) {
  const std::filesystem::path full = dir.path_ / file;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    HANDLE handle = CreateFileW(full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | kNoLinks, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(handle);
      held_ = PlainFile(handle);
      return;
    }
    if (!Transient(GetLastError()) || std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

NameLock::~NameLock() {
  if (handle_ != -1) CloseHandle(HandleOf(handle_));  // releases the lock
}

}  // namespace vorutil::localfs
