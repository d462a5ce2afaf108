#pragma once

// The decoder's heap for tests: counts live blocks and fails on demand.
namespace test_memory {
// The next 'successes' allocations succeed, then every one fails; -1 never fails.
void fail_after(int successes);
int live_blocks();
// The largest single request since the last call.
unsigned largest_request();
} // namespace test_memory
