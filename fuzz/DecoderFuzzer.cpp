// Feeds arbitrary bytes to the connection's decoding path: framing, the message shapes and the
// checks of the method table, down to the calls on the handlers. Nothing may crash, leak or
// allocate without bound, and cutting the stream differently must not change what it decodes to.

#include "ipc/IncomingMessage.hpp"
#include "ipc/MessageDecoder.hpp"
#include "protocol/TerminalInterfaces.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using namespace veltro;

namespace {

class AnsweringHelper final : public TerminalHelperProtocol {
public:
    void hello(std::int64_t, HelloReply reply) override { reply(1); }
    void openShell(UUID, std::int64_t, std::int64_t, std::string, std::optional<std::string>,
                   Environment, ShellOptions, OpenShellReply reply) override {
        reply(0, "A shell with this id is already open.");
    }
    void write(UUID, Bytes) override {}
    void resize(UUID, std::int64_t, std::int64_t) override {}
    void currentFolder(UUID, CurrentFolderReply reply) override { reply("/"); }
    void isBusy(UUID, IsBusyReply reply) override { reply(true, "vim"); }
    void close(UUID) override {}
    void attach(UUID, std::optional<std::int64_t>, std::int64_t, std::int64_t,
                AttachReply reply) override {
        reply(0, 0, "No kept shell with this id.");
    }
    void detach(UUID) override {}
    void list(ListReply reply) override { reply({KeptShellInfo{}}); }
    void commands(UUID, CommandsReply reply) override { reply({CommandInfo{}}); }
};

class SilentClient final : public TerminalClientProtocol {
public:
    void output(UUID, Bytes) override {}
    void exited(UUID, std::int32_t) override {}
    void folderChanged(UUID, std::string) override {}
};

WireValues valuesOf(const msgpack::object& params) {
    return WireValues(params.via.array.ptr, params.via.array.size);
}

void handle(const msgpack::object& object) {
    std::string problem;
    auto message = ipc::IncomingMessage::classify(object, problem);
    if (!message)
        return;
    AnsweringHelper helper;
    SilentClient client;
    using Kind = ipc::IncomingMessage::Kind;
    if (message->kind == Kind::response) {
        for (const WireMethod& method : wireMethods())
            if (method.kind == MessageKind::request)
                checkedResult(method, *message->result);
        return;
    }
    MessageKind kind =
        message->kind == Kind::request ? MessageKind::request : MessageKind::notification;
    if (auto method =
            checkedMethod(Direction::toAgent, kind, message->method, *message->params, problem);
        method && method->toHelper)
        method->toHelper(helper, valuesOf(*message->params),
                         [](std::string result) { encodeResponse(0, result); });
    if (auto method =
            checkedMethod(Direction::toClient, kind, message->method, *message->params, problem);
        method && method->toClient)
        method->toClient(client, valuesOf(*message->params));
}

// Decodes the stream fed in pieces of `step` bytes; answers each message as text, then whether
// the stream broke.
std::vector<std::string> decode(const std::uint8_t* data, std::size_t size, std::size_t step,
                                bool deliver) {
    ipc::MessageDecoder decoder;
    std::vector<std::string> messages;
    for (std::size_t offset = 0; offset < size && !decoder.isBroken(); offset += step) {
        decoder.append({data + offset, std::min(step, size - offset)});
        msgpack::object message;
        while (decoder.next(message) == ipc::MessageDecoder::Result::message) {
            std::ostringstream text;
            text << message;
            messages.push_back(text.str());
            if (deliver)
                handle(message);
        }
    }
    messages.push_back(decoder.isBroken() ? "broken" : "open");
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto whole = decode(data, size, size == 0 ? 1 : size, true);
    auto piecewise = decode(data, size, 1 + size % 7, false);
    if (whole != piecewise)
        std::abort();
    return 0;
}
