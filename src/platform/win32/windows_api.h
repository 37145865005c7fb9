#pragma once
// The one place the backend pulls in the Windows headers, in the order they need: the
// Sockets header must come before <windows.h>, and the lean variant keeps the old
// Winsock 1 header from being dragged in beside it.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <windows.h>
