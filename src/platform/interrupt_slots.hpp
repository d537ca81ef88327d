// SPDX-License-Identifier: MIT
// The temporary files a signal must remove, several at once (a run of many
// manifests commits them in batches): fixed buffers and lock-free flags, all
// that a signal handler may touch. Shared by the hosts' process files.
//
// A temporary is held from before it is created. An interrupt handled on one
// thread while another creates a temporary would remove the name before the
// file exists: so a creation is counted while it lasts, the interrupt waits
// for the count to fall to zero, and no creation begins once it has begun.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <string_view>

namespace md5refresh {

template <typename Char, std::size_t Capacity, std::size_t Slots>
class InterruptSlots {
 public:
  // False when the path is too long or every slot is taken: the file then
  // stays behind after an interrupt, as a temporary would after a crash.
  // `path` within the folder open as `folder` (or NO_FOLDER: from the
  // current one): removed there, wherever the folder has been moved since.
  bool hold(int folder, std::basic_string_view<Char> path) {
    if (path.size() >= Capacity) return false;
    for (std::size_t slot = 0; slot < Slots; ++slot) {
      int free = FREE;
      if (!states_[slot].compare_exchange_strong(free, CLAIMED)) continue;
      std::copy(path.begin(), path.end(), paths_[slot].begin());
      paths_[slot][path.size()] = Char{};
      folders_[slot] = folder;
      states_[slot].store(SET);
      return true;
    }
    return false;
  }

  // Every folder of a tree holds temporaries of the same name. A slot is
  // claimed before its path is read: another thread may be forgetting the
  // slot's own temporary and holding a new one in it meanwhile.
  void forget(int folder, std::basic_string_view<Char> path) {
    for (std::size_t slot = 0; slot < Slots; ++slot) {
      int set = SET;
      if (!states_[slot].compare_exchange_strong(set, FORGETTING)) continue;
      const bool match =
          folders_[slot] == folder && std::basic_string_view<Char>(paths_[slot].data()) == path;
      states_[slot].store(match ? FREE : SET);
      if (match) return;
    }
  }

  // False once an interrupt has begun: nothing may be created then.
  bool begin_creating() {
    creating_.fetch_add(1);
    if (!ending_.load()) return true;
    creating_.fetch_sub(1);
    return false;
  }
  void end_creating() { creating_.fetch_sub(1); }
  [[nodiscard]] bool ending() const { return ending_.load(); }

  // From a signal handler, on a thread that is creating nothing: `remove` on
  // every path held, once the creations under way on other threads are over.
  template <typename Remove>
  void remove_all(Remove remove) {
    ending_.store(true);
    while (creating_.load() != 0) {
    }
    // A slot being looked at by a forget is still held: its path stays as it
    // is, since no temporary is held anew once the interrupt has begun.
    for (std::size_t slot = 0; slot < Slots; ++slot) {
      const int state = states_[slot].load();
      if (state == SET || state == FORGETTING) remove(folders_[slot], paths_[slot].data());
    }
  }

 private:
  static constexpr int FREE = 0, CLAIMED = 1, SET = 2, FORGETTING = 3;
  static_assert(std::atomic<int>::is_always_lock_free);
  static_assert(std::atomic<bool>::is_always_lock_free);
  std::array<std::array<Char, Capacity>, Slots> paths_{};
  std::array<int, Slots> folders_{};
  std::array<std::atomic<int>, Slots> states_{};
  std::atomic<int> creating_{0};
  std::atomic<bool> ending_{false};
};

}  // namespace md5refresh
