#include "base/Clock.h"

#include <ctime>

namespace kelpd::base {

int64_t NowSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace kelpd::base
