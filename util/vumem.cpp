// Tracking allocator. Every block carries a header (magic word, size, tag, file, line) in front
// of the caller's bytes, and its address is kept in a registry of live blocks. A free looks the
// pointer up in the registry before touching the header, so a foreign pointer or a second free is
// reported and counted instead of reaching the system allocator. The registry is split into
// shards, each with its own small lock, and no lock is held across the block's own malloc or
// free (a shard's lock covers only its rare growth).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "vorutil.h"

namespace {

constexpr uint32_t kLiveMagic = 0x564f524du;  // "VORM"
constexpr uint32_t kFreedMagic = 0x64656164u;  // written on free, so a stale header reads "dead"

struct BlockHeader {
  uint32_t magic;
  uint32_t size_low;  // size, enough for reports; blocks above 4 GiB report modulo 2^32
  const char* tag;
  const char* file;
  int32_t line;
};

// The caller's bytes start this far into the block, keeping the system allocator's alignment.
constexpr size_t kHeaderSize = 32;
static_assert(sizeof(BlockHeader) <= kHeaderSize);
static_assert(kHeaderSize % alignof(std::max_align_t) == 0);

std::atomic<int32_t> live_blocks{0};
std::atomic<int32_t> bad_frees{0};

// One shard of the registry: an open-addressing set of user pointers with linear probing and
// backward-shift deletion (no tombstones, so lookups stay short).
class PointerSet {
 public:
  // Returns false when the pointer is already present.
  bool Insert(uintptr_t key) {
    if ((count_ + 1) * 2 > capacity_) Grow();
    size_t i = Slot(key);
    while (slots_[i] != 0) {
      if (slots_[i] == key) return false;
      i = (i + 1) & (capacity_ - 1);
    }
    slots_[i] = key;
    ++count_;
    return true;
  }

  // Returns false when the pointer is absent.
  bool Erase(uintptr_t key) {
    if (capacity_ == 0) return false;
    size_t i = Slot(key);
    while (slots_[i] != key) {
      if (slots_[i] == 0) return false;
      i = (i + 1) & (capacity_ - 1);
    }
    // Shift later members of the probe run back so no gap breaks their runs.
    size_t hole = i;
    for (size_t j = (i + 1) & (capacity_ - 1); slots_[j] != 0; j = (j + 1) & (capacity_ - 1)) {
      size_t home = Slot(slots_[j]);
      bool movable = (hole <= j) ? (home <= hole || home > j) : (home <= hole && home > j);
      if (movable) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = 0;
    --count_;
    return true;
  }

  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (size_t i = 0; i < capacity_; ++i)
      if (slots_[i] != 0) fn(slots_[i]);
  }

 private:
  size_t Slot(uintptr_t key) const {
    // Blocks are at least 8-byte aligned: drop the low bits, then scramble.
    uint64_t h = static_cast<uint64_t>(key >> 3) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 32) & (capacity_ - 1);
  }

  void Grow() {
    size_t old_capacity = capacity_;
    uintptr_t* old_slots = slots_;
    capacity_ = old_capacity ? old_capacity * 2 : 64;
    slots_ = static_cast<uintptr_t*>(std::calloc(capacity_, sizeof(uintptr_t)));
    if (slots_ == nullptr) {
      std::fprintf(stderr, "vorutil: out of memory for the block registry\n");
      std::abort();
    }
    count_ = 0;
    for (size_t i = 0; i < old_capacity; ++i)
      if (old_slots[i] != 0) Insert(old_slots[i]);
    std::free(old_slots);
  }

  uintptr_t* slots_ = nullptr;
  size_t capacity_ = 0;
  size_t count_ = 0;
};

struct Shard {
  std::mutex lock;
  PointerSet members;
};

constexpr size_t kShardCount = 16;

Shard& ShardOf(uintptr_t key) {
  // Never destroyed: blocks may be freed by static destructors of the host after ours ran.
  static Shard* shards = new Shard[kShardCount];
  return shards[(key >> 5) % kShardCount];
}

BlockHeader* HeaderOf(void* user) {
  return reinterpret_cast<BlockHeader*>(static_cast<char*>(user) - kHeaderSize);
}

const char* OrNone(const char* text) { return text ? text : "(none)"; }

[[noreturn]] void OutOfMemory(size_t size, const char* tag, const char* file, int32_t line) {
  std::fprintf(stderr, "vorutil: out of memory allocating %zu bytes for \"%s\" (%s:%d)\n", size,
               OrNone(tag), OrNone(file), static_cast<int>(line));
  std::abort();
}

void* Register(void* raw, size_t size, const char* tag, const char* file, int32_t line) {
  auto* header = static_cast<BlockHeader*>(raw);
  header->magic = kLiveMagic;
  header->size_low = static_cast<uint32_t>(size);
  header->tag = tag;
  header->file = file;
  header->line = line;
  void* user = static_cast<char*>(raw) + kHeaderSize;
  auto key = reinterpret_cast<uintptr_t>(user);
  Shard& shard = ShardOf(key);
  {
    std::lock_guard<std::mutex> hold(shard.lock);
    shard.members.Insert(key);
  }
  live_blocks.fetch_add(1, std::memory_order_relaxed);
  return user;
}

void* Allocate(size_t size, bool zeroed, const char* tag, const char* file, int32_t line) {
  if (size > SIZE_MAX - kHeaderSize) OutOfMemory(size, tag, file, line);
  void* raw = zeroed ? std::calloc(1, kHeaderSize + size) : std::malloc(kHeaderSize + size);
  if (raw == nullptr) OutOfMemory(size, tag, file, line);
  return Register(raw, size, tag, file, line);
}

void ReportBadFree(void* ptr, const char* tag, const char* file, int32_t line) {
  bad_frees.fetch_add(1, std::memory_order_relaxed);
  std::fprintf(stderr,
               "vorutil: free of %p (\"%s\", %s:%d) ignored: not a live block of this allocator "
               "(never allocated here, or already freed)\n",
               ptr, OrNone(tag), OrNone(file), static_cast<int>(line));
}

}  // namespace

extern "C" {

VORUTIL_API void* VorMallocCheck(size_t size, const char* tag, const char* file, int32_t line) {
  return Allocate(size, false, tag, file, line);
}

VORUTIL_API void* VorCallocCheck(size_t size, const char* tag, const char* file, int32_t line) {
  return Allocate(size, true, tag, file, line);
}

VORUTIL_API void VorFreeCheck(void* ptr, const char* tag, const char* file, int32_t line) {
  if (ptr == nullptr) return;
  auto key = reinterpret_cast<uintptr_t>(ptr);
  Shard& shard = ShardOf(key);
  bool was_live;
  {
    std::lock_guard<std::mutex> hold(shard.lock);
    was_live = shard.members.Erase(key);
  }
  if (!was_live) {
    ReportBadFree(ptr, tag, file, line);
    return;
  }
  BlockHeader* header = HeaderOf(ptr);
  if (header->magic != kLiveMagic) {
    // Registered yet overwritten in front: the caller wrote below its block. Report, and still
    // release it, since the registry proves the address came from this allocator.
    std::fprintf(stderr, "vorutil: header of block %p (freed as \"%s\", %s:%d) was overwritten\n",
                 ptr, OrNone(tag), OrNone(file), static_cast<int>(line));
  }
  header->magic = kFreedMagic;
  live_blocks.fetch_sub(1, std::memory_order_relaxed);
  std::free(header);
}

VORUTIL_API int32_t VorMemBlockCount(void) { return live_blocks.load(std::memory_order_relaxed); }

VORUTIL_API int32_t VorMemBadFreeCount(void) { return bad_frees.load(std::memory_order_relaxed); }

VORUTIL_API int32_t VorMemReport(void) {
  int32_t listed = 0;
  for (size_t s = 0; s < kShardCount; ++s) {
    Shard& shard = ShardOf(s << 5);
    std::lock_guard<std::mutex> hold(shard.lock);
    shard.members.ForEach([&listed](uintptr_t key) {
      const BlockHeader* header = HeaderOf(reinterpret_cast<void*>(key));
      std::fprintf(stderr, "vorutil: live block %p: %u bytes, \"%s\", %s:%d\n",
                   reinterpret_cast<void*>(key), static_cast<unsigned>(header->size_low),
                   OrNone(header->tag), OrNone(header->file), static_cast<int>(header->line));
      ++listed;
    });
  }
  return listed;
}

}  // extern "C"
