// Built without UNICODE, _UNICODE and WIN32_LEAN_AND_MEAN, for Windows 10: what the package's headers or
// its usage requirements would define for it shows here. (NOMINMAX cannot show: MinGW's C++ library
// defines it for every program.)
#include "PackageHeaders.h"

#include <tchar.h>

#include <type_traits>

static_assert(std::is_same<decltype(&CreateFile), decltype(&CreateFileA)>::value, "UNICODE is defined");
static_assert(sizeof(_TCHAR) == sizeof(char), "_UNICODE is defined");
static_assert(_WIN32_WINNT == 0x0A00, "_WIN32_WINNT is not the consumer's");
#ifdef WIN32_LEAN_AND_MEAN
#error "WIN32_LEAN_AND_MEAN is defined"
#endif

int main() { return 0; }
