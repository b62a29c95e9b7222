/* memory_floor.c: what a read of memory that is in no cache costs on this machine, the floor
 * under every small query once other work has pushed its data out.
 *
 * Chains of pointers through 1 GiB, one line per random page, so that every step misses the
 * caches and the address translation caches alike. One chain gives the cost of a read that
 * waits on the one before it; k chains followed side by side give what k such reads cost when
 * issued together (the memory system overlaps a limited number). Prints one JSON object. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e9 + t.tv_nsec;
}

int main(void) {
  const size_t bytes = (size_t)1 << 30, pages = bytes / 4096;
  char* m = malloc(bytes);
  size_t* order = malloc(pages * sizeof(size_t));
  if (m == NULL || order == NULL) return 1;
  memset(m, 1, bytes);
  for (size_t i = 0; i < pages; i++) order[i] = i;
  uint64_t s = 0x9E3779B97F4A7C15u;
  for (size_t i = pages - 1; i > 0; i--) {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    size_t j = s % (i + 1), t = order[i];
    order[i] = order[j], order[j] = t;
  }
  /* One cycle through every page, at a line that moves from page to page. */
  for (size_t i = 0; i < pages; i++) {
    size_t n = (i + 1) % pages;
    *(char**)(m + order[i] * 4096 + i % 64 * 64) = m + order[n] * 4096 + n % 64 * 64;
  }
  static const int ks[] = {1, 1, 2, 4, 8, 16, 32, 64};  /* the first pass only warms up */
  printf("{\"side_by_side_ns\": {");
  for (int x = 0; x < 8; x++) {
    const int k = ks[x];
    char* volatile q[64];
    for (int j = 0; j < k; j++) q[j] = m + order[j * (pages / k)] * 4096 + j * (pages / k) % 64 * 64;
    const size_t steps = 100000;
    double t = now_ns();
    for (size_t i = 0; i < steps; i++)
      for (int j = 0; j < k; j++) q[j] = *(char**)q[j];
    if (x > 0) printf("%s\"%d\": %.0f", x > 1 ? ", " : "", k, (now_ns() - t) / steps);
  }
  printf("}}\n");
  return 0;
}
