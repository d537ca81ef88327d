// SPDX-License-Identifier: MIT
// A read is short only at the end of its file (or where it failed), so every
// chunk but the last holds whole blocks and no bytes carry over from one
// chunk to the next.
#include "digest/read_ring.hpp"

#include <new>
#include <utility>

#include "platform/file_access.hpp"

namespace md5refresh {

namespace {

// Each chunk starts on a cache line: the copy out of the page cache runs at
// its fastest only so (measured: a fifth of a tree's check time went to a
// copy into buffers 16 bytes past a line), and no block of the kernels'
// loads straddles two lines.
constexpr std::size_t CHUNK_ALIGNMENT = 64;

std::uint8_t* chunk_start(const Buffer& buffer) {
  void* start = buffer.get();
  std::size_t room = CHUNK_ALIGNMENT;
  return static_cast<std::uint8_t*>(std::align(CHUNK_ALIGNMENT, 1, start, room));
}

// Under the ring's mutex.
bool may_read(const ReadRing& ring, const RingShape& shape) {
  return ring.file != nullptr && !ring.reading && !ring.last_read && ring.ahead < shape.buffers - 1;
}

// One chunk into the next free buffer; called with the ring's mutex held
// through `lock`, which it lets go while it reads.
void read_chunk(ReadRing& ring, const RingShape& shape, std::unique_lock<std::mutex>& lock,
                std::atomic<std::uint64_t>& read_total) {
  const std::size_t slot = (ring.current + 1 + ring.ahead) % shape.buffers;
  ring.reading = true;
  lock.unlock();
  Chunk chunk;
  const std::uint64_t left = ring.size > ring.bytes_read ? ring.size - ring.bytes_read : 0;
  chunk.size = read_file_bytes(ring.file, chunk_start(ring.buffers[slot]), shape.read_size,
                               chunk.error, left);
  ring.bytes_read += chunk.size;
  chunk.last = chunk.error != 0 || chunk.size < shape.read_size;
  if (ring.hashers != nullptr && chunk.error == 0) {
    update_on_reader(*ring.hashers, std::span(chunk_start(ring.buffers[slot]), chunk.size));
  }
  read_total.fetch_add(chunk.size, std::memory_order_relaxed);
  lock.lock();
  ring.chunks[slot] = chunk;
  ring.reading = false;
  ++ring.ahead;
  ring.last_read = chunk.last;
  ring.changed.notify_all();
}

}  // namespace

bool fill_buffers(ReadRing& ring, const RingShape& shape, BufferPool& pool) {
  for (Buffer& buffer : std::span(ring.buffers).first(shape.buffers)) {
    if (buffer == nullptr && !pool.empty()) {
      buffer = std::move(pool.back());
      pool.pop_back();
    }
    if (buffer == nullptr)
      buffer.reset(new (std::nothrow) std::uint8_t[shape.read_size + CHUNK_ALIGNMENT]);
    if (buffer == nullptr) return false;
  }
  return true;
}

void return_buffers(ReadRing& ring, BufferPool& pool) {
  for (Buffer& buffer : ring.buffers) {
    if (buffer != nullptr) pool.push_back(std::move(buffer));
  }
}

const std::uint8_t* unabsorbed(const ReadRing& ring) {
  return chunk_start(ring.buffers[ring.current]) + ring.start;
}

std::size_t whole_blocks(const ReadRing& ring) {
  return (ring.end - ring.start) / 64;
}

void start_reading(ReadRing& ring, std::FILE* file) {
  std::lock_guard lock(ring.mutex);
  ring.file = file;
  ring.last_read = file == nullptr;
  ring.changed.notify_all();
}

void take_next_chunk(ReadRing& ring, const RingShape& shape,
                     std::atomic<std::uint64_t>& read_total) {
  std::unique_lock lock(ring.mutex);
  while (ring.ahead == 0) {
    if (may_read(ring, shape)) {
      read_chunk(ring, shape, lock, read_total);
    } else {
      ring.changed.wait(lock);
    }
  }
  const std::size_t next = (ring.current + 1) % shape.buffers;
  const Chunk& chunk = ring.chunks[next];
  ring.current = next;
  ring.start = 0;
  ring.end = chunk.size;
  ring.last_taken = chunk.last;
  ring.read_error = chunk.error;
  --ring.ahead;
  ring.changed.notify_all();
}

void read_ahead(ReadRing& ring, const RingShape& shape, std::atomic<std::uint64_t>& read_total) {
  std::unique_lock lock(ring.mutex);
  while (!ring.last_read) {
    if (may_read(ring, shape)) {
      read_chunk(ring, shape, lock, read_total);
    } else {
      ring.changed.wait(lock);
    }
  }
}

}  // namespace md5refresh
