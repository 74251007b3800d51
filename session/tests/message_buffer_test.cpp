#include "session/message_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "freed_memory.h"
#include "session/session.h"
#include "test_support.h"

namespace corvid1 {
namespace {

std::string contents(const MessageBuffer& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.length());
}

std::string tail(const MessageBuffer& buffer, std::size_t from) {
    return contents(buffer).substr(from);
}

// A buffer holding exactly `bytes`, cursor at the start, as a received packet would be.
void loadForReading(MessageBuffer& buffer, const std::string& bytes) {
    buffer.reset();
    buffer.append(bytes.data(), bytes.size());
    buffer.skip(-static_cast<std::ptrdiff_t>(bytes.size()));
}

TEST(MessageBufferLayout, PacketStartThenStringMakesTheDocumentedBytes) {
    MessageBuffer buffer(16);
    buffer.putString("ls\n");
    EXPECT_EQ(buffer.length(), 20u);
    EXPECT_EQ(contents(buffer),
              std::string(12, '\0') + "\x10" + std::string("\0\0\0\3", 4) + "ls\n");

    buffer.beginPacket(9);  // starting again discards the old message
    EXPECT_EQ(contents(buffer), std::string(12, '\0') + "\x09");
}

TEST(MessageBufferLayout, IntegersAreBigEndianBothWays) {
    MessageBuffer buffer;
    buffer.putUint32(0x01020304u);
    buffer.putUint32(0xFFFFFFFEu);
    EXPECT_EQ(contents(buffer), std::string("\x01\x02\x03\x04\xFF\xFF\xFF\xFE", 8));
    buffer.skip(-8);
    EXPECT_EQ(buffer.getUint32(), 0x01020304u);
    EXPECT_EQ(buffer.getUint32(), 0xFFFFFFFEu);
    EXPECT_FALSE(buffer.broken());
}

TEST(MessageBufferStrings, EmptyAndEmbeddedNulStrings) {
    MessageBuffer buffer;
    buffer.putString("");
    EXPECT_EQ(contents(buffer), std::string(4, '\0'));

    buffer.reset();
    buffer.putString("a\0b", 3);  // the length form keeps the NUL
    EXPECT_EQ(contents(buffer), std::string("\0\0\0\3a\0b", 7));
    buffer.skip(-7);
    EXPECT_EQ(buffer.getString(), std::string("a\0b", 3));

    loadForReading(buffer, std::string(4, '\0'));
    const std::string empty = buffer.getString();
    EXPECT_TRUE(empty.empty());
    EXPECT_STREQ(empty.c_str(), "");
    EXPECT_FALSE(buffer.broken());
}

// A length field that claims more than the packet holds, or is itself cut short, breaks the
// buffer; later reads give zeros; a new packet is whole again.
TEST(MessageBufferStrings, LengthBeyondTheContentMarksTheBufferBroken) {
    MessageBuffer buffer;
    for (const std::string& bytes : {std::string("\0\0\x03\xE8"
                                                 "abc",
                                                 7),
                                     std::string("\xFF\xFF\xFF\xFF"
                                                 "x",
                                                 5),
                                     std::string("\0\0", 2)}) {
        loadForReading(buffer, bytes);
        EXPECT_EQ(buffer.getString(), "");
        EXPECT_TRUE(buffer.broken());
        EXPECT_EQ(buffer.remaining(), 0u);
        EXPECT_EQ(buffer.getUint32(), 0u);
    }
    buffer.reset();
    EXPECT_FALSE(buffer.broken());
}

// The buffer carries passwords and decrypted packets: starting over leaves none of the old
// bytes behind, in the part in use or beyond it.
TEST(MessageBufferWipe, ResetAndNewPacketLeaveNoneOfThePreviousPlaintext) {
    for (const bool asPacket : {false, true}) {
        MessageBuffer buffer(SSH_CMSG_AUTH_PASSWORD);
        buffer.putString("wonderland-wonderland");
        const std::size_t used = buffer.size();
        if (asPacket) {
            buffer.beginPacket(SSH_CMSG_USER);
        } else {
            buffer.reset();
        }
        const std::string left = test::bytesOf(buffer.data(), used);
        EXPECT_EQ(left.find("wonder"), std::string::npos) << asPacket;
        if (!asPacket) {
            EXPECT_EQ(left, std::string(used, '\0'));
        }
    }
}

// Nor does a block the buffer lets go of, when it grows or when it goes.
TEST(MessageBufferWipe, GrowingAndGoingLeaveNoPlaintextInFreedMemory) {
    static const char filler[64 * 1024] = {};
    const std::vector<std::string> secrets = {std::string("wonderland-") + "in-clear"};
    test::freed::watch(secrets);
    {
        MessageBuffer buffer(SSH_CMSG_AUTH_PASSWORD);
        buffer.putString("wonderland-in-clear");
        buffer.append(filler, sizeof filler);  // outgrows its first block
    }
    EXPECT_EQ(test::freed::stop(), 0);
}

// Multiple-precision integers: a 16-bit bit count, then the value's bytes, big-endian. A count
// beyond what the packet holds breaks the buffer and reads as zero, never past the content.
TEST(MessageBufferMpint, EncodingsRoundTripAndOverlongCountsBreak) {
    const std::string large =
        "c0ffee0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcd"
        "ef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef01";
    const struct {
        std::string hex;    // the value; "": not encoded, only decoded
        std::string bytes;  // its encoding
        bool broken;
    } cases[] = {
        {"ff", std::string("\x00\x08\xFF", 3), false},
        {"100", std::string("\x00\x09\x01\x00", 4), false},
        {"0", std::string("\x00\x01\x00", 3), false},
        {"80", std::string("\x00\x08\x80", 3), false},
        {large, std::string("\x02\xA0", 2), false},  // 672 bits; the bytes follow
        {"", std::string("\x00\x00", 2), false},     // no bits: zero
        {"", std::string("\x00\x10\x7F", 3), true},  // 16 bits announced, one byte present
        {"", std::string("\xFF\xFF\x01", 3), true},
    };
    mpz_t z;
    mpz_init(z);
    for (const auto& c : cases) {
        std::string bytes = c.bytes;
        if (!c.hex.empty()) {
            mpz_set_str(z, c.hex.c_str(), 16);
            MessageBuffer out;
            out.putMpint(z);
            if (c.hex == large) bytes += contents(out).substr(2);
            EXPECT_EQ(contents(out), bytes) << c.hex;
        }
        MessageBuffer in;
        loadForReading(in, bytes);
        mpz_set_ui(z, 12345);
        in.getMpint(z);
        EXPECT_EQ(in.broken(), c.broken) << c.hex;
        char text[1024];
        mpz_get_str(text, 16, z);
        EXPECT_EQ(text, c.hex.empty() ? "0" : c.hex);
    }
    mpz_clear(z);
}

TEST(MessageBufferCursor, ReserveMakesRoomBehindTheCursor) {
    MessageBuffer buffer;
    buffer.reserve(4);
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_EQ(buffer.size(), 4u);
    const unsigned char received[4] = {0, 0, 1, 2};
    std::copy(received, received + 4, buffer.cursor());
    EXPECT_EQ(buffer.getUint32(), 258u);

    buffer.reserve(-2);  // a non-positive reserve moves the cursor back
    EXPECT_EQ(buffer.length(), 2u);
    EXPECT_EQ(buffer.getByte(), 1);
}

TEST(MessageBufferCursor, MovesStayWithinTheContent) {
    MessageBuffer buffer;
    buffer.append("abcd", 4);
    buffer.skip(-10);
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_TRUE(buffer.broken());
    buffer.reset();
    buffer.append("abcd", 4);
    buffer.skip(-4);
    buffer.skip(9);
    EXPECT_EQ(buffer.length(), 4u);
    EXPECT_TRUE(buffer.broken());
}

TEST(MessageBufferCursor, AppendInTheMiddleEndsTheContentThere) {
    MessageBuffer buffer;
    buffer.append("abcdef", 6);
    buffer.skip(-4);
    buffer.append("XY", 2);
    EXPECT_EQ(buffer.size(), 4u);
    EXPECT_EQ(contents(buffer), "abXY");
}

TEST(MessageBufferGrowth, ManyAppendsKeepEveryByte) {
    MessageBuffer buffer(16);
    std::string expected(12, '\0');
    expected += '\x10';
    for (int i = 0; i < 5000; ++i) {
        const char byte = static_cast<char>(i * 7);
        buffer.append(&byte, 1);
        expected += byte;
    }
    EXPECT_EQ(contents(buffer), expected);
    EXPECT_EQ(tail(buffer, 13).size(), 5000u);
}

}  // namespace
}  // namespace corvid1
