#include "relay/connection.h"

#include <algorithm>

namespace ov::relay::detail {
namespace {

std::vector<ws::Bytes>& ChunkPool() {
  thread_local std::vector<ws::Bytes> pool;
  return pool;
}

}  // namespace

ws::Bytes TakeChunk(std::size_t wanted) {
  std::vector<ws::Bytes>& pool = ChunkPool();
  ws::Bytes chunk;
  if (wanted >= kChunkSize && !pool.empty()) {
    chunk = std::move(pool.back());
    pool.pop_back();
  } else {
    chunk.Reserve(std::min(wanted, kChunkSize));
  }
  return chunk;
}

void GiveChunk(ws::Bytes chunk) {
  std::vector<ws::Bytes>& pool = ChunkPool();
  if (chunk.capacity() != kChunkSize || pool.size() >= kChunkPool) return;
  chunk.Truncate();
  pool.push_back(std::move(chunk));
}

}  // namespace ov::relay::detail
