#pragma once

// `VEDiscoveryProbe`: a self-contained discovery component, not used by the application's
// start-up. With its own queue, one UDP socket, one TCP listener (which only accepts and
// closes, so that the announced port is real) and a timer, it announces a throw-away (or a
// configured) identity every 3 seconds and lists the peers it hears, reporting a status
// text and a phase on the callback queue. It proves nothing: nothing is authenticated.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "native/protocol/discovery_announcement.h"
#include "native/protocol/uuid.h"
#include "platform/dispatch/read_source.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/dispatch/timer.h"

namespace velmorine {

struct VEDiscoveredPeer {
  core::Uuid deviceID;
  std::string name;
  // "Windows", "Linux", "iOS", "Android", "macOS", or "Unknown" for a number without a name.
  std::string platform;
  std::string endpoint;  // sender's dotted IPv4 address, ":", announced TCP port

  friend bool operator==(const VEDiscoveredPeer&, const VEDiscoveredPeer&) = default;
};

// The clocks and port a probe runs on; tests replace them.
struct VEDiscoveryProbeEnvironment {
  std::shared_ptr<platform::UptimeClock> uptime = platform::system_uptime_clock();
  std::function<double()> wallClock;  // seconds; the system clock when empty
  uint16_t port = 53317;
};

class VEDiscoveryProbe : public std::enable_shared_from_this<VEDiscoveryProbe> {
 public:
  enum Phase : int { kStopped = 0, kRunning = 1, kNoUsableInterface = 2, kFailed = 3 };

  using Environment = VEDiscoveryProbeEnvironment;

  using OnUpdate =
      std::function<void(const std::string& status, const std::vector<std::string>& lines)>;
  using OnSnapshot = std::function<void(int phase, const std::vector<VEDiscoveredPeer>& peers)>;

  // Reports go to `callbackQueue` (the application's main queue).
  static std::shared_ptr<VEDiscoveryProbe> create(platform::SerialQueue& callbackQueue,
                                                  Environment environment = {});
  // Announces `deviceID` with the fingerprint of the key made from `privateSeed` (32 bytes);
  // nothing when the seed has another length or the key cannot be derived.
  static std::shared_ptr<VEDiscoveryProbe> createWithDeviceID(platform::SerialQueue& callbackQueue,
                                                              const core::Uuid& deviceID,
                                                              std::span<const uint8_t> privateSeed,
                                                              Environment environment = {});
  ~VEDiscoveryProbe();

  // Both only queue the work on the probe's queue.
  void start();
  void stop();

  // Set before `start`; called on the callback queue.
  OnUpdate onUpdate;
  OnSnapshot onSnapshot;

  // The probe's own queue (labelled "<product>.discovery-probe").
  platform::SerialQueue& queue() { return *queue_; }

 private:
  struct Interface {
    uint32_t address = 0;
    std::optional<uint32_t> broadcast;
    std::string name;
    uint32_t index = 0;
  };
  struct Peer {
    protocol::DiscoveryAnnouncement announcement;
    std::string endpoint;
    double lastHeard = 0;
  };

  VEDiscoveryProbe(platform::SerialQueue& callbackQueue, Environment environment);
  void startOnQueue();
  void stopOnQueue(bool report);
  void closeAll();
  void announce();
  void readDatagrams();
  void acceptAndClose();
  void publish(const std::string& status, int phase);
  double wallNow() const;

  platform::SerialQueue& callbackQueue_;
  Environment environment_;
  std::unique_ptr<platform::SerialQueue> queue_;
  std::unique_ptr<platform::ReadSource> udpSource_;
  std::unique_ptr<platform::Timer> timer_;
  std::unique_ptr<platform::ReadSource> tcpSource_;
  int udpFd_ = -1;
  int tcpFd_ = -1;
  std::vector<Interface> interfaces_;
  std::map<std::string, Peer> peers_;
  protocol::DiscoveryAnnouncement announcement_;
  std::optional<core::Uuid> deviceID_;
  std::string configuredFingerprint_;
  bool destroyed_ = false;  // on the probe's queue
};

}  // namespace velmorine
