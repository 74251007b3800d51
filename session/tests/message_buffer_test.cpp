#include "session/message_buffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "freed_memory.h"
#include "session/session.h"
#include "test_support.h"

namespace corvid1 {
namespace {

using test::bytesOf;
const std::string B(const char* bytes, std::size_t n) {
    return std::string(bytes, n);
}

// A buffer holding exactly `bytes`, cursor at the start, as a received packet would be.
void loadForReading(MessageBuffer& buffer, const std::string& bytes) {
    buffer.reset();
    buffer.append(bytes.data(), bytes.size());
    buffer.skip(-static_cast<std::ptrdiff_t>(bytes.size()));
}

// What each way of building a message puts in the buffer, byte for byte.
TEST(MessageBufferWriting, EachBuildMakesTheseBytes) {
    std::string many = std::string(12, '\0') + "\x10";
    for (int i = 0; i < 5000; ++i) many += static_cast<char>(i * 7);
    const struct {
        const char* name;
        std::function<void(MessageBuffer&)> build;
        std::string bytes;
    } cases[] = {
        {"packet then string", [](auto& b) { b.beginPacket(16), b.putString("ls\n"); },
         std::string(12, '\0') + "\x10" + B("\0\0\0\3ls\n", 7)},
        {"new packet drops the old", [](auto& b) { b.putString("x"), b.beginPacket(9); },
         std::string(12, '\0') + "\x09"},
        {"big-endian integers", [](auto& b) { b.putUint32(0x01020304u), b.putUint32(0xFFFFFFFEu); },
         B("\x01\x02\x03\x04\xFF\xFF\xFF\xFE", 8)},
        {"empty string", [](auto& b) { b.putString(""); }, B("\0\0\0\0", 4)},
        {"string with a NUL", [](auto& b) { b.putString("a\0b", 3); }, B("\0\0\0\3a\0b", 7)},
        {"append in the middle ends the content there",
         [](auto& b) { b.append("abcdef", 6), b.skip(-4), b.append("XY", 2); }, "abXY"},
        {"growth keeps every byte",
         [](auto& b) {
             b.beginPacket(16);
             for (int i = 0; i < 5000; ++i) b.putByte(static_cast<std::uint8_t>(i * 7));
         },
         many}};
    for (const auto& c : cases) {
        MessageBuffer buffer;
        c.build(buffer);
        EXPECT_EQ(bytesOf(buffer.data(), buffer.size()), c.bytes) << c.name;
    }
}

// Reads give back what was written; a length that claims more than the packet holds, or is cut
// short itself, breaks the buffer and later reads give zeros; a reset makes it whole again.
TEST(MessageBufferReading, ValuesComeBackAndOverrunsBreakTheBuffer) {
    MessageBuffer buffer;
    loadForReading(buffer, B("\x01\x02\x03\x04\0\0\0\3a\0b\0\0\0\0", 15));
    EXPECT_EQ(buffer.getUint32(), 0x01020304u);
    EXPECT_EQ(buffer.getString(), B("a\0b", 3));
    EXPECT_EQ(buffer.getString(), "");
    EXPECT_FALSE(buffer.broken());
    for (const std::string& bytes : {B("\0\0\x03\xE8"
                                       "abc",
                                       7),
                                     B("\xFF\xFF\xFF\xFF"
                                       "x",
                                       5),
                                     B("\0\0", 2)}) {
        loadForReading(buffer, bytes);
        EXPECT_EQ(buffer.getString(), "");
        EXPECT_TRUE(buffer.broken());
        EXPECT_EQ(buffer.remaining(), 0u);
        EXPECT_EQ(buffer.getUint32(), 0u);
    }
    buffer.reset();
    EXPECT_FALSE(buffer.broken());
}

// The cursor never leaves the content; reserve makes room behind it to receive into.
TEST(MessageBufferReading, CursorMovesStayWithinTheContent) {
    MessageBuffer buffer;
    buffer.reserve(4);
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_EQ(buffer.size(), 4u);
    const unsigned char received[4] = {0, 0, 1, 2};
    std::copy(received, received + 4, buffer.cursor());
    EXPECT_EQ(buffer.getUint32(), 258u);
    buffer.reserve(-2);  // a non-positive reserve moves the cursor back
    EXPECT_EQ(buffer.getByte(), 1);
    for (const std::ptrdiff_t move : {-10, 9}) {
        loadForReading(buffer, "abcd");
        buffer.skip(move);
        EXPECT_EQ(buffer.length(), move < 0 ? 0u : 4u) << move;
        EXPECT_TRUE(buffer.broken()) << move;
    }
}

// The buffer carries passwords and decrypted packets: starting over leaves none of the old
// bytes behind, in the part in use or beyond it.
TEST(MessageBufferWipe, ResetAndNewPacketLeaveNoneOfThePreviousPlaintext) {
    for (const bool asPacket : {false, true}) {
        MessageBuffer buffer(SSH_CMSG_AUTH_PASSWORD);
        buffer.putString("wonderland-wonderland");
        const std::size_t used = buffer.size();
        asPacket ? buffer.beginPacket(SSH_CMSG_USER) : buffer.reset();
        const std::string left = bytesOf(buffer.data(), used);
        EXPECT_EQ(left.find("wonder"), std::string::npos) << asPacket;
        EXPECT_TRUE(asPacket || left == std::string(used, '\0'));
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
    std::string large = "c0ffee";
    for (int i = 0; i < 13; ++i) large += "0123456789abcdef";  // 856 bits, the top one set
    const struct {
        std::string hex;    // the value; "": not encoded, only decoded
        std::string bytes;  // its encoding; "": a bit count and the value's bytes
        bool broken;
    } cases[] = {{"ff", B("\x00\x08\xFF", 3), false},
                 {"100", B("\x00\x09\x01\x00", 4), false},
                 {"0", B("\x00\x01\x00", 3), false},
                 {"80", B("\x00\x08\x80", 3), false},
                 {large, "", false},
                 {"", B("\x00\x00", 2), false},
                 {"", B("\x00\x10\x7F", 3), true},
                 {"", B("\xFF\xFF\x01", 3), true}};
    mpz_t z;
    mpz_init(z);
    for (const auto& c : cases) {
        std::string bytes = c.bytes;
        if (!c.hex.empty()) {
            mpz_set_str(z, c.hex.c_str(), 16);
            MessageBuffer out;
            out.putMpint(z);
            if (bytes.empty()) {
                bytes = {static_cast<char>(c.hex.size() * 4 >> 8),
                         static_cast<char>(c.hex.size() * 4)};
                for (std::size_t i = 0; i < c.hex.size(); i += 2)
                    bytes += static_cast<char>(std::stoi(c.hex.substr(i, 2), nullptr, 16));
            }
            EXPECT_EQ(bytesOf(out.data(), out.length()), bytes) << c.hex;
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

}  // namespace
}  // namespace corvid1
