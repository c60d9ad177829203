// The wall clock as the agents read it for retry times and queue ages: whole
// seconds since the epoch. A worker whose decisions depend on the time holds a
// Clock, NowSeconds unless a test hands it another.
#pragma once

#include <cstdint>
#include <functional>

namespace kelpd::base {

using Clock = std::function<int64_t()>;

int64_t NowSeconds();

}  // namespace kelpd::base
