#pragma once

// The workspace model on its real runtime as one host of a LAN of namespaces (lan_namespaces.h):
// the calling thread, and the runtime's threads it starts, move into the host's namespace, and
// the runtime keeps its data and keychain under a data home of its own. What the program's main
// thread does on that host, the test's main thread does through the model, with Qt's event
// loop as the main queue.

#include <stdlib.h>

#include <QTest>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Velmorine/workspace/workspace_model.h"
#include "tests/harness/lan_namespaces.h"

namespace velmorine::testing {

class WorkspaceHost {
 public:
  // Milliseconds for a condition to come true while the event loop runs.
  static constexpr int kWait = 30000;

  // Enters namespace `ns` and builds the model over data home `dataHome`; starts nothing.
  WorkspaceHost(const std::string& ns, const std::filesystem::path& dataHome,
                workspace::AttachmentPreparationFactory makePreparation)
      : here_(ns) {
    if (!here_.entered()) return;
    if (const char* previous = std::getenv("XDG_DATA_HOME")) previousDataHome_ = previous;
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    model_ = std::make_unique<workspace::WorkspaceModel>(std::move(makePreparation));
  }
  // The runtime shuts down while the model exists, then the data home and the namespace are the
  // caller's again.
  ~WorkspaceHost() {
    shutdown();
    model_.reset();
    if (previousDataHome_) {
      ::setenv("XDG_DATA_HOME", previousDataHome_->c_str(), 1);
    } else if (here_.entered()) {
      ::unsetenv("XDG_DATA_HOME");
    }
  }
  WorkspaceHost(const WorkspaceHost&) = delete;
  WorkspaceHost& operator=(const WorkspaceHost&) = delete;

  bool entered() const { return model_ != nullptr; }
  workspace::WorkspaceModel& model() { return *model_; }

  // Starts the runtime with networking on and `preferences` applied; true once a snapshot shows
  // it enabled, with its identifier, and meeting `ready`.
  bool start(std::function<void(store::AppPreferences&)> preferences,
             const std::function<bool(const runtime::RuntimeSnapshot&)>& ready) {
    model_->startRuntime()();
    started_ = true;
    model_->runtime().setNetworkEnabled(true);
    model_->runtime().updatePreferences(std::move(preferences));
    if (!QTest::qWaitFor(
            [&] {
              const auto& snapshot = model_->snapshot();
              return snapshot.enabled && snapshot.localID && ready(snapshot);
            },
            kWait)) {
      return false;
    }
    localID_ = *model_->snapshot().localID;
    return true;
  }
  const std::string& localID() const { return localID_; }

  // The first peer of the current snapshot with device identifier `wireID` that is not only a
  // history's, or nullptr.
  const runtime::RuntimePeer* peer(const std::string& wireID) const {
    for (const auto& peer : model_->snapshot().peers) {
      if (peer.wireID == wireID && !peer.historical) return &peer;
    }
    return nullptr;
  }

  // Shuts the runtime down and waits for its completion; true when it came (or nothing runs).
  bool shutdown() {
    if (!started_ || !model_) return true;
    started_ = false;
    // Held by the completion too: it may come after a wait that gave up.
    auto closed = std::make_shared<bool>(false);
    model_->runtime().shutdown([closed] { *closed = true; });
    return QTest::qWaitFor([&] { return *closed; }, kWait);
  }

 private:
  InNamespace here_;
  std::optional<std::string> previousDataHome_;
  std::unique_ptr<workspace::WorkspaceModel> model_;
  std::string localID_;
  bool started_ = false;
};

}  // namespace velmorine::testing
