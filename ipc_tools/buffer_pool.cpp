#include "ipc_tools/buffer_pool.h"

#include <array>
#include <mutex>
#include <new>
#include <vector>

namespace ipc_tools {

namespace {

constexpr std::size_t MIN_CLASS_SIZE = 256;
// Classes of 2^k and 3 * 2^(k-2) bytes: a buffer is at most a third larger
// than asked for.
constexpr std::size_t NUM_CLASSES = 2 * 64;

unsigned ceil_log2(std::size_t size) {
    unsigned k = 0;
    while ((std::size_t{1} << k) < size) {
        ++k;
    }
    return k;
}

struct SizeClass {
    std::size_t index;
    std::size_t bytes;
};

SizeClass size_class(std::size_t size) {
    if (size <= MIN_CLASS_SIZE) {
        size = MIN_CLASS_SIZE;
    }
    const unsigned k = ceil_log2(size);
    const std::size_t three_quarters = (std::size_t{3} << k) >> 2;
    if (three_quarters >= size) {
        return {2 * std::size_t{k}, three_quarters};
    }
    return {2 * std::size_t{k} + 1, std::size_t{1} << k};
}

}  // namespace

struct BufferPool::Impl {
    mutable std::mutex mutex;
    std::array<std::vector<std::uint8_t*>, NUM_CLASSES> idle;
    std::size_t idle_bytes = 0;
};

BufferPool& BufferPool::instance() {
    // Never destroyed: ZeroMQ's I/O threads may give buffers back while the
    // process's statics are being torn down.
    static BufferPool* const pool = new BufferPool();
    return *pool;
}

BufferPool::Impl& BufferPool::impl() const {
    static Impl* const state = new Impl();
    return *state;
}

std::uint8_t* BufferPool::take(std::size_t size) {
    const SizeClass c = size_class(size);
    if (POOLING && c.bytes <= MAX_POOLED_SIZE) {
        Impl& state = impl();
        std::lock_guard<std::mutex> lock(state.mutex);
        auto& idle = state.idle[c.index];
        if (!idle.empty()) {
            std::uint8_t* buffer = idle.back();
            idle.pop_back();
            state.idle_bytes -= c.bytes;
            return buffer;
        }
    }
    // operator new gives 16-byte alignment, which FlatBuffers' scalars need.
    return static_cast<std::uint8_t*>(::operator new(c.bytes));
}

void BufferPool::give_back(std::uint8_t* buffer, std::size_t size) noexcept {
    if (buffer == nullptr) {
        return;
    }
    const SizeClass c = size_class(size);
    if (POOLING && c.bytes <= MAX_POOLED_SIZE) {
        Impl& state = impl();
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.idle_bytes + c.bytes <= MAX_IDLE_BYTES) {
            try {
                state.idle[c.index].push_back(buffer);
                state.idle_bytes += c.bytes;
                return;
            } catch (const std::bad_alloc&) {
                // No room to keep it: freed below.
            }
        }
    }
    ::operator delete(buffer);
}

std::size_t BufferPool::idle_bytes() const {
    Impl& state = impl();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.idle_bytes;
}

void BufferPool::clear() noexcept {
    Impl& state = impl();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (auto& idle : state.idle) {
        for (std::uint8_t* buffer : idle) {
            ::operator delete(buffer);
        }
        idle.clear();
    }
    state.idle_bytes = 0;
}

PooledAllocator& PooledAllocator::instance() {
    static PooledAllocator* const allocator = new PooledAllocator();
    return *allocator;
}

std::uint8_t* PooledAllocator::allocate(std::size_t size) { return BufferPool::instance().take(size); }

void PooledAllocator::deallocate(std::uint8_t* p, std::size_t size) { BufferPool::instance().give_back(p, size); }

}  // namespace ipc_tools
