// Stand-in SDK: the one reader of `key = value` text, the form of rig descriptions, camera settings
// files and stored capture options. Each format keeps its own rules on top of it: which sections
// and keys it knows and what their values may be.
#pragma once
#include <string>
#include <string_view>

namespace sim {

// The blanks a line loses at either end.
inline constexpr std::string_view kLineBlanks = " \t\r";

// `s` without `blanks` at either end.
std::string_view trim(std::string_view s, std::string_view blanks = kLineBlanks);

// Reads a text line by line ('\n' ends a line), passing over lines that hold nothing but blanks and
// comment lines (whose first character other than a blank is '#'). Of every other line it gives the
// line without blanks at its ends and, when the line holds a '=', the key before the first '=' and
// the value after it. Faults are told as "line <n>: <what>".
class KeyValueReader {
public:
    // `blanks_at_equals`: what the key loses at its end and the value at its start (the line's own
    // blanks by default; formats that keep a carriage return beside the '=' give " \t").
    explicit KeyValueReader(std::string_view text, std::string_view blanks_at_equals = kLineBlanks)
        : rest_(text), blanks_at_equals_(blanks_at_equals) {}

    // Moves to the next line that is neither blank nor a comment; false at the end of the text.
    bool next();
    // The line's number, from 1.
    int number() const { return number_; }
    // The line without blanks at its ends (never empty).
    std::string_view line() const { return trim(raw_); }
    // Whether the line holds a '='.
    bool has_equals() const { return equals_ != std::string_view::npos; }
    // The text before the first '=' and the text after it, without blanks at their ends (the line's
    // own at the line's ends, `blanks_at_equals` beside the '='); only for a line that has_equals().
    std::string_view key() const;
    std::string_view value() const;
    // The text after the first '=' as the line gives it, blanks and all.
    std::string_view after_equals() const { return raw_.substr(equals_ + 1); }
    // "line <n>: <what>", the form every format tells its faults in.
    std::string fault(const std::string& what) const;

private:
    std::string_view rest_;  // the text after the current line
    std::string_view blanks_at_equals_;
    std::string_view raw_;   // the current line as written, without its '\n'
    std::size_t equals_ = std::string_view::npos;
    int number_ = 0;
    bool done_ = false;
};

}  // namespace sim
