// Stand-in SDK: the one reader of `key = value` text.
#include "core/key_value.h"

namespace sim {

std::string_view trim(std::string_view s, std::string_view blanks) {
    const auto b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

bool KeyValueReader::next() {
    while (!done_) {
        const auto end = rest_.find('\n');
        raw_ = rest_.substr(0, end);
        if (end == std::string_view::npos) {
            done_ = true;
            rest_ = {};
            if (raw_.empty()) break;  // the text ended with its last line's '\n'
        } else {
            rest_.remove_prefix(end + 1);
        }
        ++number_;
        const std::string_view l = line();
        if (l.empty() || l[0] == '#') continue;
        equals_ = raw_.find('=');
        return true;
    }
    raw_ = {};
    equals_ = std::string_view::npos;
    return false;
}

std::string_view KeyValueReader::key() const {
    std::string_view k = raw_.substr(0, equals_);
    const auto b = k.find_first_not_of(kLineBlanks);
    if (b == std::string_view::npos) return {};
    k.remove_prefix(b);
    const auto e = k.find_last_not_of(blanks_at_equals_);
    return k.substr(0, e == std::string_view::npos ? 0 : e + 1);
}

std::string_view KeyValueReader::value() const {
    std::string_view v = raw_.substr(equals_ + 1);
    const auto e = v.find_last_not_of(kLineBlanks);
    v = v.substr(0, e == std::string_view::npos ? 0 : e + 1);
    const auto b = v.find_first_not_of(blanks_at_equals_);
    return b == std::string_view::npos ? std::string_view() : v.substr(b);
}

std::string KeyValueReader::fault(const std::string& what) const {
    return "line " + std::to_string(number_) + ": " + what;
}

}  // namespace sim
