#pragma once
// Runs the body of an exported function so that no exception leaves the
// library: an escaping exception is logged under the function's name and
// the function returns its failure value instead.

#include <exception>
#include <utility>

namespace Frame {

void ReportEscapedException(const wchar_t* function, const char* what) noexcept;

template <typename R, typename F>
R GuardExport(const wchar_t* function, R failure, F&& body) noexcept
{
    try {
        return std::forward<F>(body)();
    } catch (const std::exception& e) {
        ReportEscapedException(function, e.what());
    } catch (...) {
        ReportEscapedException(function, nullptr);
    }
    return failure;
}

template <typename F>
void GuardExport(const wchar_t* function, F&& body) noexcept
{
    try {
        std::forward<F>(body)();
    } catch (const std::exception& e) {
        ReportEscapedException(function, e.what());
    } catch (...) {
        ReportEscapedException(function, nullptr);
    }
}

}  // namespace Frame
