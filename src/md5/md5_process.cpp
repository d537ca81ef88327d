// SPDX-License-Identifier: MIT
// A thin layer over the engine's value type: the context is that value's
// state and length, kept on the heap between calls.
#include "md5/md5_process.hpp"

#include <new>
#include <span>

namespace md5refresh {

// The context carries a value's state between calls; absorbing calls are whole
// blocks, so the value never holds a partial block across them.
Md5Context* md5_process(std::uint8_t* data, std::uint32_t length, Md5Digest* digest,
                        Md5Context* context) {
  if (context == nullptr) {
    context = new (std::nothrow) Md5Context{0, MD5_INITIAL_STATE};
    if (context == nullptr) return nullptr;
  }
  Md5 md5{context->state, context->count, {}};
  md5_update(md5, std::span(data, length));
  if (length != 0 && length % 64 == 0) {
    *context = {md5.length, md5.state};
    return context;
  }
  *digest = md5_finish(md5);
  delete context;
  return nullptr;
}

}  // namespace md5refresh
