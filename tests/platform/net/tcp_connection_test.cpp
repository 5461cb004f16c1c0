#include "platform/net/tcp_connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/net/tcp_listener.h"
#include "tests/platform/net/private_network.h"

namespace velmorine::platform {
namespace {

using namespace std::chrono_literals;

template <typename T>
T await(std::future<T> future) {
  EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
  return future.get();
}

// A listener and one dialled connection to it, both ready, on one queue.
class ConnectedPair : public ::testing::Test {
 protected:
  void SetUp() override { connect_to("127.0.0.1"); }

  void connect_to(const std::string& host, std::optional<PinnedRoute> pin = std::nullopt) {
    std::promise<std::shared_ptr<TcpConnection>> accepted;
    std::promise<ConnectionState> dialled;
    queue_.sync([&] {
      std::error_code error;
      if (!listener_) {
        listener_ = TcpListener::open(queue_, 0, error);
        ASSERT_TRUE(listener_) << error.message();
      }
      listener_->start([&, once = std::make_shared<bool>(false)](auto connection) {
        if (*once) return;
        *once = true;
        accepted.set_value(connection);
      });
      client_ = TcpConnection::dial(queue_, host, listener_->port(), pin);
      client_->set_state_handler(
          [&, once = std::make_shared<bool>(false)](ConnectionState state, std::error_code) {
            if (state == ConnectionState::preparing || *once) return;
            *once = true;
            dialled.set_value(state);
          });
      client_->start();
    });
    ASSERT_EQ(await(dialled.get_future()), ConnectionState::ready);
    server_ = await(accepted.get_future());
    std::promise<ConnectionState> ready;
    queue_.sync([&] {
      server_->set_state_handler([&](ConnectionState state, std::error_code) {
        if (state == ConnectionState::ready) ready.set_value(state);
      });
      server_->start();
    });
    ASSERT_EQ(await(ready.get_future()), ConnectionState::ready);
  }

  void TearDown() override {
    queue_.sync([&] {
      if (client_) client_->cancel();
      if (server_) server_->cancel();
      if (listener_) listener_->cancel();
      client_.reset();
      server_.reset();
      listener_.reset();
    });
  }

  struct Received {
    std::vector<uint8_t> content;
    bool end = false;
    std::error_code error;
  };

  Received receive_on(const std::shared_ptr<TcpConnection>& connection, size_t maximum) {
    std::promise<Received> got;
    queue_.sync([&] {
      connection->receive(maximum,
                          [&](std::span<const uint8_t> content, bool end, std::error_code e) {
                            got.set_value({{content.begin(), content.end()}, end, e});
                          });
    });
    return await(got.get_future());
  }

  SerialQueue queue_{"test.net"};
  std::shared_ptr<TcpListener> listener_;
  std::shared_ptr<TcpConnection> client_;
  std::shared_ptr<TcpConnection> server_;
};

TEST_F(ConnectedPair, BytesTravelWithCompletionAndChunksRespectTheMaximum) {
  std::promise<std::error_code> sent;
  const std::vector<uint8_t> message(100, 0x5a);
  queue_.sync([&] { client_->send(message, [&](std::error_code e) { sent.set_value(e); }); });
  EXPECT_FALSE(await(sent.get_future()));

  std::vector<uint8_t> all;
  while (all.size() < message.size()) {
    auto chunk = receive_on(server_, 10);
    ASSERT_FALSE(chunk.error);
    ASSERT_FALSE(chunk.end);
    ASSERT_GE(chunk.content.size(), 1u);
    ASSERT_LE(chunk.content.size(), 10u);
    all.insert(all.end(), chunk.content.begin(), chunk.content.end());
  }
  EXPECT_EQ(all, message);
}

// The content lies in the connection's reused buffer: a handler that asks for the next chunk
// before it is done with this one still reads this one, and the next chunk follows in order.
TEST_F(ConnectedPair, NextReceiveAskedInsideTheHandlerLeavesTheContentIntact) {
  std::promise<std::error_code> sent;
  const std::vector<uint8_t> message{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  queue_.sync([&] { client_->send(message, [&](std::error_code e) { sent.set_value(e); }); });
  EXPECT_FALSE(await(sent.get_future()));

  // Wait until all of it is readable, so the next read could land at once.
  std::promise<void> readable;
  queue_.sync([&] {
    server_->receive(1, [&](std::span<const uint8_t> content, bool, std::error_code) {
      EXPECT_EQ(content.size(), 1u);
      readable.set_value();
    });
  });
  await(readable.get_future());
  std::vector<uint8_t> all{'a'};
  std::promise<void> done;
  queue_.sync([&] {
    server_->receive(3, [&](std::span<const uint8_t> first, bool, std::error_code) {
      server_->receive(4, [&](std::span<const uint8_t> second, bool, std::error_code) {
        all.insert(all.end(), second.begin(), second.end());
        done.set_value();
      });
      all.insert(all.end(), first.begin(), first.end());
    });
  });
  await(done.get_future());
  EXPECT_EQ(all, message);
}

TEST_F(ConnectedPair, BothEndsKnowTheirEndpoints) {
  queue_.sync([&] {
    auto local = client_->local_endpoint();
    auto remote = client_->remote_endpoint();
    ASSERT_TRUE(local && remote);
    EXPECT_EQ(remote->host_text(), "127.0.0.1");
    EXPECT_EQ(remote->port, listener_->port());
    EXPECT_EQ(server_->remote_endpoint(), local);
    EXPECT_EQ(local->ipv4(), parse_ipv4("127.0.0.1"));
  });
}

TEST_F(ConnectedPair, PeerCancelEndsTheStreamAndCancelIsReportedOnce) {
  int cancelled_reports = 0;
  std::promise<void> reported;
  queue_.sync([&] {
    client_->set_state_handler([&](ConnectionState state, std::error_code) {
      if (state == ConnectionState::cancelled && ++cancelled_reports == 1) reported.set_value();
    });
    client_->cancel();
    client_->cancel();
  });
  auto end = receive_on(server_, 65536);
  EXPECT_TRUE(end.end || end.error);
  EXPECT_TRUE(end.content.empty());
  await(reported.get_future());
  queue_.sync([] {});
  EXPECT_EQ(cancelled_reports, 1);
  queue_.sync([&] {
    EXPECT_EQ(client_->pinned_route().error(),
              std::make_error_code(std::errc::network_unreachable));
  });
}

TEST_F(ConnectedPair, ReceiveAfterCancelNeverCompletes) {
  bool called = false;
  queue_.sync([&] {
    server_->receive(16, [&](auto, bool, std::error_code) { called = true; });
    server_->cancel();
  });
  queue_.sync([] {});
  EXPECT_FALSE(called);
}

TEST(TcpDial, RefusedAndInvalidHostsFail) {
  SerialQueue queue("test.net.fail");
  struct Case {
    std::string host;
    std::error_code expected;
  };
  // Port 1 on loopback: nothing listens there in a test run.
  const std::vector<Case> cases = {
      {"127.0.0.1", std::make_error_code(std::errc::connection_refused)},
      {"not-an-address", std::make_error_code(std::errc::invalid_argument)},
  };
  for (const auto& c : cases) {
    std::promise<std::pair<ConnectionState, std::error_code>> outcome;
    std::shared_ptr<TcpConnection> connection;
    queue.sync([&] {
      connection = TcpConnection::dial(queue, c.host, 1);
      connection->set_state_handler([&](ConnectionState state, std::error_code e) {
        if (state != ConnectionState::preparing) outcome.set_value({state, e});
      });
      connection->start();
    });
    auto [state, error] = await(outcome.get_future());
    EXPECT_EQ(state, ConnectionState::failed) << c.host;
    EXPECT_EQ(error, c.expected) << c.host << ": " << error.message();
    queue.sync([&] { connection.reset(); });
  }
}

TEST(PinnedDial, SecondConnectionLeavesByTheFirstOnesAddressAndDevice_NeedsRoot) {
  std::string why;
  const bool ran = velmorine::testing::in_private_network(
      [&] {
        using velmorine::testing::ip;
        ASSERT_TRUE(ip("link set lo up"));
        ASSERT_TRUE(ip("link add vm0 type veth peer name vm1"));
        ASSERT_TRUE(ip("addr add 10.77.0.1/24 dev vm0"));
        ASSERT_TRUE(ip("addr add 10.77.0.2/24 dev vm1"));
        ASSERT_TRUE(ip("link set vm0 up"));
        ASSERT_TRUE(ip("link set vm1 up"));

        SerialQueue queue("test.net.pin");
        std::error_code error;
        std::shared_ptr<TcpListener> listener;
        std::vector<std::shared_ptr<TcpConnection>> accepted;
        std::promise<void> two_accepted;
        queue.sync([&] {
          listener = TcpListener::open(queue, 0, error);
          ASSERT_TRUE(listener);
          listener->start([&](auto connection) {
            accepted.push_back(connection);
            if (accepted.size() == 2) two_accepted.set_value();
          });
        });
        ASSERT_TRUE(listener);

        auto dial = [&](std::optional<PinnedRoute> pin) {
          std::promise<ConnectionState> done;
          std::shared_ptr<TcpConnection> connection;
          queue.sync([&] {
            connection = TcpConnection::dial(queue, "10.77.0.1", listener->port(), pin);
            connection->set_state_handler(
                [&, once = std::make_shared<bool>(false)](ConnectionState state, std::error_code) {
                  if (state == ConnectionState::preparing || *once) return;
                  *once = true;
                  done.set_value(state);
                });
            connection->start();
          });
          EXPECT_EQ(await(done.get_future()), ConnectionState::ready);
          return connection;
        };

        auto control = dial(std::nullopt);
        std::expected<PinnedRoute, std::error_code> route;
        queue.sync([&] { route = control->pinned_route(); });
        ASSERT_TRUE(route.has_value()) << route.error().message();
        EXPECT_EQ(route->local_address, *parse_ipv4("10.77.0.1"));
        EXPECT_EQ(route->interface_name, "vm0");

        auto data = dial(*route);
        await(two_accepted.get_future());
        queue.sync([&] {
          EXPECT_EQ(data->local_endpoint()->ipv4(), parse_ipv4("10.77.0.1"));
          for (auto& connection : accepted) connection->cancel();
          control->cancel();
          data->cancel();
          listener->cancel();
          accepted.clear();
          control.reset();
          data.reset();
          listener.reset();
        });
      },
      why);
  if (!ran) GTEST_SKIP() << why;
}

}  // namespace
}  // namespace velmorine::platform
