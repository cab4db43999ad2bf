// The one place where the chat core meets the platform. On Windows it is Windows Sockets 1.1 and
// the Windows types; natively the same names come from the recording fakes of the unit tests.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winsock.h>
#else
#include "fake_platform.h"
#endif
