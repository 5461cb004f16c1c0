#include "Velmorine/workspace/application_appearance.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>
#include <memory>

#include "tests/Velmorine/workspace/workspace_fixture.h"

namespace velmorine::workspace::testing {
namespace {

TEST(Appearance, OnlyLightAndDarkForceOne) {
  EXPECT_EQ(appearanceOfPreference("light"), Appearance::light);
  EXPECT_EQ(appearanceOfPreference("dark"), Appearance::dark);
  for (const auto* other : {"system", "", "Dark", "auto"}) {
    EXPECT_EQ(appearanceOfPreference(other), Appearance::system) << other;
  }
}

QColor windowColor() { return QApplication::palette().color(QPalette::Window); }

TEST(Appearance, SetsThePaletteOnlyWhenTheAppearanceChanges) {
  const QColor desktop = windowColor();
  const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
  ASSERT_NE(fusion, nullptr);
  const QColor light = fusion->standardPalette().color(QPalette::Window);
  ASSERT_NE(darkPalette().color(QPalette::Window), desktop);

  ApplicationAppearance appearance;
  EXPECT_FALSE(appearance.apply("system"));
  EXPECT_TRUE(appearance.apply("dark"));
  EXPECT_EQ(windowColor(), darkPalette().color(QPalette::Window));
  EXPECT_FALSE(appearance.apply("dark"));
  EXPECT_TRUE(appearance.apply("light"));
  EXPECT_EQ(windowColor(), light);
  // Any other value gives the desktop theme's palette back.
  EXPECT_TRUE(appearance.apply("auto"));
  EXPECT_EQ(windowColor(), desktop);
  EXPECT_FALSE(appearance.apply("system"));
  EXPECT_EQ(appearance.current(), Appearance::system);
}

TEST_F(WorkspaceFixture, EverySnapshotCarriesTheAppearance) {
  const QColor desktop = windowColor();
  runtime::RuntimeSnapshot snapshot;
  snapshot.preferences.appearance = "dark";
  model->apply(snapshot);
  EXPECT_EQ(model->appearance().current(), Appearance::dark);
  EXPECT_EQ(windowColor(), darkPalette().color(QPalette::Window));
  snapshot.preferences.appearance = "system";
  model->apply(snapshot);
  EXPECT_EQ(windowColor(), desktop);
}

}  // namespace
}  // namespace velmorine::workspace::testing
