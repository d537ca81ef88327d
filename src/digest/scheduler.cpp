// SPDX-License-Identifier: MIT
// A worker's life: ask for an assignment, digest the group for a turn (a
// stream that ends makes room for a waiting one, so lanes stay full however
// short the files), give the streams back, ask again. A file given by its path
// is opened by the first worker to digest it, and a stream is finished by the
// worker that absorbs its last bytes: it closes the file there, so that a file
// done behind a long one holds no descriptor until it is delivered.
#include "digest/scheduler.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <functional>
#include <span>

#include "digest/file_set_digest.hpp"
#include "md5/md5_lanes.hpp"
#include "platform/seams.hpp"

namespace md5refresh {

namespace {

constexpr std::size_t BLOCKS_PER_CALL = 1024;  // 64 KiB of each stream

// What a stream gets digested in one turn before the plan is made again.
constexpr std::uint64_t TURN_BYTES = 8 << 20;

// In a walk, the bytes of unfinished files past which the reserve worker
// joins in (see start_workers).
constexpr std::uint64_t RESERVE_BACKLOG = 8 << 20;

// The path is looked at after the close, so that a file replaced under its
// name during the read is seen whichever the order of the two looks.
ClosedStamps close_job_file(FileJob& job) {
  if constexpr (WITH_SEAMS) {
    if (seams::after_file_read_hook != nullptr && job.path != nullptr) {
      seams::after_file_read_hook(job.path);
    }
  }
  ClosedStamps stamps;
  stamps.closed_taken = close_stamped(job.stream, stamps.closed);
  job.stream = nullptr;
  stamps.path_taken = job.path != nullptr && stamp_of_path(job.path, stamps.at_path, job.folder);
  return stamps;
}

void close_where_the_run_closes(const DigestRun& run, DigestStream& stream) {
  if (run.close_when_done && stream.job->stream != nullptr) {
    stream.closed = close_job_file(*stream.job);
  }
}

// Under the run's mutex: the stream is done, and its buffers and descriptor
// go to the others.
void retire(DigestRun& run, DigestStream& stream) {
  return_buffers(stream.ring, run.spare_buffers);
  if (stream.open) --run.open_files;
  stream.done = true;
  --run.unfinished;
  run.unfinished_bytes -= stream.job->size;
  run.changed.notify_all();
}

// The stream's result is in: its file is closed where the run closes files,
// and its buffers go to the streams after it. Its reads are over, so no
// reader is in a buffer.
void finish(DigestRun& run, DigestStream& stream, DigestStatus status, int error) {
  FileJob& job = *stream.job;
  if (status == DigestStatus::ok) {
    const std::span tail(unabsorbed(stream.ring), stream.ring.end - stream.ring.start);
    job.digests = finish_hashers(stream.hashers, tail);
  }
  job.result = {status, error};
  close_where_the_run_closes(run, stream);
  std::lock_guard lock(run.mutex);
  retire(run, stream);
}

// A job named by its path is opened by the worker that first digests it: 0
// or errno.
int open_job_file(DigestStream& stream) {
  const OpenResult opened = open_to_read(stream.job->path, stream.job->folder);
  stream.job->stream = opened.file;
  start_reading(stream.ring, opened.file);
  if (opened.file != nullptr) return 0;
  return opened.error != 0 ? opened.error : EIO;
}

// Brings every stream of the group to at least a block, or to its end; a
// stream at its end is finished. False when one was: the group changes.
bool fill_group(DigestRun& run, std::span<DigestStream* const> group) {
  bool all_going = true;
  for (DigestStream* stream : group) {
    ReadRing& ring = stream->ring;
    if (stream->job->stream == nullptr) {
      if (const int error = open_job_file(*stream); error != 0) {
        finish(run, *stream, DigestStatus::open_error, error);
        all_going = false;
        continue;
      }
    }
    while (whole_blocks(ring) == 0 && !ring.last_taken)
      take_next_chunk(ring, run.shape, run.bytes_read);
    if (ring.read_error != 0) {
      finish(run, *stream, DigestStatus::read_error, ring.read_error);
      all_going = false;
    } else if (whole_blocks(ring) == 0) {
      finish(run, *stream, DigestStatus::ok, 0);
      all_going = false;
    }
  }
  return all_going;
}

void absorb_group(std::span<DigestStream* const> group, const Kernel& kernel, LaneEngine engine,
                  std::size_t blocks) {
  if (kernel.interleaved != 0) {
    std::array<Md5State*, MD5_MAX_STREAMS> states{};
    std::array<const std::uint8_t*, MD5_MAX_STREAMS> data{};
    for (std::size_t i = 0; i < group.size(); ++i) {
      states[i] = &group[i]->hashers.md5.state;
      data[i] = unabsorbed(group[i]->ring);
    }
    md5_absorb_streams(std::span(states).first(group.size()), std::span(data).first(group.size()),
                       blocks);
  } else {
    Md5Lanes lanes{};
    LaneData data{};
    for (std::size_t lane = 0; lane < kernel.lane_width; ++lane) {
      // A lane with no stream of its own runs over the first stream's bytes.
      const DigestStream& stream = *group[lane < group.size() ? lane : 0];
      data[lane] = unabsorbed(stream.ring);
      set_lane_state(lanes, lane, stream.hashers.md5.state);
    }
    md5_absorb_lanes(engine, kernel.lane_width, lanes, data, blocks);
    for (std::size_t lane = 0; lane < group.size(); ++lane)
      group[lane]->hashers.md5.state = lane_state(lanes, lane);
  }
  std::array<Hashers*, MD5_MAX_LANES> hashers{};
  LaneData starts{};
  for (std::size_t i = 0; i < group.size(); ++i) {
    hashers[i] = &group[i]->hashers;
    starts[i] = unabsorbed(group[i]->ring);
  }
  absorb_beside(std::span(hashers).first(group.size()), std::span(starts).first(group.size()),
                blocks);
  for (DigestStream* stream : group) {
    stream->ring.start += 64 * blocks;
    stream->hashers.md5.length += 64 * blocks;
  }
}

// A stream with no room to read into ends without a digest; its buffers go
// to the others. Under the run's mutex, on a stream no worker holds.
void give_up(DigestRun& run, DigestStream& stream) {
  stream.job->result = {DigestStatus::out_of_memory, ENOMEM};
  close_where_the_run_closes(run, stream);
  retire(run, stream);
}

// Whether a waiting stream may be taken now: its file is open, or one more
// may be. Under the run's mutex.
bool may_take(const DigestRun& run, const DigestStream& stream) {
  return stream.open || run.open_files < run.open_limit;
}

// Takes a waiting stream for a worker's group: false when it may not be
// taken now, or was given up for want of buffers. Buffers come with a
// stream's first turn, before a reader can see it. Under the run's mutex.
bool take_stream(DigestRun& run, DigestStream& stream) {
  if (!may_take(run, stream)) return false;
  if (!fill_buffers(stream.ring, run.shape, run.spare_buffers)) {
    give_up(run, stream);
    return false;
  }
  if (!stream.open) ++run.open_files;
  stream.open = true;
  stream.held = true;
  return true;
}

// Lets go of the group's finished streams and fills their places with waiting
// ones, the earliest files first (they are the next to be delivered), up to
// the kernel's width. False when the group is left empty, or when streams
// still wait that a wider kernel would take: a group planned when few files
// were there (small files fed one by one) is planned again, not kept narrow.
bool refill_group(DigestRun& run, std::vector<DigestStream*>& group, const Kernel& planned) {
  std::lock_guard lock(run.mutex);
  std::erase_if(group, [](DigestStream* stream) {
    if (stream->done) stream->held = false;
    return stream->done;
  });
  bool left_waiting = false;
  for (DigestStream& waiting : run.streams) {
    if (waiting.done || waiting.held) continue;
    if (group.size() == kernel_width(planned)) {
      left_waiting = true;
      break;
    }
    if (take_stream(run, waiting)) group.push_back(&waiting);
  }
  run.changed.notify_all();
  return !group.empty() && !(left_waiting && planned.interleaved != 0);
}

struct Assignment {
  Kernel kernel{};
  std::vector<DigestStream*> group;  // streams to digest for a turn, or none
  DigestStream* read_for = nullptr;  // or a stream to read ahead for
};

// A turn: the group's streams through its kernel until TURN_BYTES are
// digested, or every stream is done.
void digest_turn(DigestRun& run, const Assignment& assignment) {
  std::vector<DigestStream*> group = assignment.group;
  const Kernel& planned = assignment.kernel;
  std::uint64_t turn = 0;
  while (turn < TURN_BYTES) {
    if (!fill_group(run, group)) {
      if (!refill_group(run, group, planned)) break;
      continue;
    }
    std::size_t blocks = BLOCKS_PER_CALL;
    for (const DigestStream* stream : group)
      blocks = std::min(blocks, whole_blocks(stream->ring));
    absorb_group(group, kernel_for_group(planned, group.size(), run.paces), run.paces.engine,
                 blocks);
    turn += 64 * blocks;
  }
  std::lock_guard lock(run.mutex);
  for (DigestStream* stream : group)
    stream->held = false;
  --run.hashing;
  run.changed.notify_all();
}

void read_ahead_for(DigestRun& run, DigestStream& stream) {
  read_ahead(stream.ring, run.shape, run.bytes_read);
  std::lock_guard lock(run.mutex);
  stream.reader = Reader::gone;
  --run.reading;
  run.changed.notify_all();
}

// Waits until there is something to do: a group of waiting streams, as the
// plan for them and the workers not busy would have it, or, while streams are
// fewer than workers, a stream being digested that no one reads ahead for.
// Nothing at all when every stream is finished and none will be added, or,
// when `until_idle`, when nothing is left to take now.
Assignment next_assignment(DigestRun& run, bool until_idle, bool reserve) {
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
    std::vector<DigestStream*> waiting;
    std::vector<std::uint64_t> bytes_left;
    for (DigestStream& stream : run.streams) {
      if (stream.done || stream.held || !may_take(run, stream)) continue;
      waiting.push_back(&stream);
      bytes_left.push_back(stream.job->size > stream.hashers.md5.length
                               ? stream.job->size - stream.hashers.md5.length
                               : 0);
    }
    if (!waiting.empty()) {
      const std::size_t busy = run.hashing + run.reading + run.dormant;
      const std::size_t idle = run.workers > busy ? run.workers - busy : 1;
      const WorkGroup planned = plan_work(bytes_left, idle, run.paces).front();
      Assignment assignment{planned.kernel, {}, nullptr};
      for (std::size_t index : planned.streams) {
        if (take_stream(run, *waiting[index])) assignment.group.push_back(waiting[index]);
      }
      if (assignment.group.empty()) continue;
      ++run.hashing;
      return assignment;
    }
    if (!reserve && run.unfinished < run.workers - run.dormant) {
      for (DigestStream& stream : run.streams) {
        if (stream.held && !stream.done && stream.reader == Reader::none) {
          stream.reader = Reader::reading;
          ++run.reading;
          return {{}, {}, &stream};
        }
      }
    }
    if (until_idle) return {};
    run.changed.wait(lock);
  }
}

void work_as(DigestRun& run, bool until_idle, bool reserve) {
  for (;;) {
    const Assignment assignment = next_assignment(run, until_idle, reserve);
    if (assignment.read_for != nullptr) {
      read_ahead_for(run, *assignment.read_for);
    } else if (assignment.group.empty()) {
      return;
    } else {
      digest_turn(run, assignment);
    }
  }
}

// A stream no worker will touch again: its memory may go.
bool let_go(const DigestStream& stream) {
  return stream.done && !stream.held && stream.reader != Reader::reading;
}

}  // namespace

// Every stream a worker of its own, and a reader beside it while cores allow.
// In a run of files not known ahead (a walk), the calling thread walks the
// tree, loads every manifest and looks at every file: the last worker is a
// reserve that leaves it its core until the fed files hold bytes in bulk, so that many small files
// do not have one thread more than cores take turns (a check of 2,000 folders of small files, 2
// cores: 0.15 s with one worker, 0.21 s with two).
std::vector<std::thread> start_workers(DigestRun& run, unsigned workers, std::size_t expected,
                                       bool threaded) {
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  std::size_t wanted =
      expected == FILES_NOT_KNOWN ? workers : std::min<std::size_t>(workers, 2 * expected);
  if (expected < wanted) run.shape = {READ_AHEAD_SIZE, MAX_RING};
  std::vector<std::thread> threads;
  if (!threaded) wanted = 0;
  {
    std::lock_guard lock(run.mutex);
    run.workers = std::max<std::size_t>(wanted, 1);
  }
  for (std::size_t i = 0; i < wanted; ++i) {
    const bool reserve = expected == FILES_NOT_KNOWN && wanted > 1 && i + 1 == wanted;
    try {
      threads.emplace_back(work_as, std::ref(run), false, reserve);
    } catch (const std::exception&) {
      break;  // the workers already started take all the streams
    }
  }
  std::lock_guard lock(run.mutex);
  run.workers = std::max<std::size_t>(threads.size(), 1);
  run.changed.notify_all();
  return threads;
}

void work(DigestRun& run, bool until_idle) {
  work_as(run, until_idle, false);
}

void add_stream(DigestRun& run, FileJob& job) {
  std::lock_guard lock(run.mutex);
  DigestStream& stream = run.streams.emplace_back();
  stream.job = &job;
  stream.ring.file = job.stream;
  stream.ring.size = job.size;
  // A run of fewer files than cores reads ahead for each (see start_workers).
  const bool read_ahead = run.shape.read_size == READ_AHEAD_SIZE;
  stream.hashers.wanted = job.wanted;
  stream.hashers.beside_on_reader = read_ahead;
  if (read_ahead) stream.ring.hashers = &stream.hashers;
  stream.done = job.stream == nullptr && job.path == nullptr;
  stream.open = job.stream != nullptr;
  if (stream.open) ++run.open_files;
  if (!stream.done) {
    ++run.unfinished;
    run.unfinished_bytes += job.size;
    if (run.unfinished_bytes >= RESERVE_BACKLOG) run.bulk_or_end.notify_all();
  }
  run.changed.notify_all();
}

void end_feed(DigestRun& run) {
  std::lock_guard lock(run.mutex);
  run.feed_over = true;
  run.changed.notify_all();
  run.bulk_or_end.notify_all();  // a reserve still waiting sees the end
}

std::size_t unfinished_streams(DigestRun& run) {
  std::lock_guard lock(run.mutex);
  return run.unfinished;
}

std::size_t take_done(DigestRun& run, std::size_t delivered,
                      std::optional<std::chrono::milliseconds> wait,
                      std::vector<Delivered>& ready) {
  std::unique_lock lock(run.mutex);
  auto next_done = [&] { return delivered < run.streams.size() && run.streams[delivered].done; };
  if (wait) {
    run.changed.wait_for(lock, *wait, next_done);
  } else {
    run.changed.wait(lock, next_done);
  }
  for (; next_done(); ++delivered) {
    const DigestStream& stream = run.streams[delivered];
    ready.push_back({stream.job, stream.closed});
  }
  for (; delivered > 0 && let_go(run.streams.front()); --delivered)
    run.streams.pop_front();
  return delivered;
}

}  // namespace md5refresh
