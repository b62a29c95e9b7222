/* memory_floor.c: what a read of memory that is in no cache costs on this machine, the floor
 * under every small query once other work has pushed its data out.
 *
 * Chains of pointers through 1 GiB, one line per random page, so that every step misses the
 * caches and the address translation caches alike. One chain gives the cost of a read that
 * waits on the one before it; k chains followed side by side give what k such reads cost when
 * issued together (the memory system overlaps a limited number). The same chain through 1 GiB
 * the kernel was asked to back with 2 MiB pages gives the cost of such a read whose translation
 * is cached (512 such pages fit the translation caches): the difference is the page-table walk a
 * read of a 4 KiB page in no cache pays. Prints one JSON object. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>

static double now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e9 + t.tv_nsec;
}

enum { kSteps = 100000 };

/* One cycle through every 4 KiB page of m, at a line that moves from page to page; order[] is
 * left holding the pages in the cycle's order. */
static void link_pages(char* m, size_t pages, size_t* order) {
  for (size_t i = 0; i < pages; i++) order[i] = i;
  uint64_t s = 0x9E3779B97F4A7C15u;
  for (size_t i = pages - 1; i > 0; i--) {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    size_t j = s % (i + 1), t = order[i];
    order[i] = order[j], order[j] = t;
  }
  for (size_t i = 0; i < pages; i++) {
    size_t n = (i + 1) % pages;
    *(char**)(m + order[i] * 4096 + i % 64 * 64) = m + order[n] * 4096 + n % 64 * 64;
  }
}

/* Nanoseconds per step of k chains followed side by side. */
static double follow(char* m, size_t pages, const size_t* order, int k) {
  char* volatile q[64];
  for (int j = 0; j < k; j++) q[j] = m + order[j * (pages / k)] * 4096 + j * (pages / k) % 64 * 64;
  double t = now_ns();
  for (size_t i = 0; i < kSteps; i++)
    for (int j = 0; j < k; j++) q[j] = *(char**)q[j];
  return (now_ns() - t) / kSteps;
}

int main(void) {
  const size_t bytes = (size_t)1 << 30, pages = bytes / 4096;
  char* m = malloc(bytes);
  size_t* order = malloc(pages * sizeof(size_t));
  if (m == NULL || order == NULL) return 1;
  memset(m, 1, bytes);
  link_pages(m, pages, order);
  static const int ks[] = {1, 1, 2, 4, 8, 16, 32, 64};  /* the first pass only warms up */
  printf("{\"side_by_side_ns\": {");
  for (int x = 0; x < 8; x++) {
    double ns = follow(m, pages, order, ks[x]);
    if (x > 0) printf("%s\"%d\": %.0f", x > 1 ? ", " : "", ks[x], ns);
  }
  printf("}");
  free(m);
  /* 2 MiB pages, aligned so that the kernel can give them. */
  char* raw = mmap(NULL, bytes + (2u << 20), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw != MAP_FAILED) {
    char* h = (char*)(((uintptr_t)raw + (2u << 20) - 1) & ~(uintptr_t)((2u << 20) - 1));
#ifdef MADV_HUGEPAGE
    madvise(h, bytes, MADV_HUGEPAGE);
#endif
    memset(h, 1, bytes);
    link_pages(h, pages, order);
    follow(h, pages, order, 1);
    printf(", \"huge_pages_ns\": %.0f", follow(h, pages, order, 1));
  }
  printf("}\n");
  return 0;
}
