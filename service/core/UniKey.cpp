#include "pelbo/core/UniKey.h"

UniKey::UniKey() : type(KEY_TYPE_NONE), value(0) {}

UniKey::UniKey(unsigned char) : type(KEY_TYPE_NONE), value(0) {}

UniKey::UniKey(E_KEY_TYPE keyType, uint64_t keyValue) : type(keyType), value(keyValue) {}

UniKey::UniKey(unsigned char keyType, uint64_t keyValue) : type(static_cast<E_KEY_TYPE>(keyType)), value(keyValue) {}

void UniKey::Reset()
{
    type = KEY_TYPE_NONE;
    value = 0;
}

bool UniKey::operator<(const UniKey& other) const
{
    if (type != other.type)
        return static_cast<int32_t>(type) < static_cast<int32_t>(other.type);
    return value < other.value;
}

bool UniKey::operator()(const UniKey& a, const UniKey& b) const { return a < b; }

bool UniKey::operator==(const UniKey& other) const { return type == other.type && value == other.value; }

bool UniKey::operator!=(const UniKey& other) const { return !(*this == other); }

UniKey& UniKey::operator=(const UniKey& other)
{
    type = other.type;
    value = other.value;
    return *this;
}

UniKey& UniKey::operator=(unsigned char)
{
    Reset();
    return *this;
}
