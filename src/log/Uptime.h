#pragma once

namespace kestrel {

// Seconds on the monotonic clock (time since boot, not affected by changes of
// the wall clock); durations in the log and in replies are measured on it.
double systemUptime();

} // namespace kestrel
