#include "pelbo/meetings/ResultFields.h"

#include "pelbo/compat/WtoI.h"
#include "pelbo/core/JsonBridge.h"

namespace ResultFields {

const Json::Value& Member(const Json::Value& object, const char* name)
{
    static const Json::Value kMissing;
    if (!object.isObject())
        return kMissing;
    const Json::Value* found = object.find(name, name + std::char_traits<char>::length(name));
    return found != nullptr ? *found : kMissing;
}

CStringW Text(const Json::Value& object, const char* name) { return JsonToText(Member(object, name)); }

uint32_t U32(const Json::Value& object, const char* name)
{
    return static_cast<uint32_t>(Compat::WtoI(Text(object, name)));
}

int64_t I64(const Json::Value& object, const char* name) { return Compat::WtoI64(Text(object, name)); }

uint64_t U64(const Json::Value& object, const char* name)
{
    return static_cast<uint64_t>(Compat::WtoI64(Text(object, name)));
}

int Code(const Json::Value& root)
{
    const CStringW code = Text(root, "code");
    return code.IsEmpty() ? 0 : Compat::WtoI(code);
}

bool ParseObject(const std::wstring& text, Json::Value& root)
{
    return JsonParse(CStringW(text), root) && root.isObject();
}

bool NewRecord(XDataPtr<IXData>& record) { return CreateIXData(record.Receive(), 0) != 0 && record; }

bool NewArray(XDataPtr<IXDataArray>& array) { return CreateIXDataArray(array.Receive(), 0) != 0 && array; }

}  // namespace ResultFields
