// SPDX-License-Identifier: MIT
// A file's bytes on their way into its digest: a ring of buffers, the one
// being digested and the chunks read after it. The thread digesting the file
// reads the next chunk itself when none is ready; a thread with nothing else
// to do may read ahead for it. The ring's own mutex guards that hand-over and
// nothing else: who digests the file is the scheduler's business.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "digest/hashers.hpp"

namespace md5refresh {

// Bytes read at a time, straight into a stream's buffer: few system calls, and
// the chunks of five streams still fit a core's 1 MiB second-level cache. A
// stream that a core of its own reads ahead for reads more at a time: the
// reader then sleeps and wakes less often than the digest needs a chunk.
inline constexpr std::size_t STREAM_READ_SIZE = 128 * 1024;
inline constexpr std::size_t READ_AHEAD_SIZE = 1024 * 1024;
// A read is short only at the end of its file, so every chunk but the last
// holds whole blocks, and no bytes carry over from one chunk to the next.
static_assert(STREAM_READ_SIZE % 64 == 0 && READ_AHEAD_SIZE % 64 == 0);

// A stream's buffers form a ring: two, or four where a core of its own reads
// ahead.
inline constexpr std::size_t MAX_RING = 4;

// The ring's size and its reads, the same for every stream of a run.
struct RingShape {
  std::size_t read_size;
  std::size_t buffers;  // 2 to MAX_RING
};

struct Chunk {
  std::size_t size = 0;
  bool last = false;  // the file's last: at its end, or where a read failed
  int error = 0;
};

using Buffer = std::unique_ptr<std::uint8_t[]>;

// Buffers of streams that are done, for the next ones: a run allocates for as
// many streams as are digested at once, not for every file.
using BufferPool = std::vector<Buffer>;

struct ReadRing {
  std::FILE* file = nullptr;  // set once, before any read: see start_reading
  std::uint64_t size = 0;     // as the file was opened
  std::array<Buffer, MAX_RING> buffers;

  // The digesting thread's: the chunk being digested and its bytes not yet
  // absorbed.
  std::size_t current = 0;
  std::size_t start = 0, end = 0;
  bool last_taken = false;  // the current chunk is the file's last
  int read_error = 0;

  // Shared with a reader, under `mutex`.
  std::mutex mutex;
  std::condition_variable changed;
  bool reading = false;   // a read into the next free buffer is under way
  std::size_t ahead = 0;  // chunks read and not yet taken
  std::array<Chunk, MAX_RING> chunks;
  bool last_read = false;  // no read follows
  std::uint64_t bytes_read = 0;

  // Where each chunk read goes through on the reading thread, before it is
  // handed over (set before any read), or null.
  Hashers* hashers = nullptr;
};

// Every buffer of the ring's shape, from the pool or new; false when memory
// ran out (the ring keeps what it got).
[[nodiscard]] bool fill_buffers(ReadRing& ring, const RingShape& shape, BufferPool& pool);

// The ring's buffers back to the pool, once no read is under way.
void return_buffers(ReadRing& ring, BufferPool& pool);

// The current chunk's bytes not yet absorbed.
[[nodiscard]] const std::uint8_t* unabsorbed(const ReadRing& ring);
[[nodiscard]] std::size_t whole_blocks(const ReadRing& ring);

// The file the ring reads, once its digest has opened it: a reader waiting
// for it starts. Null: the file did not open, and nothing will be read.
void start_reading(ReadRing& ring, std::FILE* file);

// Moves to the next chunk, reading it unless a reader is at it; the current
// one must be absorbed to its last whole block. `read_total` counts every byte
// read, for the run's progress.
void take_next_chunk(ReadRing& ring, const RingShape& shape,
                     std::atomic<std::uint64_t>& read_total);

// Reads ahead into every free buffer until the file's last chunk is read.
void read_ahead(ReadRing& ring, const RingShape& shape, std::atomic<std::uint64_t>& read_total);

}  // namespace md5refresh
