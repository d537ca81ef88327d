// SPDX-License-Identifier: MIT
// The tests' ways into a run (hooks called at chosen moments, faults made on
// purpose) live only in the tests' build of the library, compiled with
// MD5REFRESH_SEAMS: there each is read where the run passes. In the shipped
// program every such read is gone at compile time, and with it the hook.
#pragma once

namespace md5refresh {

#if defined(MD5REFRESH_SEAMS)
inline constexpr bool WITH_SEAMS = true;
#else
inline constexpr bool WITH_SEAMS = false;
#endif

}  // namespace md5refresh
