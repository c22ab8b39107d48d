#include "pelbo/core/ExportGuard.h"

#include <string>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Log.h"

namespace Frame {

void ReportEscapedException(const wchar_t* function, const char* what) noexcept
{
    try {
        const std::wstring text = what != nullptr ? ToWide(what, CP_UTF8) : std::wstring(L"unknown exception");
        Util::Log::Error(L"Service", L"%s: stopped by an exception: %s", function, text.c_str());
    } catch (...) {
        // Nothing more can be done about a failure while reporting a failure.
    }
}

}  // namespace Frame
