// The recent datagrams of one received group, shared by every client of it.
//
// The receiving thread appends whole datagrams to a chain of blocks; each
// client reads the chain at its own position, without a lock and without a
// copy. A block owns the next one, so whoever holds a block keeps the rest of
// the chain from there on: a client's position keeps what it has not sent
// yet, and the receiver keeps what a new client may start from. A block goes
// as soon as nobody holds it or an earlier one.
//
// A block lets go of the next one only as it is freed itself: the last
// hold on a block is the only point where nobody can still read its link
// (the release of that hold orders every reader's use before it). A chain
// as long as the slowest client is behind goes block by block on the
// freeing thread's stack, however long it is.
//
// Publishing: the receiving thread writes a datagram's bytes and end offset,
// then raises the block's count (release); a reader loads the count
// (acquire) and reads only below it. A full block is sealed by linking the
// next one (release); a reader that sees the link (acquire) reads the
// block's final count and moves on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace relay {

inline constexpr std::size_t kBlockBytes = 65536;  // holds the largest UDP payload
inline constexpr std::size_t kBlockDatagrams = 512;

class DatagramBlock {
 public:
  // `firstByte`: where the block starts in the group's byte count;
  // `index`: its place in the chain, counted from the group's first block.
  explicit DatagramBlock(std::uint64_t firstByte, std::uint64_t index = 0)
      : firstByte_(firstByte), index_(index) {}
  // Frees the blocks after this one that nobody else holds, each from the
  // one before, in a loop rather than one destructor inside the next.
  ~DatagramBlock();
  DatagramBlock(const DatagramBlock&) = delete;
  DatagramBlock& operator=(const DatagramBlock&) = delete;

  // Writer side. Whether a datagram of `size` bytes still fits.
  bool fits(std::size_t size) const {
    return used_ + size <= kBlockBytes && written_ < kBlockDatagrams;
  }
  void append(const unsigned char* datagram, std::size_t size);
  // Makes the block's datagrams so far visible to readers.
  void publish() { count_.store(written_, std::memory_order_release); }
  // Links the next block: this one takes no more datagrams.
  void seal(std::shared_ptr<DatagramBlock> next);
  std::uint64_t endByte() const { return firstByte_ + used_; }  // writer only
  std::uint32_t written() const { return written_; }            // writer only

  // Reader side.
  std::uint32_t published() const { return count_.load(std::memory_order_acquire); }
  // The next block once this one is sealed, or null. Load the count again
  // after seeing it: the last datagrams may have come with the seal.
  const std::shared_ptr<DatagramBlock>* sealedNext() const {
    return sealed_.load(std::memory_order_acquire) ? &next_ : nullptr;
  }
  std::uint32_t begin(std::uint32_t datagram) const {
    return datagram == 0 ? 0 : ends_[datagram - 1];
  }
  std::uint32_t end(std::uint32_t datagram) const { return ends_[datagram]; }
  const unsigned char* bytes() const { return bytes_; }
  std::uint64_t firstByte() const { return firstByte_; }
  std::uint64_t index() const { return index_; }

 private:
  const std::uint64_t firstByte_;
  const std::uint64_t index_;
  std::atomic<std::uint32_t> count_{0};
  std::atomic<bool> sealed_{false};
  std::uint32_t written_ = 0;  // writer only
  std::uint32_t used_ = 0;     // writer only
  std::shared_ptr<DatagramBlock> next_;
  std::uint32_t ends_[kBlockDatagrams];
  unsigned char bytes_[kBlockBytes];
};

// A place in the chain: a datagram of a block, and how many of its bytes
// (as the reader sends them) are already done.
struct BufferPosition {
  std::shared_ptr<DatagramBlock> block;
  std::uint32_t datagram = 0;
  std::uint32_t done = 0;

  // Where the position's datagram starts in the group's byte count.
  std::uint64_t byte() const { return block->firstByte() + block->begin(datagram); }
  // Moves to the next datagram when this block has one or is sealed; false
  // at the newest data.
  bool step();
  // Whether a datagram is published at the position (after moving past a
  // sealed block's end).
  bool ready();
};

}  // namespace relay
