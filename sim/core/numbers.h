// Stand-in SDK: numbers as text, read and written the same in every locale.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// A number as the "C" locale writes it, whatever locale the program runs in (a decimal comma is
// never one): decimal or hexadecimal ("0x1.8p3"), "inf" or "nan", an optional sign, blanks around
// it; a number beyond the range of a double is read as strtod reads it (an infinity, or zero). False
// for anything else and for an empty text.
bool parse_double(std::string_view text, double* out);
// Numbers separated by commas, each as parse_double reads it, appended to *out (a comma at the end
// closes the list; an empty text holds none).
bool parse_number_list(std::string_view text, std::vector<double>* out);
// The shortest text that reads back to the same double, or `digits` significant digits.
std::string format_double(double v, int digits = 0);

}  // namespace sim
