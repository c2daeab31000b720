// Whether the tests run under Wine rather than Windows, for the checks that only Windows can show.
#pragma once

#include "SystemFunction.h"

// Wine's ntdll exports wine_get_version; Windows' has no such export.
inline bool RunningUnderWine() { return SystemFunction<FARPROC>(L"ntdll.dll", "wine_get_version") != nullptr; }

// Skips a check of Windows' own behaviour under Wine, saying which fact of Windows Wine lacks.
#define SKIP_UNDER_WINE(lacks)                                                                                         \
    do {                                                                                                               \
        if (RunningUnderWine())                                                                                        \
            GTEST_SKIP() << "only Windows shows this: Wine " << lacks;                                                 \
    } while (false)
