/* The host32 stand-in for msvcrt's environment: its own tables, apart from the
 * host's. getenv is renamed so that the host's own getenv stays untouched. */
#ifndef STANDIN_CRTENV_H
#define STANDIN_CRTENV_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

char*** __p__environ(void);
WCHAR*** __p__wenviron(void);
char* standin_getenv(const char* name);
WCHAR* _wgetenv(const WCHAR* name);
int _putenv(const char* entry);
int _wputenv(const WCHAR* entry);

#ifdef __cplusplus
}
#endif

#define getenv standin_getenv

#endif
