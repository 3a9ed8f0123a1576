#include "relay/stream/datagram_buffer.h"

#include <cstring>
#include <utility>

namespace relay {
namespace {

// Set while a block frees the chain after it on this thread: where a block
// freed meanwhile leaves its own link for that loop to drop next.
thread_local std::shared_ptr<DatagramBlock>* tFreedNext = nullptr;

}  // namespace

DatagramBlock::~DatagramBlock() {
  if (tFreedNext != nullptr) {
    *tFreedNext = std::move(next_);
    return;
  }
  // No look at the next block's use count decides anything here: such a
  // read orders nothing against a reader letting go of it on another
  // thread. Dropping the hold does; whoever drops the last one frees the
  // block, and with it hands on the block's link.
  std::shared_ptr<DatagramBlock> next = std::move(next_);
  tFreedNext = &next;
  while (next) {
    std::shared_ptr<DatagramBlock> dropped = std::move(next);
    dropped.reset();  // when it was the last hold, `next` is its link now
  }
  tFreedNext = nullptr;
}

void DatagramBlock::append(const unsigned char* datagram, std::size_t size) {
  if (size != 0) std::memcpy(bytes_ + used_, datagram, size);
  used_ += std::uint32_t(size);
  ends_[written_++] = used_;
}

void DatagramBlock::seal(std::shared_ptr<DatagramBlock> next) {
  publish();
  next_ = std::move(next);
  sealed_.store(true, std::memory_order_release);
}

bool BufferPosition::ready() {
  for (;;) {
    if (datagram < block->published()) return true;
    const std::shared_ptr<DatagramBlock>* next = block->sealedNext();
    if (next == nullptr) return false;
    if (datagram < block->published()) return true;
    block = *next;
    datagram = 0;
    done = 0;
  }
}

bool BufferPosition::step() {
  if (!ready()) return false;
  ++datagram;
  done = 0;
  return true;
}

}  // namespace relay
