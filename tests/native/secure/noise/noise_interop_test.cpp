// Noise_XX_25519_ChaChaPoly_BLAKE2s against an independent implementation:
// python3-dissononce runs the other end over a socketpair, once as responder and
// once as initiator, with payloads in the handshake and transport messages both
// ways across a rekey of each direction.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "native/secure/noise/noise_cipherstate.h"
#include "native/secure/velsecure_handshake.h"
#include "tests/native/secure/noise/noise_test_support.h"

extern char** environ;

namespace velmorine::secure::testing {
namespace {

constexpr int kRounds = 6;
constexpr int kRekeyInitiatorSendsAfter = 2;
constexpr int kRekeyResponderSendsAfter = 3;

// The Python peer on the other end of a socketpair.
class PythonPeer {
 public:
  explicit PythonPeer(const char* role) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    // A peer that hangs must not hang the test run.
    const timeval limit{60, 0};
    setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    const char* source = std::getenv("VELMORINE_SOURCE_DIR");
    const std::string script = std::string(source != nullptr ? source : ".") +
                               "/tests/native/secure/noise/noise_interop_peer.py";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 0);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    char* argv[] = {const_cast<char*>("/usr/bin/python3"), const_cast<char*>(script.c_str()),
                    const_cast<char*>(role), nullptr};
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    fd_ = fds[0];
  }
  ~PythonPeer() {
    if (fd_ >= 0) close(fd_);
    if (pid_ > 0) finish();
  }

  bool started() const { return fd_ >= 0 && pid_ > 0; }

  void send(const Bytes& data) {
    Bytes frame = {static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    ASSERT_EQ(write(fd_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }

  std::optional<Bytes> receive() {
    uint8_t header[2];
    if (!read_exact(header, 2)) return std::nullopt;
    Bytes data(static_cast<size_t>(header[0] << 8 | header[1]));
    if (!read_exact(data.data(), data.size())) return std::nullopt;
    return data;
  }

  // The peer's exit code (or -1 when it did not exit normally).
  int finish() {
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  bool read_exact(uint8_t* out, size_t len) {
    while (len > 0) {
      const ssize_t got = read(fd_, out, len);
      if (got <= 0) return false;
      out += got;
      len -= static_cast<size_t>(got);
    }
    return true;
  }

  int fd_ = -1;
  pid_t pid_ = -1;
};

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes seal(NoiseCipherState* cipher, const Bytes& plaintext) {
  Bytes buffer = plaintext;
  buffer.resize(plaintext.size() + 16);
  size_t len = 0;
  EXPECT_EQ(noise_cipherstate_encrypt_with_ad(cipher, nullptr, 0, buffer.data(), plaintext.size(),
                                              buffer.size(), &len),
            0);
  buffer.resize(len);
  return buffer;
}

Bytes open(NoiseCipherState* cipher, Bytes ciphertext) {
  size_t len = 0;
  EXPECT_EQ(noise_cipherstate_decrypt_with_ad(cipher, nullptr, 0, ciphertext.data(),
                                              ciphertext.size(), &len),
            0);
  ciphertext.resize(len);
  return ciphertext;
}

class NoiseInterop : public ::testing::TestWithParam<uint32_t> {};

TEST_P(NoiseInterop, HandshakeAndTransportWithDissononce) {
  const uint32_t role = GetParam();
  const bool initiator = role == VELSECURE_ROLE_INITIATOR;
  PythonPeer peer(initiator ? "responder" : "initiator");
  ASSERT_TRUE(peer.started());

  ScriptedContext ctx;
  ctx.random.fail_when_empty = false;
  Bytes private_key(32);
  ASSERT_EQ(velsecure_context_random(ctx.context, private_key.data(), 32, nullptr), VELSECURE_OK);
  const KeyPair keys(private_key);
  peer.send(keys.public_key);
  const std::optional<Bytes> peer_static = peer.receive();
  if (!peer_static) {
    const int code = peer.finish();
    if (code == 77) GTEST_SKIP() << "python3-dissononce is not installed";
    FAIL() << "the Python peer exited with " << code;
  }

  const Bytes prologue = text("velmorine-interop");
  const auto config = handshake_config(role, keys, prologue);
  VelSecureHandshake* handshake = nullptr;
  ASSERT_EQ(velsecure_handshake_create(ctx.context, &config, &handshake, nullptr), VELSECURE_OK);
  for (int index = 0; index < 3; ++index) {
    const Bytes payload = text("hs" + std::to_string(index));
    if ((index % 2 == 0) == initiator) {
      Bytes message(256);
      size_t len = 0;
      ASSERT_EQ(velsecure_handshake_write(handshake, payload.data(), payload.size(), message.data(),
                                          message.size(), &len, nullptr),
                VELSECURE_OK);
      message.resize(len);
      peer.send(message);
    } else {
      const std::optional<Bytes> message = peer.receive();
      ASSERT_TRUE(message.has_value());
      Bytes opened(256);
      size_t len = 0;
      ASSERT_EQ(velsecure_handshake_read(handshake, message->data(), message->size(), opened.data(),
                                         opened.size(), &len, nullptr),
                VELSECURE_OK);
      opened.resize(len);
      EXPECT_EQ(opened, payload);
    }
  }
  uint8_t remote[32], hash[32];
  ASSERT_EQ(velsecure_handshake_remote_static(handshake, remote, nullptr), VELSECURE_OK);
  EXPECT_EQ(Bytes(remote, remote + 32), *peer_static);
  ASSERT_EQ(velsecure_handshake_transcript_hash(handshake, hash, nullptr), VELSECURE_OK);
  peer.send(Bytes(hash, hash + 32));
  EXPECT_EQ(peer.receive(), Bytes(hash, hash + 32));

  VelSecureTransport_s* send = nullptr;
  VelSecureTransport_s* receive = nullptr;
  ASSERT_EQ(velsecure_handshake_split(handshake, &send, &receive, nullptr), VELSECURE_OK);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const Bytes from_initiator = text("init " + std::to_string(round));
    const Bytes from_responder = text("resp " + std::to_string(round));
    if (initiator) {
      peer.send(seal(send->cipher, from_initiator));
      const std::optional<Bytes> reply = peer.receive();
      ASSERT_TRUE(reply.has_value());
      EXPECT_EQ(open(receive->cipher, *reply), from_responder);
    } else {
      const std::optional<Bytes> message = peer.receive();
      ASSERT_TRUE(message.has_value());
      EXPECT_EQ(open(receive->cipher, *message), from_initiator);
      peer.send(seal(send->cipher, from_responder));
    }
    if (round == kRekeyInitiatorSendsAfter) {
      noise_cipherstate_rekey(initiator ? send->cipher : receive->cipher);
    }
    if (round == kRekeyResponderSendsAfter) {
      noise_cipherstate_rekey(initiator ? receive->cipher : send->cipher);
    }
  }
  EXPECT_EQ(peer.receive(), text("done"));
  EXPECT_EQ(peer.finish(), 0);
  velsecure_transport_destroy(send);
  velsecure_transport_destroy(receive);
  velsecure_handshake_destroy(handshake);
}

INSTANTIATE_TEST_SUITE_P(Roles, NoiseInterop,
                         ::testing::Values(VELSECURE_ROLE_INITIATOR, VELSECURE_ROLE_RESPONDER),
                         [](const auto& param_info) {
                           return std::string(param_info.param == VELSECURE_ROLE_INITIATOR
                                                  ? "WeInitiate"
                                                  : "WeRespond");
                         });

}  // namespace
}  // namespace velmorine::secure::testing
