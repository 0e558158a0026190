#include "core/format/quoted_path.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>

namespace tessarine {
namespace {

bool is_printable(UChar32 c) {
  if (c == ' ') return true;
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return false;
    default:
      return true;
  }
}

void append_hex(std::string& out, const char* format, unsigned value) {
  char buffer[16];
  const int n = std::snprintf(buffer, sizeof(buffer), format, value);
  out.append(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::string quoted_bytes(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const std::size_t length = bytes.size();
  std::string out = "\"";
  std::size_t i = 0;
  while (i < length) {
    const std::size_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      for (std::size_t b = start; b < i; ++b) append_hex(out, "\\x%02X", s[b]);
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        if (is_printable(c)) {
          out.append(bytes.substr(start, i - start));
        } else {
          append_hex(out, "\\u{%x}", static_cast<unsigned>(c));
        }
    }
  }
  out += '"';
  return out;
}

std::string quoted_path(const std::filesystem::path& path) { return quoted_bytes(path.native()); }

}  // namespace tessarine
