// UniKey: construction, ordering by signed kind then unsigned id, equality,
// assignment, and use as the key of ordered containers.

#include <cstdint>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "pelbo/core/UniKey.h"

namespace {

bool IsEmpty(const UniKey& k) { return k.type == KEY_TYPE_NONE && k.value == 0; }

TEST(UniKey, ConstructorsFillOrIgnoreTheirArguments)
{
    EXPECT_TRUE(IsEmpty(UniKey()));
    EXPECT_TRUE(IsEmpty(UniKey(static_cast<unsigned char>(7))));
    const UniKey user(KEY_TYPE_USER, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(user.type, KEY_TYPE_USER);
    EXPECT_EQ(user.value, 0xFFFFFFFFFFFFFFFFull);
    const UniKey fromByte(static_cast<unsigned char>(255), 9u);
    EXPECT_EQ(static_cast<int32_t>(fromByte.type), 255);
    EXPECT_EQ(fromByte.value, 9u);
}

TEST(UniKey, ResetAndByteAssignmentEmptyTheKey)
{
    UniKey k(KEY_TYPE_USER, 42);
    k.Reset();
    EXPECT_TRUE(IsEmpty(k));
    UniKey j(static_cast<unsigned char>(3), 8);
    j = static_cast<unsigned char>(7);
    EXPECT_TRUE(IsEmpty(j));
    EXPECT_EQ(j, UniKey());
}

TEST(UniKey, CopyAssignmentCopiesBothFields)
{
    UniKey source(static_cast<unsigned char>(4), 77);
    UniKey target;
    UniKey& result = (target = source);
    EXPECT_EQ(&result, &target);
    EXPECT_EQ(target, source);
}

struct OrderCase {
    UniKey a;
    UniKey b;
    bool less;
};

TEST(UniKey, OrdersByKindThenById)
{
    const OrderCase cases[] = {
        {UniKey(static_cast<unsigned char>(2), 5), UniKey(static_cast<unsigned char>(3), 0), true},
        {UniKey(static_cast<unsigned char>(3), 0), UniKey(static_cast<unsigned char>(2), 5), false},
        {UniKey(static_cast<unsigned char>(1), 4), UniKey(static_cast<unsigned char>(1), 5), true},
        {UniKey(static_cast<unsigned char>(1), 5), UniKey(static_cast<unsigned char>(1), 5), false},
        {UniKey(static_cast<E_KEY_TYPE>(-1), 99), UniKey(KEY_TYPE_NONE, 0), true},
        {UniKey(KEY_TYPE_NONE, 0), UniKey(static_cast<E_KEY_TYPE>(-1), 99), false},
        // Ids compare unsigned: the top bit set is large, not negative.
        {UniKey(KEY_TYPE_USER, 1), UniKey(KEY_TYPE_USER, 0x8000000000000000ull), true},
    };
    for (const OrderCase& c : cases) {
        EXPECT_EQ(c.a < c.b, c.less) << c.a.type << "/" << c.a.value << " vs " << c.b.type << "/" << c.b.value;
        EXPECT_EQ(UniKey()(c.a, c.b), c.less);
    }
}

TEST(UniKey, EqualityNeedsBothFields)
{
    EXPECT_TRUE(UniKey(KEY_TYPE_USER, 5) == UniKey(KEY_TYPE_USER, 5));
    EXPECT_TRUE(UniKey(KEY_TYPE_USER, 5) != UniKey(KEY_TYPE_USER, 6));
    EXPECT_TRUE(UniKey(KEY_TYPE_USER, 5) != UniKey(static_cast<unsigned char>(2), 5));
    EXPECT_FALSE(UniKey() != UniKey(static_cast<unsigned char>(9)));
}

TEST(UniKey, KeysOrderedContainers)
{
    std::map<UniKey, int> byKey;
    byKey[UniKey(KEY_TYPE_USER, 2)] = 1;
    byKey[UniKey(KEY_TYPE_USER, 1)] = 2;
    byKey[UniKey(static_cast<E_KEY_TYPE>(-3), 50)] = 3;
    byKey[UniKey(KEY_TYPE_USER, 2)] = 4;
    ASSERT_EQ(byKey.size(), 3u);
    auto it = byKey.begin();
    EXPECT_EQ(it->second, 3);
    EXPECT_EQ((++it)->second, 2);
    EXPECT_EQ((++it)->second, 4);

    std::set<UniKey, UniKey> withComparator;
    withComparator.insert(UniKey(KEY_TYPE_USER, 9));
    withComparator.insert(UniKey(KEY_TYPE_USER, 9));
    EXPECT_EQ(withComparator.size(), 1u);
}

}  // namespace
