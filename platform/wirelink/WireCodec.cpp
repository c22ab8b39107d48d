#include "WireCodec.h"

#include <memory>

#include <json/json.h>

#include "pelbo/corekit/Text.h"

namespace Wirelink {
namespace {

const char* TypeName(FrameType type)
{
    switch (type) {
    case FrameType::Command:
        return "cmd";
    case FrameType::Reply:
        return "reply";
    case FrameType::Push:
        return "push";
    }
    return "cmd";
}

// Strings are written as UTF-8, escaping only what JSON requires.
void AppendQuoted(const std::string& text, std::string* out)
{
    static const char kHex[] = "0123456789abcdef";
    out->push_back('"');
    for (const char c : text) {
        switch (c) {
        case '"':
            out->append("\\\"");
            break;
        case '\\':
            out->append("\\\\");
            break;
        case '\b':
            out->append("\\b");
            break;
        case '\f':
            out->append("\\f");
            break;
        case '\n':
            out->append("\\n");
            break;
        case '\r':
            out->append("\\r");
            break;
        case '\t':
            out->append("\\t");
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out->append("\\u00");
                out->push_back(kHex[(c >> 4) & 0xf]);
                out->push_back(kHex[c & 0xf]);
            } else {
                out->push_back(c);
            }
        }
    }
    out->push_back('"');
}

void AppendTyped(const char* type, const std::string& value, std::string* out)
{
    out->append("{\"t\":\"");
    out->append(type);
    out->append("\",\"v\":");
    out->append(value);
    out->push_back('}');
}

bool AppendRecord(IXData* record, int depth, std::string* out);

bool AppendValue(IXData* record, const wchar_t* key, int depth, std::string* out)
{
    switch (record->GetType(key)) {
    case XDATA_STR: {
        CStringW text;
        record->GetIXDataStr(key, text);
        std::string quoted;
        AppendQuoted(Util::Convert::W_2_Utf8(text.GetString()), &quoted);
        AppendTyped("str", quoted, out);
        return true;
    }
    case XDATA_I32: {
        int32_t v = 0;
        record->GetIXDataI32(key, v);
        AppendTyped("i32", std::to_string(v), out);
        return true;
    }
    case XDATA_U32: {
        uint32_t v = 0;
        record->GetIXDataU32(key, v);
        AppendTyped("u32", std::to_string(v), out);
        return true;
    }
    case XDATA_I64: {
        int64_t v = 0;
        record->GetIXDataI64(key, v);
        AppendTyped("i64", std::to_string(v), out);
        return true;
    }
    case XDATA_U64: {
        uint64_t v = 0;
        record->GetIXDataU64(key, v);
        AppendTyped("u64", std::to_string(v), out);
        return true;
    }
    case XDATA_BOOL: {
        bool v = false;
        record->GetIXDataBool(key, v);
        AppendTyped("bool", v ? "true" : "false", out);
        return true;
    }
    case XDATA_ARRAY: {
        if (depth >= kMaxNesting)
            return false;
        XDataPtr<IXDataArray> array;
        if (!record->GetArray(key, array.Receive()))
            return false;
        out->append("{\"t\":\"arr\",\"v\":[");
        for (unsigned i = 0; i < array->GetCount(); ++i) {
            XDataPtr<IXData> item;
            if (i != 0)
                out->push_back(',');
            if (!array->GetAt(i, item.Receive()) || !AppendRecord(item.get(), depth + 1, out))
                return false;
        }
        out->append("]}");
        return true;
    }
    case XDATA_NONE:
        break;
    }
    return false;
}

bool AppendRecord(IXData* record, int depth, std::string* out)
{
    out->push_back('{');
    bool first = true;
    const unsigned count = record->GetCount();
    for (unsigned i = 0; i < count; ++i) {
        CStringW key;
        if (!record->GetKeyAt(i, key))
            continue;  // removed by another thread meanwhile
        if (!first)
            out->push_back(',');
        first = false;
        AppendQuoted(Util::Convert::W_2_Utf8(key.GetString()), out);
        out->push_back(':');
        if (!AppendValue(record, key.GetString(), depth, out))
            return false;
    }
    out->push_back('}');
    return true;
}

bool IsInteger(const Json::Value& v)
{
    return v.type() == Json::intValue || v.type() == Json::uintValue;
}

bool JsonToRecord(const Json::Value& object, int depth, IXData* record, std::string* error);

bool JsonToValue(const std::string& name, const Json::Value& typed, int depth, IXData* record, std::string* error)
{
    if (!typed.isObject() || !typed["t"].isString() || !typed.isMember("v")) {
        *error = "member \"" + name + "\" is not a typed value";
        return false;
    }
    const std::string type = typed["t"].asString();
    const Json::Value& v = typed["v"];
    const std::wstring key = Util::Convert::Utf8_2_W(name);
    bool ok = false;
    if (type == "str" && v.isString()) {
        ok = record->SetIXDataStr(key.c_str(), Util::Convert::Utf8_2_W(v.asString()).c_str()) != 0;
    } else if (type == "i32" && IsInteger(v) && v.isInt()) {
        ok = record->SetIXDataI32(key.c_str(), v.asInt()) != 0;
    } else if (type == "u32" && IsInteger(v) && v.isUInt()) {
        ok = record->SetIXDataU32(key.c_str(), v.asUInt()) != 0;
    } else if (type == "i64" && IsInteger(v) && v.isInt64()) {
        ok = record->SetIXDataI64(key.c_str(), v.asInt64()) != 0;
    } else if (type == "u64" && IsInteger(v) && v.isUInt64()) {
        ok = record->SetIXDataU64(key.c_str(), v.asUInt64()) != 0;
    } else if (type == "bool" && v.isBool()) {
        ok = record->SetIXDataBool(key.c_str(), v.asBool()) != 0;
    } else if (type == "arr" && v.isArray()) {
        if (depth >= kMaxNesting) {
            *error = "arrays nested too deep";
            return false;
        }
        XDataPtr<IXDataArray> array;
        if (!CreateIXDataArray(array.Receive(), 0)) {
            *error = "no memory for an array";
            return false;
        }
        for (const Json::Value& element : v) {
            XDataPtr<IXData> item;
            if (!CreateIXData(item.Receive(), 0)) {
                *error = "no memory for a record";
                return false;
            }
            if (!JsonToRecord(element, depth + 1, item.get(), error))
                return false;
            array->Append(item.get());
        }
        ok = record->SetArray(key.c_str(), array.get()) != 0;
    }
    if (!ok)
        *error = "member \"" + name + "\" has a bad \"" + type + "\" value";
    return ok;
}

bool JsonToRecord(const Json::Value& object, int depth, IXData* record, std::string* error)
{
    if (!object.isObject()) {
        *error = "a record is not an object";
        return false;
    }
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!JsonToValue(it.name(), *it, depth, record, error))
            return false;
    }
    return true;
}

}  // namespace

std::string EncodeFrame(FrameType type, uint64_t seq, IXData* record)
{
    std::string text = "{\"seq\":" + std::to_string(seq) + ",\"type\":\"" + TypeName(type) + "\",\"data\":";
    if (record == nullptr)
        text.append("{}");
    else if (!AppendRecord(record, 0, &text))
        return std::string();
    text.push_back('}');
    return text;
}

FrameDecoder::FrameDecoder()
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["allowComments"] = false;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    // Deep nesting in hostile input must not exhaust the stack of the parser.
    builder["stackLimit"] = 4 * kMaxNesting + 8;
    m_reader.reset(builder.newCharReader());
}

FrameDecoder::~FrameDecoder() = default;

bool FrameDecoder::Decode(const std::string& text, Frame* frame, std::string* error)
{
    Json::Value root;
    std::string parseError;
    bool parsed = false;
    try {
        parsed = m_reader->parse(text.data(), text.data() + text.size(), &root, &parseError);
    } catch (const std::exception& e) {
        parseError = e.what();
    }
    if (!parsed) {
        *error = "not JSON: " + parseError;
        return false;
    }
    if (!root.isObject() || !IsInteger(root["seq"]) || !root["seq"].isUInt64() || !root["type"].isString()) {
        *error = "no \"seq\" number or \"type\" text";
        return false;
    }
    const std::string type = root["type"].asString();
    if (type == "cmd")
        frame->type = FrameType::Command;
    else if (type == "reply")
        frame->type = FrameType::Reply;
    else if (type == "push")
        frame->type = FrameType::Push;
    else {
        *error = "unknown frame type \"" + type + "\"";
        return false;
    }
    frame->seq = root["seq"].asUInt64();
    const Json::Value& data = root["data"];
    if (!frame->data && !CreateIXData(frame->data.Receive(), 0)) {
        *error = "no memory for a record";
        return false;
    }
    if (data.isNull())
        return true;
    return JsonToRecord(data, 0, frame->data.get(), error);
}

bool DecodeFrame(const std::string& text, Frame* frame, std::string* error)
{
    return FrameDecoder().Decode(text, frame, error);
}

}  // namespace Wirelink
