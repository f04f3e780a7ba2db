// Wall-clock timing for the benchmarks.
#pragma once

#include "common/Win32.h"

template <typename Body>
double SecondsFor(Body body) {
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    body();
    ::QueryPerformanceCounter(&end);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}
