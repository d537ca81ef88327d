// SPDX-License-Identifier: MIT
// Built by the layer tests only, as a source of one floor: its header lies on
// a floor above, so the build must fail to find it.
#include PROBED_HEADER
