// Stand-in SDK: numbers as text, read and written the same in every locale.
#include "core/numbers.h"

#include <charconv>
#include <cstdlib>
#include <locale.h>

namespace sim {

namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";

}  // namespace

bool parse_double(std::string_view text, double* out) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return false;
    text = text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    std::chars_format format = std::chars_format::general;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        format = std::chars_format::hex;
        text.remove_prefix(2);
    }
    // The sign was taken: what is left starts with a digit, a point or a letter of "inf" or "nan".
    if (text.empty() || text[0] == '+' || text[0] == '-') return false;
    double v;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, format);
    if (end != text.data() + text.size()) return false;
    if (ec == std::errc::result_out_of_range) {
        // What strtod gives in the "C" locale: an infinity for a number too large, zero or a
        // subnormal for one too small (callers then refuse it with their own reason).
        static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
        if (!c_locale) return false;
        const std::string whole = (format == std::chars_format::hex ? "0x" : "") + std::string(text);
        v = strtod_l(whole.c_str(), nullptr, c_locale);
    } else if (ec != std::errc()) {
        return false;
    }
    *out = negative ? -v : v;
    return true;
}

bool parse_number_list(std::string_view text, std::vector<double>* out) {
    while (!text.empty()) {
        const auto comma = text.find(',');
        double v;
        if (!parse_double(text.substr(0, comma), &v)) return false;
        out->push_back(v);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return true;
}

std::string format_double(double v, int digits) {
    char buf[64];
    const auto done = digits > 0 ? std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, digits)
                                 : std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, done.ptr);
}

}  // namespace sim
