#include "session/compression.h"

#include <zlib.h>

#include <algorithm>

namespace corvid1 {

struct PacketCompressor::Stream {
    z_stream z{};
};

struct PacketDecompressor::Stream {
    z_stream z{};
};

PacketCompressor::PacketCompressor(int level) : stream_(std::make_unique<Stream>()) {
    if (deflateInit(&stream_->z, std::clamp(level, 1, 9)) != Z_OK) stream_.reset();
}

PacketCompressor::~PacketCompressor() {
    if (stream_) deflateEnd(&stream_->z);
}

bool PacketCompressor::compress(const std::uint8_t* data, std::size_t length,
                                std::vector<std::uint8_t>& out) {
    out.clear();
    if (!stream_) return false;
    z_stream& z = stream_->z;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(length);
    // deflateBound is for a whole stream; a flushed piece needs a little more for its marker.
    std::size_t room = deflateBound(&z, static_cast<uLong>(length)) + 16;
    for (;;) {
        const std::size_t used = out.size();
        out.resize(used + room);
        z.next_out = out.data() + used;
        z.avail_out = static_cast<uInt>(room);
        const int status = deflate(&z, Z_PARTIAL_FLUSH);
        out.resize(out.size() - z.avail_out);
        if (status != Z_OK && status != Z_BUF_ERROR) return false;
        // Done once all input is taken and zlib had room to spare for the flush.
        if (z.avail_in == 0 && z.avail_out != 0) return true;
        room = 256;
    }
}

PacketDecompressor::PacketDecompressor() : stream_(std::make_unique<Stream>()) {
    // Raw inflate, with the zlib header checked here: the stream's Adler-32 check value would
    // only come at its end, which a session never reaches, yet zlib would spend a tenth of the
    // client's time on bulk output computing it.
    if (inflateInit2(&stream_->z, -MAX_WBITS) != Z_OK) stream_.reset();
}

PacketDecompressor::~PacketDecompressor() {
    if (stream_) inflateEnd(&stream_->z);
}

PacketDecompressor::Result PacketDecompressor::fail(Result result) {
    inflateEnd(&stream_->z);
    stream_.reset();
    return result;
}

PacketDecompressor::Result PacketDecompressor::decompress(const std::uint8_t* data,
                                                          std::size_t length,
                                                          std::vector<std::uint8_t>& out,
                                                          std::size_t limit) {
    out.clear();
    if (!stream_) return Result::Corrupt;
    // The two header bytes: deflate, a window zlib can hold, no preset dictionary.
    for (; headerSeen_ < 2 && length > 0; ++headerSeen_, ++data, --length)
        header_[headerSeen_] = *data;
    if (headerSeen_ == 2 && !headerChecked_) {
        const unsigned word = header_[0] * 256u + header_[1];
        if ((header_[0] & 0x0F) != Z_DEFLATED || (header_[0] >> 4) > 7 || word % 31 != 0 ||
            (header_[1] & 0x20) != 0)
            return fail(Result::Corrupt);
        headerChecked_ = true;
    }
    z_stream& z = stream_->z;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(length);
    std::size_t room = std::min<std::size_t>(limit + 1, std::max<std::size_t>(4 * length, 4096));
    for (;;) {
        const std::size_t used = out.size();
        out.resize(used + room);
        z.next_out = out.data() + used;
        z.avail_out = static_cast<uInt>(room);
        const int status = inflate(&z, Z_SYNC_FLUSH);
        out.resize(out.size() - z.avail_out);
        // One byte beyond the limit is enough to know the packet is too long.
        if (out.size() > limit) return fail(Result::TooLong);
        // A peer never ends its stream in a session; an end or an error is damage.
        if (status == Z_STREAM_END || (status != Z_OK && status != Z_BUF_ERROR))
            return fail(Result::Corrupt);
        if (z.avail_in == 0 && z.avail_out != 0) return Result::Ok;
        room = std::min(limit + 1 - out.size(), std::max<std::size_t>(out.size(), 4096));
    }
}

}  // namespace corvid1
