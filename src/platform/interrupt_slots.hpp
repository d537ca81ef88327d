// SPDX-License-Identifier: MIT
// The temporary files a signal must remove, several at once (a run of many
// manifests commits them in batches): fixed buffers and lock-free flags, all
// that a signal handler may touch. Shared by the hosts' process files.
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
  bool hold(std::basic_string_view<Char> path) {
    if (path.size() >= Capacity) return false;
    for (std::size_t slot = 0; slot < Slots; ++slot) {
      int free = FREE;
      if (!states_[slot].compare_exchange_strong(free, CLAIMED)) continue;
      std::copy(path.begin(), path.end(), paths_[slot].begin());
      paths_[slot][path.size()] = Char{};
      states_[slot].store(SET);
      return true;
    }
    return false;
  }

  void forget(std::basic_string_view<Char> path) {
    for (std::size_t slot = 0; slot < Slots; ++slot) {
      if (states_[slot].load() == SET &&
          std::basic_string_view<Char>(paths_[slot].data()) == path) {
        states_[slot].store(FREE);
        return;
      }
    }
  }

  // From a signal handler: `remove` on every path held.
  template <typename Remove>
  void remove_all(Remove remove) {
    for (std::size_t slot = 0; slot < Slots; ++slot) {
      if (states_[slot].load() == SET) remove(paths_[slot].data());
    }
  }

 private:
  static constexpr int FREE = 0, CLAIMED = 1, SET = 2;
  static_assert(std::atomic<int>::is_always_lock_free);
  std::array<std::array<Char, Capacity>, Slots> paths_{};
  std::array<std::atomic<int>, Slots> states_{};
};

}  // namespace md5refresh
