#pragma once

#include "ipc/MessageDecoder.hpp"
#include "platform/FileDescriptor.hpp"
#include "protocol/Bytes.hpp"
#include "protocol/TerminalInterfaces.hpp"

#include <asio/buffer.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

namespace veltro::ipc {

// One connected Unix stream socket carrying MessagePack-RPC, on the event loop.
//
// Incoming bytes are read straight into the decoder, and each message reaches the receiver from
// the handler that read it. Outgoing messages wait in one ordered queue and leave by gather
// writes; a message's `onWritten` runs once it has been written in full, and a send barrier is
// an empty message in that queue. While more than 32 MiB or 4,096 messages wait to be written
// nothing more is read, until less than 8 MiB and 1,024 messages wait: a peer that sends without
// reading cannot make the agent hold more than that. Both count, because each waiting message
// costs its bookkeeping besides its bytes: millions of tiny replies hold little on the wire.
//
// The transport keeps its receiver alive until it has closed. Every member is called on the
// loop, except that messages may be queued before start() from any one thread.
class Transport : public std::enable_shared_from_this<Transport> {
public:
    class Receiver {
    public:
        virtual ~Receiver() = default;
        // One message. It points into the transport's buffer and is valid during the call only.
        virtual void received(const msgpack::object& message) = 0;
        // The bytes are not MessagePack, or a message passed a limit; nothing more is read.
        virtual void broken(const std::string& problem) = 0;
        // The peer closed the connection or it failed; the transport has closed.
        virtual void peerGone(const std::string& why) = 0;
    };

    static constexpr std::size_t pauseReadingAbove = 32 * 1024 * 1024;
    static constexpr std::size_t resumeReadingBelow = 8 * 1024 * 1024;
    static constexpr std::size_t pauseReadingAboveMessages = 4096;
    static constexpr std::size_t resumeReadingBelowMessages = 1024;
    // How long a finishing transport waits for a peer that does not read its last messages.
    static constexpr std::chrono::seconds lingerTimeout{10};

    // Takes the socket over, on the loop that runs `context`; throws std::system_error when the
    // loop cannot watch it.
    Transport(asio::io_context& context, FileDescriptor socket);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    void start(std::shared_ptr<Receiver> receiver);

    void send(std::string message, std::function<void()> onWritten = {});
    // `head` followed by `data`, whose bytes stay valid until `onWritten`.
    void send(const MessageHead& head, ByteView data, std::function<void()> onWritten);
    // `head` followed by `data`, held until written.
    void send(const MessageHead& head, Bytes data);
    // Runs `block` once everything queued before it has been written: at once when nothing
    // waits, or when the transport has closed.
    void writeBarrier(std::function<void()> block);

    // Counted: reading goes on once every suspension has been resumed.
    void suspendReading();
    void resumeReading();

    // Ends at once: nothing more is read or written, and every `onWritten` and barrier still
    // waiting runs now, in order.
    void close();
    // Ends after what is queued and then `lastMessage` have been written: delivers nothing more,
    // and closes once the peer has closed its end after the queue was written, or the peer is
    // gone, or the linger timeout has passed, or it has sent another MiB.
    void finish(std::string lastMessage = {});

    // Whether messages sent now can still go out.
    bool isOpen() const { return state_ == State::configuring || state_ == State::open; }

private:
    enum class State {
        // Messages may be queued; nothing is read or written before start().
        configuring,
        open,
        // A write failed while the peer's messages were still wanted: nothing more goes out,
        // but what the peer sent before it went is read to the end.
        readingOnly,
        // finish() has been asked: the queue is being written, and what comes in is dropped.
        finishing,
        // The queue has been written and the sending side shut down; what the peer still
        // sends is dropped until it closes its end or the linger time is up.
        lingering,
        closed,
    };

    // The only way the state changes; a change the transport's life does not allow is a fault
    // of the program and stops it.
    void moveTo(State next);
    static bool allowed(State from, State to);
    bool isEnding() const { return state_ == State::finishing || state_ == State::lingering; }

    void stopSending();
    void discard();
    void discarded(const asio::error_code& error, std::size_t count);

    struct Outgoing {
        MessageHead head;
        std::string text;
        Bytes data;
        ByteView view;
        std::function<void()> onWritten;

        std::size_t size() const { return head.size + text.size() + view.size(); }
    };

    bool wantsToRead() const;
    void read();
    void issueRead();
    void readDone(const asio::error_code& error, std::size_t count);
    void deliver();
    void continueReadingSoon();

    Outgoing& enqueue();
    void queued(std::size_t size);
    void flush();
    void written(const asio::error_code& error, std::size_t count);
    void completeWritten();
    // Runs every completion still waiting, in order, the messages unwritten.
    void completeAll();
    void updateOverload();
    void failed(const std::string& why);

    asio::local::stream_protocol::socket socket_;
    asio::steady_timer lingerTimer_;
    State state_ = State::configuring;
    std::shared_ptr<Receiver> receiver_;

    MessageDecoder decoder_;
    // An asynchronous read is under way; it completes, if only as cancelled, in any state.
    bool reading_ = false;
    // Whether an ending transport waits for the peer to close: only a peer that has been told
    // why the connection ends needs the time to read it.
    bool awaitPeerClose_ = false;
    std::size_t discardedBytes_ = 0;
    // A turn that goes on delivering and reading has been posted.
    bool continuing_ = false;
    int suspensions_ = 0;
    // Too much waits to be written; it comes and goes while the transport is open.
    bool overloaded_ = false;

    // Nodes move between the queue and the spares, so queuing a message allocates nothing once
    // the connection has carried as many at once before, and a queued message never moves
    // while a write reads from it.
    std::list<Outgoing> queue_;
    std::list<Outgoing> spares_;
    std::size_t queuedBytes_ = 0;
    std::size_t frontWritten_ = 0;
    // An asynchronous write is under way.
    bool writing_ = false;
    std::array<asio::const_buffer, 64> buffers_;
};

} // namespace veltro::ipc
