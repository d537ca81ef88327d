// SPDX-License-Identifier: MIT
// Which kernel runs is asked of the CPU once; the build itself assumes nothing
// beyond the baseline instruction set.
#include "md5/md5_lanes.hpp"

#include "platform/cpu_features.hpp"

namespace md5refresh {

namespace {

bool cpu_has(LaneEngine engine) {
  switch (engine) {
    case LaneEngine::scalar:
      return true;
    case LaneEngine::avx2:
      return cpu_features().avx2;
    case LaneEngine::avx512:
      return cpu_features().avx512;
  }
  return false;
}

}  // namespace

bool lane_engine_available(LaneEngine engine) {
  return cpu_has(engine);
}

LaneEngine best_lane_engine() {
  static const LaneEngine best = cpu_has(LaneEngine::avx512) ? LaneEngine::avx512
                                 : cpu_has(LaneEngine::avx2) ? LaneEngine::avx2
                                                             : LaneEngine::scalar;
  return best;
}

const char* lane_engine_name(LaneEngine engine) {
  switch (engine) {
    case LaneEngine::scalar:
      return "scalar";
    case LaneEngine::avx2:
      return "avx2";
    case LaneEngine::avx512:
      return "avx512";
  }
  return "?";
}

std::span<const std::size_t> lane_widths(LaneEngine engine) {
  static constexpr std::array<std::size_t, 3> WIDTHS{8, 16, 32};
  switch (engine) {
    case LaneEngine::avx2:
      return std::span(WIDTHS).first(2);
    case LaneEngine::avx512:
    case LaneEngine::scalar:
      break;
  }
  return WIDTHS;
}

void set_lane_state(Md5Lanes& lanes, std::size_t lane, const Md5State& state) {
  for (std::size_t word = 0; word < 4; ++word)
    lanes.words[word][lane] = state[word];
}

Md5State lane_state(const Md5Lanes& lanes, std::size_t lane) {
  return {lanes.words[0][lane], lanes.words[1][lane], lanes.words[2][lane], lanes.words[3][lane]};
}

void md5_absorb_lanes(LaneEngine engine, std::size_t width, Md5Lanes& lanes, const LaneData& data,
                      std::size_t blocks) {
  switch (engine) {
    case LaneEngine::avx512:
      md5_absorb_lanes_avx512(width, lanes, data, blocks);
      return;
    case LaneEngine::avx2:
      md5_absorb_lanes_avx2(width, lanes, data, blocks);
      return;
    case LaneEngine::scalar:
      break;
  }
  for (std::size_t lane = 0; lane < width; ++lane) {
    Md5State state = lane_state(lanes, lane);
    md5_absorb(state, data[lane], blocks);
    set_lane_state(lanes, lane, state);
  }
}

}  // namespace md5refresh
