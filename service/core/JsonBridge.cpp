#include "pelbo/core/JsonBridge.h"

#include <cinttypes>
#include <climits>
#include <exception>
#include <string>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Log.h"

namespace {
const wchar_t kTag[] = L"CppJsonHelp";
}

bool JsonParse(CStringW text, Json::Value& root)
{
    try {
        if (text.IsEmpty()) {
            Util::Log::Info(kTag, L"Service JsonParse: strRevJson is Empty");
            return false;
        }
        text.Trim();
        // The log masks token and secret members of the texts quoted here.
        if (text.IsEmpty() || text[0] != L'{' || text[text.GetLength() - 1] != L'}') {
            Util::Log::Info(kTag, L"Service JsonParse: strRevJson is Not JsonData:%s", text.GetString());
            return false;
        }
        const std::string document = ToMultiByte(text.GetString(), CP_UTF8);
        bool parsed = false;
        try {
            Json::Reader reader;
            parsed = reader.parse(document, root, true);
        } catch (const std::exception&) {
            // jsoncpp throws when nesting exceeds its stack limit; that is
            // a malformed document like any other.
            parsed = false;
        }
        if (!parsed) {
            Util::Log::Info(kTag, L"Service JsonParse: Parse is Error:%s", text.GetString());
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

CStringW JsonToText(Json::Value value)
{
    try {
        CStringW text;
        switch (value.type()) {
        case Json::stringValue:
            return CStringW(ToWide(value.asCString(), CP_UTF8));
        case Json::intValue: {
            const Json::Int64 n = value.asInt64();
            if (n >= INT_MIN && n <= INT_MAX)
                text.Format(L"%d", static_cast<int>(n));
            else
                text.Format(L"%lld", static_cast<long long>(n));
            return text;
        }
        case Json::uintValue: {
            const Json::UInt64 n = value.asUInt64();
            if (n <= static_cast<Json::UInt64>(INT_MAX))
                text.Format(L"%d", static_cast<int>(n));
            else if (n <= static_cast<Json::UInt64>(LLONG_MAX))
                text.Format(L"%lld", static_cast<long long>(n));
            else
                // Read back as a signed 64-bit number this would turn
                // negative; the unsigned digits saturate instead.
                text.Format(L"%llu", static_cast<unsigned long long>(n));
            return text;
        }
        case Json::booleanValue:
            return CStringW(value.asBool() ? L"1" : L"0");
        default:
            return text;
        }
    } catch (...) {
        return CStringW();
    }
}

CStringW JsonToStyledText(const Json::Value& value)
{
    Json::StyledWriter writer;
    return CStringW(ToWide(writer.write(value).c_str(), CP_UTF8));
}
