#include "service/FakeConnection.hpp"

#include "service/XPCTerminalClient.hpp"

#include <gtest/gtest.h>

using namespace veltro;
using namespace veltro::testing;

TEST(XPCTerminalClient, ReleasedConnectionAcknowledgesOutputAtOnceAndSendsNothing) {
    auto connection = std::make_shared<FakeConnection>();
    auto journal = connection->journal;
    XPCTerminalClient client(connection);
    connection.reset();

    int sent = 0;
    client.output(UUID::random(), {'a'}, [&] { ++sent; });
    EXPECT_EQ(sent, 1);
    client.exited(UUID::random(), 0);
    client.folderChanged(UUID::random(), "/tmp");
    EXPECT_TRUE(journal->read().empty());
}

TEST(XPCTerminalClient, OutputIsAcknowledgedOnlyByTheBarrierAfterItsMessage) {
    auto connection = std::make_shared<FakeConnection>();
    XPCTerminalClient client(connection);
    int sent = 0;
    Bytes chunk(4096, 'q');
    const std::uint8_t* original = chunk.data();
    client.output(UUID::random(), std::move(chunk), [&] { ++sent; });
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(connection->journal->read(), (std::vector<std::string>{"output", "barrier"}));
    connection->runBarriers();
    EXPECT_EQ(sent, 1);
    ASSERT_EQ(connection->journal->outputs.size(), 1u);
    EXPECT_EQ(connection->journal->outputs[0].data(), original);
}

TEST(XPCTerminalClient, EveryMessageFetchesAFreshProxy) {
    auto connection = std::make_shared<FakeConnection>();
    XPCTerminalClient client(connection);
    client.output(UUID::random(), {'a'}, [] {});
    client.exited(UUID::random(), 256);
    client.folderChanged(UUID::random(), "/");
    EXPECT_EQ(connection->proxies, 3);
    EXPECT_EQ(connection->journal->read(),
              (std::vector<std::string>{"output", "barrier", "exited", "folder"}));
}

TEST(XPCTerminalClient, MissingProxyIsHandledLikeAReleasedConnection) {
    auto connection = std::make_shared<FakeConnection>();
    connection->withProxy = false;
    XPCTerminalClient client(connection);
    int sent = 0;
    client.output(UUID::random(), {'a'}, [&] { ++sent; });
    client.exited(UUID::random(), 0);
    EXPECT_EQ(sent, 1);
    EXPECT_TRUE(connection->journal->read().empty());
}

TEST(XPCTerminalClient, CopiesShareTheBoxAndSeeTheConnectionGoTogether) {
    auto connection = std::make_shared<FakeConnection>();
    auto journal = connection->journal;
    XPCTerminalClient client(connection);
    XPCTerminalClient copy = client;
    EXPECT_EQ(copy.box, client.box);
    copy.exited(UUID::random(), 0);
    EXPECT_EQ(journal->read().size(), 1u);

    // The link does not keep the connection alive.
    std::weak_ptr<FakeConnection> weak = connection;
    connection.reset();
    EXPECT_TRUE(weak.expired());
    int sent = 0;
    client.output(UUID::random(), {'a'}, [&] { ++sent; });
    copy.output(UUID::random(), {'b'}, [&] { ++sent; });
    copy.folderChanged(UUID::random(), "/");
    EXPECT_EQ(sent, 2);
    EXPECT_EQ(journal->read().size(), 1u);
}
