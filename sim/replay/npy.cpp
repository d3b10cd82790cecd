// Stand-in SDK, playback: the NumPy .npy files that hold a recording's depth, confidence and correspondences.
#include "replay/npy.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>


static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "recordings store little-endian numbers");

namespace sim {
namespace replay {

namespace {

constexpr std::size_t kMaxHeader = 4096;  // numpy writes about 128 bytes

// The header is a Python dict literal such as
//   {'descr': '<f8', 'fortran_order': False, 'shape': (1024, 1280), }
// Only the three keys numpy writes are read; each value is kept as its text.
class HeaderReader {
public:
    explicit HeaderReader(const std::string& text) : s_(text) {}

    bool read(std::map<std::string, std::string>* out, std::string* why) {
        skip();
        if (!eat('{')) return fail("the header is not a dict", why);
        for (;;) {
            skip();
            if (eat('}')) break;
            std::string key, value;
            if (!quoted(&key)) return fail("a header key is not a quoted text", why);
            skip();
            if (!eat(':')) return fail("a header key lacks its value", why);
            skip();
            if (peek() == '\'' || peek() == '"') {
                if (!quoted(&value)) return fail("a header text is not closed", why);
            } else if (peek() == '(') {
                const std::size_t close = s_.find(')', i_);
                if (close == std::string::npos) return fail("the shape is not closed", why);
                value = s_.substr(i_, close + 1 - i_);
                i_ = close + 1;
            } else {
                const std::size_t b = i_;
                while (i_ < s_.size() && std::isalpha(static_cast<unsigned char>(s_[i_]))) ++i_;
                value = s_.substr(b, i_ - b);
            }
            if (out->count(key)) return fail("the header repeats " + key, why);
            (*out)[key] = value;
            skip();
            if (eat(',')) continue;
            skip();
            if (eat('}')) break;
            return fail("the header is malformed", why);
        }
        skip();
        if (i_ != s_.size()) return fail("the header holds more than a dict", why);
        return true;
    }

private:
    char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
    bool eat(char c) {
        if (peek() != c) return false;
        ++i_;
        return true;
    }
    void skip() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t')) ++i_;
    }
    bool quoted(std::string* out) {
        const char q = peek();
        if (q != '\'' && q != '"') return false;
        const std::size_t close = s_.find(q, i_ + 1);
        if (close == std::string::npos) return false;
        *out = s_.substr(i_ + 1, close - i_ - 1);
        i_ = close + 1;
        return true;
    }
    static bool fail(const std::string& what, std::string* why) {
        *why = what;
        return false;
    }

    const std::string& s_;
    std::size_t i_ = 0;
};

// "(1024, 1280)" or "(5,)" into numbers; each dimension below 2^31.
bool parse_shape(const std::string& text, std::vector<long long>* out) {
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') return false;
    std::size_t i = 1;
    const std::size_t end = text.size() - 1;
    while (i < end) {
        while (i < end && text[i] == ' ') ++i;
        if (i == end) break;
        long long v = 0;
        std::size_t digits = 0;
        while (i < end && std::isdigit(static_cast<unsigned char>(text[i]))) {
            v = v * 10 + (text[i++] - '0');
            if (++digits > 10) return false;
        }
        if (digits == 0 || v >= (1LL << 31)) return false;
        out->push_back(v);
        while (i < end && text[i] == ' ') ++i;
        if (i < end && text[i] != ',') return false;
        ++i;
    }
    return true;
}

std::string shape_text(const std::vector<long long>& shape) {
    std::string s = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
    return s + ")";
}

}  // namespace

bool read_npy_header(NumbersFile* f, const std::vector<long long>& shape, bool compressed, std::string* why) {
    InFile& file = f->file;
    const std::size_t size = file.size();
    char lead[12];
    if (size < 10) return *why = "not a NumPy .npy file", false;
    if (!f->take(lead, 10, why)) return false;
    if (std::memcmp(lead, "\x93NUMPY", 6) != 0) return *why = "not a NumPy .npy file", false;
    const unsigned major = static_cast<unsigned char>(lead[6]);
    std::size_t header_len, start;
    if (major == 1) {
        header_len = static_cast<unsigned char>(lead[8]) | static_cast<std::size_t>(static_cast<unsigned char>(lead[9])) << 8;
        start = 10;
    } else if (major == 2 || major == 3) {
        if (size < 12) return *why = "the .npy header is truncated", false;
        if (!f->take(lead + 10, 2, why)) return false;
        std::uint32_t len;
        std::memcpy(&len, lead + 8, 4);
        header_len = len;
        start = 12;
    } else {
        return *why = ".npy format version " + std::to_string(major) + " is not supported", false;
    }
    if (header_len > kMaxHeader) return *why = "the .npy header is longer than 4096 bytes", false;
    if (size < start + header_len) return *why = "the .npy header is truncated", false;
    std::string header(header_len, '\0');  // at most 4096 bytes
    if (header_len && !f->take(&header[0], header_len, why)) return false;
    if (header.find('\0') != std::string::npos) return *why = "the .npy header holds a NUL character", false;
    while (!header.empty() && (header.back() == '\n' || header.back() == ' ')) header.pop_back();
    std::map<std::string, std::string> fields;
    if (!HeaderReader(header).read(&fields, why)) return *why = "malformed .npy header: " + *why, false;
    if (fields.size() != 3 || !fields.count("descr") || !fields.count("fortran_order") || !fields.count("shape"))
        return *why = "the .npy header must hold descr, fortran_order and shape", false;
    if (fields["descr"] != "<f8") return *why = "the .npy data are " + fields["descr"] + ", not little-endian float64 (<f8)", false;
    if (fields["fortran_order"] != "False") return *why = "the .npy data are not in C order", false;
    std::vector<long long> dims;
    if (!parse_shape(fields["shape"], &dims)) return *why = "the .npy shape is malformed", false;
    if (dims != shape) return *why = "the .npy shape is " + shape_text(dims) + ", not " + shape_text(shape), false;
    unsigned long long count = 1;
    for (long long d : dims) count *= static_cast<unsigned long long>(d);  // the expected shape, already bounded
    const std::size_t body = size - start - header_len;
    if (!compressed && body != count * 8)
        return *why = "the .npy file holds " + std::to_string(body) + " bytes of data, not " + std::to_string(count * 8), false;
    f->values = static_cast<std::size_t>(count);
    f->fields = 1;
    f->compressed = compressed;
    f->what = "the compressed data";
    return true;
}

}  // namespace replay
}  // namespace sim
