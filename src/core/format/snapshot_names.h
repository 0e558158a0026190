// File names of snapshots inside a data directory. Collection names are
// arbitrary byte strings ("", "..", "a/b", NUL bytes, thousands of bytes); a
// file name must stay one path component of at most 255 bytes, including the
// ".tmp" suffix of the file written during a save. The mapping is injective,
// so every collection has its own file and finds it again:
//   - an ordinary name (letters, digits, "_", "-", "."; not "", "." or "..";
//     not starting with ".") is kept as it is: "docs" -> "docs.tsr";
//   - any other name is escaped: "%" followed by the name with every byte
//     outside that set written as %XX (upper-case hex): "a/b" -> "%a%2Fb.tsr";
//   - a name whose file name would still be too long becomes "%~" followed by
//     the hex SHA-256 of the name: "%~<64 hex digits>.tsr".
// Ordinary names never contain "%", and escaped bodies never contain "~", so
// the three forms cannot collide. The name stored inside a snapshot stays
// authoritative; the file name only has to be found again from the name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessarine {

inline constexpr std::string_view kSnapshotSuffix = ".tsr";
inline constexpr std::string_view kTemporarySuffix = ".tmp";  // appended to the snapshot's name

// The snapshot file name (not a path) for a collection, e.g. "docs.tsr".
std::string snapshot_file_name(std::string_view collection_name);

// The collection name a snapshot file name was made from, when the name can
// be read back from it (ordinary and escaped forms). Nothing for hashed names
// (the name is inside the file) and for names this mapping never produces.
std::optional<std::string> collection_name_from_file_name(std::string_view file_name);

}  // namespace tessarine
