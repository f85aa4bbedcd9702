/* Allocation counting for the benchmark echo servers: how often the whole server process called
 * the system allocator, so that the benchmark can check that a steady ping-pong allocates
 * nothing per message.
 *
 * The load generator writes the line "mark" to the server's standard input when its measured
 * window begins and when it ends; the server answers each with one line on standard output:
 *
 *   alloc mark calls=N frees=M [blocks=B]
 *
 * calls: allocating calls so far (malloc, calloc, realloc, aligned_alloc, posix_memalign,
 * memalign; C++ new goes through malloc), frees: free of a non-null block so far, blocks: the
 * tracking allocator's live blocks (servers on Vor only). The difference of two marks is what
 * the window cost. Where the counting is not built in (Windows, a sanitizer build) the line
 * carries no calls= or frees=. */
#ifndef VOR_BENCH_ALLOC_COUNT_H
#define VOR_BENCH_ALLOC_COUNT_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AllocCounts {
  unsigned long long calls;
  unsigned long long frees;
} AllocCounts;

/* Fills *out and returns 1 where the counting is built in, else returns 0. */
int alloc_counts_read(AllocCounts* out);

/* Whether a line read from standard input (with or without its line end) is the mark command. */
int alloc_is_mark(const char* line);

/* Prints one mark line to out and flushes it; blocks < 0 leaves the blocks= field out. */
void alloc_print_mark(FILE* out, long long blocks);

#ifdef __cplusplus
}
#endif

#endif
