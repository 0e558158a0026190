#include "core/format/snapshot_writer.h"

#include <cstring>
#include <system_error>
#include <utility>

#include "core/base/fatal.h"
#include "core/format/checksum.h"
#include "core/format/persistence.h"

namespace tessarine {

SnapshotWriter::SnapshotWriter(std::unique_ptr<WritableFile> file, const EncryptionKey* key,
                               std::size_t buffer_bytes, std::size_t buffer_count)
    : file_(std::move(file)), buffer_bytes_(buffer_bytes) {
  if (buffer_count < 2) fatal("a snapshot writer needs two buffers");
  for (std::size_t i = 0; i < buffer_count; ++i) {
    buffers_.push_back(std::make_unique_for_overwrite<uint8_t[]>(buffer_bytes));
    free_.push_back(i);
  }
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
    // No second thread: hand_over writes each buffer itself.
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

std::span<uint8_t> SnapshotWriter::take_buffer() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !free_.empty(); });
  current_ = free_.front();
  free_.pop_front();
  return {buffers_[current_].get(), buffer_bytes_};
}

void SnapshotWriter::hand_over(std::size_t used) {
  Filled filled{current_, used, std::nullopt};
  // Checksumming is the writing thread's largest task; the encoder takes
  // every other buffer's share (each buffer's CRC-32 is combined in order).
  if (!sealer_ && handed_over_++ % 2 == 1) {
    filled.crc = crc32_update(0, {buffers_[current_].get(), used});
  }
  if (!writer_.joinable()) {
    write_buffer(filled);
    free_.push_back(filled.buffer);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    filled_.push_back(filled);
  }
  changed_.notify_all();
}

void SnapshotWriter::write_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return closing_ || !filled_.empty(); });
    if (filled_.empty()) return;  // closing, and everything handed over is written
    const Filled filled = filled_.front();
    filled_.pop_front();
    lock.unlock();
    write_buffer(filled);
    lock.lock();
    free_.push_back(filled.buffer);
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
