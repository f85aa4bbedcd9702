// Checks the benchmark servers' allocation counting (servers/alloc_count.c): that every way a
// process reaches the system allocator moves the counters (the executable's own calls, C++ new,
// glibc's internal calls, a shared library's calls), that nothing else does, and the mark
// command's reading and line. bench/run.sh runs it before the echo cells and trusts the servers'
// counts only when it passes. Prints one line per failed check; exit status 0 when all pass.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "servers/alloc_count.h"
#include "vorutil.h"

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (ok) return;
  std::printf("alloc_count_check: FAILED: %s\n", what);
  ++failures;
}

// Called through volatile pointers, so that the compiler cannot pair and remove the calls.
void* (*volatile call_malloc)(size_t) = std::malloc;
void* (*volatile call_calloc)(size_t, size_t) = std::calloc;
void* (*volatile call_realloc)(void*, size_t) = std::realloc;
void (*volatile call_free)(void*) = std::free;
char* (*volatile call_strdup)(const char*) = strdup;

AllocCounts read_counts() {
  AllocCounts counts{};
  alloc_counts_read(&counts);
  return counts;
}

// Runs step and checks how far it moved the counters.
template <typename Step>
void expect_moves(const char* what, unsigned long long calls, unsigned long long frees, Step step) {
  const AllocCounts before = read_counts();
  step();
  const AllocCounts after = read_counts();
  if (after.calls - before.calls == calls && after.frees - before.frees == frees) return;
  std::printf(
      "alloc_count_check: FAILED: %s: calls moved %llu (want %llu), frees %llu (want %llu)\n", what,
      after.calls - before.calls, calls, after.frees - before.frees, frees);
  ++failures;
}

void check_counting() {
  expect_moves("malloc then free", 1, 1, [] { call_free(call_malloc(24)); });
  expect_moves("calloc then free", 1, 1, [] { call_free(call_calloc(3, 8)); });
  expect_moves("realloc of null, a grow, then free", 2, 1,
               [] { call_free(call_realloc(call_realloc(nullptr, 8), 4096)); });
  expect_moves("free of null", 0, 0, [] { call_free(nullptr); });
  // The pointers pass through volatile storage: a new-delete pair may otherwise be left out.
  expect_moves("C++ new and delete", 1, 1, [] {
    long* volatile numbers = new long[16];
    delete[] numbers;
  });
  expect_moves("aligned C++ new and delete", 1, 1, [] {
    struct alignas(128) Line {
      char bytes[128];
    };
    Line* volatile line = new Line;
    delete line;
  });
  expect_moves("aligned_alloc", 1, 1, [] { call_free(aligned_alloc(64, 256)); });
  expect_moves("posix_memalign", 1, 1, [] {
    void* block = nullptr;
    if (posix_memalign(&block, 64, 256) == 0) call_free(block);
  });
  expect_moves("strdup (glibc's own call)", 1, 1,
               [] { call_free(call_strdup("counted inside glibc")); });
  // The tracking allocator in libvorutil: a shared library's calls reach the same counters.
  const AllocCounts before = read_counts();
  void* block = VorMallocCheck(40, "check", __FILE__, __LINE__);
  const AllocCounts allocated = read_counts();
  VorFreeCheck(block, "check", __FILE__, __LINE__);
  const AllocCounts freed = read_counts();
  expect(allocated.calls > before.calls, "VorMallocCheck in libvorutil reaches the counted malloc");
  expect(freed.frees > allocated.frees, "VorFreeCheck in libvorutil reaches the counted free");
  expect(VorMemBlockCount() == 0, "the tracking allocator holds no blocks at the end");
}

void check_mark_lines() {
  expect(alloc_is_mark("mark\n") && alloc_is_mark("mark\r\n") && alloc_is_mark("mark"),
         "a mark line is the mark");
  expect(!alloc_is_mark("marks\n") && !alloc_is_mark("mar") && !alloc_is_mark("") &&
             !alloc_is_mark(" mark\n"),
         "other lines are not the mark");

  std::FILE* out = std::tmpfile();
  if (!out) {
    expect(false, "tmpfile for the mark lines");
    return;
  }
  const AllocCounts at = read_counts();
  alloc_print_mark(out, 7);
  alloc_print_mark(out, -1);
  std::rewind(out);
  char with_blocks[128] = {}, without_blocks[128] = {};
  expect(std::fgets(with_blocks, sizeof with_blocks, out) &&
             std::fgets(without_blocks, sizeof without_blocks, out),
         "two mark lines printed");
  std::fclose(out);
  unsigned long long calls = 0, frees = 0;
  long long blocks = 0;
  char rest[8] = {};
  expect(std::sscanf(with_blocks, "alloc mark calls=%llu frees=%llu blocks=%lld%1s", &calls, &frees,
                     &blocks, rest) == 3,
         "the mark line with blocks has calls, frees and blocks, nothing more");
  expect(calls >= at.calls && frees >= at.frees && blocks == 7,
         "the mark line carries the counters read then");
  expect(
      std::sscanf(without_blocks, "alloc mark calls=%llu frees=%llu%1s", &calls, &frees, rest) == 2,
      "the mark line without blocks has calls and frees only");
}

}  // namespace

int main() {
  AllocCounts counts{};
  if (!alloc_counts_read(&counts)) {
    std::printf("alloc_count_check: FAILED: counting is not built into this build\n");
    return 1;
  }
  expect(counts.calls > 0, "the process start-up allocated and was counted");
  check_counting();
  check_mark_lines();
  if (failures == 0) std::printf("alloc_count_check: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
