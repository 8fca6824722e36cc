// Field encodings, framing, the bounded readers and the connection-state query.
#include <climits>
#include <set>

#include "fake_host.h"
#include "hostlink/codec.h"
#include "hostlink/requests.h"
#include "platform/guard_mix.h"

using frames::Bytes;

namespace {

Bytes encoded(int32_t value) {
    Bytes out(4);
    encodeInt32(value, out.data());
    return out;
}

TEST(Codec, Int32IsLittleEndianTwosComplement) {
    const struct {
        int32_t value;
        Bytes bytes;
    } cases[] = {
        {0, {0, 0, 0, 0}},
        {1, {1, 0, 0, 0}},
        {-1, {0xFF, 0xFF, 0xFF, 0xFF}},
        {0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {INT_MAX, {0xFF, 0xFF, 0xFF, 0x7F}},
        {INT_MIN, {0, 0, 0, 0x80}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encoded(c.value), c.bytes) << c.value;
        // Read back at an odd offset: fields carry no alignment.
        Bytes shifted = {0xAA};
        shifted.insert(shifted.end(), c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(readInt32At(shifted.data(), 1), c.value);
    }
}

TEST(Codec, LStringAndFraming) {
    Bytes empty(4, 0xEE);
    encodeLString(ByteView{nullptr, 0}, empty.data());
    EXPECT_EQ(empty, (Bytes{0, 0, 0, 0}));

    const uint8_t text[] = {'a', 'b', 'c'};
    Bytes lstring(7);
    encodeLString(ByteView{text, 3}, lstring.data());
    EXPECT_EQ(lstring, (Bytes{3, 0, 0, 0, 'a', 'b', 'c'}));

    const uint8_t payload[] = {5, 10};
    Bytes framed(6);
    EXPECT_EQ(frameMessage(payload, 2, framed.data()), framed.data());
    EXPECT_EQ(framed, frames::disconnectFrame());
}

TEST(Codec, OpenFrameNeedsAPositiveLength) {
    Frame frame;
    EXPECT_FALSE(openFrame(nullptr, &frame));
    for (int32_t length : {0, -1, INT_MIN}) EXPECT_FALSE(openFrame(encoded(length).data(), &frame)) << length;
    const Bytes one = frames::frame({3});
    ASSERT_TRUE(openFrame(one.data(), &frame));
    EXPECT_EQ(frame.size, 5u);
}

TEST(Codec, FrameHasGuardsOffsetArithmetic) {
    constexpr uint32_t BIG = 0x80000003u;  // 4 + the largest payload a frame can announce
    const struct {
        uint32_t size, offset, width;
        bool inside;
    } cases[] = {
        {10, 0, 10, true},           {10, 0, 11, false},         {10, 10, 0, true},
        {10, 11, 0, false},          {10, 6, 4, true},           {10, 7, 4, false},
        {10, 0xFFFFFFFF, 4, false},  {10, 4, 0xFFFFFFFF, false}, {BIG, 0x7FFFFFFF, 4, true},
        {BIG, 0x80000000, 4, false}, {BIG, 4, 0x7FFFFFFF, true}, {BIG, 5, 0x7FFFFFFF, false},
        {BIG, 0xFFFFFFFC, 8, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frameHas(Frame{nullptr, c.size}, c.offset, c.width), c.inside)
            << c.size << " " << c.offset << " " << c.width;
    }
}

// A frame of exactly its announced size, so any read past it trips the sanitizer.
TEST(Codec, LStringReaderStaysInsideTheFrame) {
    const struct {
        int32_t count;
        size_t textBytes;  // bytes actually present after the count
        bool ok;
        uint32_t size;
    } cases[] = {
        {0, 0, true, 0},  {-5, 0, true, 0},       {INT_MIN, 0, true, 0}, {3, 3, true, 3},
        {4, 3, false, 0}, {INT_MAX, 3, false, 0}, {-1, 2, true, 0},
    };
    for (const auto& c : cases) {
        Bytes payload = {3, 6};
        frames::putInt32(payload, c.count);
        payload.insert(payload.end(), c.textBytes, 'z');
        const Bytes message = frames::frame(payload);
        Frame frame;
        ASSERT_TRUE(openFrame(message.data(), &frame));
        ByteView text{nullptr, 99};
        uint32_t next = 0;
        ASSERT_EQ(readLStringAt(frame, 6, &text, &next), c.ok) << c.count;
        if (!c.ok) continue;
        EXPECT_EQ(text.size, c.size);
        EXPECT_EQ(next, 10 + c.size) << "the next field starts right after the text";
    }
    // A count that is not inside the frame at all.
    const Bytes shortMessage = frames::frame({3, 6, 1, 0});
    Frame frame;
    ASSERT_TRUE(openFrame(shortMessage.data(), &frame));
    ByteView text;
    uint32_t next;
    EXPECT_FALSE(readLStringAt(frame, 6, &text, &next));
}

class Requests : public ModuleTest {};

TEST_F(Requests, QueryReturnsWhateverStateTheHostReports) {
    HostLink link{};
    fakehost::connect(&link);
    for (int32_t state : {1, 2, 0, 7, -1, INT_MIN}) {
        fakehost::setState(state);
        EXPECT_EQ(queryNetState(link), state);
    }
    fakehost::setNullReply(true);
    EXPECT_EQ(queryNetState(link), 0) << "a null reply reads as neither state";
    EXPECT_EQ(fakehost::receivedBytes(), std::vector<Bytes>(7, frames::queryFrame()));

    link.callback.store(nullptr);
    EXPECT_EQ(queryNetState(link), 0);
    requestDisconnect(link);
    EXPECT_EQ(fakehost::received().size(), 7u) << "no callback, nothing sent";
}

// The stack guard's sources change little from one process to the next (a
// later time, the next process id, the same stack): every byte of the guard
// must still take many values, or an overrun could guess the byte that stays.
TEST(StackGuard, EveryByteVariesFromProcessToProcess) {
    std::set<uint8_t> seen[4];
    for (uint32_t process = 0; process < 256; ++process) {
        const uint32_t sources[] = {0x8D5A0000u + process * 37123u, 0x01DB6F2Au,
                                    0x00A1B2C3u + process * 9341u,  0u,
                                    0x1000u + 4u * process,         0x0019FE70u};
        const uint32_t guard = mixGuardSources(sources, 6);
        for (int byte = 0; byte < 4; ++byte) seen[byte].insert(static_cast<uint8_t>(guard >> (8 * byte)));
    }
    // Random bytes give about 162 values in 256 draws.
    for (int byte = 0; byte < 4; ++byte) EXPECT_GE(seen[byte].size(), 128u) << "byte " << byte;
}

}  // namespace
