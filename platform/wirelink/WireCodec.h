#pragma once
// The wire form of command records: one JSON text frame per record,
//   {"seq":N,"type":"cmd"|"reply"|"push","data":{"Key":{"t":"i32","v":0},...}}
// where every value names its type ("str", "i32", "u32", "i64", "u64",
// "bool", "arr"), so a record crosses the wire with its types intact. An
// "arr" value is a list of records in the same form. docs/wirelink.md has
// the full description.

#include <cstdint>
#include <memory>
#include <string>

#include "pelbo/corekit/XData.h"

namespace Json {
class CharReader;
}

namespace Wirelink {

enum class FrameType { Command, Reply, Push };

struct Frame {
    FrameType type = FrameType::Command;
    uint64_t seq = 0;
    XDataPtr<IXData> data;
};

// Arrays nest at most this deep; deeper input is refused.
constexpr int kMaxNesting = 16;

// The frame's text; empty when the record cannot be read whole (nesting
// too deep).
std::string EncodeFrame(FrameType type, uint64_t seq, IXData* record);

// Reads frames with a parser that is set up once: setting one up costs more
// than reading a small frame. One thread at a time.
class FrameDecoder {
public:
    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // False, with a reason, for anything that is not one well-formed frame:
    // not JSON, a member missing or of the wrong type, a value out of its
    // type's range, nesting too deep.
    bool Decode(const std::string& text, Frame* frame, std::string* error);

private:
    std::unique_ptr<Json::CharReader> m_reader;
};

// One frame with a decoder of its own.
bool DecodeFrame(const std::string& text, Frame* frame, std::string* error);

}  // namespace Wirelink
