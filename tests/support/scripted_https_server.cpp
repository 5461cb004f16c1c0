#include "tests/support/scripted_https_server.h"

#include <sys/socket.h>

#include <algorithm>
#include <asio/buffer.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/ssl.hpp>
#include <asio/write.hpp>
#include <cctype>
#include <chrono>
#include <stdexcept>

namespace velmorine::testing {

namespace {

// Waits in the server's blocking calls are bounded only to keep a broken test from hanging for
// ever; no test relies on them running out.
constexpr auto kPatience = std::chrono::seconds(60);
constexpr size_t kMaximumHead = 64 * 1024;
constexpr size_t kMaximumBody = 1024 * 1024;

std::string lowered(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 302:
      return "Found";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 410:
      return "Gone";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  const std::string wanted = lowered(std::string(name));
  for (const auto& [key, value] : headers) {
    if (key == wanted) return value;
  }
  return std::nullopt;
}

struct ScriptedHttpsServer::Io {
  asio::io_context context;
  asio::ssl::context tls{asio::ssl::context::tls_server};
  asio::ip::tcp::acceptor acceptor{context};
};

struct ScriptedHttpsServer::Connection {
  asio::ssl::stream<asio::ip::tcp::socket> stream;
  int descriptor = -1;

  Connection(asio::ip::tcp::socket socket, asio::ssl::context& tls)
      : stream(std::move(socket), tls), descriptor(stream.lowest_layer().native_handle()) {}
};

ScriptedHttpsServer::ScriptedHttpsServer(const TestCertificate& certificate)
    : io_(std::make_unique<Io>()) {
  io_->tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1);
  io_->tls.use_certificate_chain(asio::buffer(certificate.certificatePem));
  io_->tls.use_private_key(asio::buffer(certificate.privateKeyPem), asio::ssl::context::pem);
  const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  io_->acceptor.open(endpoint.protocol());
  io_->acceptor.bind(endpoint);
  io_->acceptor.listen();
  port_ = io_->acceptor.local_endpoint().port();
  acceptor_ = std::thread([this] { acceptLoop(); });
}

ScriptedHttpsServer::~ScriptedHttpsServer() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    // Wakes the blocking accept and every blocking read or write.
    ::shutdown(io_->acceptor.native_handle(), SHUT_RDWR);
    for (const auto& connection : open_) ::shutdown(connection->descriptor, SHUT_RDWR);
  }
  changed_.notify_all();
  acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    threads.swap(threads_);
  }
  for (auto& thread : threads) thread.join();
}

std::string ScriptedHttpsServer::url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void ScriptedHttpsServer::script(const std::string& method, const std::string& path,
                                 std::vector<ScriptedReply> replies) {
  std::lock_guard lock(mutex_);
  auto& route = routes_[{method, path}];
  route.replies = std::move(replies);
  route.next = 0;
}

void ScriptedHttpsServer::hold(const std::string& method, const std::string& path) {
  std::lock_guard lock(mutex_);
  gates_[{method, path}].holding = true;
}

void ScriptedHttpsServer::release(const std::string& method, const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    auto& gate = gates_[{method, path}];
    gate.holding = false;
    ++gate.releases;
  }
  changed_.notify_all();
}

bool ScriptedHttpsServer::waitForHeld(size_t count) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kPatience, [&] { return held_ >= count; });
}

size_t ScriptedHttpsServer::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

std::vector<RecordedRequest> ScriptedHttpsServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

bool ScriptedHttpsServer::waitForRequests(size_t count) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kPatience, [&] { return requests_.size() >= count; });
}

size_t ScriptedHttpsServer::connections() const {
  std::lock_guard lock(mutex_);
  return connections_;
}

size_t ScriptedHttpsServer::handshakes() const {
  std::lock_guard lock(mutex_);
  return handshakes_;
}

template <typename Entry>
Entry* ScriptedHttpsServer::match(std::map<std::pair<std::string, std::string>, Entry>& entries,
                                  const std::string& method, const std::string& target) {
  const std::string path = target.substr(0, target.find('?'));
  if (auto exact = entries.find({method, path}); exact != entries.end()) return &exact->second;
  Entry* best = nullptr;
  size_t bestLength = 0;
  for (auto& [key, entry] : entries) {
    const auto& pattern = key.second;
    if (key.first != method || pattern.empty() || pattern.back() != '*') continue;
    const std::string_view prefix(pattern.data(), pattern.size() - 1);
    if (path.starts_with(prefix) && (best == nullptr || prefix.size() > bestLength)) {
      best = &entry;
      bestLength = prefix.size();
    }
  }
  return best;
}

void ScriptedHttpsServer::acceptLoop() {
  for (;;) {
    asio::error_code error;
    asio::ip::tcp::socket socket(io_->context);
    io_->acceptor.accept(socket, error);
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (error) continue;
    auto connection = std::make_shared<Connection>(std::move(socket), io_->tls);
    open_.push_back(connection);
    const size_t number = connections_++;
    threads_.emplace_back([this, connection, number] { serve(connection, number); });
  }
}

void ScriptedHttpsServer::serve(std::shared_ptr<Connection> connection, size_t number) {
  // However serving ends, the connection closes and leaves the list the destructor shuts down.
  struct Closer {
    ScriptedHttpsServer& server;
    const std::shared_ptr<Connection>& connection;
    ~Closer() {
      std::lock_guard lock(server.mutex_);
      std::erase(server.open_, connection);
      asio::error_code ignored;
      connection->stream.lowest_layer().close(ignored);
    }
  } closer{*this, connection};
  auto& stream = connection->stream;
  asio::error_code error;
  stream.handshake(asio::ssl::stream_base::server, error);
  if (error) return;
  {
    std::lock_guard lock(mutex_);
    ++handshakes_;
  }
  std::string buffer;
  for (;;) {
    // The request head.
    const size_t headLength =
        asio::read_until(stream, asio::dynamic_buffer(buffer, kMaximumHead), "\r\n\r\n", error);
    if (error) return;
    const std::string head = buffer.substr(0, headLength);
    buffer.erase(0, headLength);
    RecordedRequest request;
    request.connection = number;
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos) return;
    request.method = requestLine.substr(0, firstSpace);
    request.target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    size_t contentLength = 0;
    bool closeAfter = false;
    for (size_t start = lineEnd + 2; start < head.size();) {
      const size_t end = head.find("\r\n", start);
      if (end == std::string::npos || end == start) break;
      const std::string line = head.substr(start, end - start);
      start = end + 2;
      const auto colon = line.find(':');
      if (colon == std::string::npos) return;
      std::string name = lowered(line.substr(0, colon));
      std::string value = trimmed(std::string_view(line).substr(colon + 1));
      if (name == "content-length") {
        if (value.empty() || value.size() > 9 ||
            value.find_first_not_of("0123456789") != std::string::npos) {
          return;
        }
        contentLength = std::stoul(value);
      }
      if (name == "connection" && lowered(value) == "close") closeAfter = true;
      request.headers.emplace_back(std::move(name), std::move(value));
    }
    if (contentLength > kMaximumBody) return;
    if (buffer.size() < contentLength) {
      const size_t missing = contentLength - buffer.size();
      const size_t start = buffer.size();
      buffer.resize(contentLength);
      asio::read(stream, asio::buffer(buffer.data() + start, missing), error);
      if (error) return;
    }
    request.body = buffer.substr(0, contentLength);
    buffer.erase(0, contentLength);

    // Record it, wait while its route holds, then take the reply.
    ScriptedReply reply{404, "", {}, ScriptedReply::Pace::whole};
    {
      std::unique_lock lock(mutex_);
      if (stopping_) return;
      const std::string method = request.method;
      const std::string target = request.target;
      requests_.push_back(std::move(request));
      changed_.notify_all();
      if (Gate* gate = match(gates_, method, target); gate != nullptr && gate->holding) {
        const uint64_t releases = gate->releases;
        ++held_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return stopping_ || gate->releases != releases; });
        --held_;
        if (stopping_) return;
      }
      Route* route = match(routes_, method, target);
      if (route != nullptr && !route->replies.empty()) {
        reply = route->replies[std::min(route->next, route->replies.size() - 1)];
        ++route->next;
      }
    }

    std::string out =
        "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
    for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
    const bool chunked =
        reply.pace == ScriptedReply::Pace::chunked || reply.pace == ScriptedReply::Pace::endless;
    if (chunked) {
      out += "Transfer-Encoding: chunked\r\n";
    } else {
      out += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    }
    out += "\r\n";
    const auto chunk = [](const std::string& text) {
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", text.size());
      return std::string(size) + text + "\r\n";
    };
    switch (reply.pace) {
      case ScriptedReply::Pace::whole:
        out += reply.body;
        break;
      case ScriptedReply::Pace::chunked:
        if (!reply.body.empty()) out += chunk(reply.body);
        out += "0\r\n\r\n";
        break;
      case ScriptedReply::Pace::endless:
      case ScriptedReply::Pace::stallAfterHeaders:
        break;
    }
    asio::write(stream, asio::buffer(out), error);
    if (error) return;
    if (reply.pace == ScriptedReply::Pace::endless) {
      // Until the client gives up and goes, or the server stops.
      const std::string piece = chunk(reply.body.empty() ? std::string(1024, 'x') : reply.body);
      while (!error) {
        {
          std::lock_guard lock(mutex_);
          if (stopping_) return;
        }
        asio::write(stream, asio::buffer(piece), error);
      }
      return;
    }
    if (reply.pace == ScriptedReply::Pace::stallAfterHeaders) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_; });
      return;
    }
    if (closeAfter) return;
  }
}

}  // namespace velmorine::testing
