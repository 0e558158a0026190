// Maps and sets keyed by user data. Abseil's hash is seeded per process, so
// an attacker cannot pick keys that collide (hash-flooding resistance), and
// iteration order is unspecified: nothing may depend on it.
#pragma once

#include <string_view>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/strings/string_view.h"

namespace tessarine {

template <typename K, typename V>
using HashMap = absl::flat_hash_map<K, V>;

template <typename K>
using HashSet = absl::flat_hash_set<K>;

// Debian's Abseil keeps its own string_view type, which std::string_view does
// not convert to implicitly; heterogeneous lookups in string-keyed maps go
// through this.
inline absl::string_view as_key(std::string_view s) { return {s.data(), s.size()}; }

}  // namespace tessarine
