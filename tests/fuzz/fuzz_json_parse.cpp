// JsonParse, the gate every REST answer passes: arbitrary text must be
// refused or accepted without harm, and what is accepted is an object whose
// scalars all have a text form. Texts taken from an answer and sent on in a
// request body, as the managers do, must arrive unchanged.

#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/core/JsonBridge.h"

namespace {

// The text form of every scalar, as a body's list of strings.
void Collect(const Json::Value& value, int depth, Json::Value& texts)
{
    if (value.isObject() || value.isArray()) {
        if (depth > 64)
            return;
        for (const Json::Value& member : value)
            Collect(member, depth + 1, texts);
        return;
    }
    texts.append(ToMultiByte(JsonToText(value).GetString(), CP_UTF8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Fuzz::PrivateRoot();
    Json::Value root;
    if (!JsonParse(CStringW(Fuzz::Text(data, size)), root))
        return 0;
    Fuzz::Check(root.isObject(), "an accepted answer is an object");
    Json::Value body(Json::objectValue);
    body["texts"] = Json::Value(Json::arrayValue);
    Collect(root, 0, body["texts"]);
    Json::Value again;
    Fuzz::Check(JsonParse(JsonToStyledText(body), again), "a written body reads back");
    Fuzz::Check(again == body, "a written body reads back as the same value");
    return 0;
}
