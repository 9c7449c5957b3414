#pragma once

#include <msgpack.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace veltro::ipc {

// A decoded message that has one of the three MessagePack-RPC shapes. It points into the
// message's object, which must outlive it.
struct IncomingMessage {
    enum class Kind { request, response, notification };

    Kind kind = Kind::notification;
    std::uint32_t msgid = 0;
    std::string_view method;
    const msgpack::object* params = nullptr;
    const msgpack::object* error = nullptr;
    const msgpack::object* result = nullptr;

    // The message's shape, or nothing with `problem` set when it has none of the three.
    static std::optional<IncomingMessage> classify(const msgpack::object& message,
                                                   std::string& problem);
};

} // namespace veltro::ipc
