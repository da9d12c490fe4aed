#include "media/AudioRing.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vessaro {

AudioRing::AudioRing(std::size_t minimumCapacityBytes)
    : m_capacity(std::bit_ceil(std::max<std::size_t>(minimumCapacityBytes, 1)))
    , m_mask(m_capacity - 1)
    // Value-initialised: the zeroing touches every page now rather than on the audio thread.
    , m_bytes(std::make_unique<std::byte[]>(m_capacity)) // NOLINT(cppcoreguidelines-avoid-c-arrays)
{ }

std::size_t AudioRing::writableBytes() const
{
    const Index write = m_writeIndex.load(std::memory_order_relaxed);
    const Index read = m_readIndex.load(std::memory_order_acquire);
    const auto used = static_cast<std::size_t>(write - read);
    return m_capacity - used - m_unpublished;
}

bool AudioRing::writeUnpublished(const void* data, std::size_t bytes)
{
    if (bytes > writableBytes()) {
        m_refusals.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    const Index start = m_writeIndex.load(std::memory_order_relaxed) + m_unpublished;
    const auto offset = static_cast<std::size_t>(start) & m_mask;
    const std::size_t first = std::min(bytes, m_capacity - offset);
    const auto* source = static_cast<const std::byte*>(data);
    std::memcpy(m_bytes.get() + offset, source, first);
    std::memcpy(m_bytes.get(), source + first, bytes - first);
    m_unpublished += bytes;
    return true;
}

void AudioRing::publish()
{
    const Index write = m_writeIndex.load(std::memory_order_relaxed);
    m_writeIndex.store(write + m_unpublished, std::memory_order_release);
    m_unpublished = 0;
}

std::size_t AudioRing::readableBytes() const
{
    const Index write = m_writeIndex.load(std::memory_order_acquire);
    const Index read = m_readIndex.load(std::memory_order_relaxed);
    return static_cast<std::size_t>(write - read);
}

std::size_t AudioRing::read(void* destination, std::size_t maxBytes)
{
    const Index read = m_readIndex.load(std::memory_order_relaxed);
    const Index write = m_writeIndex.load(std::memory_order_acquire);
    const std::size_t bytes = std::min(maxBytes, static_cast<std::size_t>(write - read));
    const auto offset = static_cast<std::size_t>(read) & m_mask;
    const std::size_t first = std::min(bytes, m_capacity - offset);
    auto* target = static_cast<std::byte*>(destination);
    std::memcpy(target, m_bytes.get() + offset, first);
    std::memcpy(target + first, m_bytes.get(), bytes - first);
    m_readIndex.store(read + bytes, std::memory_order_release);
    return bytes;
}

} // namespace vessaro
