#pragma once

#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

#include <memory>

namespace vessaro {

// Releases a libpulse object with the function that owns it. Contexts, streams
// and operations belong to a threaded main loop: reset them only with its lock
// held (or once its thread has stopped).
template <auto release> struct PulseRelease {
    template <typename T> void operator()(T* object) const { release(object); }
};

using PulseContextHandle = std::unique_ptr<pa_context, PulseRelease<pa_context_unref>>;
using PulseStreamHandle = std::unique_ptr<pa_stream, PulseRelease<pa_stream_unref>>;
using PulseOperationHandle = std::unique_ptr<pa_operation, PulseRelease<pa_operation_unref>>;
using PulseProplistHandle = std::unique_ptr<pa_proplist, PulseRelease<pa_proplist_free>>;

} // namespace vessaro
