#pragma once

// Recycled memory for the buffers that messages are built in and aligned in.
//
// A read streams as messages of the same few sizes again and again: a block
// of the block size, a batch of a list of short reads, a called reply. Each
// used to be fresh memory from the system (a page fault per 4 KiB touched for
// the large ones) and a malloc/free pair contending with the reads' own
// allocations. The pool keeps freed buffers by size class and hands them out
// again, up to a bound on what it holds idle.
//
// Thread-safe: a buffer is taken on the thread that builds a message and
// given back on whichever thread frees it (a ZeroMQ I/O thread after a send).

#include <cstddef>
#include <cstdint>

#include <flatbuffers/flatbuffers.h>

namespace ipc_tools {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define STRANDLINK_BUFFER_POOLING 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define STRANDLINK_BUFFER_POOLING 0
#endif
#endif
#ifndef STRANDLINK_BUFFER_POOLING
#define STRANDLINK_BUFFER_POOLING 1
#endif

class BufferPool {
public:
    // Whether buffers are kept at all. Under the address and thread
    // sanitizers every buffer is fresh memory, freed when given back: a
    // recycled buffer would hide a use after its return from the one, and
    // the other cannot see the hand-over of a sent frame's buffer inside
    // ZeroMQ that orders its last use before its reuse.
    static constexpr bool POOLING = STRANDLINK_BUFFER_POOLING != 0;

    // Bytes the pool holds idle at most; a buffer given back beyond that is
    // freed. Buffers larger than MAX_POOLED_SIZE are never kept.
    static constexpr std::size_t MAX_IDLE_BYTES = std::size_t{64} << 20;
    static constexpr std::size_t MAX_POOLED_SIZE = std::size_t{16} << 20;

    // The process's pool; lives until the process ends.
    static BufferPool& instance();

    // A buffer of at least `size` bytes, aligned to 16 bytes. Throws
    // std::bad_alloc.
    std::uint8_t* take(std::size_t size);
    // Gives back a buffer from take(`size`), with the same size.
    void give_back(std::uint8_t* buffer, std::size_t size) noexcept;

    // Bytes held idle now (for tests).
    std::size_t idle_bytes() const;

    // Frees every idle buffer (for tests).
    void clear() noexcept;

private:
    BufferPool() = default;
    struct Impl;
    Impl& impl() const;
};

// A FlatBuffers allocator drawing on the pool. Stateless: one instance serves
// every builder, and a builder's DetachedBuffer gives its block back to the
// pool when it is destroyed, on whichever thread.
class PooledAllocator : public flatbuffers::Allocator {
public:
    static PooledAllocator& instance();

    std::uint8_t* allocate(std::size_t size) override;
    void deallocate(std::uint8_t* p, std::size_t size) override;
};

// A builder whose buffer comes from the pool; a Message adopting it gives the
// buffer back when the frame is freed.
inline flatbuffers::FlatBufferBuilder make_pooled_builder(std::size_t initial_size) {
    return flatbuffers::FlatBufferBuilder(initial_size, &PooledAllocator::instance(), false);
}

}  // namespace ipc_tools
