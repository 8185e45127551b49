#include "heap_count.hpp"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> g_in_use{0};
std::atomic<std::size_t> g_peak{0};
std::atomic<std::size_t> g_allocations{0};

void* counted(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  const std::size_t now = g_in_use += malloc_usable_size(p);
  ++g_allocations;
  std::size_t seen = g_peak.load();
  while (now > seen && !g_peak.compare_exchange_weak(seen, now)) {
  }
  return p;
}

void uncounted(void* p) noexcept {
  if (!p) return;
  g_in_use -= malloc_usable_size(p);
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { uncounted(p); }

namespace heap_count {

std::size_t in_use() { return g_in_use.load(); }
std::size_t peak() { return g_peak.load(); }
std::size_t allocations() { return g_allocations.load(); }
void reset_peak() { g_peak = g_in_use.load(); }

}  // namespace heap_count
