// The whole channel against an independent peer: a Python script that writes
// the prelude, framing and records itself and runs Noise through dissononce.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "native/secure/ve_secure_channel.h"

extern char** environ;

namespace velmorine {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* kPython = "/usr/bin/python3";
constexpr int kHangGuardMs = 120000;  // only ends a hung test; nothing waits on it

std::string script_path() {
  const char* root = std::getenv("VELMORINE_SOURCE_DIR");
  return std::string(root ? root : ".") + "/tests/native/secure/channel/noise_peer.py";
}

bool peer_available() {
  if (access(kPython, X_OK) != 0) return false;
  const std::string check = std::string(kPython) + " -c 'import dissononce' 2>/dev/null";
  return std::system(check.c_str()) == 0;
}

std::string hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

Bytes secret(uint8_t seed) {
  Bytes bytes(32);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(seed ^ (i * 11));
  return bytes;
}

// The Python peer on the other end of a socket pair.
class NoisePeer {
 public:
  NoisePeer(const char* role, uint32_t purpose, const Bytes& peer_secret) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    fd_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Our end goes first, in case it sits on descriptor 3 itself.
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    const std::string script = script_path();
    const std::string purpose_text = std::to_string(purpose);
    const std::string secret_text = hex(peer_secret);
    const char* argv[] = {kPython, script.c_str(), role, purpose_text.c_str(), secret_text.c_str(),
                          "3",     nullptr};
    EXPECT_EQ(posix_spawn(&pid_, kPython, &actions, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~NoisePeer() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) exit_status();
  }

  int fd() const { return fd_; }
  void stop_sending() { shutdown(fd_, SHUT_WR); }
  int exit_status() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int fd_ = -1;
  pid_t pid_ = -1;
};

// Moves bytes between the channel and the socket until `done` says so or the
// peer ends its stream. Returns false when the channel failed.
class Connection {
 public:
  Connection(NoisePeer& peer, VESecureChannel& channel) : peer_(peer), channel_(channel) {}

  template <typename Done>
  bool run(Done done) {
    while (!done() && !ended_) {
      if (!queue_handshake_output()) return false;
      pollfd poller{peer_.fd(), POLLIN, 0};
      if (sent_ < outgoing_.size()) poller.events |= POLLOUT;
      if (poll(&poller, 1, kHangGuardMs) <= 0) {
        ADD_FAILURE() << "peer stopped answering";
        return false;
      }
      if (poller.revents & POLLOUT) {
        const ssize_t n = write(peer_.fd(), outgoing_.data() + sent_, outgoing_.size() - sent_);
        if (n > 0) sent_ += static_cast<size_t>(n);
        if (sent_ == outgoing_.size()) {
          outgoing_.clear();
          sent_ = 0;
        }
      }
      if (poller.revents & (POLLIN | POLLHUP)) {
        uint8_t buffer[65536];
        const ssize_t n = read(peer_.fd(), buffer, sizeof buffer);
        if (n == 0) {
          ended_ = true;
        } else if (n > 0) {
          auto opened = channel_.receive(std::span(buffer, static_cast<size_t>(n)));
          if (!opened) {
            ADD_FAILURE() << "receive: " << opened.error().description;
            return false;
          }
          for (Bytes& record : *opened) records.push_back(std::move(record));
        }
      }
    }
    return true;
  }

  void send(const Bytes& bytes) { outgoing_.insert(outgoing_.end(), bytes.begin(), bytes.end()); }
  bool flushed() const { return sent_ == outgoing_.size(); }
  bool ended() const { return ended_; }

  std::vector<Bytes> records;

 private:
  bool queue_handshake_output() {
    // The last handshake message may wait even once the channel is established.
    if (channel_.closed()) return true;
    auto output = channel_.takeHandshakeOutput();
    if (!output) {
      ADD_FAILURE() << "handshake: " << output.error().description;
      return false;
    }
    send(*output);
    return true;
  }

  NoisePeer& peer_;
  VESecureChannel& channel_;
  Bytes outgoing_;
  size_t sent_ = 0;
  bool ended_ = false;
};

struct Scenario {
  const char* name;
  bool we_initiate;
  uint32_t purpose;
  size_t small_frames;  // 16-byte frames: 4100 cross the 4096-record rekey
  size_t large_frames;  // 1 MiB frames: 65 cross the 2^26-byte rekey
};
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class ChannelInterop : public testing::TestWithParam<Scenario> {};

TEST_P(ChannelInterop, HandshakeRecordsAndRekeysAgreeWithAnIndependentPeer) {
  if (!peer_available()) GTEST_SKIP() << "needs /usr/bin/python3 with python3-dissononce";
  const Scenario& scenario = GetParam();
  auto ours = VEIdentity::withSecret(secret(0x21));
  auto theirs = VEIdentity::withSecret(secret(0x42));
  ASSERT_TRUE(ours && theirs);

  NoisePeer peer(scenario.we_initiate ? "responder" : "initiator", scenario.purpose, secret(0x42));
  auto made = VESecureChannel::withIdentity(*ours, scenario.we_initiate,
                                            scenario.we_initiate ? scenario.purpose : 0);
  ASSERT_TRUE(made.has_value());
  VESecureChannel& channel = **made;
  Connection connection(peer, channel);

  // The peer's first record tells what it saw of the handshake.
  ASSERT_TRUE(connection.run([&] { return !connection.records.empty(); }));
  ASSERT_TRUE(channel.established());
  EXPECT_EQ(channel.purpose(), scenario.purpose);
  EXPECT_EQ(channel.remotePublicKey(), (*theirs)->publicKey());
  const Bytes& report = connection.records.front();
  ASSERT_EQ(report.size(), 4u + 32 + 32);
  EXPECT_EQ(Bytes(report.begin(), report.begin() + 4), Bytes({'P', 'E', 'E', 'R'}));
  EXPECT_EQ(Bytes(report.begin() + 4, report.begin() + 36), channel.transcriptHash());
  EXPECT_EQ(Bytes(report.begin() + 36, report.end()), (*ours)->publicKey());
  connection.records.clear();

  // Every record comes back with the same plaintext, in order.
  Bytes sent;
  size_t expected_records = 0;
  const auto send_frame = [&](size_t size, size_t index) {
    Bytes frame(size);
    for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(index * 31 + i);
    auto sealed = channel.encrypt(frame);
    ASSERT_TRUE(sealed.has_value());
    connection.send(*sealed);
    sent.insert(sent.end(), frame.begin(), frame.end());
    expected_records += (size + 61439) / 61440;
  };
  for (size_t i = 0; i < scenario.small_frames; ++i) {
    send_frame(16, i);
    if (i % 512 == 511) {
      ASSERT_TRUE(connection.run([&] { return connection.flushed(); }));
    }
  }
  for (size_t i = 0; i < scenario.large_frames; ++i) {
    send_frame(1 << 20, i);
    ASSERT_TRUE(connection.run([&] { return connection.flushed(); }));
  }
  ASSERT_TRUE(connection.run([&] { return connection.records.size() == expected_records; }));
  Bytes echoed;
  for (const Bytes& record : connection.records)
    echoed.insert(echoed.end(), record.begin(), record.end());
  EXPECT_TRUE(echoed == sent);

  // A clean end on both sides.
  peer.stop_sending();
  ASSERT_TRUE(connection.run([] { return false; }));
  EXPECT_TRUE(connection.ended());
  EXPECT_TRUE(channel.finish().has_value());
  EXPECT_EQ(peer.exit_status(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    BothRoles, ChannelInterop,
    testing::Values(Scenario{"WeInitiateControlAcrossBothRekeys", true, 1, 4100, 65},
                    Scenario{"WeRespondToDataAcrossTheRecordRekey", false, 2, 4100, 0},
                    Scenario{"WeRespondToControl", false, 1, 3, 1}),
    [](const testing::TestParamInfo<Scenario>& param) { return param.param.name; });

TEST(ChannelInteropEnd, PeerReportsARecordCutShort) {
  if (!peer_available()) GTEST_SKIP() << "needs /usr/bin/python3 with python3-dissononce";
  auto ours = VEIdentity::withSecret(secret(0x21));
  NoisePeer peer("responder", 1, secret(0x42));
  auto made = VESecureChannel::withIdentity(*ours, true, 1);
  VESecureChannel& channel = **made;
  Connection connection(peer, channel);
  ASSERT_TRUE(connection.run([&] { return !connection.records.empty(); }));
  auto sealed = channel.encrypt(Bytes(100, 7));
  connection.send(Bytes(sealed->begin(), sealed->begin() + 50));
  ASSERT_TRUE(connection.run([&] { return connection.flushed(); }));
  peer.stop_sending();
  EXPECT_EQ(peer.exit_status(), 3);
}

}  // namespace
}  // namespace velmorine
