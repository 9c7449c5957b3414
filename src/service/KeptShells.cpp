#include "service/KeptShells.hpp"

#include <algorithm>

namespace veltro {

namespace {

constexpr const char* takenOverReason = "attached elsewhere";

std::int64_t secondsUntil(std::chrono::steady_clock::time_point end) {
    auto left = end - std::chrono::steady_clock::now();
    auto seconds = std::chrono::ceil<std::chrono::seconds>(left).count();
    return std::max<std::int64_t>(0, seconds);
}

} // namespace

KeptShell::KeptShell(asio::any_io_executor executor, std::weak_ptr<KeptShells> registry, UUID id,
                     std::string identifier, ShellOptions options, std::int64_t columns,
                     std::int64_t rows)
    : keepTimer_(std::move(executor)), registry_(std::move(registry)), id_(id),
      identifier_(std::move(identifier)), options_(options), columns_(columns), rows_(rows),
      history_(static_cast<std::size_t>(options.history)) {}

ShellEvents KeptShell::events() {
    ShellEvents events;
    // The session's events hold the shell, and the shell its session until the exit: the
    // exit breaks that cycle.
    events.output = [self = shared_from_this()](ByteView chunk, ShellEvents::Sent sent) {
        self->output(chunk, std::move(sent));
    };
    events.folderChanged = [self = shared_from_this()](std::string folder) {
        self->report([id = self->id_, folder = std::move(folder)](TerminalClient& client) {
            client.folderChanged(id, folder);
        });
    };
    if (options_.reportsCommands()) {
        // Marks go on while nobody has the shell; only the session's log keeps them then.
        events.commandStarted =
            [self = shared_from_this()](std::int64_t offset,
                                        const std::optional<std::string>& commandLine) {
                self->report([id = self->id_, offset, commandLine](TerminalClient& client) {
                    client.commandStarted(id, offset, commandLine);
                });
            };
        events.commandFinished = [self = shared_from_this()](std::int64_t offset,
                                                             std::optional<std::int64_t> exitCode,
                                                             std::int64_t milliseconds) {
            self->report([id = self->id_, offset, exitCode, milliseconds](TerminalClient& client) {
                client.commandFinished(id, offset, exitCode, milliseconds);
            });
        };
    }
    events.exited = [self = shared_from_this()](std::int32_t status) { self->exited(status); };
    return events;
}

void KeptShell::launched(std::shared_ptr<ShellSession> session) {
    session_ = std::move(session);
    pid_ = session_->pid();
}

void KeptShell::openedBy(std::weak_ptr<KeptShellHolder> holder,
                         std::shared_ptr<TerminalClient> client) {
    holder_ = std::move(holder);
    client_ = std::move(client);
    replayStarted_ = true;
}

void KeptShell::output(ByteView chunk, ShellEvents::Sent sent) {
    if (!client_) {
        // Nobody reads: the program must not block on its output, so the pump reads on.
        history_.append(chunk);
        sent();
        return;
    }
    if (replaying_) {
        held_.push_back({chunk, std::move(sent), {}});
        return;
    }
    // One copy into the history; the client gets the chunk from where it was read.
    history_.append(chunk);
    client_->output(id_, chunk, std::move(sent));
}

// A report comes right after the chunk it was found in: while that chunk waits behind a replay,
// so does the report, so the client never learns of output it has not yet received.
void KeptShell::report(Note note) {
    if (!client_)
        return;
    if (replaying_ && !held_.empty()) {
        held_.back().notes.push_back(std::move(note));
        return;
    }
    note(*client_);
}

Expected<std::int64_t> KeptShell::attach(std::weak_ptr<KeptShellHolder> holder,
                                         std::shared_ptr<TerminalClient> client,
                                         std::optional<std::int64_t> from, std::int64_t columns,
                                         std::int64_t rows) {
    if (from && *from < 0)
        return unexpected(std::string("from must not be negative."));
    // Output that waited for an earlier replay belongs to the history now.
    flushHeld(false);
    if (from && *from > history_.produced())
        return unexpected("from lies past the output produced so far (" +
                          std::to_string(history_.produced()) + " bytes).");
    if (client_) {
        std::shared_ptr<TerminalClient> previous = std::move(client_);
        if (auto previousHolder = holder_.lock())
            previousHolder->keptShellLeft(id_);
        previous->detached(id_, takenOverReason);
    }
    keepTimer_.cancel();
    holder_ = std::move(holder);
    client_ = std::move(client);
    ++attachment_;
    piecesInFlight_ = 0;
    cursor_ = std::max(from.value_or(0), history_.oldest());
    replaying_ = true;
    replayStarted_ = false;
    if (session_ && !exitStatus_) {
        if (columns == columns_ && rows == rows_) {
            session_->signalWindowChange();
        } else {
            session_->resize(columns, rows);
            columns_ = columns;
            rows_ = rows;
        }
    }
    return cursor_;
}

void KeptShell::startReplay() {
    if (!client_ || replayStarted_)
        return;
    replayStarted_ = true;
    replayMore();
}

// Copies each piece out of the history, so the history can take live output again as soon as
// the replay has caught up, however long the client takes to read the pieces.
void KeptShell::replayMore() {
    if (inReplayMore_)
        return;
    inReplayMore_ = true;
    while (client_ && replaying_ && piecesInFlight_ < KeptShells::piecesInFlightLimit &&
           cursor_ < history_.produced()) {
        ByteView segment = history_.segment(cursor_);
        auto piece = std::make_shared<Bytes>(segment.begin(), segment.end());
        cursor_ += static_cast<std::int64_t>(piece->size());
        ++piecesInFlight_;
        client_->output(id_, *piece, [piece, weak = weak_from_this(), attachment = attachment_] {
            auto self = weak.lock();
            if (!self || self->attachment_ != attachment)
                return;
            --self->piecesInFlight_;
            self->replayMore();
        });
    }
    inReplayMore_ = false;
    if (client_ && replaying_ && cursor_ == history_.produced()) {
        flushHeld(true);
        if (exitStatus_)
            finishExit();
    }
}

// Ends the replay: the chunks that waited join the history and, when `toClient`, follow the
// replay on the client in order; otherwise nobody reads them and they are acknowledged.
void KeptShell::flushHeld(bool toClient) {
    replaying_ = false;
    for (HeldChunk& held : std::exchange(held_, {})) {
        history_.append(held.chunk);
        if (!toClient) {
            held.sent();
            continue;
        }
        client_->output(id_, held.chunk, std::move(held.sent));
        for (const Note& note : held.notes)
            note(*client_);
    }
}

void KeptShell::exited(std::int32_t status) {
    exitStatus_ = status;
    // The session has given up its terminal; nothing reaches it any more.
    session_.reset();
    if (closed_) {
        forget();
        return;
    }
    if (client_ && !replaying_)
        finishExit();
}

// The client has seen every byte: now the exit, and the shell is gone.
void KeptShell::finishExit() {
    std::shared_ptr<TerminalClient> client = std::move(client_);
    if (auto holder = holder_.lock())
        holder->keptShellLeft(id_);
    holder_.reset();
    if (client)
        client->exited(id_, *exitStatus_);
    forget();
}

void KeptShell::detach() {
    if (!client_)
        return;
    letGo();
    keepEnds_ = std::chrono::steady_clock::now() + std::chrono::seconds(options_.keep);
    keepTimer_.expires_at(keepEnds_);
    keepTimer_.async_wait([weak = weak_from_this()](const asio::error_code& error) {
        auto self = weak.lock();
        if (error || !self || self->client_)
            return;
        self->close();
    });
}

void KeptShell::letGo() {
    flushHeld(false);
    ++attachment_;
    client_.reset();
    holder_.reset();
}

void KeptShell::close() {
    if (closed_)
        return;
    closed_ = true;
    letGo();
    keepTimer_.cancel();
    if (exitStatus_ || !session_) {
        // Ended already, or still launching: the launch's end closes a new session, whose
        // exit then forgets the shell.
        if (exitStatus_)
            forget();
        return;
    }
    session_->close();
}

void KeptShell::forget() {
    if (std::exchange(forgotten_, true))
        return;
    keepTimer_.cancel();
    if (auto registry = registry_.lock())
        registry->forget(*this);
}

void KeptShell::resized(std::int64_t columns, std::int64_t rows) {
    columns_ = columns;
    rows_ = rows;
}

KeptShellInfo KeptShell::info() {
    KeptShellInfo info;
    info.id = id_;
    info.attached = client_ != nullptr;
    info.exited = exitStatus_.has_value();
    info.oldest = history_.oldest();
    info.produced = history_.produced();
    info.columns = columns_;
    info.rows = rows_;
    info.keep = options_.keep;
    if (!client_)
        info.left = secondsUntil(keepEnds_);
    info.pid = pid_;
    if (!session_)
        return info;
    info.folder = session_->currentFolder();
    ForegroundProcess process = session_->foregroundProcess();
    if (process.busy)
        info.program = std::move(process.name);
    return info;
}

KeptShells::KeptShells(asio::any_io_executor executor, std::shared_ptr<HelperLifetime> lifetime)
    : executor_(std::move(executor)), lifetime_(std::move(lifetime)) {}

Expected<std::shared_ptr<KeptShell>> KeptShells::create(const UUID& id,
                                                        const std::string& identifier,
                                                        ShellOptions options, std::int64_t columns,
                                                        std::int64_t rows) {
    if (shells_.contains({identifier, id}))
        return unexpected(std::string("A shell with this id is already open."));
    if (historyInUse_ + options.history > historyBudget)
        return unexpected("The history of this shell would take the agent's kept output past " +
                          std::to_string(historyBudget / (1024 * 1024)) + " MiB (" +
                          std::to_string(historyInUse_) + " bytes are in use).");
    auto shell = std::make_shared<KeptShell>(executor_, weak_from_this(), id, identifier, options,
                                             columns, rows);
    shells_.emplace(std::make_pair(identifier, id), shell);
    historyInUse_ += options.history;
    if (lifetime_)
        lifetime_->shellStarted();
    return shell;
}

std::shared_ptr<KeptShell> KeptShells::find(const std::string& identifier, const UUID& id) const {
    auto found = shells_.find({identifier, id});
    return found == shells_.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<KeptShell>> KeptShells::of(const std::string& identifier) const {
    std::vector<std::shared_ptr<KeptShell>> found;
    for (auto entry = shells_.lower_bound({identifier, UUID()});
         entry != shells_.end() && entry->first.first == identifier; ++entry)
        found.push_back(entry->second);
    return found;
}

void KeptShells::closeAll() {
    std::vector<std::shared_ptr<KeptShell>> all;
    for (const auto& entry : shells_)
        all.push_back(entry.second);
    for (const auto& shell : all)
        shell->close();
}

void KeptShells::forget(const KeptShell& shell) {
    auto found = shells_.find({shell.identifier(), shell.id()});
    if (found == shells_.end() || found->second.get() != &shell)
        return;
    historyInUse_ -= shell.options().history;
    shells_.erase(found);
    if (lifetime_)
        lifetime_->shellEnded();
}

} // namespace veltro
