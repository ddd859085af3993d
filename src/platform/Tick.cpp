#include "platform/Tick.h"

#include <time.h>

namespace
{
uint64_t MonotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}
} // namespace

uint32_t GetTickCount32() { return static_cast<uint32_t>(MonotonicNs() / 1000000ull); }

uint64_t GetHighResCounter() { return MonotonicNs(); }

uint64_t GetHighResFrequency() { return 1000000000ull; }

uint64_t GetMicroseconds() { return MonotonicNs() / 1000ull; }
