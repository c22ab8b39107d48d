#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "WireCodec.h"
#include "WsUrl.h"
#include "pelbo/corekit/XData.h"

namespace {

using Wirelink::DecodeFrame;
using Wirelink::EncodeFrame;
using Wirelink::Frame;
using Wirelink::FrameType;

XDataPtr<IXData> NewRecord()
{
    XDataPtr<IXData> record;
    EXPECT_TRUE(CreateIXData(record.Receive(), 0));
    return record;
}

TEST(WireCodec, RoundTripKeepsEveryValueType)
{
    XDataPtr<IXData> record = NewRecord();
    record->SetIXDataStr(L"CMDNO", L"room.join");
    record->SetIXDataStr(L"Name", L"Zoë \u4f1a\u8bae \"quoted\"\n");
    record->SetIXDataI32(L"I32", std::numeric_limits<int32_t>::min());
    record->SetIXDataU32(L"U32", std::numeric_limits<uint32_t>::max());
    record->SetIXDataI64(L"I64", std::numeric_limits<int64_t>::min());
    record->SetIXDataU64(L"U64", std::numeric_limits<uint64_t>::max());
    record->SetIXDataBool(L"Force", true);
    XDataPtr<IXDataArray> list;
    ASSERT_TRUE(CreateIXDataArray(list.Receive(), 0));
    XDataPtr<IXData> item = NewRecord();
    item->SetIXDataI64(L"UserID", 42);
    XDataPtr<IXDataArray> inner;
    ASSERT_TRUE(CreateIXDataArray(inner.Receive(), 0));
    inner->Append(NewRecord().get());
    item->SetArray(L"Inner", inner.get());
    list->Append(item.get());
    record->SetArray(L"ElementList", list.get());

    const std::string text = EncodeFrame(FrameType::Command, 77, record.get());
    Frame frame;
    std::string error;
    ASSERT_TRUE(DecodeFrame(text, &frame, &error)) << error;
    EXPECT_EQ(frame.type, FrameType::Command);
    EXPECT_EQ(frame.seq, 77u);

    IXData* back = frame.data.get();
    CStringW s;
    ASSERT_TRUE(back->GetIXDataStr(L"Name", s));
    EXPECT_EQ(std::wstring(s.GetString()), L"Zoë \u4f1a\u8bae \"quoted\"\n");
    int32_t i32 = 0;
    uint32_t u32 = 0;
    int64_t i64 = 0;
    uint64_t u64 = 0;
    bool b = false;
    ASSERT_TRUE(back->GetIXDataI32(L"I32", i32));
    ASSERT_TRUE(back->GetIXDataU32(L"U32", u32));
    ASSERT_TRUE(back->GetIXDataI64(L"I64", i64));
    ASSERT_TRUE(back->GetIXDataU64(L"U64", u64));
    ASSERT_TRUE(back->GetIXDataBool(L"Force", b));
    EXPECT_EQ(i32, std::numeric_limits<int32_t>::min());
    EXPECT_EQ(u32, std::numeric_limits<uint32_t>::max());
    EXPECT_EQ(i64, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(u64, std::numeric_limits<uint64_t>::max());
    EXPECT_TRUE(b);
    // The type survives, not just the number: a U32 is not readable as I32.
    EXPECT_FALSE(back->GetIXDataI32(L"U32", i32));

    XDataPtr<IXDataArray> listBack;
    ASSERT_TRUE(back->GetArray(L"ElementList", listBack.Receive()));
    ASSERT_EQ(listBack->GetCount(), 1u);
    XDataPtr<IXData> itemBack;
    ASSERT_TRUE(listBack->GetAt(0, itemBack.Receive()));
    ASSERT_TRUE(itemBack->GetIXDataI64(L"UserID", i64));
    EXPECT_EQ(i64, 42);
    XDataPtr<IXDataArray> innerBack;
    ASSERT_TRUE(itemBack->GetArray(L"Inner", innerBack.Receive()));
    EXPECT_EQ(innerBack->GetCount(), 1u);
}

TEST(WireCodec, ReplyAndPushFramesAndAnEmptyRecord)
{
    Frame frame;
    std::string error;
    ASSERT_TRUE(DecodeFrame(EncodeFrame(FrameType::Push, 9, nullptr), &frame, &error)) << error;
    EXPECT_EQ(frame.type, FrameType::Push);
    EXPECT_EQ(frame.seq, 9u);
    EXPECT_EQ(frame.data->GetCount(), 0u);

    Frame reply;
    ASSERT_TRUE(DecodeFrame(R"({"seq":3,"type":"reply","data":{"Result":{"t":"i32","v":0}}})", &reply, &error));
    EXPECT_EQ(reply.type, FrameType::Reply);
    int32_t result = -1;
    EXPECT_TRUE(reply.data->GetIXDataI32(L"Result", result));
    EXPECT_EQ(result, 0);
}

TEST(WireCodec, RefusesBadFrames)
{
    const char* bad[] = {
        "",
        "not json",
        "[1,2]",
        R"({"seq":1,"type":"reply","data":{}} trailing)",
        R"({"type":"reply","data":{}})",
        R"({"seq":-1,"type":"reply","data":{}})",
        R"({"seq":1.5,"type":"reply","data":{}})",
        R"({"seq":"1","type":"reply","data":{}})",
        R"({"seq":1,"type":"other","data":{}})",
        R"({"seq":1,"type":"reply","data":[]})",
        R"({"seq":1,"type":"reply","data":{"A":5}})",
        R"({"seq":1,"type":"reply","data":{"A":{"t":"i32"}}})",
        R"({"seq":1,"type":"reply","data":{"A":{"t":"i32","v":2147483648}}})",
        R"({"seq":1,"type":"reply","data":{"A":{"t":"u32","v":-1}}})",
        R"({"seq":1,"type":"reply","data":{"A":{"t":"i32","v":1.0}}})",
        R"({"seq":1,"type":"reply","data":{"A":{"t":"u64","v":18446744073709551616}}})",
        R"({"seq":1,"type":"reply","data":{"A":{"t":"bool","v":1}}})",
        R"({"seq":1,"type":"reply","data":{"A":{"t":"str","v":7}}})",
        R"({"seq":1,"type":"reply","data":{"A":{"t":"arr","v":[1]}}})",
        R"({"seq":1,"type":"reply","data":{"A":{"t":"blob","v":""}}})",
        R"({"seq":1,"seq":2,"type":"reply","data":{}})",
    };
    for (const char* text : bad) {
        Frame frame;
        std::string error;
        EXPECT_FALSE(DecodeFrame(text, &frame, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(WireCodec, DeepNestingIsRefusedNotOverflowed)
{
    std::string value = R"({"t":"i32","v":1})";
    for (int i = 0; i < 5000; ++i)
        value = R"({"t":"arr","v":[{"A":)" + value + "}]}";
    Frame frame;
    std::string error;
    EXPECT_FALSE(DecodeFrame(R"({"seq":1,"type":"reply","data":{"A":)" + value + "}}", &frame, &error));

    // The sending side refuses too, rather than writing what the peer rejects.
    XDataPtr<IXData> record = NewRecord();
    for (int i = 0; i <= Wirelink::kMaxNesting; ++i) {
        XDataPtr<IXData> outer = NewRecord();
        XDataPtr<IXDataArray> list;
        ASSERT_TRUE(CreateIXDataArray(list.Receive(), 0));
        list->Append(record.get());
        outer->SetArray(L"A", list.get());
        record = outer;
    }
    EXPECT_TRUE(EncodeFrame(FrameType::Command, 1, record.get()).empty());
}

TEST(WsUrl, TakesAddressesApart)
{
    Wirelink::WsUrl url;
    ASSERT_TRUE(Wirelink::ParseWsUrl("ws://127.0.0.1:8080/ws?x=1#frag", &url));
    EXPECT_FALSE(url.tls);
    EXPECT_EQ(url.host, "127.0.0.1");
    EXPECT_EQ(url.port, "8080");
    EXPECT_EQ(url.target, "/ws?x=1");
    EXPECT_EQ(url.HostHeader(), "127.0.0.1:8080");

    ASSERT_TRUE(Wirelink::ParseWsUrl("WSS://example.test", &url));
    EXPECT_TRUE(url.tls);
    EXPECT_EQ(url.port, "443");
    EXPECT_EQ(url.target, "/");
    EXPECT_EQ(url.HostHeader(), "example.test");

    ASSERT_TRUE(Wirelink::ParseWsUrl("ws://[::1]:9/ws", &url));
    EXPECT_EQ(url.host, "::1");
    EXPECT_EQ(url.HostHeader(), "[::1]:9");

    for (const char* bad : {"http://h/ws", "ws://", "ws://:80/", "ws://h:0/", "ws://h:65536/", "ws://h:8a/",
                            "ws://user@h/", "ws://h /ws", "ws://[::1/", "ws://[::1]x/"}) {
        EXPECT_FALSE(Wirelink::ParseWsUrl(bad, &url)) << bad;
    }
}

}  // namespace
