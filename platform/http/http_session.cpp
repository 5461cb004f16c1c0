#include "platform/http/http_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace velmorine::platform {

namespace {

void initialise_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      std::fprintf(stderr, "libcurl failed to initialise\n");
      std::abort();
    }
  });
}

bool is_token_character(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte <= 0x20 || byte >= 0x7f) return false;
  return std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
}

bool is_header_name(std::string_view name) {
  if (name.empty()) return false;
  for (const char c : name) {
    if (!is_token_character(c)) return false;
  }
  return true;
}

}  // namespace

bool isSafeHeaderValue(std::string_view value) {
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    // Tab is the one control character a header value may hold.
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return false;
  }
  return true;
}

struct HttpSession::Transfer {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::vector<uint8_t> body;
  size_t cap = 0;
  bool overran = false;
  Completion done;
  char error[CURL_ERROR_SIZE] = {};

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }

  static size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    if (length > transfer->cap - transfer->body.size()) {
      // Stop reading at once: whatever else the server sends is never looked at.
      transfer->overran = true;
      return 0;
    }
    transfer->body.insert(transfer->body.end(), data, data + length);
    return length;
  }
};

struct HttpSession::Engine {
  CURLM* multi = nullptr;
  std::map<CURL*, std::unique_ptr<Transfer>> running;

  Engine() = default;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  ~Engine() {
    for (auto& [easy, transfer] : running) curl_multi_remove_handle(multi, easy);
    running.clear();
    if (multi != nullptr) curl_multi_cleanup(multi);
  }
};

HttpSession::HttpSession(HttpSessionOptions options)
    : options_(std::move(options)), engine_(std::make_unique<Engine>()) {
  initialise_curl_once();
  engine_->multi = curl_multi_init();
  if (engine_->multi == nullptr) throw std::runtime_error("curl_multi_init failed");
  curl_multi_setopt(engine_->multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                    options_.maximum_connections_per_host);
  thread_ = std::thread([this] { run(); });
}

HttpSession::~HttpSession() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  curl_multi_wakeup(engine_->multi);
  thread_.join();
  // Requests still running or waiting end here without a word to their callers.
  engine_.reset();
}

void HttpSession::send(HttpRequest request, Completion done) {
  {
    std::lock_guard lock(mutex_);
    inbox_.emplace_back(std::move(request), std::move(done));
  }
  curl_multi_wakeup(engine_->multi);
}

namespace {

// Why the request cannot be sent as it is, if it cannot.
std::optional<HttpError> refusal(const HttpRequest& request) {
  // The scheme is compared as written; libcurl would also take "HTTPS:" or no scheme at all.
  if (!request.url.starts_with("https://")) {
    return HttpError(HttpError::Kind::refused, "only https URLs are requested");
  }
  if (!is_header_name(request.method)) {
    return HttpError(HttpError::Kind::refused, "method is not a token");
  }
  for (const auto& [name, value] : request.headers) {
    if (!is_header_name(name) || !isSafeHeaderValue(value)) {
      return HttpError(HttpError::Kind::refused, "header " + name + " cannot be sent");
    }
  }
  return std::nullopt;
}

}  // namespace

void HttpSession::run() {
  auto& multi = engine_->multi;
  auto& running = engine_->running;
  for (;;) {
    std::deque<std::pair<HttpRequest, Completion>> arrived;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      arrived.swap(inbox_);
    }
    for (auto& [request, done] : arrived) {
      if (auto refused = refusal(request)) {
        done(std::unexpected(std::move(*refused)));
        continue;
      }
      auto transfer = std::make_unique<Transfer>();
      transfer->easy = curl_easy_init();
      if (transfer->easy == nullptr) {
        done(std::unexpected(HttpError(HttpError::Kind::transport, "curl_easy_init failed")));
        continue;
      }
      transfer->cap = options_.maximum_body_bytes;
      transfer->done = std::move(done);
      CURL* easy = transfer->easy;
      curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
      curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->error);
      curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
      curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
      curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
      curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
      curl_easy_setopt(easy, CURLOPT_PROXY, "");
      curl_easy_setopt(easy, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
      curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
      curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
      if (options_.certificateAuthorities) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, options_.certificateAuthorities->c_str());
        curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
      }
      curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.total_timeout.count()));
      curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                       static_cast<long>(std::max<int64_t>(1, options_.idle_timeout.count())));
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, request.body.data());
      for (const auto& [name, value] : request.headers) {
        transfer->headers = curl_slist_append(transfer->headers, (name + ": " + value).c_str());
      }
      // No "Expect: 100-continue" round trip before the body.
      transfer->headers = curl_slist_append(transfer->headers, "Expect:");
      curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->headers);
      curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::on_body);
      curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
      if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        auto failed = std::move(transfer->done);
        transfer.reset();
        failed(std::unexpected(HttpError(HttpError::Kind::transport, "curl_multi_add_handle")));
        continue;
      }
      running.emplace(easy, std::move(transfer));
    }

    int still_running = 0;
    curl_multi_perform(multi, &still_running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      const CURLcode code = message->data.result;
      curl_multi_remove_handle(multi, easy);
      const auto found = running.find(easy);
      if (found == running.end()) continue;
      std::unique_ptr<Transfer> transfer = std::move(found->second);
      running.erase(found);
      HttpResult result = [&]() -> HttpResult {
        if (transfer->overran) {
          return std::unexpected(
              HttpError(HttpError::Kind::bodyTooLarge,
                        "response body longer than " + std::to_string(transfer->cap) + " bytes"));
        }
        if (code != CURLE_OK) {
          const std::string detail =
              transfer->error[0] != '\0' ? transfer->error : curl_easy_strerror(code);
          return std::unexpected(HttpError(code == CURLE_OPERATION_TIMEDOUT
                                               ? HttpError::Kind::timedOut
                                               : HttpError::Kind::transport,
                                           detail));
        }
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        return HttpResponse{static_cast<int32_t>(status), std::move(transfer->body)};
      }();
      auto done = std::move(transfer->done);
      transfer.reset();
      done(std::move(result));
    }
    curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
}

}  // namespace velmorine::platform
