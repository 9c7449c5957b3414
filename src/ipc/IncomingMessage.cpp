#include "ipc/IncomingMessage.hpp"

namespace veltro::ipc {

namespace {

using msgpack::type::object_type;

std::optional<std::uint32_t> msgidOf(const msgpack::object& value) {
    if (value.type != object_type::POSITIVE_INTEGER || value.via.u64 > 0xFFFFFFFFu)
        return std::nullopt;
    return static_cast<std::uint32_t>(value.via.u64);
}

bool isCall(const msgpack::object& method, const msgpack::object& params) {
    return method.type == object_type::STR && params.type == object_type::ARRAY;
}

} // namespace

std::optional<IncomingMessage> IncomingMessage::classify(const msgpack::object& message,
                                                         std::string& problem) {
    if (message.type != object_type::ARRAY || message.via.array.size == 0) {
        problem = "A message is not a MessagePack-RPC array.";
        return std::nullopt;
    }
    const msgpack::object* items = message.via.array.ptr;
    std::uint32_t size = message.via.array.size;
    const msgpack::object& kind = items[0];
    if (kind.type != object_type::POSITIVE_INTEGER || kind.via.u64 > 2) {
        problem = "A message has a kind other than request, response or notification.";
        return std::nullopt;
    }
    IncomingMessage result;
    switch (kind.via.u64) {
    case 0:
    case 1: {
        std::optional<std::uint32_t> msgid = size == 4 ? msgidOf(items[1]) : std::nullopt;
        if (!msgid) {
            problem = "A request or response is not [kind, msgid, ..., ...] with a valid msgid.";
            return std::nullopt;
        }
        result.msgid = *msgid;
        if (kind.via.u64 == 1) {
            result.kind = Kind::response;
            result.error = &items[2];
            result.result = &items[3];
            return result;
        }
        if (!isCall(items[2], items[3])) {
            problem = "A request's method is not a str or its params are not an array.";
            return std::nullopt;
        }
        result.kind = Kind::request;
        result.method = {items[2].via.str.ptr, items[2].via.str.size};
        result.params = &items[3];
        return result;
    }
    default:
        if (size != 3 || !isCall(items[1], items[2])) {
            problem = "A notification is not [2, method, params].";
            return std::nullopt;
        }
        result.kind = Kind::notification;
        result.method = {items[1].via.str.ptr, items[1].via.str.size};
        result.params = &items[2];
        return result;
    }
}

} // namespace veltro::ipc
