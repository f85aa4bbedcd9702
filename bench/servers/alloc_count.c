/* Counts calls to the system allocator (see alloc_count.h). On Linux with glibc this file, linked
 * into an executable, defines malloc and its kin: an executable's definitions take the place of
 * glibc's for the whole process, shared libraries and glibc itself included, and these count the
 * call and forward to glibc's own allocator (__libc_malloc and friends). The counters are relaxed
 * atomics: a call costs one atomic add besides the allocation itself. valloc and pvalloc are left
 * to glibc (uncounted; nothing here uses them). */
#include "alloc_count.h"

#include <string.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#  define VOR_ALLOC_COUNTING 0 /* the sanitizer runtime owns malloc */
#elif defined(__linux__) && defined(__GLIBC__)
#  define VOR_ALLOC_COUNTING 1
#else
#  define VOR_ALLOC_COUNTING 0
#endif

#if VOR_ALLOC_COUNTING
#  include <errno.h>
#  include <stdatomic.h>
#  include <stddef.h>
#  include <stdint.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* block);

static atomic_ullong alloc_calls;
static atomic_ullong alloc_frees;

static void count_call(void) { atomic_fetch_add_explicit(&alloc_calls, 1, memory_order_relaxed); }

/* Exported even where the build hides symbols by default: the libraries must bind to these. */
#  pragma GCC visibility push(default)

void* malloc(size_t size) {
  count_call();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  count_call();
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  count_call();
  return __libc_realloc(block, size);
}

void free(void* block) {
  if (block) atomic_fetch_add_explicit(&alloc_frees, 1, memory_order_relaxed);
  __libc_free(block);
}

void* memalign(size_t alignment, size_t size) {
  count_call();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  count_call();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  count_call();
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* block = __libc_memalign(alignment, size);
  if (!block) return ENOMEM;
  *out = block;
  return 0;
}

#  pragma GCC visibility pop

int alloc_counts_read(AllocCounts* out) {
  out->calls = atomic_load_explicit(&alloc_calls, memory_order_relaxed);
  out->frees = atomic_load_explicit(&alloc_frees, memory_order_relaxed);
  return 1;
}
#else
int alloc_counts_read(AllocCounts* out) {
  (void)out;
  return 0;
}
#endif

int alloc_is_mark(const char* line) {
  return strncmp(line, "mark", 4) == 0 && (line[4] == '\0' || line[4] == '\n' || line[4] == '\r');
}

void alloc_print_mark(FILE* out, long long blocks) {
  AllocCounts counts;
  const int counted = alloc_counts_read(&counts); /* read first: printing may allocate */
  fputs("alloc mark", out);
  if (counted) fprintf(out, " calls=%llu frees=%llu", counts.calls, counts.frees);
  if (blocks >= 0) fprintf(out, " blocks=%lld", blocks);
  fputc('\n', out);
  fflush(out);
}
