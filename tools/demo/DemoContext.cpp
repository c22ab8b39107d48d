#include "DemoContext.h"

#include <cstdarg>

#include "pelbo/compat/TextConvert.h"

namespace Demo {

std::string Mask(const std::string& secret)
{
    if (secret.size() <= 4)
        return "***";
    return secret.substr(0, 2) + "***";
}

void BeginStep(Context& context, const char* title)
{
    std::printf("step %-2d %s\n", ++context.stepNumber, title);
    std::fflush(stdout);
}

namespace {
void PrintOutcome(const char* prefix, const char* format, va_list args)
{
    std::printf("        %s", prefix);
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
}
}  // namespace

void Ok(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    PrintOutcome("ok: ", format, args);
    va_end(args);
}

void Fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    PrintOutcome("FAILED: ", format, args);
    va_end(args);
}

ResultWaiter::ResultWaiter(unsigned kind)
    : m_kind(kind),
      m_connection(ServiceEvent::HttpsServiceEvent().connect(
          [this](int code, unsigned k, IXData* record) { OnResult(code, k, record); }))
{
}

std::optional<RestOutcome> ResultWaiter::Wait(int seconds)
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (!m_arrived.wait_for(guard, std::chrono::seconds(seconds), [this] { return m_outcome.has_value(); }))
        return std::nullopt;
    return m_outcome;
}

void ResultWaiter::OnResult(int code, unsigned kind, IXData* record)
{
    if (kind != m_kind)
        return;
    RestOutcome outcome;
    outcome.code = code;
    outcome.kind = kind;
    if (record != nullptr) {
        record->AddRef();
        outcome.record = XDataPtr<IXData>(record);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_outcome) {
        m_outcome = outcome;
        m_arrived.notify_all();
    }
}

std::optional<RestOutcome> CallRest(Context& context, unsigned kind, const std::function<int()>& send)
{
    ResultWaiter waiter(kind);
    if (send() == 0) {
        Fail("the request was not accepted");
        return std::nullopt;
    }
    std::optional<RestOutcome> outcome = waiter.Wait(context.options.timeoutSeconds);
    if (!outcome) {
        Fail("no result within %d s", context.options.timeoutSeconds);
        return std::nullopt;
    }
    if (outcome->code != 0) {
        Fail("code %d%s", outcome->code,
             outcome->code == -1 ? " (no usable answer from the service)" : " (refused by the service)");
        return std::nullopt;
    }
    return outcome;
}

std::string ToUtf8(const CStringW& text)
{
    return ToMultiByte(text.GetString(), CP_UTF8);
}

}  // namespace Demo
