// Owned blocks of zeroed memory for the maps and the per-cell arrays of a stage. A block of a few
// megabytes or more is mapped whole, aligned to and advised for huge pages: a move touches cells
// spread over the whole grid, and with 4 KiB pages nearly every one of those touches also misses
// the address translation cache. Smaller blocks come from the heap, where the sanitizers check
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

/// Keeps the heap from holding on to freed per-cell arrays: once a first large allocation is
/// freed, the C library raises the size above which it maps allocations on their own (to 32 MiB),
/// so the grids' vectors a stage allocates and frees over and over, each a few megabytes, stay in
/// the heap afterwards, fragmented, and the peak grows block after block. For the runs that do
/// (several land uses' blocks): mapping each array afresh costs time (4 % on the three stages of
/// one use at 4000 x 4000, for 2 % of their peak), so the others keep the library's way.
void block_fix_heap_threshold();

/// Releases a block from block_allocate; knows its size.
struct BlockFree {
  size_t bytes = 0;
  void operator()(void* p) const;
};

/// `bytes` of zeroed memory, or nullptr when memory is short. Pages not yet written cost nothing.
void* block_allocate(size_t bytes);

/// Gives the whole pages inside [at, at + bytes) of the block `block` (of `block_bytes`, from
/// block_allocate) back to the system, so that a stage can drop a map it is done with while it
/// fills the next. The range reads as zero afterwards; a block from the heap (it is small) and
/// the pieces of pages at the range's ends are cleared in place, the pages around kept.
void block_discard(void* block, size_t block_bytes, void* at, size_t bytes);

/// An owned array of T from block_allocate.
template <typename T>
using BlockArray = std::unique_ptr<T[], BlockFree>;

/// An array of `n` zeroed T, or an empty one when n * sizeof(T) overflows or memory is short.
template <typename T>
BlockArray<T> block_array(size_t n) {
  size_t bytes = 0;
  if (__builtin_mul_overflow(n, sizeof(T), &bytes)) return BlockArray<T>(nullptr, BlockFree{0});
  return BlockArray<T>(static_cast<T*>(block_allocate(bytes)), BlockFree{bytes});
}
