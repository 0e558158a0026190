// The process's table of open data directories: one Engine per directory,
// found by its canonical path. A second opener of a directory that is open
// in this process shares the open database (it sees every write at once;
// there is one log), as long as it names the same key. The database closes
// when its last owner lets go: the table never keeps one open by itself.
#pragma once

#include <memory>
#include <string>

#include "core/base/status.h"
#include "core/db/engine.h"
#include "core/format/crypto.h"
#include "core/io/env.h"

namespace tessarine {

// The open database of `data_dir`, opening it (Engine::open) when no owner
// in this process holds it. Fails with kInvalidArgument when the directory
// is open with another key, or with a key where it has none or none where it
// has one: "data directory '{}' is already open with a different encryption key".
// `env` and `policy` are used only when the directory is opened here.
Result<std::shared_ptr<Engine>> open_database(const std::string& data_dir,
                                              std::shared_ptr<const EncryptionKey> key, Env& env,
                                              CheckpointPolicy policy = {});

}  // namespace tessarine
