// Helpers for database tests: a canonical description of a database's contents to compare a live
// database with its reopened self.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "core/db/engine.h"
#include "temp_dir.h"

namespace tessarine::testing {

// collection name -> "dimension d" then "id|text|metadata entries" for each
// live document in insertion order.
using Contents = std::map<std::string, std::vector<std::string>>;

inline Contents contents_of(const Engine& engine) {
  Contents out;
  for (const std::string& name : engine.list_collections()) {
    std::vector<std::string>& lines = out[name];
    auto info = engine.collection_info(name);
    auto documents = engine.documents(name);
    if (!info.ok() || !documents.ok()) continue;
    lines.push_back("dimension " + std::to_string(info->dimension));
    for (const auto& document : *documents) {
      lines.push_back(format_uuid(document->id) + "|" + document->text + "|" +
                      std::to_string(document->metadata.size()));
    }
  }
  return out;
}

}  // namespace tessarine::testing
