// Allocation of codec contexts and buffers through the caller's callbacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>
#include <algorithm>
#include <cstring>
#include <span>
#include <type_traits>

#include "cabinet/codec.h"

namespace vel::cabinet {

// A std::allocator stand-in that takes memory from the caller's alloc/free
// callbacks, so every byte the library holds is the caller's to account for.
template <class T>
struct CodecAllocator {
  using value_type = T;
  PFNALLOC alloc = nullptr;
  PFNFREE release = nullptr;

  CodecAllocator(PFNALLOC a, PFNFREE f) noexcept : alloc(a), release(f) {}
  template <class U>
  CodecAllocator(const CodecAllocator<U>& o) noexcept : alloc(o.alloc), release(o.release) {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<uint32_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* p = alloc(static_cast<uint32_t>(n * sizeof(T)));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { release(p); }

  template <class U>
  bool operator==(const CodecAllocator<U>& o) const noexcept {
    return alloc == o.alloc && release == o.release;
  }
};

template <class T>
using CodecVector = std::vector<T, CodecAllocator<T>>;

// A zero-filled array of fixed size taken from the caller's alloc callback and
// returned through its free callback; throws std::bad_alloc when the callback
// has no memory. Codec buffers never grow, so this is all they need.
template <class T>
class CodecBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  CodecBuffer(PFNALLOC alloc, PFNFREE release, std::size_t n) : release_(release), size_(n) {
    if (n > std::numeric_limits<uint32_t>::max() / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(alloc(static_cast<uint32_t>(n * sizeof(T))));
    if (data_ == nullptr) throw std::bad_alloc();
    std::memset(static_cast<void*>(data_), 0, n * sizeof(T));
  }
  ~CodecBuffer() { release_(data_); }
  CodecBuffer(const CodecBuffer&) = delete;
  CodecBuffer& operator=(const CodecBuffer&) = delete;

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  std::span<T> span() { return {data_, size_}; }
  std::span<const T> span() const { return {data_, size_}; }
  void Fill(T v) { std::fill_n(data_, size_, v); }

 private:
  PFNFREE release_;
  T* data_ = nullptr;
  std::size_t size_;
};

// Builds a context object in memory from the alloc callback. Returns null when
// the callback or any member's allocation fails; nothing stays allocated then.
template <class Ctx, class... Args>
Ctx* NewWithCallbacks(PFNALLOC alloc, PFNFREE release, Args&&... args) {
  void* raw = alloc(static_cast<uint32_t>(sizeof(Ctx)));
  if (raw == nullptr) return nullptr;
  try {
    return ::new (raw) Ctx(alloc, release, std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    release(raw);
    return nullptr;
  }
}

// Ends a context made by NewWithCallbacks, returning its memory to the caller.
template <class Ctx>
void DeleteWithCallbacks(Ctx* ctx) noexcept {
  PFNFREE release = ctx->release;
  ctx->~Ctx();
  release(ctx);
}

// Block size rule shared by MSZIP and Quantum: 0 or anything above 32,768 is 32,768.
inline uint32_t NormaliseBlockSize(uint32_t requested) {
  return (requested == 0 || requested > kCodecBlockSize) ? kCodecBlockSize : requested;
}

}  // namespace vel::cabinet
