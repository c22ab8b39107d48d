#include "pelbo/core/EventSignal.h"

#include <string>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Log.h"

namespace event {
namespace detail {

void ReportReceiverFailure(const char* what) noexcept
{
    try {
        const std::wstring text = what != nullptr ? ToWide(what, CP_UTF8) : std::wstring(L"unknown exception");
        Util::Log::Error(L"ServiceEvent", L"Emit: a receiver threw: %s", text.c_str());
    } catch (...) {
        // Nothing more can be done about a failure while reporting a failure.
    }
}

}  // namespace detail
}  // namespace event
