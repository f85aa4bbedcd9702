// The file-system and process facts behind the same-host name registry, one implementation per
// platform (chosen by the build): the per-user registry directory, opened once per operation and
// checked on what was opened, never on a path looked at beforehand; its files; a per-name lock
// that the system releases when its holder dies; and the identity of a process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace vorutil::localfs {

// The identity of a process: its number and its start time, so that a number reused by a later
// process is not taken for the one recorded.
struct ProcessIdentity {
  uint64_t pid = 0;
  uint64_t start = 0;
};

ProcessIdentity CurrentProcess();

enum class ProcessState { kRunning, kGone, kUnknown };

ProcessState StateOf(const ProcessIdentity& process);

class RegistryDir;

// An exclusive lock on one name, held until destroyed. A holder that dies loses it at once (the
// system releases it), so no lock is ever stale.
class NameLock {
 public:
  NameLock(const RegistryDir& dir, const std::string& file, double seconds);
  ~NameLock();
  NameLock(const NameLock&) = delete;
  NameLock& operator=(const NameLock&) = delete;
  bool held() const { return held_; }

 private:
  intptr_t handle_ = -1;
  bool held_ = false;
};

// The registry directory (per user, under the temporary folder), created private when missing.
// Opened without following a link; refused unless it is a directory owned by the caller; made
// private (owner only) when it was not. Stays open, so every file below is reached through the
// directory that was checked.
class RegistryDir {
 public:
  explicit RegistryDir(const std::filesystem::path& path);
  ~RegistryDir();
  RegistryDir(const RegistryDir&) = delete;
  RegistryDir& operator=(const RegistryDir&) = delete;
  bool ok() const { return ok_; }

  // The content of a file of the directory, at most limit bytes; false when there is no such
  // regular file owned by the caller.
  bool Read(const std::string& file, std::string* content, size_t limit) const;
  // Replaces the file with content as a whole: written to temporary, then renamed over it.
  bool Replace(const std::string& file, const std::string& temporary,
               const std::string& content) const;

 private:
  friend class NameLock;
  intptr_t handle_ = -1;
  std::filesystem::path path_;  // used only where the platform has no call relative to handle_
  bool ok_ = false;
};

}  // namespace vorutil::localfs
