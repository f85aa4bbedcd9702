// The registry's file-system and process facts on Linux: every file is reached relative to the
// directory descriptor that was checked (openat and its kin), links are never followed, and a
// name's lock is an flock on a file of its own.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "vulocalfs.h"

namespace vorutil::localfs {

namespace {

int Descriptor(intptr_t handle) { return static_cast<int>(handle); }

bool OwnedByCaller(const struct stat& info) { return info.st_uid == geteuid(); }

// The start time of a process in clock ticks since boot (field 22 of /proc/<pid>/stat); 0 when
// the process does not exist.
uint64_t StartTicks(uint64_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  size_t end_of_name = line.rfind(')');  // the name may hold spaces and parentheses
  if (end_of_name == std::string::npos) return 0;
  std::istringstream fields(line.substr(end_of_name + 1));
  std::string field;
  for (int index = 3; index < 22 && fields >> field; ++index) {
  }
  uint64_t start = 0;
  return fields >> start ? start : 0;
}

}  // namespace

ProcessIdentity CurrentProcess() {
  const auto pid = static_cast<uint64_t>(getpid());
  return {pid, StartTicks(pid)};
}

ProcessState StateOf(const ProcessIdentity& process) {
  if (process.start == 0) return ProcessState::kUnknown;
  const uint64_t start = StartTicks(process.pid);
  return start == process.start ? ProcessState::kRunning : ProcessState::kGone;
}

RegistryDir::RegistryDir(const std::filesystem::path& path) : path_(path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;  // a link or no directory: refused
  handle_ = fd;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || !OwnedByCaller(info)) return;
  if ((info.st_mode & 077) != 0 && fchmod(fd, 0700) != 0) return;
  ok_ = true;
}

RegistryDir::~RegistryDir() {
  if (handle_ >= 0) close(Descriptor(handle_));
}

bool RegistryDir::Read(const std::string& file, std::string* content, size_t limit) const {
  const int fd = openat(Descriptor(handle_), file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && OwnedByCaller(info);
  content->assign(limit, '\0');
  const ssize_t got = ok ? read(fd, content->data(), limit) : -1;
  close(fd);
  content->resize(got > 0 ? static_cast<size_t>(got) : 0);
  return got >= 0;
}

bool RegistryDir::Replace(const std::string& file, const std::string& temporary,
                          const std::string& content) const {
  const int dir = Descriptor(handle_);
  unlinkat(dir, temporary.c_str(), 0);  // left by a writer that died; ours while the lock is held
  const int fd =
      openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written =
      write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  const bool closed = close(fd) == 0;
  if (written && closed && renameat(dir, temporary.c_str(), dir, file.c_str()) == 0) return true;
  unlinkat(dir, temporary.c_str(), 0);
  return false;
}

NameLock::NameLock(const RegistryDir& dir, const std::string& file, double seconds) {
  const int fd = openat(Descriptor(dir.handle_), file.c_str(),
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  handle_ = fd;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !OwnedByCaller(info)) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      held_ = true;
      return;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return;
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

NameLock::~NameLock() {
  if (handle_ >= 0) close(Descriptor(handle_));  // releases the lock
}

}  // namespace vorutil::localfs
