#ifndef DAVEDOVE_VERORARIV_IMMUTABLE_NODE_CACHE_H_
#define DAVEDOVE_VERORARIV_IMMUTABLE_NODE_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define VRV_NODE_CACHE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VRV_NODE_CACHE_ASAN 1
#endif
#endif
#ifdef VRV_NODE_CACHE_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace davedove {
namespace verorariv {
namespace immutable {

// Blocks of one size freed on this thread, kept for reuse. Every new tree version allocates about
// as many nodes as dropping the previous version frees, so a short per-thread list serves most
// allocations without the general allocator. A block may be freed on another thread than the one
// that allocated it; it then joins that thread's list. Lists are emptied when their thread ends.
template <std::size_t Size>
class NodeCache {
 public:
  static_assert(Size >= sizeof(void*), "a cached block holds the link to the next");

  static void* Allocate() {
    State& state = GetState();
    Block* block = state.head;
    if (block == nullptr) return ::operator new(Size);
    Unpoison(block);
    state.head = block->next;
    --state.count;
    return block;
  }

  static void Deallocate(void* pointer) {
    State& state = GetState();
    if (state.closed || state.count >= kMaxCount) {
      ::operator delete(pointer);
      return;
    }
    if (!state.registered) {
      state.registered = true;
      // Constructing it registers the emptying of this thread's list at thread exit.
      static thread_local Reaper reaper;
      (void)reaper;
    }
    Block* block = static_cast<Block*>(pointer);
    block->next = state.head;
    state.head = block;
    ++state.count;
    Poison(block);
  }

 private:
  // Enough for the paths of a few versions of any tree.
  static constexpr uint32_t kMaxCount = 256;

  struct Block {
    Block* next;
  };

  // Trivially destructible, so it stays usable while other thread-exit destructors run.
  struct State {
    Block* head;
    uint32_t count;
    bool registered;
    bool closed;
  };

  struct Reaper {
    ~Reaper() {
      State& state = GetState();
      state.closed = true;
      while (state.head != nullptr) {
        Block* block = state.head;
        Unpoison(block);
        state.head = block->next;
        ::operator delete(block);
      }
      state.count = 0;
    }
  };

  static State& GetState() {
    static thread_local State state{nullptr, 0, false, false};
    return state;
  }

  // A cached block is off limits to everything but this list, as if it were freed. Its link
  // stays readable: LeakSanitizer does not follow pointers stored in poisoned memory, and would
  // take the blocks of a list that is still alive at exit for leaks.
  static void Poison(Block* block) {
#ifdef VRV_NODE_CACHE_ASAN
    ASAN_POISON_MEMORY_REGION(block + 1, Size - sizeof(Block));
#else
    (void)block;
#endif
  }

  static void Unpoison(Block* block) {
#ifdef VRV_NODE_CACHE_ASAN
    ASAN_UNPOISON_MEMORY_REGION(block + 1, Size - sizeof(Block));
#else
    (void)block;
#endif
  }
};

}  // namespace immutable
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_IMMUTABLE_NODE_CACHE_H_
