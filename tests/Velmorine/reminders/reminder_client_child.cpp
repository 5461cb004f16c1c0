// A reminder client in a process of its own, for the restart tests: it runs one operation on the
// keychain folder and service it is given and writes one line per finished step to its
// standard output. The tests kill it while the service holds its request.
//
// reminder_client_child <keychain folder> <base URL or "-"> <CA file or "-"> <operation> [argument]
//   register | unregister | configure <key byte> | revoke <contact>
//   issue <peer number>: registers (a process is off until it does), then asks for a grant
//   saves <count>: configures that many times with alternating keys (a save each time)

#include <unistd.h>

#include <cstdio>
#include <future>
#include <string>
#include <tuple>

#include "Velmorine/reminders/reminder_keychain.h"
#include "Velmorine/reminders/reminder_service_client.h"

namespace {

using velmorine::reminders::ReminderKeychain;
using velmorine::reminders::ReminderServiceClient;
using velmorine::reminders::ReminderServiceURL;

void report(const char* line) {
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Runs one call and waits for its answer; whether it succeeded.
template <typename Call>
bool await(Call call) {
  std::promise<bool> answer;
  call([&](auto&&... results) {
    const std::exception_ptr error = std::get<sizeof...(results) - 1>(std::tie(results...));
    answer.set_value(!error);
  });
  return answer.get_future().get();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  const std::string folder = argv[1], base = argv[2], authorities = argv[3], operation = argv[4];
  const std::string argument = argc > 5 ? argv[5] : "";
  velmorine::platform::HttpSessionOptions options;
  if (authorities != "-") options.certificateAuthorities = authorities;
  ReminderServiceClient client(
      base == "-" ? std::nullopt : ReminderServiceURL::parse(base),
      std::make_unique<ReminderKeychain>(velmorine::platform::Keychain(folder),
                                         "org.example.test.notifications", std::nullopt),
      options);
  bool ok = false;
  if (operation == "register") {
    ok = await([&](auto done) { client.registerDevice({1, 10, 255}, "en", done); });
  } else if (operation == "unregister") {
    ok = await([&](auto done) { client.unregisterDevice(done); });
  } else if (operation == "configure") {
    const auto byte = static_cast<uint8_t>(std::stoi(argument));
    ok = await([&](auto done) { client.configure(std::vector<uint8_t>(32, byte), done); });
  } else if (operation == "revoke") {
    ok = await([&](auto done) { client.revokeGrants(argument, done); });
  } else if (operation == "issue") {
    const int n = std::stoi(argument);
    const velmorine::network::AuthenticatedPeer peer{
        "wire-" + argument, "contact-" + argument, "nonce",
        std::vector<uint8_t>(32, static_cast<uint8_t>(n)), "code"};
    ok = await([&](auto done) {
           client.registerDevice({1, 10, 255}, "en", done);
         }) &&
         await([&](auto done) { client.issueGrant(peer, done); });
  } else if (operation == "saves") {
    const int count = std::stoi(argument);
    ok = true;
    for (int i = 0; i < count && ok; ++i) {
      ok = await([&](auto done) {
        client.configure(std::vector<uint8_t>(32, static_cast<uint8_t>(i % 2 + 1)), done);
      });
      if (i == 0) report("saved");
    }
  } else {
    return 2;
  }
  report(ok ? "ok" : "failed");
  return ok ? 0 : 1;
}
