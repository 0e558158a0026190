// Writes a snapshot file while its record is being encoded. The encoder fills
// fixed-size buffers (it is the ChunkChannel of a ChunkWriter); a second
// thread checks (CRC-32) or seals (AES-256-GCM) each full buffer, appends it
// to the file and asks the system to start writing it out, while the encoder
// fills the next. Memory stays at a few buffers whatever the snapshot's size,
// and the disk works during the encoding instead of after it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "core/base/status.h"
#include "core/format/codec_primitives.h"
#include "core/format/crypto.h"
#include "core/io/env.h"

namespace tessarine {

class SnapshotWriter final : public codec::ChunkChannel {
 public:
  // Writes into `file` (empty, open for writing) the plain frame (the
  // record, then magic and CRC-32) or, with a key, the sealed one (magic,
  // nonce, ciphertext, tag). `buffer_bytes` and `buffer_count` size the
  // buffers shared by the two threads.
  SnapshotWriter(std::unique_ptr<WritableFile> file, const EncryptionKey* key,
                 std::size_t buffer_bytes = kDefaultBufferBytes,
                 std::size_t buffer_count = kDefaultBufferCount);
  ~SnapshotWriter() override;
  SnapshotWriter(const SnapshotWriter&) = delete;
  SnapshotWriter& operator=(const SnapshotWriter&) = delete;

  std::span<uint8_t> take_buffer() override;
  void hand_over(std::size_t used) override;

  // After the record's last buffer: waits for the writing thread, appends the
  // frame's tail, syncs and closes the file. Returns the first failure; the
  // file is then in no particular state.
  Status finish();

  static constexpr std::size_t kDefaultBufferBytes = std::size_t{2} << 20;
  static constexpr std::size_t kDefaultBufferCount = 4;

 private:
  struct Filled {
    std::size_t buffer;
    std::size_t used;
    std::optional<uint32_t> crc;  // the buffer's own CRC-32, when the encoder took it
  };

  void write_loop();
  void write_buffer(const Filled& filled);
  // Lets the writing thread write what was handed over, then joins it.
  void stop_writing_thread();

  std::unique_ptr<WritableFile> file_;
  std::optional<EncryptionKey::Sealer> sealer_;
  uint32_t crc_ = 0;
  Status status_;  // the first failure; written by the writing thread, read after join

  std::vector<std::unique_ptr<uint8_t[]>> buffers_;
  std::size_t buffer_bytes_;
  std::size_t current_ = 0;  // the buffer the encoder fills
  std::size_t handed_over_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::size_t> free_;  // buffers ready to be filled
  std::deque<Filled> filled_;     // buffers waiting to be written
  bool closing_ = false;
  std::thread writer_;
};

}  // namespace tessarine
