// The one internal entry to <windows.h>. The Windows version is chosen once, by the build
// (ORVANE_WINDOWS_VERSION in cmake/OrvaneTargets.cmake); a target built without it would silently
// get MinGW's older default and lose declarations, so that is an error here.
#pragma once

#if !defined(_WIN32_WINNT) || !defined(WINVER)
#error "_WIN32_WINNT and WINVER come from the build: give the target orvane_defaults()"
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
