// Stand-in SDK: the one reader of PLY headers.
#include "core/ply_header.h"

namespace sim {

namespace {

// Blanks between a line's words, as a stream's `>>` skips them.
constexpr std::string_view kWordBlanks = " \t\v\f\r";

PlyHeaderLine split(std::string_view text) {
    PlyHeaderLine line;
    line.text = std::string(text);
    for (std::size_t at = text.find_first_not_of(kWordBlanks); at != std::string_view::npos;) {
        const std::size_t end = text.find_first_of(kWordBlanks, at);
        line.words.emplace_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        at = end == std::string_view::npos ? end : text.find_first_not_of(kWordBlanks, end);
    }
    return line;
}

}  // namespace

const std::string& PlyHeaderLine::word(std::size_t i) const {
    static const std::string none;
    return i < words.size() ? words[i] : none;
}

PlyHeaderFound read_ply_header(std::string_view bytes, const PlyHeaderShape& shape, std::vector<PlyHeaderLine>* lines,
                               std::size_t* body) {
    lines->clear();
    if (!shape.loose) {
        if (bytes.substr(0, 4) != "ply\n") return PlyHeaderFound::NotPly;
        // The header ends at a line of its own (a comment may mention the word).
        // Looked for only where it may start: a long body is not searched.
        std::size_t end = bytes.substr(0, shape.max_end + 11).find("\nend_header\n");
        if (end == std::string_view::npos || end + 1 > shape.max_end) return PlyHeaderFound::Unclosed;
        ++end;  // the end_header line starts here
        for (std::size_t at = 0; at < end;) {
            const std::size_t eol = bytes.find('\n', at);
            lines->push_back(split(bytes.substr(at, eol - at)));
            at = eol + 1;
        }
        *body = end + 11;
        return PlyHeaderFound::Yes;
    }
    if (bytes.substr(0, 3) != "ply") return PlyHeaderFound::NotPly;
    for (std::size_t at = 0; at <= shape.max_end && at < bytes.size();) {
        std::size_t eol = bytes.find('\n', at);
        const bool last = eol == std::string_view::npos;
        if (last) eol = bytes.size();
        std::string_view text = bytes.substr(at, eol - at);
        const std::size_t kept = text.find_last_not_of(" \t\r");
        text = text.substr(0, kept == std::string_view::npos ? 0 : kept + 1);
        at = eol + 1;
        if (text == "end_header") {
            *body = at < bytes.size() ? at : bytes.size();
            return PlyHeaderFound::Yes;
        }
        lines->push_back(split(text));
        if (last) break;
    }
    lines->clear();
    return PlyHeaderFound::Unclosed;
}

}  // namespace sim
