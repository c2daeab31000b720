// Durations as the tools show them: "1.25 s".
#pragma once

#include <windows.h>

#include <string>

#include "Text.h"

inline std::wstring Seconds(DWORD milliseconds)
{
    const DWORD hundredths = (milliseconds + 5) / 10;
    return Decimal(hundredths / 100) + (hundredths % 100 < 10 ? L".0" : L".") + Decimal(hundredths % 100) + L" s";
}
