// Stand-in SDK: JSON text measured through nlohmann-json's SAX interface.
#include "core/json_bounds.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include <nlohmann/json.hpp>

namespace sim {

std::uint64_t JsonExtent::bytes() const {
    return 32ull * (values + containers) + 64ull * containers + 96ull * members + 48ull * texts +
           static_cast<std::uint64_t>(long_text_bytes) + 5ull * static_cast<std::uint64_t>(longest);
}

namespace {

using json = nlohmann::json;

// The SAX handler: counts what each event adds and stops the parser (by returning false) at the
// first bound passed.
class Measure {
public:
    Measure(const JsonBounds& bounds, JsonExtent& extent) : bounds_(bounds), e_(extent) {}

    JsonFit fit = JsonFit::fits;
    std::string error;
    // The token under way may be too long to be held: the input has ended there.
    bool over = false;

    bool null() { return value(); }
    bool boolean(bool) { return value(); }
    bool number_integer(json::number_integer_t) { return value(); }
    bool number_unsigned(json::number_unsigned_t) { return value(); }
    bool number_float(json::number_float_t, const json::string_t&) { return value(); }
    bool binary(json::binary_t&) { return value(); }
    bool string(json::string_t& s) { return text(s) && value(); }
    bool key(json::string_t& s) {
        ++e_.members;
        return text(s);
    }
    bool start_object(std::size_t) { return open(); }
    bool start_array(std::size_t) { return open(); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
        if (!over) {  // (else the end was the input's, not the text's)
            fit = JsonFit::malformed;
            error = ex.what();
        }
        return false;
    }

    // Whether the input may give one more character, with `left` more after it. Once the token
    // under way has grown to an eighth of the memory (the parser's buffers, which grow by doubling,
    // may then hold five times it, and the memory available is known only roughly), the rest of
    // the text is taken as its length: the reading ends there unless even that would fit. The
    // token is weighed as a text the value would hold besides, as it is once read to its end, so
    // that a refusal quotes the same figure whether or not the reading stopped early.
    bool room(std::uint64_t left) {
        if (over) return false;
        if (8 * ++read_ <= bounds_.memory || checked_) return true;
        checked_ = true;
        JsonExtent worst = e_;
        const long long length = static_cast<long long>(read_ + left + 1);
        worst.longest = std::max(worst.longest, length);
        worst.long_text_bytes += length + 32;
        if (worst.bytes() > bounds_.memory) {
            e_ = worst;
            over = true;
        }
        return !over;
    }

private:
    // A value: every one but the first of the text follows a comma (or opens its container).
    bool value() {
        next();
        opened_ = false;
        if (first_) {
            first_ = false;
        } else if (++e_.values > bounds_.values) {
            return stop(JsonFit::too_many);
        }
        return true;
    }
    bool open() {
        ++e_.containers;
        if (!value()) return false;
        ++depth_;
        e_.depth = std::max(e_.depth, depth_);
        if (depth_ > bounds_.depth) return stop(JsonFit::too_deep);
        opened_ = true;
        return true;
    }
    bool close() {
        next();
        --depth_;
        const bool empty = opened_;  // an empty container counts as a value of its own
        opened_ = false;
        if (empty && ++e_.values > bounds_.values) return stop(JsonFit::too_many);
        return true;
    }
    bool text(const json::string_t& s) {
        next();
        ++e_.texts;
        const long long length = static_cast<long long>(s.size()) + 1;
        if (length > 16) e_.long_text_bytes += length + 32;  // 15 bytes fit inside
        e_.longest = std::max(e_.longest, length);
        return true;
    }
    // An event: the token under way is done.
    void next() {
        read_ = 0;
        checked_ = false;
    }
    bool stop(JsonFit why) {
        fit = why;
        return false;
    }

    const JsonBounds& bounds_;
    JsonExtent& e_;
    int depth_ = 0;
    bool first_ = true, opened_ = false;
    // Characters read since the last event: the token under way, which the parser holds twice
    // (its text and its raw characters); whether the rest of the text was found to fit in memory.
    std::uint64_t read_ = 0;
    bool checked_ = false;
};

// The text's characters as the parser reads them, each one counted: it ends early when the token
// under way grows too long for the memory there is.
class Input {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    Input(const char* at, const char* end, Measure* measure) : at_(at), end_(end), measure_(measure) {}
    reference operator*() const { return *at_; }
    Input& operator++() {
        ++at_;
        return *this;
    }
    Input operator++(int) {
        Input before = *this;
        ++at_;
        return before;
    }
    // Compared only with the end of the text, once before each character is read.
    bool operator==(const Input& other) const {
        return at_ == other.at_ || !measure_->room(static_cast<std::uint64_t>(end_ - at_ - 1));
    }
    bool operator!=(const Input& other) const { return !(*this == other); }

private:
    const char* at_;
    const char* end_;
    Measure* measure_;
};

}  // namespace

JsonFit measure_json(const std::string& text, const JsonBounds& bounds, JsonExtent* extent, std::string* error) {
    *extent = JsonExtent();
    Measure measure(bounds, *extent);
    const char *begin = text.data(), *end = begin + text.size();
    json::sax_parse(Input(begin, end, &measure), Input(end, end, &measure), &measure);
    if (measure.over) return JsonFit::too_large;  // whether or not what was read before is a whole value
    if (measure.fit == JsonFit::malformed) *error = measure.error;
    if (measure.fit == JsonFit::fits && extent->bytes() > bounds.memory) return JsonFit::too_large;
    return measure.fit;
}

}  // namespace sim
