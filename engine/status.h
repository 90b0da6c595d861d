// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
#include "platform/status.h"

namespace engine {

using platform::kStatusCancelled;
using platform::kStatusInvalidParameter;
using platform::kStatusOk;
using platform::kStatusOutOfMemory;
using platform::kStatusReadFault;
using platform::kStatusWriteFault;
using platform::Status;

// Largest cluster an engine copies out (clusterBytes beyond it: kStatusWriteFault).
inline constexpr int64_t kMaxClusterBytes = 0x6400000;

}  // namespace engine
