#include "relay/stream/chunk_queue.h"

namespace relay {

void ChunkQueue::append(std::unique_ptr<DataChunk> chunk) {
  std::lock_guard guard(lock_);
  chunks_.push_back(std::move(chunk));
}

int ChunkQueue::count() const {
  std::lock_guard guard(lock_);
  return int(chunks_.size());
}

DataChunk* ChunkQueue::head() const {
  std::lock_guard guard(lock_);
  return chunks_.empty() ? nullptr : chunks_.front().get();
}

void ChunkQueue::removeHead() {
  std::unique_ptr<DataChunk> removed;
  std::lock_guard guard(lock_);
  if (chunks_.empty()) return;
  removed = std::move(chunks_.front());
  chunks_.pop_front();
}

}  // namespace relay
