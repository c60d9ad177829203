// Thread and descriptor counts of a running kelpd taken at moments that can
// be compared: once start-up has visibly finished, and once the work after
// it has settled back.
//
//   ASSERT_TRUE(tree.WaitOperational(30s));
//   const ProcessFigures before = StartedFigures(tree, 30s);
//   ... deliveries ...
//   const ProcessFigures after = SettledFigures(tree, before, 30s);
//   EXPECT_EQ(after.descriptors, before.descriptors);
#pragma once

#include <chrono>

#include "support/ServiceTree.h"

namespace kelpd::testing {

// After the line that ends start-up (ServiceTree::WaitOperational), waits
// until the run loop watches the configuration directory: the last
// descriptor start-up opens, after the control thread has been started. The
// figures returned are two readings in a row that agree, so that a directory
// a worker has open for a moment is not counted, and none of them is a file
// still being written. threads is -1 when this does
// not happen within timeout.
ProcessFigures StartedFigures(ServiceTree& tree, std::chrono::milliseconds timeout);

// kelpd's figures once its thread and descriptor counts are back at those of
// before (a session may close its connection after its mail's file is gone,
// a helper program may still be ending), or the last reading when timeout
// passes first.
ProcessFigures SettledFigures(ServiceTree& tree, const ProcessFigures& before,
                              std::chrono::milliseconds timeout);

}  // namespace kelpd::testing
