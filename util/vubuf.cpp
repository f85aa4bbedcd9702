// Buffers: the record and its bytes in one block of the tracking allocator, the bytes starting at
// a 16-byte boundary of the block so that aligned areas need no padding for the usual alignments.
#include <cstdint>
#include <cstring>

#include "vorutil.h"
#include "vufail.h"

using vor::Fail;

namespace {

constexpr size_t kDataOffset = (sizeof(Buffer) + 15) & ~size_t{15};

bool OffsetsValid(const Buffer* b) {
  return b->read_offset >= 0 && b->read_offset <= b->write_offset && b->write_offset <= b->capacity;
}

bool IsPowerOfTwo(int32_t n) { return n > 0 && (n & (n - 1)) == 0; }

}  // namespace

extern "C" {

VORUTIL_API Buffer* VorBufCreate(int32_t capacity) {
  if (capacity < 0) return Fail<Buffer*>(ERR_VAL_RANGE);
  auto* block = static_cast<char*>(
      VorMallocCheck(kDataOffset + static_cast<size_t>(capacity), "buffer", "vubuf", __LINE__));
  auto* buffer = reinterpret_cast<Buffer*>(block);
  *buffer = Buffer{block + kDataOffset, 0, 0, capacity};
  return buffer;
}

VORUTIL_API int32_t VorBufDestroy(Buffer* buffer) {
  if (buffer == nullptr) return Fail(ERR_NULL_PTR);
  VorFreeCheck(buffer, "buffer", "vubuf", __LINE__);
  return 1;
}

VORUTIL_API void* VorBufAllocAligned(Buffer* buffer, int32_t n, int32_t align) {
  if (buffer == nullptr) return Fail<void*>(ERR_NULL_PTR);
  if (!IsPowerOfTwo(align) || !OffsetsValid(buffer)) return Fail<void*>(ERR_VAL_INVALID);
  if (n < 0) return Fail<void*>(ERR_VAL_RANGE);
  uintptr_t base = reinterpret_cast<uintptr_t>(buffer->data);
  uintptr_t mask = static_cast<uintptr_t>(align) - 1;
  uintptr_t start = (base + static_cast<uintptr_t>(buffer->write_offset) + mask) & ~mask;
  int64_t start_offset = static_cast<int64_t>(start - base);
  if (start_offset + n > buffer->capacity) return Fail<void*>(ERR_VAL_RANGE);
  buffer->write_offset = static_cast<int32_t>(start_offset + n);
  return buffer->data + start_offset;
}

VORUTIL_API int32_t VorBufCompact(Buffer* buffer) {
  if (buffer == nullptr) return Fail(ERR_NULL_PTR);
  if (!OffsetsValid(buffer)) return Fail(ERR_VAL_INVALID);
  int32_t unread = buffer->write_offset - buffer->read_offset;
  if (buffer->read_offset > 0 && unread > 0)
    std::memmove(buffer->data, buffer->data + buffer->read_offset, static_cast<size_t>(unread));
  buffer->read_offset = 0;
  buffer->write_offset = unread;
  return 1;
}

VORUTIL_API int32_t VorBufReset(Buffer* buffer) {
  if (buffer == nullptr) return Fail(ERR_NULL_PTR);
  buffer->read_offset = 0;
  buffer->write_offset = 0;
  return 1;
}

}  // extern "C"
