// Full Unicode lower-casing of UTF-8 text for the tokenizer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessarine {

// The default (locale-independent) full lower-case mapping of `text`,
// including multi-character mappings (U+0130 -> "i\u0307") and the final-sigma
// rule. Ill-formed UTF-8 bytes are copied unchanged. Works for any length:
// ASCII stretches are lowered directly and the rest is handed to ICU in pieces
// cut where no character's mapping depends on the other side of the cut.
std::string lower_case(std::string_view text);

namespace lower_case_detail {

// Below `soft_limit` bytes a piece for ICU is cut only between two ASCII
// characters that are neither case-ignorable nor letters of the sigma rule;
// beyond it, between any two such characters; at `hard_limit` bytes it is cut
// at the next character boundary whatever follows (this keeps ICU's 32-bit
// lengths safe; only a run of hundreds of MiB of case-ignorable characters or
// capital sigmas could be mapped differently there).
inline constexpr std::size_t kSoftPieceLimit = std::size_t{1} << 16;
inline constexpr std::size_t kHardPieceLimit = std::size_t{1} << 28;

// lower_case() with chosen limits, so that tests can exercise the cutting.
void append_lower_case(std::string_view text, std::size_t soft_limit, std::size_t hard_limit,
                       std::string& out);

}  // namespace lower_case_detail
}  // namespace tessarine
