#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "pelbo/corekit/XData.h"

namespace {

XDataPtr<IXData> NewRecord()
{
    XDataPtr<IXData> record;
    EXPECT_NE(CreateIXData(record.Receive(), 0), 0);
    return record;
}

XDataPtr<IXDataArray> NewArray()
{
    XDataPtr<IXDataArray> array;
    EXPECT_NE(CreateIXDataArray(array.Receive(), 0), 0);
    return array;
}

TEST(XData, CreationNeedsOptionZeroAndAnOutput)
{
    IXData* data = reinterpret_cast<IXData*>(1);
    EXPECT_EQ(CreateIXData(&data, 1), 0);
    EXPECT_EQ(data, nullptr);
    IXDataArray* array = reinterpret_cast<IXDataArray*>(1);
    EXPECT_EQ(CreateIXDataArray(&array, 2), 0);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(CreateIXData(nullptr, 0), 0);
    EXPECT_EQ(CreateIXDataArray(nullptr, 0), 0);
}

TEST(XData, TypedValuesComeBackAsStored)
{
    auto record = NewRecord();
    ASSERT_TRUE(record);
    EXPECT_NE(record->SetIXDataStr(L"Name", L"\u4e2d\u6587 room"), 0);
    EXPECT_NE(record->SetIXDataI32(L"I32", -7), 0);
    EXPECT_NE(record->SetIXDataU32(L"U32", 4000000000u), 0);
    EXPECT_NE(record->SetIXDataI64(L"I64", INT64_MIN), 0);
    EXPECT_NE(record->SetIXDataU64(L"U64", UINT64_MAX), 0);
    EXPECT_NE(record->SetIXDataBool(L"Flag", true), 0);

    CStringW text;
    int32_t i32 = 0;
    uint32_t u32 = 0;
    int64_t i64 = 0;
    uint64_t u64 = 0;
    bool flag = false;
    EXPECT_NE(record->GetIXDataStr(L"Name", text), 0);
    EXPECT_EQ(text, L"\u4e2d\u6587 room");
    EXPECT_NE(record->GetIXDataI32(L"I32", i32), 0);
    EXPECT_EQ(i32, -7);
    EXPECT_NE(record->GetIXDataU32(L"U32", u32), 0);
    EXPECT_EQ(u32, 4000000000u);
    EXPECT_NE(record->GetIXDataI64(L"I64", i64), 0);
    EXPECT_EQ(i64, INT64_MIN);
    EXPECT_NE(record->GetIXDataU64(L"U64", u64), 0);
    EXPECT_EQ(u64, UINT64_MAX);
    EXPECT_NE(record->GetIXDataBool(L"Flag", flag), 0);
    EXPECT_TRUE(flag);

    EXPECT_EQ(record->GetType(L"Name"), XDATA_STR);
    EXPECT_EQ(record->GetType(L"I32"), XDATA_I32);
    EXPECT_EQ(record->GetType(L"U32"), XDATA_U32);
    EXPECT_EQ(record->GetType(L"I64"), XDATA_I64);
    EXPECT_EQ(record->GetType(L"U64"), XDATA_U64);
    EXPECT_EQ(record->GetType(L"Flag"), XDATA_BOOL);
    EXPECT_EQ(record->GetType(L"Missing"), XDATA_NONE);
}

TEST(XData, GettersFailOnMissingKeyOrOtherTypeAndLeaveTheOutput)
{
    auto record = NewRecord();
    record->SetIXDataU32(L"Count", 5);
    record->SetIXDataStr(L"Text", L"5");

    int32_t i32 = 99;
    EXPECT_EQ(record->GetIXDataI32(L"Count", i32), 0);
    EXPECT_EQ(i32, 99);
    uint64_t u64 = 98;
    EXPECT_EQ(record->GetIXDataU64(L"Count", u64), 0);
    EXPECT_EQ(u64, 98u);
    uint32_t u32 = 97;
    EXPECT_EQ(record->GetIXDataU32(L"Text", u32), 0);
    EXPECT_EQ(u32, 97u);
    EXPECT_EQ(record->GetIXDataU32(L"Absent", u32), 0);
    EXPECT_EQ(u32, 97u);
    CStringW text(L"kept");
    EXPECT_EQ(record->GetIXDataStr(L"Count", text), 0);
    EXPECT_EQ(text, L"kept");
    XDataPtr<IXDataArray> array;
    EXPECT_EQ(record->GetArray(L"Text", array.Receive()), 0);
    EXPECT_FALSE(array);

    EXPECT_EQ(record->SetIXDataStr(nullptr, L"x"), 0);
    EXPECT_EQ(record->GetIXDataStr(nullptr, text), 0);
    EXPECT_EQ(record->SetArray(L"List", nullptr), 0);
}

TEST(XData, OverwriteChangesTheTypeAndKeysStayOrdered)
{
    auto record = NewRecord();
    record->SetIXDataStr(L"b", L"text");
    record->SetIXDataU32(L"b", 3);
    record->SetIXDataBool(L"a", false);
    record->SetIXDataI64(L"c", 1);
    EXPECT_EQ(record->GetType(L"b"), XDATA_U32);
    ASSERT_EQ(record->GetCount(), 3u);
    CStringW key;
    const wchar_t* expected[] = {L"a", L"b", L"c"};
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_NE(record->GetKeyAt(i, key), 0);
        EXPECT_EQ(key, expected[i]);
    }
    EXPECT_EQ(record->GetKeyAt(3, key), 0);

    EXPECT_NE(record->RemoveKey(L"b"), 0);
    EXPECT_EQ(record->RemoveKey(L"b"), 0);
    EXPECT_EQ(record->HasKey(L"b"), 0);
    EXPECT_NE(record->HasKey(L"a"), 0);
    EXPECT_EQ(record->GetCount(), 2u);
}

TEST(XData, NestedArraysHoldTheirOwnReferences)
{
    auto outer = NewRecord();
    {
        auto list = NewArray();
        for (uint32_t i = 0; i < 3; ++i) {
            auto item = NewRecord();
            item->SetIXDataU32(L"Index", i);
            EXPECT_NE(list->Append(item.get()), 0);
        }
        auto inner = NewArray();
        auto leaf = NewRecord();
        leaf->SetIXDataStr(L"Leaf", L"deep");
        inner->Append(leaf.get());
        auto withInner = NewRecord();
        withInner->SetArray(L"Inner", inner.get());
        list->Append(withInner.get());
        EXPECT_EQ(list->Append(nullptr), 0);
        EXPECT_NE(outer->SetArray(L"ElementList", list.get()), 0);
    }
    EXPECT_EQ(outer->GetType(L"ElementList"), XDATA_ARRAY);

    XDataPtr<IXDataArray> list;
    ASSERT_NE(outer->GetArray(L"ElementList", list.Receive()), 0);
    ASSERT_EQ(list->GetCount(), 4u);
    for (unsigned i = 0; i < 3; ++i) {
        XDataPtr<IXData> item;
        ASSERT_NE(list->GetAt(i, item.Receive()), 0);
        uint32_t index = 99;
        EXPECT_NE(item->GetIXDataU32(L"Index", index), 0);
        EXPECT_EQ(index, i);
    }
    XDataPtr<IXData> withInner;
    ASSERT_NE(list->GetAt(3, withInner.Receive()), 0);
    XDataPtr<IXDataArray> inner;
    ASSERT_NE(withInner->GetArray(L"Inner", inner.Receive()), 0);
    XDataPtr<IXData> leaf;
    ASSERT_NE(inner->GetAt(0, leaf.Receive()), 0);
    CStringW text;
    EXPECT_NE(leaf->GetIXDataStr(L"Leaf", text), 0);
    EXPECT_EQ(text, L"deep");

    XDataPtr<IXData> none;
    EXPECT_EQ(list->GetAt(4, none.Receive()), 0);
    EXPECT_EQ(list->GetAt(0, nullptr), 0);

    // Removing the key drops the record's reference; ours keeps the list alive.
    EXPECT_NE(outer->RemoveKey(L"ElementList"), 0);
    EXPECT_EQ(list->GetCount(), 4u);
}

TEST(XData, ReferenceCountFollowsAddRefAndRelease)
{
    IXData* data = nullptr;
    ASSERT_NE(CreateIXData(&data, 0), 0);
    EXPECT_EQ(data->AddRef(), 2);
    EXPECT_EQ(data->AddRef(), 3);
    EXPECT_EQ(data->Release(), 2);
    EXPECT_EQ(data->Release(), 1);
    EXPECT_EQ(data->Release(), 0);

    IXDataArray* array = nullptr;
    ASSERT_NE(CreateIXDataArray(&array, 0), 0);
    EXPECT_EQ(array->AddRef(), 2);
    EXPECT_EQ(array->Release(), 1);
    EXPECT_EQ(array->Release(), 0);
}

// Many threads share one record and one array: every reference taken is
// given back (the sanitizers see a leak or a use after free otherwise) and
// no update is lost.
TEST(XDataThreaded, SharedRecordAndArrayAcrossThreads)
{
    auto record = NewRecord();
    auto list = NewArray();
    record->SetArray(L"List", list.get());
    constexpr int kThreads = 8;
    constexpr int kRounds = 200;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::wstring key = L"Key" + std::to_wstring(t);
            for (int r = 0; r < kRounds; ++r) {
                record->AddRef();
                record->SetIXDataI32(key.c_str(), r);
                int32_t value = -1;
                if (record->GetIXDataI32(key.c_str(), value) == 0 || value != r)
                    failures.fetch_add(1);
                record->SetIXDataStr(L"Shared", key.c_str());
                CStringW shared;
                record->GetIXDataStr(L"Shared", shared);
                CStringW first;
                record->GetKeyAt(0, first);

                XDataPtr<IXData> item;
                CreateIXData(item.Receive(), 0);
                item->SetIXDataI32(L"Thread", t);
                list->Append(item.get());
                XDataPtr<IXDataArray> again;
                if (record->GetArray(L"List", again.Receive()) == 0)
                    failures.fetch_add(1);
                XDataPtr<IXData> some;
                again->GetAt(static_cast<unsigned>(r), some.Receive());
                record->Release();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(list->GetCount(), static_cast<unsigned>(kThreads * kRounds));
    EXPECT_EQ(record->GetCount(), static_cast<unsigned>(kThreads + 2));
    EXPECT_EQ(record->AddRef(), 2);
    EXPECT_EQ(record->Release(), 1);
}

}  // namespace
