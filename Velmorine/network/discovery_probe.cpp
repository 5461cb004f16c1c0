#include "Velmorine/network/discovery_probe.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>

#include "native/product/product_identifier.h"
#include "native/secure/ve_identity.h"
#include "native/secure/velsecure_context.h"
#include "platform/net/interfaces.h"

namespace velmorine {

namespace {

constexpr int kMulticastTtl = 1;
constexpr int kListenBacklog = 4;
constexpr double kAnnouncePeriod = 3.0;
constexpr double kAnnounceLeeway = 0.1;
constexpr size_t kReceiveBuffer = 8193;
constexpr int kMaxReadsPerEvent = 64;
constexpr int kMaxAcceptsPerEvent = 16;
constexpr size_t kMaxInterfaces = 16;
constexpr size_t kMaxPeers = 128;
constexpr double kPeerLifetime = 10.0;
constexpr std::string_view kGroup = "239.255.53.17";

std::string hex(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

// 32 bytes from a default velsecure environment, as 64 lower-case hexadecimal digits.
std::optional<std::string> fresh_nonce() {
  const VelSecurePlatform platform = velsecure_platform_default();
  VelSecureContext_s* context = nullptr;
  if (velsecure_context_create(&platform, &context, nullptr) != VELSECURE_OK) return std::nullopt;
  std::array<uint8_t, 32> nonce{};
  const bool ok =
      velsecure_context_random(context, nonce.data(), nonce.size(), nullptr) == VELSECURE_OK;
  velsecure_context_destroy(context);
  if (!ok) return std::nullopt;
  return hex(nonce);
}

std::string platform_label(int32_t platform) {
  switch (platform) {
    case protocol::kPlatformWindows:
      return "Windows";
    case protocol::kPlatformLinux:
      return "Linux";
    case protocol::kPlatformIos:
      return "iOS";
    case protocol::kPlatformAndroid:
      return "Android";
    case protocol::kPlatformMacos:
      return "macOS";
    default:
      return "Unknown";
  }
}

std::string errno_text(const char* format, int code) {
  char text[160];
  std::snprintf(text, sizeof text, format, code);
  return text;
}

uint32_t group_address() {
  in_addr group{};
  inet_pton(AF_INET, std::string(kGroup).c_str(), &group);
  return group.s_addr;
}

}  // namespace

std::shared_ptr<VEDiscoveryProbe> VEDiscoveryProbe::create(platform::SerialQueue& callbackQueue,
                                                           Environment environment) {
  return std::shared_ptr<VEDiscoveryProbe>(
      new VEDiscoveryProbe(callbackQueue, std::move(environment)));
}

std::shared_ptr<VEDiscoveryProbe> VEDiscoveryProbe::createWithDeviceID(
    platform::SerialQueue& callbackQueue, const core::Uuid& deviceID,
    std::span<const uint8_t> privateSeed, Environment environment) {
  if (privateSeed.size() != VEIdentity::kSecretLength) return nullptr;
  // The identity holds the only copy of the seed and wipes it when released below.
  auto identity = VEIdentity::withSecret(privateSeed);
  if (!identity) return nullptr;
  auto probe = create(callbackQueue, std::move(environment));
  probe->deviceID_ = deviceID;
  probe->configuredFingerprint_ = (*identity)->fingerprint();
  return probe;
}

VEDiscoveryProbe::VEDiscoveryProbe(platform::SerialQueue& callbackQueue, Environment environment)
    : callbackQueue_(callbackQueue), environment_(std::move(environment)) {
  queue_ = std::make_unique<platform::SerialQueue>(product_scoped("discovery-probe"),
                                                   environment_.uptime);
  announcement_.wire_major = protocol::kDiscoveryWireMajor;
}

VEDiscoveryProbe::~VEDiscoveryProbe() {
  // Work on the probe's queue refers to the probe without owning it: once this runs, nothing
  // queued does anything, the sources and timer are gone, and stopping the queue waits for
  // whatever was running on it.
  queue_->sync([this] {
    destroyed_ = true;
    closeAll();
  });
  queue_.reset();
}

void VEDiscoveryProbe::start() {
  queue_->async([this] {
    if (!destroyed_) startOnQueue();
  });
}

void VEDiscoveryProbe::stop() {
  queue_->async([this] {
    if (!destroyed_) stopOnQueue(true);
  });
}

double VEDiscoveryProbe::wallNow() const {
  if (environment_.wallClock) return environment_.wallClock();
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void VEDiscoveryProbe::closeAll() {
  timer_.reset();
  // The read sources own their descriptors; one without a source is closed directly.
  if (udpSource_) {
    udpSource_.reset();
  } else if (udpFd_ >= 0) {
    ::close(udpFd_);
  }
  if (tcpSource_) {
    tcpSource_.reset();
  } else if (tcpFd_ >= 0) {
    ::close(tcpFd_);
  }
  udpFd_ = -1;
  tcpFd_ = -1;
}

void VEDiscoveryProbe::stopOnQueue(bool report) {
  closeAll();
  interfaces_.clear();
  peers_.clear();
  if (report) publish("探针已停止", kStopped);
}

void VEDiscoveryProbe::startOnQueue() {
  stopOnQueue(false);
  auto fail = [this](const std::string& status, int phase) {
    closeAll();
    publish(status, phase);
  };

  // Identity: a throw-away key pair unless one was configured, and a fresh process nonce.
  std::string fingerprint = configuredFingerprint_;
  if (!deviceID_) {
    auto identity = VEIdentity::generate();
    if (identity) fingerprint = (*identity)->fingerprint();
  }
  const auto nonce = fresh_nonce();
  if (fingerprint.empty() || !nonce) return fail("安全随机源或身份生成失败；未启动网络", kFailed);

  const auto id = core::Uuid::parse((deviceID_ ? *deviceID_ : core::Uuid::random()).to_string());
  if (!id || id->is_nil()) return fail("设备 UUID 生成失败", kFailed);

  announcement_ = {};
  announcement_.wire_major = protocol::kDiscoveryWireMajor;
  announcement_.wire_minor = protocol::kDiscoveryWireMinor;
  announcement_.device_id = *id;
  announcement_.display_name_utf8 = deviceID_ ? "Velmorine" : "Velmorine Mac discovery probe";
  announcement_.secure_channel = std::string(protocol::kDiscoverySecureChannel);
  announcement_.public_key_fingerprint = fingerprint;
  announcement_.process_nonce = *nonce;
  announcement_.capabilities = 0;
  announcement_.sequence = 0;
  announcement_.platform = protocol::kPlatformLinux;

  std::error_code listed;
  const auto entries = platform::ipv4_interface_addresses(listed);
  if (listed) return fail("无法读取网络接口", kFailed);
  constexpr unsigned kMask = IFF_UP | IFF_LOOPBACK | IFF_POINTOPOINT | IFF_RUNNING | IFF_MULTICAST;
  constexpr unsigned kWanted = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
  for (const auto& entry : entries) {
    if ((entry.flags & kMask) != kWanted) continue;
    if (interfaces_.size() == kMaxInterfaces) break;
    interfaces_.push_back({entry.address, entry.broadcast, entry.name, entry.index});
  }
  if (interfaces_.empty()) return fail("没有可用的 Wi-Fi / 以太网 IPv4 接口", kNoUsableInterface);

  tcpFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  udpFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  if (tcpFd_ < 0 || udpFd_ < 0 ||
      bind(tcpFd_, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
      listen(tcpFd_, kListenBacklog) != 0) {
    return fail("创建监听 socket 失败", kFailed);
  }
  sockaddr_in bound{};
  socklen_t bound_length = sizeof bound;
  if (getsockname(tcpFd_, reinterpret_cast<sockaddr*>(&bound), &bound_length) != 0) {
    return fail("读取监听端口失败", kFailed);
  }
  announcement_.tcp_port = ntohs(bound.sin_port);

  const int one = 1;
  const int zero = 0;
  const unsigned char ttl = kMulticastTtl;
  sockaddr_in discovery = any;
  discovery.sin_port = htons(environment_.port);
  // IP_MULTICAST_ALL off: the socket hears only the group it joined, not those of other
  // programs on the same port.
  const bool configured =
      setsockopt(udpFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
      setsockopt(udpFd_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) == 0 &&
      setsockopt(udpFd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0 &&
      setsockopt(udpFd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
      setsockopt(udpFd_, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero) == 0 &&
      fcntl(udpFd_, F_SETFL, fcntl(udpFd_, F_GETFL) | O_NONBLOCK) == 0 &&
      fcntl(tcpFd_, F_SETFL, fcntl(tcpFd_, F_GETFL) | O_NONBLOCK) == 0 &&
      bind(udpFd_, reinterpret_cast<const sockaddr*>(&discovery), sizeof discovery) == 0;
  if (!configured) return fail(errno_text("UDP 配置失败（errno=%d）", errno), kFailed);

  for (const auto& interface : interfaces_) {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = group_address();
    membership.imr_interface.s_addr = interface.address;
    if (setsockopt(udpFd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
      return fail(errno_text("加入组播失败（errno=%d）；检查签名、系统设置与网络", errno), kFailed);
    }
  }

  // The sources and the timer are the probe's members and die on its queue before it does.
  udpSource_ = std::make_unique<platform::ReadSource>(*queue_, udpFd_, [this] { readDatagrams(); });
  tcpSource_ =
      std::make_unique<platform::ReadSource>(*queue_, tcpFd_, [this] { acceptAndClose(); });
  timer_ = std::make_unique<platform::Timer>(*queue_, [this] { announce(); });
  timer_->schedule(0, kAnnouncePeriod, kAnnounceLeeway);
}

void VEDiscoveryProbe::announce() {
  if (udpFd_ < 0) return;
  ++announcement_.sequence;
  const auto text = protocol::serialize_discovery(announcement_);
  if (!text) {
    closeAll();
    publish("公告序列化失败", kFailed);
    return;
  }

  std::vector<std::string> failures;
  auto send_to = [&](uint32_t address) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(environment_.port);
    destination.sin_addr.s_addr = address;
    const ssize_t sent =
        sendto(udpFd_, text->data(), text->size(), 0,
               reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    return sent >= 0 && static_cast<size_t>(sent) == text->size();
  };
  for (const auto& interface : interfaces_) {
    in_addr out{};
    out.s_addr = interface.address;
    if (setsockopt(udpFd_, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) != 0 ||
        !send_to(group_address())) {
      failures.push_back(interface.name + " multicast errno=" + std::to_string(errno));
    }
    if (interface.broadcast && !send_to(*interface.broadcast)) {
      failures.push_back(interface.name + " broadcast errno=" + std::to_string(errno));
    }
  }

  const double now = wallNow();
  std::erase_if(peers_,
                [now](const auto& entry) { return now - entry.second.lastHeard > kPeerLifetime; });

  if (failures.empty()) {
    publish("探针运行中 · 公告未经身份认证 · 空列表不代表权限被拒绝", kRunning);
    return;
  }
  std::string joined;
  for (const auto& failure : failures) {
    if (!joined.empty()) joined += "; ";
    joined += failure;
  }
  publish("部分发送操作失败：" + joined + "；权限状态尚未确认", kRunning);
}

void VEDiscoveryProbe::readDatagrams() {
  bool stored = false;
  for (int read = 0; read < kMaxReadsPerEvent && udpFd_ >= 0; ++read) {
    std::array<uint8_t, kReceiveBuffer> buffer{};
    sockaddr_in source{};
    socklen_t source_length = sizeof source;
    const ssize_t got = recvfrom(udpFd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&source), &source_length);
    if (got < 0) break;
    const auto result = protocol::parse_discovery(
        std::span<const uint8_t>(buffer.data(), static_cast<size_t>(got)), announcement_.device_id);
    if (result.status != protocol::DiscoveryStatus::accepted) continue;
    const std::string key = result.announcement->device_id.to_string();
    if (peers_.size() >= kMaxPeers && !peers_.contains(key)) continue;
    char host[INET_ADDRSTRLEN] = {};
    if (source.sin_family != AF_INET ||
        inet_ntop(AF_INET, &source.sin_addr, host, sizeof host) == nullptr) {
      continue;
    }
    peers_[key] =
        Peer{*result.announcement,
             std::string(host) + ":" + std::to_string(result.announcement->tcp_port), wallNow()};
    stored = true;
  }
  if (stored) publish("已读取公告 · 尚未进行 Noise 身份认证", kRunning);
}

void VEDiscoveryProbe::acceptAndClose() {
  for (int i = 0; i < kMaxAcceptsPerEvent && tcpFd_ >= 0; ++i) {
    const int connection = accept4(tcpFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) break;
    ::close(connection);
  }
}

void VEDiscoveryProbe::publish(const std::string& status, int phase) {
  std::vector<VEDiscoveredPeer> peers;
  std::vector<std::string> lines;
  for (const auto& [id, peer] : peers_) {
    peers.push_back({peer.announcement.device_id, peer.announcement.display_name_utf8,
                     platform_label(peer.announcement.platform), peer.endpoint});
    lines.push_back(peer.announcement.display_name_utf8 + " · " + peer.endpoint);
  }
  callbackQueue_.async(
      [weak = weak_from_this(), status, phase, peers = std::move(peers), lines = std::move(lines)] {
        auto self = weak.lock();
        if (!self) return;
        if (self->onUpdate) self->onUpdate(status, lines);
        if (self->onSnapshot) self->onSnapshot(phase, peers);
      });
}

}  // namespace velmorine
