#pragma once

// An HTTPS/1.1 server on loopback, inside the test process, that plays a script: per method and
// path it replays the replies it was given (status, headers, body and how the body is paced),
// records every request it reads, and can hold requests until the test releases them, so a
// test puts a client in the middle of a request without waiting for any length of time.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/test_certificates.h"

namespace velmorine::testing {

struct RecordedRequest {
  std::string method;
  std::string target;                                        // the path as sent, with any query
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  size_t connection = 0;  // the number of the connection that carried it, from 0

  std::optional<std::string> header(std::string_view name) const;
};

struct ScriptedReply {
  enum class Pace {
    whole,              // headers with Content-Length, then the body
    chunked,            // the body as one chunk of chunked transfer coding, then the last chunk
    endless,            // chunked, with chunks of the body's text that never end
    stallAfterHeaders,  // headers announcing the body, then nothing until the server stops
  };

  ScriptedReply(int status = 200, std::string body = {},
                std::vector<std::pair<std::string, std::string>> headers = {},
                Pace pace = Pace::whole)
      : status(status), body(std::move(body)), headers(std::move(headers)), pace(pace) {}

  int status;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  Pace pace;
};

class ScriptedHttpsServer {
 public:
  // Serves `certificate` on 127.0.0.1, on a port of the system's choice.
  explicit ScriptedHttpsServer(const TestCertificate& certificate);
  // Ends every connection, also those that hold or stall.
  ~ScriptedHttpsServer();
  ScriptedHttpsServer(const ScriptedHttpsServer&) = delete;
  ScriptedHttpsServer& operator=(const ScriptedHttpsServer&) = delete;

  uint16_t port() const { return port_; }
  // "https://127.0.0.1:<port>" followed by `path`.
  std::string url(std::string_view path = "") const;

  // Replies to requests with this method and path, in order; the last one goes on answering.
  // A path ending in "*" matches every path that begins with what precedes it. An exact path
  // wins over a prefix; a request no script matches gets 404 with no body.
  void script(const std::string& method, const std::string& path,
              std::vector<ScriptedReply> replies);
  void script(const std::string& method, const std::string& path, ScriptedReply reply) {
    script(method, path, std::vector<ScriptedReply>{std::move(reply)});
  }

  // Requests for this method and path (as in `script`) are recorded and then wait, unanswered,
  // until `release`.
  void hold(const std::string& method, const std::string& path);
  // Lets the waiting requests of that route go on and stops holding it.
  void release(const std::string& method, const std::string& path);
  // Blocks until `count` requests wait in all (generously bounded; false when that passed).
  bool waitForHeld(size_t count);
  size_t held() const;

  std::vector<RecordedRequest> requests() const;
  // Blocks until `count` requests have been recorded (bounded as above).
  bool waitForRequests(size_t count) const;
  // TCP connections accepted, and of those the ones whose TLS handshake completed.
  size_t connections() const;
  size_t handshakes() const;

 private:
  struct Route {
    std::vector<ScriptedReply> replies;
    size_t next = 0;
  };
  struct Gate {
    bool holding = false;
    uint64_t releases = 0;  // counts releases, so a waiting request sees its own
  };
  struct Connection;

  void acceptLoop();
  void serve(std::shared_ptr<Connection> connection, size_t number);
  // What applies to a request, or nullptr; called with the lock held.
  template <typename Entry>
  static Entry* match(std::map<std::pair<std::string, std::string>, Entry>& entries,
                      const std::string& method, const std::string& target);

  struct Io;
  std::unique_ptr<Io> io_;
  uint16_t port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::map<std::pair<std::string, std::string>, Route> routes_;
  std::map<std::pair<std::string, std::string>, Gate> gates_;
  std::vector<RecordedRequest> requests_;
  size_t held_ = 0;
  size_t connections_ = 0;
  size_t handshakes_ = 0;
  std::vector<std::shared_ptr<Connection>> open_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace velmorine::testing
