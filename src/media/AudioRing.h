#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vessaro {

// A lock-free byte ring between exactly one producer thread (the audio
// thread) and exactly one consumer thread (the encoder thread).
//
// The producer copies into the free region first and publishes later, so a
// sample buffer can be filled, checked and then submitted as one unit; bytes
// that are copied but not yet published are invisible to the consumer. A
// write that does not fit is refused and counted; nothing ever waits.
//
// The capacity is a power of two, allocated (and touched, so no page fault
// lands on the audio thread) at construction. Indexes run freely as 64-bit
// counters and are masked on use, so "full" and "empty" need no spare slot.
class AudioRing {
public:
    // Rounds `minimumCapacityBytes` up to a power of two (at least 1).
    // Construct on a general-purpose thread: this allocates.
    explicit AudioRing(std::size_t minimumCapacityBytes);
    AudioRing(const AudioRing&) = delete;
    AudioRing& operator=(const AudioRing&) = delete;

    std::size_t capacity() const { return m_capacity; }

    // ---- writer only (the producer thread) ----

    // Bytes that a further write could take now: the free region minus what
    // is copied but not published.
    std::size_t writableBytes() const;
    // Copies `bytes` after any unpublished bytes, without publishing them.
    // False, counted as a refusal and nothing copied, when they do not fit.
    bool writeUnpublished(const void* data, std::size_t bytes);
    std::size_t unpublishedBytes() const { return m_unpublished; }
    // Makes every unpublished byte visible to the reader.
    void publish();
    // Forgets the unpublished bytes.
    void discardUnpublished() { m_unpublished = 0; }

    // ---- reader only (the consumer thread) ----

    // Bytes published and not yet read.
    std::size_t readableBytes() const;
    // Copies up to `maxBytes` published bytes into `destination` and frees
    // their space. Returns the number of bytes read.
    std::size_t read(void* destination, std::size_t maxBytes);

    // ---- any thread ----

    // How many writes were refused because they did not fit.
    std::uint64_t refusals() const { return m_refusals.load(std::memory_order_relaxed); }

private:
    // Memory ordering. The producer copies bytes, then stores m_writeIndex
    // with release; the consumer loads m_writeIndex with acquire before it
    // reads those bytes, so it sees them complete. Symmetrically the consumer
    // reads bytes, then stores m_readIndex with release; the producer loads
    // it with acquire before it overwrites that space, so the consumer's
    // reads are finished before the space is reused. Each index is written
    // by one thread only, which may load its own index relaxed. The refusal
    // counter orders nothing and is relaxed.
    using Index = std::uint64_t;
    static_assert(std::atomic<Index>::is_always_lock_free);
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

    const std::size_t m_capacity;
    const std::size_t m_mask;
    std::unique_ptr<std::byte[]> m_bytes; // NOLINT(cppcoreguidelines-avoid-c-arrays)

    // Apart, so the two threads do not share a cache line for their indexes.
    alignas(64) std::atomic<Index> m_writeIndex { 0 };
    std::size_t m_unpublished = 0; // writer only
    alignas(64) std::atomic<Index> m_readIndex { 0 };
    alignas(64) std::atomic<std::uint64_t> m_refusals { 0 };
};

} // namespace vessaro
