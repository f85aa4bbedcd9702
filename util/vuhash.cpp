// Hash tables with case-blind string keys. Keys are not copied; each entry holds the caller's key
// pointer. Chained buckets, a power of two of them, doubled when the table is fuller than one
// entry per bucket. A table carries no lock: its users serialise access.
#include <cstdint>
#include <cstring>

#include "vorutil.h"
#include "vufail.h"
#include "vutext.h"

using vor::Fail;

namespace {

struct Entry {
  Entry* next;
  const char* key;
  void* value;
};

constexpr int32_t kMinBuckets = 4;
constexpr int32_t kMaxBuckets = 1 << 24;

// FNV-1a over the lower-cased bytes, so keys differing only in ASCII case share a bucket.
uint32_t HashKey(const char* key) {
  uint32_t h = 2166136261u;
  for (auto* p = reinterpret_cast<const unsigned char*>(key); *p; ++p)
    h = (h ^ vor::AsciiLower(*p)) * 16777619u;
  return h;
}

}  // namespace

struct VorHash {
  Entry** buckets;
  int32_t bucket_count;  // a power of two
  int32_t count;
};

namespace {

Entry** BucketOf(VorHash* table, const char* key) {
  return &table->buckets[HashKey(key) & static_cast<uint32_t>(table->bucket_count - 1)];
}

// The link that points at the key's entry, or at the null ending its chain.
Entry** FindLink(VorHash* table, const char* key) {
  Entry** link = BucketOf(table, key);
  while (*link != nullptr && VorStrCmpi((*link)->key, key) != 0) link = &(*link)->next;
  return link;
}

Entry** NewBuckets(int32_t count) {
  return static_cast<Entry**>(
      VorCallocCheck(sizeof(Entry*) * count, "hash->buckets", "vuhash", __LINE__));
}

void Grow(VorHash* table) {
  if (table->bucket_count >= kMaxBuckets) return;
  Entry** old = table->buckets;
  int32_t old_count = table->bucket_count;
  table->bucket_count = old_count * 2;
  table->buckets = NewBuckets(table->bucket_count);
  for (int32_t i = 0; i < old_count; ++i) {
    for (Entry* e = old[i]; e != nullptr;) {
      Entry* next = e->next;
      Entry** bucket = BucketOf(table, e->key);
      e->next = *bucket;
      *bucket = e;
      e = next;
    }
  }
  VorFreeCheck(old, "hash->buckets", "vuhash", __LINE__);
}

bool TableAndKeyGiven(const VorHash* table, const char* key) {
  return (table != nullptr && key != nullptr) || Fail<bool>(ERR_NULL_PTR);
}

}  // namespace

extern "C" {

// size_hint: the number of entries expected; the table grows past it as needed.
VORUTIL_API VorHash* VorHashCreateStri(int32_t size_hint) {
  if (size_hint < 0) return Fail<VorHash*>(ERR_VAL_RANGE);
  int32_t buckets = kMinBuckets;
  while (buckets < size_hint && buckets < kMaxBuckets) buckets *= 2;
  auto* table = static_cast<VorHash*>(VorMallocCheck(sizeof(VorHash), "hash", "vuhash", __LINE__));
  table->buckets = NewBuckets(buckets);
  table->bucket_count = buckets;
  table->count = 0;
  return table;
}

// Frees the table and its entries; keys and values belong to the caller.
VORUTIL_API int32_t VorHashDestroy(VorHash* table) {
  if (table == nullptr) return Fail(ERR_NULL_PTR);
  for (int32_t i = 0; i < table->bucket_count; ++i) {
    for (Entry* e = table->buckets[i]; e != nullptr;) {
      Entry* next = e->next;
      VorFreeCheck(e, "hash->entry", "vuhash", __LINE__);
      e = next;
    }
  }
  VorFreeCheck(table->buckets, "hash->buckets", "vuhash", __LINE__);
  VorFreeCheck(table, "hash", "vuhash", __LINE__);
  return 1;
}

VORUTIL_API int32_t VorHashInsert(VorHash* table, const char* key, void* value) {
  if (!TableAndKeyGiven(table, key)) return 0;
  Entry** link = FindLink(table, key);
  if (*link != nullptr) return Fail(ERR_EXISTS);
  auto* entry =
      static_cast<Entry*>(VorMallocCheck(sizeof(Entry), "hash->entry", "vuhash", __LINE__));
  *entry = Entry{nullptr, key, value};
  *link = entry;
  if (++table->count > table->bucket_count) Grow(table);
  return 1;
}

VORUTIL_API void* VorHashLookup(VorHash* table, const char* key) {
  if (!TableAndKeyGiven(table, key)) return nullptr;
  Entry* entry = *FindLink(table, key);
  return entry ? entry->value : nullptr;
}

VORUTIL_API int32_t VorHashDelete(VorHash* table, const char* key) {
  if (!TableAndKeyGiven(table, key)) return 0;
  Entry** link = FindLink(table, key);
  Entry* entry = *link;
  if (entry == nullptr) return 0;
  *link = entry->next;
  VorFreeCheck(entry, "hash->entry", "vuhash", __LINE__);
  --table->count;
  return 1;
}

VORUTIL_API int32_t VorHashCount(VorHash* table) {
  if (table == nullptr) return Fail(ERR_NULL_PTR);
  return table->count;
}

// The callback may delete the entry it is given (and no other); it must not insert. The table
// does not grow during a walk, since only an insert grows it.
VORUTIL_API int32_t VorHashTraverse(VorHash* table, VorHashTraverseFn fn, void* arg) {
  if (table == nullptr || fn == nullptr) return Fail(ERR_NULL_PTR);
  for (int32_t i = 0; i < table->bucket_count; ++i) {
    for (Entry* e = table->buckets[i]; e != nullptr;) {
      Entry* next = e->next;
      if (int32_t stop = fn(e->key, e->value, arg)) return stop;
      e = next;
    }
  }
  return 1;
}

}  // extern "C"
