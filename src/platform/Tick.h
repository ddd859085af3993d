// Monotonic time sources. The 32-bit millisecond tick wraps about every 49.7 days:
// compare ticks only through unsigned differences (TickElapsed).
#pragma once
#include <cstdint>

// Milliseconds since an arbitrary start, from a monotonic clock, truncated to 32 bits.
uint32_t GetTickCount32();
// Milliseconds elapsed from `since` to `now`, correct across one wrap.
inline uint32_t TickElapsed(uint32_t since, uint32_t now) { return now - since; }
// True once `now` has reached `deadline` (both ticks; the span must stay below 2^31 ms).
inline bool TickReached(uint32_t deadline, uint32_t now) { return static_cast<int32_t>(now - deadline) >= 0; }

// High-resolution monotonic counter and its frequency (counts per second).
uint64_t GetHighResCounter();
uint64_t GetHighResFrequency();
// Microseconds since an arbitrary start (monotonic, 64-bit).
uint64_t GetMicroseconds();
