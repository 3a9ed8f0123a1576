#include "relay/stream/datagram_buffer.h"

#include <cstring>
#include <utility>

namespace relay {

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
