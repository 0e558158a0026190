#include "core/collection/document.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tessarine {
namespace {

constexpr const char* kCanonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(UuidTest, AllAcceptedFormsParseToTheSameId) {
  const char* forms[] = {
      "67e55044-10b1-426f-9247-bb680e5fe0c8",
      "67E55044-10B1-426F-9247-BB680E5FE0C8",
      "67e5504410b1426f9247bb680e5fe0c8",
      "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
      "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
  };
  for (const char* form : forms) {
    auto parsed = parse_uuid(form);
    ASSERT_TRUE(parsed.ok()) << form << ": " << parsed.status().message();
    EXPECT_EQ(format_uuid(*parsed), kCanonical) << form;
  }
}

TEST(UuidTest, NilUuidIsAccepted) {
  auto parsed = parse_uuid("00000000-0000-0000-0000-000000000000");
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(*parsed, Uuid{});
}

TEST(UuidTest, MalformedTextsGiveTheirMessages) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"67e55044-10b1-426f-9247-bb680e5fe0cz",
       "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], "
       "found `z` at 35"},
      {"not a uuid",
       "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], "
       "found `n` at 0"},
      {"67e5504410b1426f9247bb680e5fe0c",
       "invalid length: expected length 32 for simple format, found 31"},
      {"", "invalid length: expected length 32 for simple format, found 0"},
      {"67e55044-10b1-426f-9247bb680e5fe0c8", "invalid group count: expected 5, found 4"},
      {"67e55044-10b1-426f-9247-bb680e5fe0c",
       "invalid group length in group 4: expected 12, found 11"},
      {"67e5504-410b1-426f-9247-bb680e5fe0c8",
       "invalid group length in group 0: expected 8, found 7"},
      {"{67e55044-10b1-426f-9247-bb680e5fe0c8", "failed to parse a UUID"},
  };
  for (const Case& c : cases) {
    auto parsed = parse_uuid(c.text);
    ASSERT_FALSE(parsed.ok()) << c.text;
    EXPECT_EQ(parsed.status().message(), c.message) << c.text;
  }
}

TEST(UuidTest, NonAsciiCharacterIsReportedWhole) {
  auto parsed = parse_uuid("67e55044-10b1-426f-9247-bb680e5fe0\xc3\xa9");
  ASSERT_FALSE(parsed.ok());
  EXPECT_NE(parsed.status().message().find("found `\xc3\xa9` at 34"), std::string::npos);
}

TEST(UuidTest, GeneratedIdsAreVersion4AndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string text = format_uuid(generate_uuid_v4());
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[14], '4');
    EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(DocumentTest, CreateGivesFreshIdAndKeepsContent) {
  Metadata metadata;
  metadata["n"] = int64_t{-9223372036854775807LL - 1};
  metadata["f"] = 1.5;
  Document a = Document::create("", metadata);
  Document b = Document::create("text", {});
  EXPECT_NE(a.id, b.id);
  EXPECT_EQ(a.text, "");
  EXPECT_EQ(std::get<int64_t>(a.metadata.at("n")), INT64_MIN);
  EXPECT_EQ(a.metadata.at("f").index(), kFloat);
}

}  // namespace
}  // namespace tessarine
