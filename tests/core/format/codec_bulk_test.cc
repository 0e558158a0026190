// Runs of fixed-width values are encoded and decoded in bulk; their bytes and
// their errors must be exactly those of writing and reading the values one
// by one, for empty, small, odd and large runs and for every truncation.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "core/bm25/inverted_index.h"
#include "core/format/codec.h"
#include "core/format/codec_primitives.h"
#include "snapshot_test_util.h"

namespace tessarine {
namespace {

using codec::ByteCounter;
using codec::ByteReader;
using codec::ByteWriter;

constexpr std::size_t kRunLengths[] = {0, 1, 2, 3, 63, 64, 65, 1000, 4099};

std::vector<Posting> sample_postings(std::size_t n) {
  std::vector<Posting> out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back({static_cast<uint32_t>(i * 2654435761u), static_cast<uint32_t>(i % 7 + 1)});
  }
  return out;
}

std::vector<float> sample_floats(std::size_t n) {
  std::vector<float> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<float>(i) * -0.37f + 1e-3f);
  return out;
}

// Encodes with `put` into a buffer sized by a counting walk of the same put.
template <typename Put>
std::vector<uint8_t> encode(Put put) {
  ByteCounter counter;
  put(counter);
  std::vector<uint8_t> out(counter.size());
  ByteWriter writer(out);
  put(writer);
  EXPECT_TRUE(writer.finished());
  return out;
}

TEST(CodecBulkTest, RunsEncodeAsTheirValuesOneByOne) {
  // A fixed string first: doc id, then term frequency, each little-endian.
  const std::vector<Posting> one = {{0x04030201, 0x08070605}};
  EXPECT_EQ(encode([&](auto& s) { s.put_u32_records(std::span<const Posting>(one)); }),
            (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

  for (std::size_t n : kRunLengths) {
    const std::vector<Posting> postings = sample_postings(n);
    const std::vector<float> floats = sample_floats(n);
    std::vector<uint32_t> words(n);
    for (std::size_t i = 0; i < n; ++i) words[i] = postings[i].doc_id;

    const auto bulk = encode([&](auto& s) {
      s.put_u32_records(std::span<const Posting>(postings));
      s.put_f32s(floats);
      s.put_u32s(words);
    });
    const auto one_by_one = encode([&](auto& s) {
      for (const Posting& p : postings) {
        s.put_u32(p.doc_id);
        s.put_u32(p.term_freq);
      }
      for (float f : floats) s.put_u32(std::bit_cast<uint32_t>(f));
      for (uint32_t w : words) s.put_u32(w);
    });
    EXPECT_EQ(bulk, one_by_one) << n << " values";
  }
}

TEST(CodecBulkTest, RunsDecodeAsTheirValuesOneByOneAndEveryTruncationFails) {
  for (std::size_t n : kRunLengths) {
    const std::vector<Posting> postings = sample_postings(n);
    const std::vector<float> floats = sample_floats(n);
    const auto bytes = encode([&](auto& s) {
      s.put_u32_records(std::span<const Posting>(postings));
      s.put_u64(floats.size());
      s.put_f32s(floats);
    });

    ByteReader reader(bytes);
    std::vector<Posting> got_postings;
    std::vector<float> got_floats;
    ASSERT_TRUE(reader.get_u32_records(n, got_postings)) << reader.error();
    ASSERT_TRUE(reader.get_f32s(got_floats)) << reader.error();
    EXPECT_EQ(got_postings, postings);
    ASSERT_EQ(got_floats.size(), floats.size());
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(std::bit_cast<uint32_t>(got_floats[i]), std::bit_cast<uint32_t>(floats[i]));
    }

    // Cut anywhere (a sample of cuts for long runs), the bulk read fails
    // exactly when reading the values one by one does, with the same error.
    const std::size_t step = bytes.size() > 512 ? 61 : 1;
    for (std::size_t cut = 0; cut < bytes.size(); cut += step) {
      const std::span<const uint8_t> head(bytes.data(), cut);
      ByteReader bulk(head);
      std::vector<Posting> p;
      std::vector<float> f;
      const bool bulk_ok = bulk.get_u32_records(n, p) && bulk.get_f32s(f);

      ByteReader single(head);
      bool single_ok = true;
      uint32_t v;
      for (std::size_t i = 0; i < 2 * n && single_ok; ++i) single_ok = single.get_u32(v);
      uint64_t count = 0;
      single_ok = single_ok && single.get_u64(count);
      for (uint64_t i = 0; i < count && single_ok; ++i) single_ok = single.get_u32(v);

      EXPECT_FALSE(bulk_ok) << n << " values cut at " << cut;
      EXPECT_EQ(bulk_ok, single_ok);
      EXPECT_EQ(bulk.error(), single.error());
    }
  }
}

TEST(CodecBulkTest, ClaimedRunsBeyondTheInputFailBeforeAllocating) {
  const std::vector<uint8_t> bytes(64, 0);
  for (uint64_t count : {uint64_t{9}, uint64_t{1} << 40, ~uint64_t{0}}) {
    ByteReader reader(bytes);
    std::vector<Posting> postings;
    EXPECT_FALSE(reader.get_u32_records(count, postings));
    EXPECT_EQ(reader.error(), "io error: unexpected end of file");
    EXPECT_TRUE(postings.empty());
  }
  // Reservations never exceed what the remaining bytes could hold.
  ByteReader reader(bytes);
  EXPECT_EQ(reader.reservation(~uint64_t{0}, 8), 8u);
  EXPECT_EQ(reader.reservation(3, 8), 3u);
  EXPECT_EQ(reader.reservation(100, 64), 1u);
}

// A decoded keyword index has the score bounds that indexing the texts
// built, across lists that span several blocks.
TEST(CodecBulkTest, DecodedKeywordIndexKeepsTheBuiltBounds) {
  Collection collection("c", 0, HnswConfig{});
  InvertedIndex& index = collection.inverted_index;
  for (uint32_t i = 0; i < 200; ++i) {
    std::string text = "common term" + std::to_string(i % 3);
    for (uint32_t r = 0; r < i % 5; ++r) text += " common";
    index.add_document(i, text);
  }
  auto decoded = decode_collection(encode_collection(collection));
  ASSERT_TRUE(decoded.ok()) << decoded.status().message();
  const InvertedIndex& got = decoded->inverted_index;
  ASSERT_EQ(got.postings.size(), index.postings.size());
  for (const auto& [term, list] : index.postings) {
    const PostingList& other = got.postings.at(term);
    EXPECT_EQ(other.entries(), list.entries()) << term;
    EXPECT_EQ(other.max_term_freq(), list.max_term_freq()) << term;
    EXPECT_EQ(other.min_doc_length(), list.min_doc_length()) << term;
    ASSERT_EQ(other.blocks().size(), list.blocks().size()) << term;
    for (std::size_t b = 0; b < list.blocks().size(); ++b) {
      EXPECT_EQ(other.blocks()[b].last_doc_id, list.blocks()[b].last_doc_id);
      EXPECT_EQ(other.blocks()[b].max_term_freq, list.blocks()[b].max_term_freq);
      EXPECT_EQ(other.blocks()[b].min_doc_length, list.blocks()[b].min_doc_length);
    }
  }
}

// Collects a streamed record, in buffers of one size.
class CollectingChannel : public codec::ChunkChannel {
 public:
  explicit CollectingChannel(std::size_t buffer_size) : buffer_(buffer_size) {}
  std::span<uint8_t> take_buffer() override { return buffer_; }
  void hand_over(std::size_t used) override {
    ASSERT_LE(used, buffer_.size());
    EXPECT_EQ(ends, 0u) << "a buffer after the stream's end";
    bytes.insert(bytes.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used));
    ++buffers;
  }
  void end() override { ++ends; }
  std::vector<uint8_t> bytes;
  std::size_t buffers = 0;
  std::size_t ends = 0;

 private:
  std::vector<uint8_t> buffer_;
};

// Streamed in buffers of any size, down to one value, a record is the bytes
// of the counted, one-buffer encoding: runs are cut between buffers at
// element boundaries, values never.
TEST(CodecBulkTest, StreamedRecordIsTheWholeRecordCutIntoBuffers) {
  for (bool raw : {false, true}) {
    const Collection collection = testing::sample_collection("docs", raw);
    const std::vector<uint8_t> whole = encode_collection(collection);
    for (std::size_t buffer_size : {8, 13, 64, 4099, 1 << 20}) {
      CollectingChannel channel(buffer_size);
      encode_collection_to(collection, channel);
      EXPECT_EQ(channel.bytes, whole) << "buffers of " << buffer_size << " bytes";
      EXPECT_EQ(channel.ends, 1u);
      if (buffer_size < whole.size()) {
        EXPECT_GT(channel.buffers, 1u);
      }
      // On two threads: the documents in front, the tables behind them.
      CollectingChannel front(buffer_size);
      CollectingChannel back(buffer_size);
      encode_collection_to(collection, front, &back, 0);
      EXPECT_GT(front.bytes.size(), 0u);
      EXPECT_GT(back.bytes.size(), 0u);
      EXPECT_EQ(front.ends + back.ends, 2u);
      front.bytes.insert(front.bytes.end(), back.bytes.begin(), back.bytes.end());
      EXPECT_EQ(front.bytes, whole) << "two streams, buffers of " << buffer_size << " bytes";
    }
  }
}

}  // namespace
}  // namespace tessarine
