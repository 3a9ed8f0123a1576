// The hand-over between a multicast receiver's thread and its consumer: a
// locked first-in first-out queue of filled chunks. The receiver only
// appends; the consumer reads and removes the head.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace relay {

// Whole datagram payloads in arrival order. `length` is -1 while the chunk
// is being filled and the number of valid bytes once it is queued.
// `datagramSizes` is empty unless the receiver keeps datagram boundaries;
// then it holds the size of each datagram in the chunk, in order, adding up
// to `length`.
struct DataChunk {
  explicit DataChunk(std::size_t capacity)
      : data(new unsigned char[capacity]), capacity(capacity) {}

  std::unique_ptr<unsigned char[]> data;
  std::size_t capacity;
  std::ptrdiff_t length = -1;
  std::vector<std::uint32_t> datagramSizes;
};

class ChunkQueue {
 public:
  void append(std::unique_ptr<DataChunk> chunk);
  int count() const;
  // The oldest chunk, still queued; null when empty. It stays valid until
  // removeHead, and only the consumer touches it.
  DataChunk* head() const;
  void removeHead();

 private:
  mutable std::mutex lock_;
  std::deque<std::unique_ptr<DataChunk>> chunks_;
};

}  // namespace relay
