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

class SnapshotWriter final {
 public:
  // Writes into `file` (empty, open for writing) the plain frame (the
  // record, then magic and CRC-32) or, with a key, the sealed one (magic,
  // nonce, ciphertext, tag). `buffer_bytes` sizes every buffer; the front
  // stream shares `buffer_count` of them with the writing thread, and the
  // back stream may hold up to `back_buffer_count` more while it waits for
  // the front to end.
  SnapshotWriter(std::unique_ptr<WritableFile> file, const EncryptionKey* key,
                 std::size_t buffer_bytes = kDefaultBufferBytes,
                 std::size_t buffer_count = kDefaultBufferCount,
                 std::size_t back_buffer_count = kDefaultBackBufferCount);
  ~SnapshotWriter();
  SnapshotWriter(const SnapshotWriter&) = delete;
  SnapshotWriter& operator=(const SnapshotWriter&) = delete;

  // The record's first bytes go to the front stream. The back stream, which
  // another thread may fill at the same time, holds the bytes that follow
  // all of the front's; its buffers are written once the front has ended.
  // There is no back stream (nullptr) when the writer has no thread of its
  // own, since nothing could then write the front while the back waits.
  codec::ChunkChannel& front() { return streams_[kFront]; }
  codec::ChunkChannel* back() { return writer_.joinable() ? &streams_[kBack] : nullptr; }

  // After the record's last buffer: waits for the writing thread, appends the
  // frame's tail, syncs and closes the file. Returns the first failure; the
  // file is then in no particular state.
  Status finish();

  static constexpr std::size_t kDefaultBufferBytes = std::size_t{2} << 20;
  static constexpr std::size_t kDefaultBufferCount = 4;
  static constexpr std::size_t kDefaultBackBufferCount = 16;

 private:
  enum StreamIndex : std::size_t { kFront = 0, kBack = 1 };

  class Stream final : public codec::ChunkChannel {
   public:
    Stream(SnapshotWriter& owner, StreamIndex index) : owner_(owner), index_(index) {}
    std::span<uint8_t> take_buffer() override { return owner_.take_buffer(index_); }
    void hand_over(std::size_t used) override { owner_.hand_over(index_, used); }
    void end() override { owner_.end_stream(index_); }

   private:
    SnapshotWriter& owner_;
    StreamIndex index_;
  };

  struct Filled {
    StreamIndex stream;
    std::size_t buffer;
    std::size_t used;
    std::optional<uint32_t> crc;  // the buffer's own CRC-32, when its encoder took it
  };

  // What each stream's encoder holds and waits for (under mutex_ but for
  // `current` and `handed_over`, which only the encoder touches).
  struct StreamState {
    std::deque<std::size_t> free;  // buffers ready to be filled
    std::deque<Filled> filled;     // buffers waiting to be written
    std::size_t owned = 0;         // buffers made for this stream so far
    std::size_t limit = 0;         // the most it may make
    bool ended = false;
    std::size_t current = 0;  // the buffer the encoder fills
    std::size_t handed_over = 0;
  };

  std::span<uint8_t> take_buffer(StreamIndex stream);
  void hand_over(StreamIndex stream, std::size_t used);
  void end_stream(StreamIndex stream);
  // The next buffer due in the file, if it has been handed over.
  std::optional<Filled> next_due();
  void write_loop();
  void write_buffer(const Filled& filled);
  // Lets the writing thread write what was handed over, then joins it.
  void stop_writing_thread();

  std::unique_ptr<WritableFile> file_;
  std::optional<EncryptionKey::Sealer> sealer_;
  uint32_t crc_ = 0;
  Status status_;  // the first failure; written by the writing thread, read after join

  std::size_t buffer_bytes_;
  // Sized once; the back stream's entries are made when first needed, under
  // mutex_, before their index is handed to anyone.
  std::vector<std::unique_ptr<uint8_t[]>> buffers_;
  Stream streams_[2] = {Stream(*this, kFront), Stream(*this, kBack)};

  std::mutex mutex_;
  std::condition_variable changed_;
  StreamState state_[2];
  bool closing_ = false;
  std::thread writer_;
};

}  // namespace tessarine
