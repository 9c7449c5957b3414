#include "ipc/Transport.hpp"

#include "platform/EventLoop.hpp"
#include "platform/StopProgram.hpp"

#include <asio/post.hpp>

#include <span>
#include <string>

namespace veltro::ipc {

namespace {

constexpr std::size_t readSize = 64 * 1024;
// Spare queue nodes kept beyond this many are given back.
constexpr std::size_t keptSpares = 64;
// What a finishing transport reads and drops at most before it closes.
constexpr std::size_t discardedAtMost = 1024 * 1024;

} // namespace

Transport::Transport(asio::io_context& context, FileDescriptor socket)
    : socket_(context), lingerTimer_(context) {
    socket_.assign(asio::local::stream_protocol(), socket.get());
    socket.release();
}

Transport::~Transport() = default;

bool Transport::allowed(State from, State to) {
    switch (from) {
    case State::configuring:
        return to == State::open || to == State::closed;
    case State::open:
        return to == State::readingOnly || to == State::finishing || to == State::closed;
    case State::readingOnly:
        return to == State::finishing || to == State::closed;
    case State::finishing:
        return to == State::lingering || to == State::closed;
    case State::lingering:
        return to == State::closed;
    case State::closed:
        return false;
    }
    return false;
}

void Transport::moveTo(State next) {
    if (!allowed(state_, next))
        stopProgram("Transport: no move from state " + std::to_string(static_cast<int>(state_)) +
                    " to state " + std::to_string(static_cast<int>(next)));
    state_ = next;
}

void Transport::start(std::shared_ptr<Receiver> receiver) {
    if (state_ != State::configuring)
        return;
    moveTo(State::open);
    receiver_ = std::move(receiver);
    flush();
    read();
}

bool Transport::wantsToRead() const {
    return (state_ == State::open || state_ == State::readingOnly) && suspensions_ == 0 &&
           !overloaded_;
}

void Transport::read() {
    if (reading_ || !wantsToRead())
        return;
    issueRead();
}

// One read at a time, straight into the decoder's buffer; its completion delivers or, once the
// transport is ending, discards.
void Transport::issueRead() {
    reading_ = true;
    std::span<std::uint8_t> room = decoder_.prepare(readSize);
    socket_.async_read_some(
        asio::buffer(room.data(), room.size()),
        [self = shared_from_this()](const asio::error_code& error, std::size_t count) {
            self->readDone(error, count);
        });
}

void Transport::readDone(const asio::error_code& error, std::size_t count) {
    reading_ = false;
    if (isEnding()) {
        discarded(error, count);
        return;
    }
    if (state_ != State::open && state_ != State::readingOnly)
        return;
    if (error) {
        failed(error == asio::error::eof ? "the peer closed the connection" : error.message());
        return;
    }
    decoder_.commit(count);
    deliver();
    read();
}

void Transport::deliver() {
    while (wantsToRead()) {
        msgpack::object message;
        switch (decoder_.next(message)) {
        case MessageDecoder::Result::message:
            receiver_->received(message);
            break;
        case MessageDecoder::Result::needMore:
            return;
        case MessageDecoder::Result::broken:
            receiver_->broken(decoder_.problem());
            return;
        }
    }
}

void Transport::continueReadingSoon() {
    // Not inline: whoever lifts the last hold may be in the middle of work that the messages
    // waiting in the buffer would reach into.
    if (continuing_ || !wantsToRead())
        return;
    continuing_ = true;
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
        self->continuing_ = false;
        self->deliver();
        self->read();
    });
}

void Transport::suspendReading() {
    ++suspensions_;
}

void Transport::resumeReading() {
    if (suspensions_ == 0)
        return;
    if (--suspensions_ == 0)
        continueReadingSoon();
}

Transport::Outgoing& Transport::enqueue() {
    if (spares_.empty())
        queue_.emplace_back();
    else
        queue_.splice(queue_.end(), spares_, spares_.begin());
    return queue_.back();
}

void Transport::queued(std::size_t size) {
    queuedBytes_ += size;
    flush();
    updateOverload();
}

void Transport::send(std::string message, std::function<void()> onWritten) {
    if (!isOpen()) {
        if (onWritten)
            onWritten();
        return;
    }
    Outgoing& entry = enqueue();
    entry.text = std::move(message);
    entry.onWritten = std::move(onWritten);
    queued(entry.size());
}

void Transport::send(const MessageHead& head, ByteView data, std::function<void()> onWritten) {
    if (!isOpen()) {
        onWritten();
        return;
    }
    Outgoing& entry = enqueue();
    entry.head = head;
    entry.view = data;
    entry.onWritten = std::move(onWritten);
    queued(entry.size());
}

void Transport::send(const MessageHead& head, Bytes data) {
    if (!isOpen())
        return;
    Outgoing& entry = enqueue();
    entry.head = head;
    entry.data = std::move(data);
    entry.view = entry.data;
    queued(entry.size());
}

void Transport::writeBarrier(std::function<void()> block) {
    if (state_ == State::closed || queue_.empty()) {
        block();
        return;
    }
    enqueue().onWritten = std::move(block);
}

void Transport::flush() {
    if (writing_ || (state_ != State::open && state_ != State::finishing))
        return;
    std::size_t count = 0;
    std::size_t skip = frontWritten_;
    for (auto entry = queue_.begin(); entry != queue_.end() && count + 3 <= buffers_.size();
         ++entry) {
        ByteView text(reinterpret_cast<const std::uint8_t*>(entry->text.data()),
                      entry->text.size());
        for (ByteView part : {entry->head.view(), text, entry->view}) {
            if (part.size() <= skip) {
                skip -= part.size();
                continue;
            }
            buffers_[count++] = asio::const_buffer(part.data() + skip, part.size() - skip);
            skip = 0;
        }
    }
    if (count == 0)
        return;
    writing_ = true;
    socket_.async_write_some(
        std::span<const asio::const_buffer>(buffers_.data(), count),
        [self = shared_from_this()](const asio::error_code& error, std::size_t written) {
            self->written(error, written);
        });
}

void Transport::written(const asio::error_code& error, std::size_t count) {
    if (state_ == State::closed) {
        writing_ = false;
        return;
    }
    if (error) {
        writing_ = false;
        if (!wantsToRead()) {
            failed(error.message());
            return;
        }
        // The peer may have closed after sending what is still to be read, its last words
        // among them: read on to the end rather than drop that.
        moveTo(State::readingOnly);
        completeAll();
        return;
    }
    frontWritten_ += count;
    // Still marked as writing while the messages' completions run, so that whatever they send
    // joins the queue and goes out with the next write rather than overtaking it.
    completeWritten();
    writing_ = false;
    if (state_ == State::finishing && queue_.empty()) {
        stopSending();
        return;
    }
    flush();
    updateOverload();
}

void Transport::completeWritten() {
    while (!queue_.empty() && state_ != State::closed) {
        Outgoing& entry = queue_.front();
        std::size_t size = entry.size();
        if (frontWritten_ < size)
            return;
        frontWritten_ -= size;
        queuedBytes_ -= size;
        std::function<void()> done = std::move(entry.onWritten);
        entry = Outgoing();
        if (spares_.size() < keptSpares)
            spares_.splice(spares_.end(), queue_, queue_.begin());
        else
            queue_.pop_front();
        if (done)
            done();
    }
}

void Transport::completeAll() {
    queuedBytes_ = 0;
    frontWritten_ = 0;
    overloaded_ = false;
    while (!queue_.empty()) {
        std::function<void()> done = std::move(queue_.front().onWritten);
        queue_.pop_front();
        if (done)
            done();
    }
}

void Transport::updateOverload() {
    // std::list counts its nodes, so the size is no walk.
    std::size_t messages = queue_.size();
    if (!overloaded_ &&
        (queuedBytes_ > pauseReadingAbove || messages > pauseReadingAboveMessages)) {
        overloaded_ = true;
    } else if (overloaded_ && queuedBytes_ < resumeReadingBelow &&
               messages < resumeReadingBelowMessages) {
        overloaded_ = false;
        continueReadingSoon();
    }
}

void Transport::failed(const std::string& why) {
    bool wasOpen = state_ == State::open || state_ == State::readingOnly;
    std::shared_ptr<Receiver> receiver = receiver_;
    close();
    if (wasOpen && receiver)
        receiver->peerGone(why);
}

void Transport::finish(std::string lastMessage) {
    if (state_ == State::configuring || state_ == State::closed) {
        close();
        return;
    }
    if (isEnding())
        return;
    // Only a peer that is told why the connection ends needs to be given the time to read it.
    awaitPeerClose_ = !lastMessage.empty();
    if (!lastMessage.empty())
        send(std::move(lastMessage));
    moveTo(State::finishing);
    lingerTimer_.expires_after(lingerTimeout);
    lingerTimer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (!error)
            self->close();
    });
    discard();
    if (queue_.empty())
        stopSending();
}

// The peer may still be writing when the last message has gone out. Closing now would fail its
// next write (EPIPE), and a client library that gives up on a failed write may never read that
// last message, which says why the connection ends. So only the sending side is shut down; what
// the peer still sends is read and dropped until it closes its end or the linger time is up.
void Transport::stopSending() {
    moveTo(State::lingering);
    asio::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_send, ignored);
    if (!reading_ || !awaitPeerClose_)
        close();
}

void Transport::discard() {
    if (reading_ || !isEnding())
        return;
    issueRead();
}

// Reads on while the peer sends; after its end (or a failure) there is nothing more to read,
// and the transport closes as soon as nothing is left to write either. A peer that goes on
// sending past what it can have sent before it heard why is not waited for: draining a stream
// of large messages to the end would cost the loop its time for the other connections.
void Transport::discarded(const asio::error_code& error, std::size_t count) {
    if (!isEnding())
        return;
    discardedBytes_ += count;
    if (discardedBytes_ > discardedAtMost)
        close();
    else if (!error)
        discard();
    else if (queue_.empty())
        close();
}

void Transport::close() {
    if (state_ == State::closed)
        return;
    moveTo(State::closed);
    lingerTimer_.cancel();
    asio::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
    completeAll();
    spares_.clear();
    // Let go of the receiver from a fresh handler: it may be the one calling.
    asio::post(socket_.get_executor(), [receiver = std::move(receiver_)] {});
}

} // namespace veltro::ipc
