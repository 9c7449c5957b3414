#pragma once

#include "xpc/Connection.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace veltro::testing {

// A connection that records how it was set up and what was sent through it, and lets the test
// run its handlers and send barriers.
class FakeConnection final : public xpc::Connection {
public:
    // Each entry names one event, in order: "output", "exited", "folder", "barrier".
    struct Journal {
        std::mutex mutex;
        std::vector<std::string> entries;
        std::vector<Bytes> outputs;
        void add(std::string entry) {
            std::lock_guard guard(mutex);
            entries.push_back(std::move(entry));
        }
        std::vector<std::string> read() {
            std::lock_guard guard(mutex);
            return entries;
        }
    };

    class Proxy final : public TerminalClientProtocol {
    public:
        explicit Proxy(std::shared_ptr<Journal> journal) : journal(std::move(journal)) {}
        void output(UUID, Bytes data) override {
            {
                std::lock_guard guard(journal->mutex);
                journal->outputs.push_back(std::move(data));
            }
            journal->add("output");
        }
        void exited(UUID, std::int32_t) override { journal->add("exited"); }
        void folderChanged(UUID, std::string) override { journal->add("folder"); }

    private:
        std::shared_ptr<Journal> journal;
    };

    void setCodeSigningRequirement(std::string value) override {
        std::lock_guard guard(mutex);
        requirement = std::move(value);
        setup.push_back("requirement");
    }
    void setExportedObject(std::shared_ptr<TerminalHelperProtocol> object) override {
        std::lock_guard guard(mutex);
        exported = std::move(object);
        setup.push_back("exported");
    }
    void setExportedObject(std::shared_ptr<TerminalClientProtocol>) override {
        std::lock_guard guard(mutex);
        setup.push_back("exported client");
    }
    std::shared_ptr<TerminalClientProtocol> clientProxy() override {
        std::lock_guard guard(mutex);
        ++proxies;
        return withProxy ? std::make_shared<Proxy>(journal) : nullptr;
    }
    std::shared_ptr<TerminalHelperProtocol> helperProxy() override { return nullptr; }
    void setInvalidationHandler(std::function<void()> handler) override {
        std::lock_guard guard(mutex);
        invalidation = std::move(handler);
        setup.push_back("invalidation");
    }
    void setInterruptionHandler(std::function<void()> handler) override {
        std::lock_guard guard(mutex);
        interruption = std::move(handler);
        setup.push_back("interruption");
    }
    void resume() override {
        std::lock_guard guard(mutex);
        setup.push_back("resume");
        if (onResume)
            onResume();
    }
    void invalidate() override {}
    void scheduleSendBarrierBlock(std::function<void()> block) override {
        journal->add("barrier");
        std::lock_guard guard(mutex);
        barriers.push_back(std::move(block));
    }

    // Runs the barriers scheduled so far, as the connection would once their messages left.
    void runBarriers() {
        std::vector<std::function<void()>> pending;
        {
            std::lock_guard guard(mutex);
            pending.swap(barriers);
        }
        for (auto& block : pending)
            block();
    }

    std::mutex mutex;
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    bool withProxy = true;
    int proxies = 0;
    std::optional<std::string> requirement;
    std::shared_ptr<TerminalHelperProtocol> exported;
    std::function<void()> invalidation;
    std::function<void()> interruption;
    std::function<void()> onResume;
    std::vector<std::string> setup;
    std::vector<std::function<void()>> barriers;
};

} // namespace veltro::testing
