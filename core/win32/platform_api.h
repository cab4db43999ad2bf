// Windows and Windows Sockets 1.1, as the chat core uses them on Windows. The native unit tests
// put their recording fakes on the include path under this name instead.
#pragma once

#include <windows.h>
#include <winsock.h>
