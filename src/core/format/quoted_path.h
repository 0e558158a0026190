// Paths in error messages, written in a quoted debug form that shows exactly
// which bytes a path holds: enclosed in double quotes; `"` and `\` escaped
// with a backslash; tab, carriage return, line feed and NUL as \t, \r, \n and
// \0; other non-printable characters (controls, format characters, private
// use, unassigned code points, and every separator except the plain space)
// as \u{hex}; bytes that are not valid UTF-8 as \xHH.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessarine {

std::string quoted_bytes(std::string_view bytes);
std::string quoted_path(const std::filesystem::path& path);

}  // namespace tessarine
