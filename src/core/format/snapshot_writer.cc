#include "core/format/snapshot_writer.h"

#include <cstring>
#include <system_error>
#include <utility>

#include "core/base/fatal.h"
#include "core/format/checksum.h"
#include "core/format/persistence.h"

namespace tessarine {

SnapshotWriter::SnapshotWriter(std::unique_ptr<WritableFile> file, const EncryptionKey* key,
                               std::size_t buffer_bytes, std::size_t buffer_count,
                               std::size_t back_buffer_count)
    : file_(std::move(file)), buffer_bytes_(buffer_bytes) {
  if (buffer_count < 2 || back_buffer_count < 1) fatal("a snapshot writer needs more buffers");
  buffers_.resize(buffer_count + back_buffer_count);
  for (std::size_t i = 0; i < buffer_count; ++i) {
    buffers_[i] = std::make_unique_for_overwrite<uint8_t[]>(buffer_bytes);
    state_[kFront].free.push_back(i);
  }
  state_[kFront].owned = state_[kFront].limit = buffer_count;
  state_[kBack].limit = back_buffer_count;
  if (key != nullptr) {
    // The sealed frame's head: magic, then the nonce the sealer draws.
    uint8_t head[kEncryptedSnapshotMagic.size() + kNonceSize];
    std::memcpy(head, kEncryptedSnapshotMagic.data(), kEncryptedSnapshotMagic.size());
    sealer_.emplace(
        key->begin_sealing(std::span<uint8_t>(head + kEncryptedSnapshotMagic.size(), kNonceSize)));
    status_ = file_->append(head);
  }
  try {
    writer_ = std::thread([this] { write_loop(); });
  } catch (const std::system_error&) {
    // No second thread: hand_over writes each front buffer itself.
  }
}

SnapshotWriter::~SnapshotWriter() { stop_writing_thread(); }

void SnapshotWriter::stop_writing_thread() {
  if (!writer_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

std::span<uint8_t> SnapshotWriter::take_buffer(StreamIndex stream) {
  StreamState& state = state_[stream];
  std::unique_lock lock(mutex_);
  if (state.free.empty() && state.owned < state.limit) {
    // The back stream's buffers are made as it needs them: a small record
    // never makes them, and the largest waits for the front in a bounded
    // number of them.
    const std::size_t made = state_[kFront].limit + state.owned++;
    buffers_[made] = std::make_unique_for_overwrite<uint8_t[]>(buffer_bytes_);
    state.free.push_back(made);
  }
  changed_.wait(lock, [&] { return !state.free.empty(); });
  state.current = state.free.front();
  state.free.pop_front();
  return {buffers_[state.current].get(), buffer_bytes_};
}

void SnapshotWriter::hand_over(StreamIndex stream, std::size_t used) {
  StreamState& state = state_[stream];
  Filled filled{stream, state.current, used, std::nullopt};
  // Checksumming is the writing thread's largest task. The front's encoder
  // takes every other buffer's share; the back's, which is done long before
  // its bytes are due, takes all of its own. (Each buffer's CRC-32 is
  // combined in order.)
  if (!sealer_ && (stream == kBack || state.handed_over++ % 2 == 1)) {
    filled.crc = crc32_update(0, {buffers_[state.current].get(), used});
  }
  if (!writer_.joinable()) {
    // Only the front exists without a writing thread (see back()).
    write_buffer(filled);
    state.free.push_back(filled.buffer);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    state.filled.push_back(filled);
  }
  changed_.notify_all();
}

void SnapshotWriter::end_stream(StreamIndex stream) {
  {
    std::lock_guard lock(mutex_);
    state_[stream].ended = true;
  }
  changed_.notify_all();
}

std::optional<SnapshotWriter::Filled> SnapshotWriter::next_due() {
  for (StreamIndex stream : {kFront, kBack}) {
    StreamState& state = state_[stream];
    if (!state.filled.empty()) {
      const Filled filled = state.filled.front();
      state.filled.pop_front();
      return filled;
    }
    // The back's bytes follow all of the front's.
    if (!state.ended && !closing_) return std::nullopt;
  }
  return std::nullopt;
}

void SnapshotWriter::write_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    std::optional<Filled> filled;
    changed_.wait(lock, [&] {
      filled = next_due();
      return filled.has_value() || closing_;
    });
    if (!filled) return;  // closing, and everything handed over is written
    lock.unlock();
    write_buffer(*filled);
    lock.lock();
    state_[filled->stream].free.push_back(filled->buffer);
    changed_.notify_all();
  }
}

void SnapshotWriter::write_buffer(const Filled& filled) {
  // After a failure the rest is only drained: the caller removes the file.
  if (!status_.ok()) return;
  const std::span<uint8_t> bytes(buffers_[filled.buffer].get(), filled.used);
  if (sealer_) {
    sealer_->seal(bytes);
  } else {
    const uint32_t piece = filled.crc ? *filled.crc : crc32_update(0, bytes);
    crc_ = crc32_combine(crc_, piece, bytes.size());
  }
  status_ = file_->append(bytes);
  if (status_.ok()) file_->start_writeback();
}

Status SnapshotWriter::finish() {
  stop_writing_thread();
  if (!status_.ok()) return status_;
  if (sealer_) {
    uint8_t tag[kTagSize];
    sealer_->finish(tag);
    status_ = file_->append(tag);
  } else {
    // The plain frame's tail: magic, then the CRC-32 big-endian.
    uint8_t trailer[kPlainSnapshotMagic.size() + 4];
    std::memcpy(trailer, kPlainSnapshotMagic.data(), kPlainSnapshotMagic.size());
    for (int i = 0; i < 4; ++i) {
      trailer[kPlainSnapshotMagic.size() + i] = static_cast<uint8_t>(crc_ >> (24 - 8 * i));
    }
    status_ = file_->append(trailer);
  }
  if (status_.ok()) status_ = file_->sync();
  if (status_.ok()) status_ = file_->close();
  return status_;
}

}  // namespace tessarine
