// SPDX-License-Identifier: MIT
// Three parts: the streams (a file's MD5 value and a ring of buffers it reads
// into, one being digested while the next chunks arrive), the workers (each
// asks for a group of streams or a stream to read ahead for, and digests its
// group for a turn), and the delivery of results in order on the calling
// thread. One mutex guards who holds which stream; each stream's own mutex
// guards the hand over of its chunks.
#include "digest/file_set_digest.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "md5/md5.hpp"
#include "md5/md5_lanes.hpp"
#include "platform/file_access.hpp"

namespace md5refresh {

namespace {

constexpr std::size_t BLOCKS_PER_CALL = 1024;  // 64 KiB of each stream

// Each chunk starts on a cache line: the copy out of the page cache runs at
// its fastest only so (measured: a fifth of a tree's check time went to a
// copy into buffers 16 bytes past a line), and no block of the kernels'
// loads straddles two lines.
constexpr std::size_t CHUNK_ALIGNMENT = 64;

std::uint8_t* chunk_start(const std::unique_ptr<std::uint8_t[]>& buffer) {
  void* start = buffer.get();
  std::size_t room = CHUNK_ALIGNMENT;
  return static_cast<std::uint8_t*>(std::align(CHUNK_ALIGNMENT, 1, start, room));
}
// What a stream gets digested in one turn before the plan is made again.
constexpr std::uint64_t TURN_BYTES = 8 << 20;

// In a walk, the bytes of unfinished files past which the reserve worker
// joins in (see start_workers).
constexpr std::uint64_t RESERVE_BACKLOG = 8 << 20;

// A stream's buffers form a ring: the one being digested, then the chunks read
// ahead, in order. Two buffers, or four where a core of its own reads ahead.
constexpr std::size_t MAX_RING = 4;

struct Chunk {
  std::size_t size = 0;
  bool at_end = false;  // the last chunk of the file
  int error = 0;
};

struct Stream {
  FileJob* job = nullptr;
  Md5 md5;
  std::array<std::unique_ptr<std::uint8_t[]>, MAX_RING> buffers;
  std::size_t current = 0;         // the buffer being digested
  std::size_t start = 0, end = 0;  // its bytes not yet absorbed
  bool at_end = false;             // nothing follows `end`
  int read_error = 0;

  // The chunks after `current`, read by whoever gets to them first.
  std::mutex mutex;
  std::condition_variable changed;
  bool reading = false;   // a read into the next free buffer is under way
  std::size_t ahead = 0;  // chunks read and not yet taken
  std::array<Chunk, MAX_RING> chunks;
  bool reads_over = false;  // the last chunk has been read
  std::uint64_t bytes_read = 0;
  bool finished = false;

  // Guarded by the run's mutex.
  bool held = false;
  bool reader_claimed = false;
  bool reader_gone = false;
  bool done = false;
};

struct Run {
  explicit Run(const KernelPaces& kernel_paces) : paces(kernel_paces) {}
  // The streams not yet delivered or not yet let go by every worker, in the
  // order of their files; a deque, so that adding and removing at its ends
  // moves none.
  std::deque<Stream> streams;
  const KernelPaces& paces;
  std::size_t read_size = STREAM_READ_SIZE;
  std::size_t ring = 2;
  std::atomic<std::uint64_t> bytes_read{0};

  std::mutex mutex;
  std::condition_variable changed;
  // The reserve worker waits on its own, woken only when bulk arrives or the
  // run ends, so that the feed of many small files never wakes it.
  std::condition_variable bulk_or_end;
  std::uint64_t unfinished_bytes = 0;  // of the unfinished streams, as fed
  std::size_t dormant = 0;             // the reserve, while it waits apart
  // Buffers of finished streams, for the next: a run allocates for as many
  // streams as are digested at once, not for every file.
  std::vector<std::unique_ptr<std::uint8_t[]>> spare_buffers;
  std::size_t workers = 0;
  std::size_t hashing = 0;  // workers in a turn
  std::size_t reading = 0;  // workers reading ahead
  std::size_t unfinished = 0;
  bool feed_over = false;  // no stream will be added
  bool close_when_done = false;
};

// Whether a read may begin: none under way, and a free buffer for it. Under
// the stream's mutex.
bool may_read(const Run& run, const Stream& stream) {
  return !stream.reading && !stream.reads_over && stream.ahead < run.ring - 1;
}

// One chunk into the next free buffer; called with the
// stream's mutex held through `lock`, which it lets go while it reads.
void read_chunk(Run& run, Stream& stream, std::unique_lock<std::mutex>& lock) {
  const std::size_t slot = (stream.current + 1 + stream.ahead) % run.ring;
  stream.reading = true;
  lock.unlock();
  Chunk chunk;
  const std::uint64_t size = stream.job->size;
  chunk.size =
      read_file_bytes(stream.job->stream, chunk_start(stream.buffers[slot]), run.read_size,
                      chunk.error, size > stream.bytes_read ? size - stream.bytes_read : 0);
  stream.bytes_read += chunk.size;
  chunk.at_end = chunk.error != 0 || chunk.size < run.read_size;
  run.bytes_read.fetch_add(chunk.size, std::memory_order_relaxed);
  lock.lock();
  stream.chunks[slot] = chunk;
  stream.reading = false;
  ++stream.ahead;
  stream.reads_over = chunk.at_end;
  stream.changed.notify_all();
}

// Moves to the next chunk once the current one is absorbed to its last whole
// block (which, but at the end, is its last byte); reads the chunk itself
// unless a reader is at it.
void next_chunk(Run& run, Stream& stream) {
  std::unique_lock lock(stream.mutex);
  while (stream.ahead == 0) {
    if (may_read(run, stream)) {
      read_chunk(run, stream, lock);
    } else {
      stream.changed.wait(lock);
    }
  }
  const std::size_t next = (stream.current + 1) % run.ring;
  stream.current = next;
  stream.start = 0;
  stream.end = stream.chunks[next].size;
  stream.at_end = stream.chunks[next].at_end;
  stream.read_error = stream.chunks[next].error;
  --stream.ahead;
  stream.changed.notify_all();
}

std::size_t whole_blocks(const Stream& stream) {
  return (stream.end - stream.start) / 64;
}

// The last bytes and the padding; then the buffers go, and so does a reader.
// Reads are over: the stream is the job's to close.
void close_job(FileJob& job) {
  job.after_stamped = stamp_of_open_file(job.stream, job.after);
  std::fclose(job.stream);
  job.stream = nullptr;
}

void finish(Run& run, Stream& stream, DigestStatus status, int error) {
  FileJob& job = *stream.job;
  if (status == DigestStatus::ok) {
    md5_update(stream.md5, std::span(chunk_start(stream.buffers[stream.current]) + stream.start,
                                     stream.end - stream.start));
    job.hex = hex_digest(md5_finish(stream.md5));
  }
  job.result = {status, error};
  if (run.close_when_done) close_job(job);
  {
    std::lock_guard lock(stream.mutex);
    stream.finished = true;
    stream.changed.notify_all();
  }
  // Reads are over: no reader is in a buffer.
  std::lock_guard lock(run.mutex);
  for (auto& buffer : stream.buffers) {
    if (buffer != nullptr) run.spare_buffers.push_back(std::move(buffer));
  }
  stream.done = true;
  --run.unfinished;
  run.unfinished_bytes -= job.size;
  run.changed.notify_all();
}

// Brings every stream of the group to at least a block, or to its end; a
// stream at its end is finished. False when one was: the group changes.
bool fill_group(Run& run, std::span<Stream* const> group) {
  bool all_going = true;
  for (Stream* stream : group) {
    while (whole_blocks(*stream) == 0 && !stream->at_end)
      next_chunk(run, *stream);
    if (stream->read_error != 0) {
      finish(run, *stream, DigestStatus::read_error, stream->read_error);
      all_going = false;
    } else if (whole_blocks(*stream) == 0) {
      finish(run, *stream, DigestStatus::ok, 0);
      all_going = false;
    }
  }
  return all_going;
}

void absorb_group(std::span<Stream* const> group, const Kernel& kernel, LaneEngine engine,
                  std::size_t blocks) {
  if (kernel.interleaved != 0) {
    std::array<Md5State*, MD5_MAX_STREAMS> states{};
    std::array<const std::uint8_t*, MD5_MAX_STREAMS> data{};
    for (std::size_t i = 0; i < group.size(); ++i) {
      states[i] = &group[i]->md5.state;
      data[i] = chunk_start(group[i]->buffers[group[i]->current]) + group[i]->start;
    }
    md5_absorb_streams(std::span(states).first(group.size()), std::span(data).first(group.size()),
                       blocks);
  } else {
    Md5Lanes lanes{};
    LaneData data{};
    for (std::size_t lane = 0; lane < kernel.lane_width; ++lane) {
      // A lane with no stream of its own runs over the first stream's bytes.
      const Stream& stream = *group[lane < group.size() ? lane : 0];
      data[lane] = chunk_start(stream.buffers[stream.current]) + stream.start;
      set_lane_state(lanes, lane, stream.md5.state);
    }
    md5_absorb_lanes(engine, kernel.lane_width, lanes, data, blocks);
    for (std::size_t lane = 0; lane < group.size(); ++lane)
      group[lane]->md5.state = lane_state(lanes, lane);
  }
  for (Stream* stream : group) {
    stream->start += 64 * blocks;
    stream->md5.length += 64 * blocks;
  }
}

// A group with a lane kernel runs no fuller than it is: with one stream left,
// the scalar engine is faster than a lane.
Kernel kernel_for(const Kernel& planned, std::size_t streams) {
  if (planned.interleaved != 0) return {streams, 0};
  return streams == 1 ? Kernel{1, 0} : planned;
}

struct Assignment {
  Kernel kernel{};
  std::vector<Stream*> group;  // streams to digest for a turn, or none
  Stream* read_for = nullptr;  // or a stream to read ahead for
};

void read_ahead(Run& run, Stream& stream) {
  std::unique_lock lock(stream.mutex);
  while (!stream.finished && !stream.reads_over) {
    if (may_read(run, stream)) {
      read_chunk(run, stream, lock);
    } else {
      stream.changed.wait(lock);
    }
  }
  lock.unlock();
  std::lock_guard run_lock(run.mutex);
  stream.reader_gone = true;
  --run.reading;
  run.changed.notify_all();
}

// Under the run's mutex.
bool has_buffers(Run& run, Stream& stream) {
  for (auto& buffer : std::span(stream.buffers).first(run.ring)) {
    if (buffer == nullptr && !run.spare_buffers.empty()) {
      buffer = std::move(run.spare_buffers.back());
      run.spare_buffers.pop_back();
    }
    if (buffer == nullptr) {
      buffer.reset(new (std::nothrow) std::uint8_t[run.read_size + CHUNK_ALIGNMENT]);
    }
    if (buffer == nullptr) return false;
  }
  return true;
}

// A stream with no room to read into ends without a digest; its buffers go
// to the others. Under the run's mutex; true.
bool given_up(Run& run, Stream& stream) {
  for (auto& buffer : stream.buffers) {
    if (buffer != nullptr) run.spare_buffers.push_back(std::move(buffer));
  }
  stream.job->result = {DigestStatus::out_of_memory, ENOMEM};
  if (run.close_when_done) close_job(*stream.job);
  stream.finished = stream.done = true;
  --run.unfinished;
  run.unfinished_bytes -= stream.job->size;
  run.changed.notify_all();
  return true;
}

// Lets go of the group's finished streams and fills their places with free
// ones, the earliest files first (they are the next to be delivered), up to
// `width`; false when the group is left empty.
bool refill_group(Run& run, std::vector<Stream*>& group, std::size_t width) {
  std::lock_guard lock(run.mutex);
  std::erase_if(group, [](Stream* stream) {
    if (stream->done) stream->held = false;
    return stream->done;
  });
  for (auto free = run.streams.begin(); free != run.streams.end() && group.size() < width; ++free) {
    if (free->done || free->held) continue;
    if (!has_buffers(run, *free)) {
      (void)given_up(run, *free);
      continue;
    }
    free->held = true;
    group.push_back(&*free);
  }
  run.changed.notify_all();
  return !group.empty();
}

// A turn: the group's streams through its kernel until TURN_BYTES are
// digested; a stream that ends makes room for a free one, so that lanes stay
// full however short the files.
void digest_turn(Run& run, const Assignment& assignment) {
  std::vector<Stream*> group = assignment.group;
  const Kernel& planned = assignment.kernel;
  const std::size_t width = planned.interleaved != 0 ? planned.interleaved : planned.lane_width;
  std::uint64_t turn = 0;
  while (turn < TURN_BYTES) {
    if (!fill_group(run, group)) {
      if (!refill_group(run, group, width)) break;
      continue;
    }
    std::size_t blocks = BLOCKS_PER_CALL;
    for (const Stream* stream : group)
      blocks = std::min(blocks, whole_blocks(*stream));
    absorb_group(group, kernel_for(planned, group.size()), run.paces.engine, blocks);
    turn += 64 * blocks;
  }
  std::lock_guard lock(run.mutex);
  for (Stream* stream : group)
    stream->held = false;
  --run.hashing;
  run.changed.notify_all();
}

// Waits until there is something to do: a group of free streams, as the plan
// for them and the workers not busy would have it, or, while streams are fewer
// than workers, a stream being digested that no one reads ahead for. Nothing
// at all when every stream is finished and none will be added, or, when
// `until_idle`, when nothing is left to take now.
Assignment next_assignment(Run& run, bool until_idle, bool reserve) {
  std::unique_lock lock(run.mutex);
  for (;;) {
    if (run.unfinished == 0 && (run.feed_over || until_idle)) return {};
    if (reserve && run.unfinished_bytes < RESERVE_BACKLOG) {
      ++run.dormant;  // the others plan without it
      run.bulk_or_end.wait(lock, [&run] {
        return run.unfinished_bytes >= RESERVE_BACKLOG || (run.unfinished == 0 && run.feed_over);
      });
      --run.dormant;
      continue;
    }
    std::vector<Stream*> free;
    std::vector<std::uint64_t> bytes_left;
    for (Stream& stream : run.streams) {
      if (stream.done || stream.held) continue;
      free.push_back(&stream);
      bytes_left.push_back(
          stream.job->size > stream.md5.length ? stream.job->size - stream.md5.length : 0);
    }
    if (!free.empty()) {
      const std::size_t busy = run.hashing + run.reading + run.dormant;
      const std::size_t idle = run.workers > busy ? run.workers - busy : 1;
      const WorkGroup planned = plan_work(bytes_left, idle, run.paces).front();
      Assignment assignment{planned.kernel, {}, nullptr};
      // Buffers come with a stream's first turn, before a reader can see it.
      for (std::size_t index : planned.streams) {
        Stream& stream = *free[index];
        if (has_buffers(run, stream) || !given_up(run, stream)) assignment.group.push_back(&stream);
      }
      if (assignment.group.empty()) continue;
      for (Stream* stream : assignment.group)
        stream->held = true;
      ++run.hashing;
      return assignment;
    }
    if (!reserve && run.unfinished < run.workers - run.dormant) {
      for (Stream& stream : run.streams) {
        if (stream.held && !stream.done && !stream.reader_claimed) {
          stream.reader_claimed = true;
          ++run.reading;
          return {{}, {}, &stream};
        }
      }
    }
    if (until_idle) return {};
    run.changed.wait(lock);
  }
}

void work(Run& run, bool until_idle, bool reserve = false) {
  for (;;) {
    const Assignment assignment = next_assignment(run, until_idle, reserve);
    if (assignment.read_for != nullptr) {
      read_ahead(run, *assignment.read_for);
    } else if (assignment.group.empty()) {
      return;
    } else {
      digest_turn(run, assignment);
    }
  }
}

// Every stream a worker of its own, and a reader beside it while cores allow.
// `expected` is how many files the run will have, or FILES_NOT_KNOWN. In a
// run of files not known ahead (a walk), the calling thread opens every file
// and writes every manifest: the last worker is a reserve that leaves it its
// core until the fed files hold bytes in bulk, so that many small files do not
// have one thread more than cores take turns (a check of 2,000 folders of
// small files, 2 cores: 0.15 s with one worker, 0.21 s with two).
std::vector<std::thread> start_workers(Run& run, unsigned workers, std::size_t expected,
                                       bool threaded) {
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  std::size_t wanted =
      expected == FILES_NOT_KNOWN ? workers : std::min<std::size_t>(workers, 2 * expected);
  if (expected < wanted) {
    run.read_size = READ_AHEAD_SIZE;
    run.ring = MAX_RING;
  }
  std::vector<std::thread> threads;
  if (!threaded) wanted = 0;
  {
    std::lock_guard lock(run.mutex);
    run.workers = std::max<std::size_t>(wanted, 1);
  }
  for (std::size_t i = 0; i < wanted; ++i) {
    const bool reserve = expected == FILES_NOT_KNOWN && wanted > 1 && i + 1 == wanted;
    try {
      threads.emplace_back(work, std::ref(run), false, reserve);
    } catch (const std::exception&) {
      break;  // the workers already started take all the streams
    }
  }
  std::lock_guard lock(run.mutex);
  run.workers = std::max<std::size_t>(threads.size(), 1);
  run.changed.notify_all();
  return threads;
}

// A stream no worker will touch again: its memory may go.
bool let_go(const Stream& stream) {
  return stream.done && !stream.held && (!stream.reader_claimed || stream.reader_gone);
}

// The calling thread's side of a run: feeds it, delivers what is done in the
// order fed, and frees the streams behind the delivered ones.
struct Feeder {
  Run& run;
  const JobFeed& feed;
  std::size_t window;
  const std::function<void(FileJob&)>& finished;
  const ProgressTick& tick;
  bool threads_started;
  std::size_t delivered = 0;  // of the streams now in the run, counted from its front
  std::size_t files_done = 0;
  bool paused = false;  // the feed had nothing until more is delivered
};

// How many fed streams count against the window: the open ones, when streams
// are closed as they are done, else all not delivered.
std::size_t in_window(Feeder& feeder) {
  if (!feeder.run.close_when_done) return feeder.run.streams.size() - feeder.delivered;
  std::lock_guard lock(feeder.run.mutex);
  return feeder.run.unfinished;
}

void feed_run(Feeder& feeder) {
  Run& run = feeder.run;
  while (!run.feed_over && !feeder.paused && in_window(feeder) < feeder.window) {
    FileJob* job = nullptr;
    const bool more = feeder.feed(job);
    std::lock_guard lock(run.mutex);
    if (!more) {
      run.feed_over = true;
      run.bulk_or_end.notify_all();
    } else if (job == nullptr) {
      feeder.paused = true;
    } else {
      Stream& stream = run.streams.emplace_back();
      stream.job = job;
      stream.done = stream.finished = job->stream == nullptr;
      if (!stream.done) {
        ++run.unfinished;
        run.unfinished_bytes += job->size;
        if (run.unfinished_bytes >= RESERVE_BACKLOG) run.bulk_or_end.notify_all();
      }
    }
    run.changed.notify_all();
  }
}

// Delivers the streams that are done, in order; false when none was.
bool deliver_ready(Feeder& feeder) {
  Run& run = feeder.run;
  std::vector<FileJob*> ready;
  {
    std::unique_lock lock(run.mutex);
    auto next_done = [&] {
      return feeder.delivered < run.streams.size() && run.streams[feeder.delivered].done;
    };
    if (feeder.tick) {
      run.changed.wait_for(lock, PROGRESS_TICK, next_done);
    } else {
      run.changed.wait(lock, next_done);
    }
    for (; next_done(); ++feeder.delivered)
      ready.push_back(run.streams[feeder.delivered].job);
    for (; feeder.delivered > 0 && let_go(run.streams.front()); --feeder.delivered)
      run.streams.pop_front();
  }
  for (FileJob* job : ready)
    feeder.finished(*job);
  feeder.files_done += ready.size();
  return !ready.empty();
}

void run_feed(Feeder& feeder) {
  Run& run = feeder.run;
  for (;;) {
    feed_run(feeder);
    if (!feeder.threads_started) work(run, true);
    const bool all_delivered = feeder.delivered == run.streams.size();
    if (all_delivered && run.feed_over) return;
    if (all_delivered) {
      feeder.paused = false;  // nothing left to wait for: the feed must go on
      continue;
    }
    if (deliver_ready(feeder)) feeder.paused = false;
    if (feeder.tick) feeder.tick(feeder.files_done, run.bytes_read.load(std::memory_order_relaxed));
  }
}

}  // namespace

void digest_files(const JobFeed& feed, const std::function<void(FileJob&)>& finished,
                  const FeedSettings& settings) {
  // One stream is planned onto the scalar engine whatever the paces.
  static constexpr KernelPaces ONE_STREAM{{0, 1.0, 0, 0}, {}, LaneEngine::scalar};
  const KernelPaces& paces = settings.paces != nullptr ? *settings.paces
                             : settings.expected > 1   ? machine_paces()
                                                       : ONE_STREAM;
  Run run(paces);
  run.close_when_done = settings.close_streams;
  std::vector<std::thread> threads =
      start_workers(run, settings.workers, settings.expected, settings.threads);
  Feeder feeder{run,      feed,          std::max<std::size_t>(settings.window, 1),
                finished, settings.tick, !threads.empty()};
  if (settings.tick) settings.tick(0, 0);
  run_feed(feeder);
  {
    std::lock_guard lock(run.mutex);
    run.feed_over = true;
    run.changed.notify_all();
    run.bulk_or_end.notify_all();  // a reserve still waiting sees the end
  }
  for (std::thread& thread : threads)
    thread.join();
}

}  // namespace md5refresh
