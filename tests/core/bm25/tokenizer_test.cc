#include "core/bm25/tokenizer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/bm25/stop_words.h"

namespace tessarine {
namespace {

std::vector<std::string> terms_of(std::string_view text) {
  std::vector<std::string> out;
  for (std::string_view term : tokenize(text)) out.emplace_back(term);
  return out;
}

struct TokenizeCase {
  const char* text;
  std::vector<std::string> terms;

  // Test names (and CTest's) show the text with its ASCII letters and digits
  // kept and every other byte in hex.
  friend void PrintTo(const TokenizeCase& c, std::ostream* os) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    *os << '"';
    for (const char* p = c.text; *p != '\0'; ++p) {
      const auto b = static_cast<unsigned char>(*p);
      if (std::isalnum(b) && b < 0x80) {
        *os << *p;
      } else {
        *os << 'x' << kHex[b >> 4] << kHex[b & 15];
      }
    }
    *os << '"';
  }
};

class TokenizeExamples : public testing::TestWithParam<TokenizeCase> {};

TEST_P(TokenizeExamples, YieldsTheExpectedTerms) {
  EXPECT_EQ(terms_of(GetParam().text), GetParam().terms) << "text: " << GetParam().text;
}

const TokenizeCase kTokenizeCases[] = {
    {"Hello, World!", {"hello", "world"}},
    // "the" is a stop word once lowered; "s" is one byte.
    {"The cat's toy", {"cat", "toy"}},
    // Apostrophes, hyphens and underscores separate terms.
    {"don't", {"don"}},
    {"e-mail", {"mail"}},
    {"snake_case", {"snake", "case"}},
    {"R&D and Q/A", {}},
    // The length rule counts bytes: single ASCII characters go.
    {"x1 7 2024 3d.5", {"x1", "2024", "3d"}},
    {"Il gatto della nonna", {"gatto", "nonna"}},
    {"é", {"é"}},
    {"e", {}},
    {"ß", {"ß"}},
    // No accent folding: é and e are different terms.
    {"café CAFE Café", {"café", "cafe", "café"}},
    // A single CJK ideograph is three bytes; a run of them is one term.
    {"中", {"中"}},
    {"中文 搜索", {"中文", "搜索"}},
    // Capital sigma: final at the end of a word, non-final elsewhere.
    {"ΟΔΟΣ", {"οδος"}},
    {"ΣΑ", {"σα"}},
    {"ΟΔΟΣ ΣΑ", {"οδος", "σα"}},
    // The sigma rule sees ASCII letters before it and skips the
    // case-ignorable apostrophe.
    {"AΣ", {"aς"}},
    {"A'Σ", {"ς"}},
    // U+00B2 (superscript two) is in category No; U+00BD (one half) too.
    {"x²", {"x²"}},
    {"½", {"½"}},
    // Roman numeral twelve (Nl) lowers to its small form.
    {"Ⅻ", {"ⅻ"}},
    // U+0130 lowers to "i" + U+0307; the combining dot is not alphabetic.
    {"İSTANBUL", {"stanbul"}},
    {"KİSA", {"ki", "sa"}},
    {"word word word", {"word", "word", "word"}},
    {"", {}},
    {" \t\n,.;:!?-_'\"()[]{}<>/\\|@#$%^&*+=~`", {}},
    // Symbols and punctuation outside ASCII separate too.
    {"alpha—beta€gamma…delta", {"alpha", "beta", "gamma", "delta"}},
};

INSTANTIATE_TEST_SUITE_P(Tokenizer, TokenizeExamples, testing::ValuesIn(kTokenizeCases));

TEST(Tokenizer, DropsEveryStopWordInAnyCase) {
  EXPECT_EQ(STOP_WORDS.size(), 64u);
  for (std::string_view word : kStopWordList) {
    EXPECT_TRUE(STOP_WORDS.contains(word)) << word;
    EXPECT_TRUE(terms_of(word).empty()) << word;
    std::string upper(word);
    for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
    EXPECT_TRUE(terms_of(upper).empty()) << upper;
  }
  // Near misses stay.
  EXPECT_EQ(terms_of("thee dell anch sonoo"),
            (std::vector<std::string>{"thee", "dell", "anch", "sonoo"}));
}

TEST(Tokenizer, TermsAreSlicesOfTheLoweredText) {
  const TokenizedText tokens = tokenize("Grüße aus KÖLN");
  EXPECT_EQ(tokens.lowered(), "grüße aus köln");
  ASSERT_EQ(tokens.size(), 3u);
  EXPECT_EQ(tokens[2], "köln");
  EXPECT_EQ(tokens[2].data(), tokens.lowered().data() + tokens.lowered().size() - 5);
}

TEST(Tokenizer, IllFormedUtf8SeparatesWithoutStopping) {
  // A stray continuation byte, a truncated sequence at the end, an overlong
  // encoding, an encoded surrogate and bytes that are never valid.
  EXPECT_EQ(terms_of("ab\x80"
                     "cd"),
            (std::vector<std::string>{"ab", "cd"}));
  EXPECT_EQ(terms_of("abc\xE2\x82"), (std::vector<std::string>{"abc"}));
  EXPECT_EQ(terms_of("ab\xC0\xAF"
                     "cd"),
            (std::vector<std::string>{"ab", "cd"}));
  EXPECT_EQ(terms_of("ab\xED\xA0\x80"
                     "cd"),
            (std::vector<std::string>{"ab", "cd"}));
  EXPECT_EQ(terms_of("\xFF\xFE ÉTÉ \xF5\xF8"), (std::vector<std::string>{"été"}));
  // Every single byte and every pair of bytes: no crash, and every term is
  // well-formed UTF-8 made of the lowered input.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const char text[2] = {static_cast<char>(a), static_cast<char>(b)};
      const TokenizedText tokens = tokenize(std::string_view(text, 2));
      for (std::string_view term : tokens) ASSERT_GE(term.size(), 2u);
    }
  }
}

TEST(Tokenizer, ConcurrentCallersGetTheSameTerms) {
  const std::string text = "Il gatto della nonna and THE ΟΔΟΣ of the café 中文 x² don't";
  const std::vector<std::string> expected = terms_of(text);
  std::vector<std::vector<std::string>> seen(4);
  std::vector<std::thread> threads;
  for (auto& out : seen) {
    threads.emplace_back([&text, &out] {
      for (int i = 0; i < 200; ++i) out = terms_of(text);
    });
  }
  for (std::thread& t : threads) t.join();
  for (const auto& out : seen) EXPECT_EQ(out, expected);
}

TEST(Tokenizer, EmbeddedNulIsASeparator) {
  EXPECT_EQ(terms_of(std::string_view("ab\0cd", 5)), (std::vector<std::string>{"ab", "cd"}));
}

TEST(Tokenizer, LongTermsHaveNoUpperLimit) {
  const std::string long_word(100000, 'Q');
  const std::vector<std::string> terms = terms_of("x " + long_word + " y");
  ASSERT_EQ(terms.size(), 1u);
  EXPECT_EQ(terms[0], std::string(100000, 'q'));
}

}  // namespace
}  // namespace tessarine
