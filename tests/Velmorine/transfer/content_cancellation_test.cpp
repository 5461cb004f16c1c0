#include "Velmorine/transfer/content_cancellation.h"

#include <gtest/gtest.h>

#include "Velmorine/transfer/content_failure.h"
#include "Velmorine/transfer/scoped_content_access.h"

namespace velmorine::transfer {
namespace {

class CountingCoordinator : public FileCoordinator {
 public:
  bool coordinateReading(const ContentUrl& url,
                         const std::function<void(const ContentUrl&)>& accessor) override {
    accessor(url);
    return true;
  }
  void cancel() override { ++cancels; }
  int cancels = 0;
};

TEST(ContentCancellation, CancellingReachesTheRegisteredCoordinatorOnly) {
  ContentCancellation cancellation;
  auto first = std::make_shared<CountingCoordinator>();
  auto second = std::make_shared<CountingCoordinator>();
  cancellation.registerCoordinator(first);
  cancellation.registerCoordinator(second);  // replaces the first
  EXPECT_NO_THROW(cancellation.check());
  cancellation.cancel();
  EXPECT_TRUE(cancellation.isCancelled());
  EXPECT_EQ(first->cancels, 0);
  EXPECT_EQ(second->cancels, 1);
  EXPECT_THROW(cancellation.check(), ContentFailure);
}

TEST(ContentCancellation, RegisteringAfterCancelCancelsTheNewcomerAndThrows) {
  ContentCancellation cancellation;
  cancellation.cancel();
  auto late = std::make_shared<CountingCoordinator>();
  try {
    cancellation.registerCoordinator(late);
    FAIL() << "a cancelled token takes no coordinator";
  } catch (const ContentFailure& failure) {
    EXPECT_EQ(failure.failure(), ContentFailure::Case::cancelled);
  }
  EXPECT_EQ(late->cancels, 1);
  // Clearing the slot never throws, even once cancelled.
  EXPECT_NO_THROW(cancellation.registerCoordinator(nullptr));
}

TEST(DefaultFileCoordinator, HandsOverTheSameUrlUntilCancelled) {
  auto coordinator = makeDefaultFileCoordinator();
  const ContentUrl url = ContentUrl::file("/a/b");
  std::optional<ContentUrl> handed;
  EXPECT_TRUE(coordinator->coordinateReading(url, [&](const ContentUrl& u) { handed = u; }));
  EXPECT_EQ(handed, url);
  coordinator->cancel();
  handed.reset();
  EXPECT_TRUE(coordinator->coordinateReading(url, [&](const ContentUrl& u) { handed = u; }));
  EXPECT_EQ(handed, std::nullopt);
}

TEST(ScopedContentAccess, StopsOnReleaseOnlyWhenStarted) {
  int stops = 0;
  const auto stop = [&](const ContentUrl& url) {
    EXPECT_EQ(url, ContentUrl::file("/granted"));
    ++stops;
  };
  { ScopedContentAccess refused(ContentUrl::file("/granted"), false, stop); }
  EXPECT_EQ(stops, 0);
  { ScopedContentAccess granted(ContentUrl::file("/granted"), true, stop); }
  EXPECT_EQ(stops, 1);
  EXPECT_TRUE(ScopedContentAccess::start(ContentUrl::file("/granted"))->scoped());
  EXPECT_FALSE(ScopedContentAccess::start(*ContentUrl::parse("https://x.org/"))->scoped());
}

}  // namespace
}  // namespace velmorine::transfer
