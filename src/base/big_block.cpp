#include "base/big_block.h"

#include <sys/mman.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t HUGE_PAGE = size_t{2} << 20;
// Below this a block is left to the heap: a huge page would be mostly empty.
constexpr size_t MAPPED_BLOCK = 4 * HUGE_PAGE;

size_t round_to_pages(size_t bytes) {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

void block_fix_heap_threshold() {
#if defined(__GLIBC__)
  // Setting it turns the library's own adjustment off. One megabyte: the arrays of a grid of a
  // million cells and more are mapped, the many small ones stay in the heap.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

void* block_allocate(size_t bytes) {
  if (bytes < MAPPED_BLOCK) return std::calloc(bytes > 0 ? bytes : 1, 1);
  // Over-map by one huge page so that the block can start on a huge-page boundary; the slack at
  // either end goes back at once. Anonymous pages are zero until written.
  size_t mapped = 0;
  if (__builtin_add_overflow(bytes, HUGE_PAGE, &mapped)) return nullptr;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const uintptr_t end = start + mapped;
  const uintptr_t page_end = aligned + round_to_pages(bytes);
  if (end > page_end) munmap(reinterpret_cast<void*>(page_end), end - page_end);
  void* block = reinterpret_cast<void*>(aligned);
  madvise(block, bytes, MADV_HUGEPAGE);  // advice only: without huge pages the block still works
  return block;
}

void BlockFree::operator()(void* p) const {
  if (p == nullptr) return;
  if (bytes < MAPPED_BLOCK) {
    std::free(p);
    return;
  }
  munmap(p, round_to_pages(bytes));
}

void block_discard(void* block, size_t block_bytes, void* at, size_t bytes) {
  if (block == nullptr || bytes == 0) return;
  const auto begin = reinterpret_cast<uintptr_t>(at);
  const uintptr_t end = begin + bytes;
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t from = (begin + page - 1) & ~(page - 1);
  const uintptr_t to = end & ~(page - 1);
  // Small blocks and the pieces of pages at the ends are cleared by hand: a map discarded reads as
  // zero on any grid, so that a small grid shows what a reader of a discarded map would get.
  if (block_bytes < MAPPED_BLOCK || to <= from) {
    std::memset(at, 0, bytes);
    return;
  }
  std::memset(at, 0, from - begin);
  madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
  std::memset(reinterpret_cast<void*>(to), 0, end - to);
}
