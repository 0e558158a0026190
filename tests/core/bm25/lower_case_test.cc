// The lower-casing is checked against ICU applied to the whole text at once:
// the fast ASCII path and the cutting into pieces must never change a byte.
#include "core/bm25/lower_case.h"

#include <gtest/gtest.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/uchar.h>

#include <array>
#include <random>
#include <string>

namespace tessarine {
namespace {

std::string icu_lower_whole(std::string_view text) {
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                            sink, nullptr, status);
  EXPECT_TRUE(U_SUCCESS(status));
  return out;
}

std::string lower_with_limits(std::string_view text, std::size_t soft, std::size_t hard) {
  std::string out;
  lower_case_detail::append_lower_case(text, soft, hard, out);
  return out;
}

TEST(LowerCase, FullMappingWithFinalSigma) {
  EXPECT_EQ(lower_case("HELLO World 123"), "hello world 123");
  EXPECT_EQ(lower_case("İ"), "i\u0307");  // one character becomes two
  EXPECT_EQ(lower_case("I"), "i");        // not the dotless ı of Turkish
  EXPECT_EQ(lower_case("ΟΔΟΣ ΣΑ"), "οδος σα");
  EXPECT_EQ(lower_case("ẞ Ω K"), "ß ω k");  // U+1E9E, U+2126, U+212A
  EXPECT_EQ(lower_case(""), "");
}

TEST(LowerCase, IllFormedBytesAreCopied) {
  const std::string text =
      "A\xFF"
      "B\xE0"
      "C\xED\xA0\x80"
      "D\xCE\xA3";
  EXPECT_EQ(lower_case(text),
            "a\xFF"
            "b\xE0"
            "c\xED\xA0\x80"
            "d\xCF\x82");
}

// The ASCII characters that ICU treats as case-ignorable are the ones the
// piece cutting must not cut beside.
TEST(LowerCase, AsciiCaseIgnorablesAreTheKnownFive) {
  std::string ignorable;
  for (UChar32 c = 0; c < 0x80; ++c) {
    if (u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE)) ignorable.push_back(static_cast<char>(c));
  }
  EXPECT_EQ(ignorable, "'.:^`");
}

TEST(LowerCase, CuttingIntoPiecesMatchesWholeTextMapping) {
  // Fragments chosen to put sigmas, case-ignorables (apostrophe, period,
  // combining accent, soft hyphen), cased and uncased characters and
  // ill-formed bytes next to each other and next to the cuts.
  const std::array<std::string_view, 18> fragments = {
      "A", "a",  "\u03A3", "\u03C3", "'",      ".",  " ", "\u00C9", "\u0301",
      "İ", "中", "\xFF",   "1",      "\u00AD", "ΟΔ", ":", "Ω",      "x"};
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, fragments.size() - 1);
  std::uniform_int_distribution<int> length(0, 24);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int i = length(rng); i > 0; --i) text += fragments[pick(rng)];
    const std::string expected = icu_lower_whole(text);
    ASSERT_EQ(lower_case(text), expected) << text;
    for (std::size_t soft : {0, 1, 2, 5}) {
      ASSERT_EQ(lower_with_limits(text, soft, 1u << 20), expected) << text << " soft " << soft;
    }
  }
}

TEST(LowerCase, ForcedCutsStillCoverEveryByte) {
  // Capped at 3 bytes, cuts fall anywhere; without capital sigmas the
  // mapping is still exact and nothing is lost or repeated.
  const std::string text = "ÉÉ\u0301\u0301\u0301ÀΩ中文ÀB\xFF\xFE\u0130" + std::string(50, 'Z');
  EXPECT_EQ(lower_with_limits(text, 0, 3), icu_lower_whole(text));
  EXPECT_EQ(lower_with_limits(text, 1, 1), icu_lower_whole(text));
}

}  // namespace
}  // namespace tessarine
