#pragma once

// HTTPS requests in the manner of an ephemeral URL session: every request runs on the session's
// own thread and reports once, through its completion, on that thread. Only https is spoken;
// the server's certificate and host name are always verified; redirects are returned, never
// followed; no cookie is kept; no proxy is used; at most a few connections go to one host at
// a time, and further requests wait for one of them. The response body is read against a cap,
// so a server cannot make the session hold more than the caller will ever look at.

#include <chrono>
#include <cstdint>
#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velmorine::platform {

struct HttpRequest {
  std::string method;  // "POST", "PUT", "DELETE", ...: sent as given
  std::string url;     // an absolute https URL
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<uint8_t> body;  // always sent, also with DELETE
};

struct HttpResponse {
  int32_t status = 0;
  std::vector<uint8_t> body;
};

// Why a request brought no response. `bodyTooLarge` is apart from the transport failures: the
// server answered, but with more than the session reads.
class HttpError : public std::runtime_error {
 public:
  enum class Kind {
    refused,       // the request itself cannot be sent (not https, a control character in a header)
    transport,     // connecting, TLS, sending or reading failed
    timedOut,      // no data for the idle time, or the whole request took too long
    bodyTooLarge,  // the response body went past the cap
  };

  HttpError(Kind kind, std::string detail) : std::runtime_error(std::move(detail)), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

using HttpResult = std::expected<HttpResponse, HttpError>;

struct HttpSessionOptions {
  // Trust only the certificates of this PEM file; absent: the system's trust store.
  std::optional<std::filesystem::path> certificateAuthorities;
  std::chrono::milliseconds total_timeout{15000};
  // Ends a request that received nothing for this long (whole seconds, at least one).
  std::chrono::seconds idle_timeout{12};
  long maximum_connections_per_host = 2;
  size_t maximum_body_bytes = 4095;
};

class HttpSession {
 public:
  using Completion = std::function<void(HttpResult)>;

  explicit HttpSession(HttpSessionOptions options = {});
  // Ends every request still running without calling its completion. Never call it from a
  // completion.
  ~HttpSession();
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  // Starts the request; `done` runs later on the session's thread, never inside this call.
  void send(HttpRequest request, Completion done);

  const HttpSessionOptions& options() const { return options_; }

 private:
  struct Transfer;
  struct Engine;

  void run();

  HttpSessionOptions options_;
  std::unique_ptr<Engine> engine_;
  std::mutex mutex_;
  std::deque<std::pair<HttpRequest, Completion>> inbox_;
  bool stopping_ = false;
  std::thread thread_;
};

// Whether a header value can be sent as it is: no control characters (CR and LF above all,
// which would end the header), no DEL.
bool isSafeHeaderValue(std::string_view value);

}  // namespace velmorine::platform
