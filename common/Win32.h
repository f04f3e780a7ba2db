// The one internal entry to <windows.h>. MinGW defaults to an old _WIN32_WINNT, so the version is
// pinned here (and on the command line by the build) before anything includes the SDK headers.
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WINVER
#define WINVER 0x0601
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>
