// Stand-in SDK: what a JSON text holds, measured by nlohmann-json's SAX parser before a value is
// built from it, so that a hostile file can neither make the parser or the value's destructor
// recurse without bound nor take memory without bound.
#pragma once
#include <cstdint>
#include <limits>
#include <string>

namespace sim {

// What the text holds, as far as it was read.
struct JsonExtent {
    int depth = 0;  // of arrays and objects
    // Values as a scan of the text counts them: each container and each comma between two values
    // (every value but the first of the whole text, and every empty container).
    long long values = 0;
    long long containers = 0, members = 0;
    long long texts = 0;            // strings and keys
    long long long_text_bytes = 0;  // held on the heap by texts too long to fit inside a string
    long long longest = 0;          // bytes of the longest text, with one for its end
    // Bytes of the parsed value at most: a slot in its container for each value (a vector's,
    // which may have grown to twice what it holds), a heap block for each container, a tree node
    // holding its key for each member of an object, a heap block for each text and another for
    // its characters when they do not fit inside it; and, once, the parser's copies of the
    // longest text while it reads it.
    std::uint64_t bytes() const;
};

// The most a text may hold; the reading stops at the first bound it passes.
struct JsonBounds {
    int depth = std::numeric_limits<int>::max();
    long long values = std::numeric_limits<long long>::max();
    // What the parsed value may take (JsonExtent::bytes). The reading itself holds the token under
    // way: a long one is taken to run to the end of the text (a text the value holds), and the
    // reading stops early when the value would then take more than this.
    std::uint64_t memory = std::numeric_limits<std::uint64_t>::max();
};

enum class JsonFit {
    fits,       // well-formed and within the bounds
    too_deep,   // nests deeper than bounds.depth
    too_many,   // holds more than bounds.values values
    too_large,  // its value would take more than bounds.memory bytes
    malformed,  // not JSON: *error says why, in the parser's words
};

// Reads `text` through the SAX interface, building nothing; `extent` gets what was read up to the
// verdict. The parser keeps its own stack of open containers, so no bound of depth is needed for
// this reading itself.
JsonFit measure_json(const std::string& text, const JsonBounds& bounds, JsonExtent* extent, std::string* error);

}  // namespace sim
