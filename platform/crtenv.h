// The process environment of the shared C runtime (msvcrt.dll on Windows):
// __p__environ, __p__wenviron, getenv, _wgetenv, _putenv, _wputenv.
#pragma once

#ifdef _WIN32
#include <stdlib.h>
#else
#include <crtenv.h>
#endif
