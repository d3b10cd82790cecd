// Stand-in SDK, playback: the rules of a recording's manifest, compiled in from the table the
// Python reader (tuvo_tools) reads, and the checks they drive.
#include "replay/rules.h"

#include <cmath>
#include <limits>
#include <vector>

#include "replay/files.h"

namespace sim {
namespace replay {

extern const char kRecordingRulesJson[];

namespace {

bool within_float(double x) { return std::fabs(x) <= static_cast<double>(std::numeric_limits<float>::max()); }

bool text_ok(RuleChecker& ck, const json& v, const std::string& where, std::size_t max_bytes) {
    if (!v.is_string()) return ck.fail(where, "must be a text");
    const std::string& s = v.get_ref<const std::string&>();
    if (s.size() > max_bytes) return ck.fail(where, "is longer than " + std::to_string(max_bytes) + " bytes");
    if (s.find('\0') != std::string::npos) return ck.fail(where, "holds a NUL character");
    return true;
}

bool option_name(const std::string& key) {
    return !key.empty() && key.size() <= 64 &&
           key.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos;
}

}  // namespace

const json& rules() {
    // Compiled in from the repository's file: a fault in it is the build's, found by the first test.
    static const json table = json::parse(kRecordingRulesJson);
    return table;
}

long long limit(const char* name) { return rules().at("limits").at(name).get<long long>(); }

std::size_t compress_bound(std::size_t size) { return size + (size >> 12) + (size >> 14) + (size >> 25) + 13; }

std::string choices(const json& list) {
    std::string out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += i + 1 == list.size() ? " or " : ", ";
        out += list[i].get<std::string>();
    }
    return out;
}

std::string grouped(long long n) {
    std::string digits = std::to_string(n), out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

bool RuleChecker::record(const json& obj, const std::string& path, const std::string& name) {
    if (!obj.is_object()) return fail(path, "must be an object");
    for (const json& rule : rules().at("records").at(name)) {
        const std::string key = rule.at("key").get<std::string>();
        const std::string where = path + "." + key;
        const bool optional = rule.value("optional", false);
        auto it = obj.find(key);
        if (it == obj.end() || (it->is_null() && optional)) {
            if (!optional) return fail(path, "lacks \"" + key + "\"");
            continue;
        }
        const json& v = *it;
        const std::string type = rule.at("type").get<std::string>();
        if (type == "text") {
            if (!text_ok(*this, v, where, rule.at("max_bytes").get<std::size_t>())) return false;
        } else if (type == "integer") {
            if (!v.is_number_integer()) return fail(where, "must be an integer");
            const long long lo = rule.at("min").get<long long>(), hi = rule.at("max").get<long long>();
            const bool above = v.is_number_unsigned() ? v.get<unsigned long long>() > static_cast<unsigned long long>(hi)
                                                      : v.get<long long>() > hi;
            if (above || (!v.is_number_unsigned() && v.get<long long>() < lo))
                return fail(where, "must be " + std::to_string(lo) + " to " + std::to_string(hi));
        } else if (type == "bool") {
            if (!v.is_boolean()) return fail(where, "must be true or false");
        } else if (type == "choice") {
            bool found = false;
            if (v.is_string())
                for (const json& c : rule.at("of")) found = found || c == v;
            if (!found) return fail(where, "must be " + choices(rule.at("of")));
        } else if (type == "numbers") {
            const std::size_t n = rule.at("count").get<std::size_t>();
            if (!v.is_array() || v.size() != n) return fail(where, "must be a list of " + std::to_string(n) + " numbers");
            const bool single = rule.at("range") == "float32";
            for (const json& x : v) {
                if (!x.is_number()) return fail(where, "must hold numbers only");
                const double d = x.get<double>();
                if (!std::isfinite(d)) return fail(where, "must hold finite numbers");
                if (single && !within_float(d)) return fail(where, "holds a number out of the range of a 32-bit float");
            }
        } else if (type == "record") {
            if (!record(v, where, rule.at("of").get<std::string>())) return false;
        } else if (type == "object") {
            if (!v.is_object()) return fail(where, "must be an object");
        } else if (type == "list") {
            if (!v.is_array()) return fail(where, "must be a list");
            if (static_cast<long long>(v.size()) > limit("frames"))
                return fail(where, "holds more than " + grouped(limit("frames")) + " frames");
        } else if (type == "options") {
            if (!options(v, where, rule.at("of").get<std::string>())) return false;
        } else if (type == "folder") {
            if (!text_ok(*this, v, where, 255)) return false;
            if (!safe_relative(v.get<std::string>(), 2)) return fail(where, "is not a folder inside the recording");
        } else if (type == "file") {
            if (!v.is_string() || !safe_relative(v.get<std::string>(), 1))
                return fail(where, "is not a file name inside the frame's folder");
        } else {
            return fail(where, "has a rule of unknown type " + type);
        }
    }
    return true;
}

bool RuleChecker::options(const json& obj, const std::string& path, const std::string& kind) {
    if (!obj.is_object()) return fail(path, "must be an object");
    const json& table = rules().at("options").at(kind);
    for (auto it = obj.begin(); it != obj.end(); ++it) {  // in the order of their names
        const std::string& key = it.key();
        std::string field;
        for (const json& f : table)
            if (f[0] == key) field = f[1].get<std::string>();
        if (field.empty()) return fail(path, option_name(key) ? "unknown option " + key : "has a malformed option name");
        const json& v = it.value();
        const std::string where = path + "." + key;
        if (field == "bool") {
            if (!v.is_boolean()) return fail(where, "must be true or false");
            continue;
        }
        const std::size_t count = field == "ints3" || field == "floats3" ? 3 : field == "roi" ? 4 : 0;
        if (count && (!v.is_array() || v.size() != count))
            return fail(where, "must be a list of " + std::to_string(count) + (field == "floats3" ? " numbers" : " integers"));
        std::vector<const json*> values;
        if (count)
            for (const json& x : v) values.push_back(&x);
        else
            values.push_back(&v);
        for (const json* x : values) {
            if (!x->is_number() || !std::isfinite(x->get<double>()))
                return fail(where, count ? "must hold finite numbers" : "must be a finite number");
            const double d = x->get<double>();
            if (field == "float32" || field == "floats3") {
                if (!within_float(d)) return fail(where, "is out of the range of a 32-bit float");
            } else if (field != "float64") {
                double lo = -2147483648.0, hi = 2147483647.0;
                std::string what = count ? "32-bit integers" : "a 32-bit integer";
                if (field == "uint32") lo = 0, hi = 4294967295.0, what = "an unsigned 32-bit integer";
                if (field == "uint16") lo = 0, hi = 65535, what = "an integer from 0 to 65535";
                if (std::floor(d) != d || d < lo || d > hi) return fail(where, (count ? "must hold " : "must be ") + what);
            }
        }
    }
    return true;
}

}  // namespace replay
}  // namespace sim
