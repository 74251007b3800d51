#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace corvid1 {

// SSH-1 compression: one zlib stream per direction for the rest of the session, each packet's
// type and payload compressed and flushed with Z_PARTIAL_FLUSH, so the peer can take every
// packet apart as it comes.
class PacketCompressor {
  public:
    // `level` 1..9 (values outside are brought into range).
    explicit PacketCompressor(int level);
    ~PacketCompressor();
    PacketCompressor(const PacketCompressor&) = delete;
    PacketCompressor& operator=(const PacketCompressor&) = delete;

    bool ok() const { return stream_ != nullptr; }
    // Replaces `out` with the compressed form of the bytes; false if zlib failed.
    bool compress(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out);

  private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
};

class PacketDecompressor {
  public:
    enum class Result { Ok, TooLong, Corrupt };

    PacketDecompressor();
    ~PacketDecompressor();
    PacketDecompressor(const PacketDecompressor&) = delete;
    PacketDecompressor& operator=(const PacketDecompressor&) = delete;

    bool ok() const { return stream_ != nullptr; }
    // Replaces `out` with the decompressed bytes. More than `limit` of them is TooLong: the
    // output never grows past the limit, so a small packet cannot make the client allocate
    // without bound. After a failure the stream is unusable and the session must end.
    Result decompress(const std::uint8_t* data, std::size_t length, std::vector<std::uint8_t>& out,
                      std::size_t limit);

  private:
    Result fail(Result result);

    struct Stream;
    std::unique_ptr<Stream> stream_;
    std::uint8_t header_[2] = {};
    int headerSeen_ = 0;
    bool headerChecked_ = false;
};

}  // namespace corvid1
