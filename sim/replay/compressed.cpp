// Stand-in SDK, playback: the zlib streams of a recording's files, inflated within the bounds the
// manifest sets: a compressed frame's numbers (shuffled bytes) and a PNG's image data.
#include "replay/compressed.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace sim {
namespace replay {

namespace {

// A z_stream for inflating, ended however the function that holds it returns.
struct Inflater {
    z_stream z{};
    bool ok = false;
    Inflater() { ok = inflateInit(&z) == Z_OK; }
    ~Inflater() {
        if (ok) inflateEnd(&z);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    // One inflate step over at most 1 GiB of input and output at a time (zlib counts in 32 bits).
    int step(const unsigned char** in, std::size_t* in_left, unsigned char* out, std::size_t out_size, std::size_t* made) {
        const std::size_t in_now = std::min<std::size_t>(*in_left, 1u << 30), out_now = std::min<std::size_t>(out_size, 1u << 30);
        z.next_in = const_cast<unsigned char*>(*in);
        z.avail_in = static_cast<uInt>(in_now);
        z.next_out = out;
        z.avail_out = static_cast<uInt>(out_now);
        const int ret = inflate(&z, Z_NO_FLUSH);
        *in += in_now - z.avail_in;
        *in_left -= in_now - z.avail_in;
        *made = out_now - z.avail_out;
        return ret;
    }
    std::string error(int ret) const { return z.msg ? z.msg : "zlib error " + std::to_string(ret); }
};

bool broken(int ret) { return ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR; }

std::uint32_t be32(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3]));
}

}  // namespace

bool inflate_exactly(const char* data, std::size_t n, std::size_t size, unsigned char* out, const std::string& what,
                     std::string* why) {
    Inflater inf;
    if (!inf.ok) return *why = "out of memory", false;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(data);
    std::size_t left = n, filled = 0, made = 0;
    int ret = Z_OK;
    while (ret == Z_OK && filled < size && left > 0) {
        ret = inf.step(&in, &left, out + filled, size - filled, &made);
        filled += made;
    }
    if (broken(ret)) return *why = what + " are not a readable zlib stream (" + inf.error(ret) + ")", false;
    if (ret != Z_STREAM_END && filled == size) {  // what is left may be only the stream's end
        unsigned char extra;
        ret = inf.step(&in, &left, &extra, 1, &made);
        if (broken(ret)) return *why = what + " are not a readable zlib stream (" + inf.error(ret) + ")", false;
        if (made) return *why = what + " inflate to more than the " + std::to_string(size) + " bytes the header announces", false;
    }
    if (filled < size || ret != Z_STREAM_END)
        return *why = what + " inflate to less than the " + std::to_string(size) + " bytes the header announces", false;
    if (left) return *why = what + " hold bytes after their zlib stream", false;
    return true;
}

void unshuffle(const unsigned char* planes, std::size_t count, std::size_t first, std::size_t n, double* out) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(out);
    // Blocks of numbers at a time, so that the eight planes are read in runs and each number written once.
    constexpr std::size_t kBlock = 4096;
    for (std::size_t start = first; start < first + n; start += kBlock) {
        const std::size_t end = std::min(first + n, start + kBlock);
        for (std::size_t b = 0; b < 8; ++b) {
            const unsigned char* plane = planes + b * count;
            for (std::size_t i = start; i < end; ++i) bytes[8 * (i - first) + b] = plane[i];
        }
    }
}

void unshuffle(const unsigned char* planes, std::size_t count, double* out) { unshuffle(planes, count, 0, count, out); }

bool png_header(const std::string& bytes, PngHeader* out, std::string* why) {
    if (bytes.size() < 33 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return *why = "not a PNG file", false;
    out->width = be32(bytes, 16);
    out->height = be32(bytes, 20);
    out->depth = static_cast<unsigned char>(bytes[24]);
    out->colour = static_cast<unsigned char>(bytes[25]);
    out->interlace = static_cast<unsigned char>(bytes[28]);
    return true;
}

bool check_png_data(const std::string& bytes, int width, int height, int channels, std::string* why) {
    PngHeader header;
    if (!png_header(bytes, &header, why)) return false;
    if (header.interlace != 0) return *why = "the PNG is interlaced, which a recording's images are not", false;
    Inflater inf;
    if (!inf.ok) return *why = "out of memory", false;
    const std::uint64_t limit = static_cast<std::uint64_t>(height) * (1 + static_cast<std::uint64_t>(width) * channels);
    std::uint64_t total = 0;
    bool eof = false, extra = false, ended = false, in_idat = false, idat_done = false;
    std::vector<unsigned char> scratch(1 << 16);
    std::size_t at = 8;
    while (at + 12 <= bytes.size() && total <= limit && !extra) {
        const std::uint64_t length = be32(bytes, at);
        if (at + 12 + length > bytes.size()) break;
        const std::string kind = bytes.substr(at + 4, 4);
        const unsigned char* chunk = reinterpret_cast<const unsigned char*>(bytes.data()) + at + 4;
        if (!std::all_of(kind.begin(), kind.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
            return *why = "the PNG holds a chunk of a malformed type", false;
        if (crc32(0, chunk, static_cast<uInt>(length + 4)) != be32(bytes, at + 8 + length))
            return *why = "the PNG's " + kind + " chunk is damaged (its CRC does not match)", false;
        if (kind == "IEND") {
            ended = true;
            break;
        }
        if (std::isupper(static_cast<unsigned char>(kind[0])) && kind != "PLTE" && kind != "IDAT" && (kind != "IHDR" || at != 8))
            return *why = "the PNG holds a critical chunk " + kind + " out of place or unknown to PNG readers", false;
        if (kind != "IDAT") idat_done = idat_done || in_idat;
        in_idat = kind == "IDAT";
        if (in_idat && idat_done) return *why = "the PNG's image data are not in consecutive IDAT chunks", false;
        if (kind == "IDAT") {
            const unsigned char* in = chunk + 4;
            std::size_t left = length, made = 0;
            while (left && !eof && total <= limit) {
                const int ret = inf.step(&in, &left, scratch.data(), scratch.size(), &made);
                if (broken(ret))
                    return *why = "the PNG's image data are not a readable zlib stream (" + inf.error(ret) + ")", false;
                total += made;
                eof = ret == Z_STREAM_END;
                if (ret == Z_BUF_ERROR && !made) break;
            }
            extra = eof && left > 0;
        }
        at += 12 + length;
    }
    if (total > limit || extra) return *why = "the PNG holds more image data than its header announces", false;
    if (total < limit || !eof) return *why = "the PNG's image data end before the image its header announces", false;
    if (!ended) return *why = "the PNG ends without its IEND chunk", false;
    return true;
}

}  // namespace replay
}  // namespace sim
