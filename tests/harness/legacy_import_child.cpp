// legacy-import-child: stages a folder and finishes the import, as the program does when the
// user picks it at launch, and stops dead at one step for a test to kill it there.
//
//   legacy-import-child DATA_FOLDER KEYCHAIN_FOLDER SERVICE SOURCE STOP_AT
//
// Prints "step <name>" after each step, "stopped <name>" when it reaches STOP_AT (and then
// waits for its end), "done" when both stages ran through, "error <what>" on a failure.

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "Velmorine/shell/legacy_import.h"
#include "platform/keychain/keychain.h"

namespace {

void say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s DATA_FOLDER KEYCHAIN_FOLDER SERVICE SOURCE STOP_AT\n", argv[0]);
    return 2;
  }
  const std::filesystem::path data = argv[1];
  velmorine::store::SystemIdentityKeychain keychain(argv[3], std::nullopt,
                                                    velmorine::platform::Keychain(argv[2]));
  const std::filesystem::path source = argv[4];
  const std::string stopAt = argv[5];
  const auto checkpoint = [&](velmorine::shell::LegacyImportStep step) {
    const std::string name(velmorine::shell::stepName(step));
    say("step " + name);
    if (name != stopAt) return;
    say("stopped " + name);
    while (true) ::pause();  // the test kills the process here
  };
  try {
    velmorine::shell::stageLegacyImport(source, data, keychain, checkpoint);
    velmorine::shell::finishPendingLegacyImport(data, keychain, checkpoint);
  } catch (const std::exception& error) {
    say(std::string("error ") + error.what());
    return 1;
  }
  say("done");
  return 0;
}
