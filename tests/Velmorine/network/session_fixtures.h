#pragma once

// Pieces shared by the peer-session tests: announcements, hand-written HELLO frames, a
// reminder client whose answers the test holds or gives at once, and a name for each way a
// session can end.

#include <deque>
#include <exception>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Velmorine/network/bridge_error.h"
#include "Velmorine/network/peer_session_failure.h"
#include "Velmorine/network/reminder_route_client.h"
#include "Velmorine/network/secure_connection_failure.h"
#include "Velmorine/network/trust_failure.h"
#include "native/protocol/ve_frame.h"
#include "native/protocol/ve_protocol.h"

namespace velmorine::network::testing {

inline VEAnnouncement announcementOf(const std::string& deviceID, const std::string& fingerprint,
                                     const std::string& nonce, uint16_t port = 4100) {
  const auto datagram =
      VEProtocol::discoveryWithID(deviceID, "Peer", fingerprint, nonce, port, 15, 1);
  // Parsed as some third device would read it.
  return *VEProtocol::parseDiscovery(*datagram, "00000000-0000-4000-8000-0000000000aa");
}

inline VEFrame frameOf(int32_t kind, std::string header, std::vector<uint8_t> payload = {}) {
  protocol::Frame frame;
  frame.type = kind;
  frame.header_utf8 = std::move(header);
  frame.payload = std::move(payload);
  return VEFrame(std::move(frame));
}

// A HELLO header in the wire's member order, with `extra` members before the closing brace.
inline std::string helloHeader(const std::string& deviceID, const std::string& nonce,
                               const std::string& purpose = "control",
                               const std::string& extra = "") {
  return R"({"major":2,"minor":0,"type":"HELLO","id":"3e0c5b1a-7d2f-4c8e-9a6b-1f2e3d4c5b6a",)"
         R"("sender":")" +
         deviceID + R"(","device_id":")" + deviceID + R"(","process_nonce":")" + nonce +
         R"(","purpose":")" + purpose + "\"" + extra + "}";
}

// A header of exactly `length` bytes: the HELLO padded with a "pad" member.
inline std::string paddedHelloHeader(const std::string& deviceID, const std::string& nonce,
                                     size_t length) {
  const std::string bare = helloHeader(deviceID, nonce, "control", R"(,"pad":"")");
  return helloHeader(deviceID, nonce, "control",
                     R"(,"pad":")" + std::string(length - bare.size(), 'p') + "\"");
}

inline VEFrame noteFrame(int n, size_t payload = 0) {
  return frameOf(protocol::FrameKind::other, R"({"type":"NOTE","n":)" + std::to_string(n) + "}",
                 std::vector<uint8_t>(payload, 7));
}

inline VEFrame notifyRouteFrame(const std::optional<ReminderGrant>& grant) {
  return *VEProtocol::reminderRouteWithJSON(makeNotifyRoute(grant));
}

// How a session ended, as one word the tables can name.
inline std::string outcomeOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const PeerSessionFailure& failure) {
    return std::string(caseName(failure.failure()));
  } catch (const TrustFailure& failure) {
    return "trust." + std::string(caseName(failure.failure()));
  } catch (const SecureConnectionFailure& failure) {
    return std::string("connection.") + failure.what();
  } catch (const BridgeError&) {
    return "decoder";
  } catch (const nlohmann::json::exception&) {
    return "json";
  } catch (const std::invalid_argument&) {
    return "route";
  } catch (...) {
    return "other";
  }
}

// A reminder client that answers at once with what the test set, or holds its answers until
// the test releases them.
class FakeReminderClient final : public ReminderRouteClient {
 public:
  void configure(std::vector<uint8_t> localPublicKey, Configured done) override {
    configuredKeys.push_back(std::move(localPublicKey));
    done(nullptr);
  }
  void issueGrant(AuthenticatedPeer peer, Issued done) override {
    issuedFor.push_back(peer);
    if (hold) {
      heldIssues.push_back(std::move(done));
      return;
    }
    if (failIssue) {
      done(std::nullopt, std::make_exception_ptr(std::runtime_error("service")));
      return;
    }
    done(grantToIssue, nullptr);
  }
  void acceptGrant(std::optional<ReminderGrant> grant, AuthenticatedPeer peer,
                   Accepted done) override {
    accepted.push_back({std::move(grant), std::move(peer)});
    if (hold) {
      heldAccepts.push_back(std::move(done));
      return;
    }
    done(takeGrants, nullptr);
  }

  struct Acceptance {
    std::optional<ReminderGrant> grant;
    AuthenticatedPeer peer;
  };

  std::optional<ReminderGrant> grantToIssue;
  bool takeGrants = true;
  bool failIssue = false;
  bool hold = false;
  std::vector<std::vector<uint8_t>> configuredKeys;
  std::vector<AuthenticatedPeer> issuedFor;
  std::vector<Acceptance> accepted;
  std::deque<Issued> heldIssues;
  std::deque<Accepted> heldAccepts;
};

}  // namespace velmorine::network::testing
