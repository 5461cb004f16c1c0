#include "Velmorine/transfer/content_url.h"

#include <gtest/gtest.h>

namespace velmorine::transfer {
namespace {

TEST(ContentUrl, FileUrlTextEscapesBytesAndMarksFolders) {
  const ContentUrl folder = ContentUrl::file("/home/u/Photos 2/", true);
  EXPECT_EQ(folder.text(), "file:///home/u/Photos%202/");
  EXPECT_EQ(folder.path(), "/home/u/Photos 2");
  EXPECT_EQ(folder.lastPathComponent(), "Photos 2");
  EXPECT_EQ(ContentUrl::file("/a/caf\xC3\xA9?#%").text(), "file:///a/caf%C3%A9%3F%23%25");
  EXPECT_EQ(ContentUrl::file("/").text(), "file:///");
}

TEST(ContentUrl, ParsedTextGivesBackTheSameUrl) {
  for (const char* text : {"file:///home/u/Photos%202/", "file:///a/caf%C3%A9%3F%23%25", "file:///",
                           "file:///tmp/x"}) {
    const auto url = ContentUrl::parse(text);
    ASSERT_TRUE(url) << text;
    EXPECT_TRUE(url->isFile());
    EXPECT_EQ(url->text(), text);
  }
  EXPECT_EQ(ContentUrl::parse("FILE://localhost/a%2fb")->path(), "/a/b");
  const auto web = ContentUrl::parse("https://example.org/a b");
  ASSERT_TRUE(web);
  EXPECT_FALSE(web->isFile());
  EXPECT_EQ(web->text(), "https://example.org/a b");
}

TEST(ContentUrl, TextThatIsNoUsableUrlIsRefused) {
  for (const char* text :
       {"", "/just/a/path", ":x", "1abc:/x", "file:/a", "file://host/a", "file://", "file:///a%",
        "file:///a%2", "file:///a%zz", "file:///a%00b", "file:///a?q", "file:///a#f"}) {
    EXPECT_EQ(ContentUrl::parse(text), std::nullopt) << text;
  }
}

TEST(ContentUrl, StandardizedFoldsDotsAndRepeatedSlashes) {
  EXPECT_EQ(ContentUrl::file("/a/./b//c/../d").standardized(), ContentUrl::file("/a/b/d"));
  EXPECT_EQ(ContentUrl::file("/../..").standardized(), ContentUrl::file("/"));
  EXPECT_EQ(ContentUrl::file("/a/b/", true).standardized().text(), "file:///a/b/");
  EXPECT_EQ(ContentUrl::file("/a").appending("b c", true).text(), "file:///a/b%20c/");
}

}  // namespace
}  // namespace velmorine::transfer
