// Stand-in SDK: reading scene files (TOML) into loaded scenes, with a clear message for every fault.
#include "world/scene_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <map>
#include <set>

#include <toml++/toml.h>

#include "core/errors.h"
#include "core/files.h"
#include "core/numbers.h"

namespace sim {

// The text of sim/scenes/default.toml (generated into the build).
extern const char kDefaultSceneToml[];

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMaxLength = 1e6;  // mm: positions and sizes stay within a kilometre

struct Fault {};  // unwinds a parse; the message is already in place

// Reads one scene file's TOML tree, failing with "<file>: line <n>: object '<name>': <reason>".
class Reader {
public:
    Reader(std::string path, std::string* why) : path_(std::move(path)), why_(why) {}

    [[noreturn]] void fail(const toml::source_region& at, const std::string& what) const {
        std::string where = path_.empty() ? "default scene" : path_;
        if (at.begin.line) where += ": line " + std::to_string(at.begin.line);
        *why_ = where + ": " + (object_.empty() ? "" : "object '" + object_ + "': ") + what;
        throw Fault();
    }
    [[noreturn]] void fail(const toml::node& at, const std::string& what) const { fail(at.source(), what); }

    void in_object(const std::string& name) { object_ = name; }

    // Refuses keys other than `allowed` (naming `what` holds them).
    void only(const toml::table& t, std::initializer_list<const char*> allowed, const std::string& what) const {
        for (auto&& [key, node] : t) {
            bool ok = false;
            for (const char* a : allowed) ok = ok || key.str() == a;
            if (!ok) fail(key.source(), "unknown key '" + std::string(key.str()) + "' in " + what);
        }
    }

    static std::string type_of(const toml::node& n) {
        switch (n.type()) {
            case toml::node_type::table: return "a table";
            case toml::node_type::array: return "an array";
            case toml::node_type::string: return "a string";
            case toml::node_type::integer: return "an integer";
            case toml::node_type::floating_point: return "a number";
            case toml::node_type::boolean: return "a boolean";
            default: return "a date or time";
        }
    }

    double number(const toml::node& n, const std::string& key) const {
        if (!n.is_number()) fail(n, key + " must be a number, not " + type_of(n));
        const double v = *n.value<double>();
        if (!std::isfinite(v)) fail(n, key + " must be a finite number");
        return v;
    }
    double number(const toml::node& n, const std::string& key, double lo, double hi) const {
        const double v = number(n, key);
        if (v < lo || v > hi) fail(n, key + " must be from " + fmt(lo) + " to " + fmt(hi) + ", not " + fmt(v));
        return v;
    }
    double positive(const toml::node& n, const std::string& key) const {
        const double v = number(n, key);
        if (!(v > 0) || v > kMaxLength) fail(n, key + " must be above 0 and at most " + fmt(kMaxLength) + ", not " + fmt(v));
        return v;
    }
    int integer(const toml::node& n, const std::string& key, int lo, int hi) const {
        if (!n.is_integer()) fail(n, key + " must be an integer, not " + type_of(n));
        const std::int64_t v = *n.value<std::int64_t>();
        if (v < lo || v > hi) fail(n, key + " must be from " + std::to_string(lo) + " to " + std::to_string(hi));
        return static_cast<int>(v);
    }
    std::string text(const toml::node& n, const std::string& key) const {
        if (!n.is_string()) fail(n, key + " must be a string, not " + type_of(n));
        std::string s = n.as_string()->get();
        if (s.find('\0') != std::string::npos) fail(n, key + " contains a NUL character");
        return s;
    }
    const toml::table& table(const toml::node& n, const std::string& key) const {
        if (!n.is_table()) fail(n, key + " must be a table, not " + type_of(n));
        return *n.as_table();
    }
    std::vector<double> numbers(const toml::node& n, const std::string& key, std::size_t count) const {
        const std::string shape = key + " must be an array of " + std::to_string(count) + " numbers";
        if (!n.is_array() || n.as_array()->size() != count) fail(n, shape);
        std::vector<double> out;
        for (const toml::node& e : *n.as_array()) {
            if (!e.is_number()) fail(n, shape);
            out.push_back(number(e, key));
        }
        return out;
    }
    Vec3 vec3(const toml::node& n, const std::string& key, double most = kMaxLength) const {
        const auto v = numbers(n, key, 3);
        for (double x : v)
            if (std::abs(x) > most) fail(n, key + " must hold values of at most " + fmt(most) + " in size");
        return Vec3(v[0], v[1], v[2]);
    }

    static std::string fmt(double v) { return format_double(v, 10); }

private:
    std::string path_;
    std::string* why_;
    std::string object_;
};

// Checks how deep the TOML text nests (keys of many dotted parts, arrays and inline tables within
// each other) without parsing it: toml++ builds a table per dotted part and frees them by recursion,
// and recurses once per bracket, so a hostile file would run out of stack. Strings are read as toml++
// reads them (escapes, line-ending backslashes, a multi-line string closed by the last three of a
// run of three to five quotes), so no text hides from the check what the parser then builds. False
// with `line` set at the first place that goes too deep.
bool nesting_ok(const std::string& s, std::size_t* line, std::string* what) {
    constexpr int kMaxKeyParts = 16, kMaxBrackets = 32;
    const std::size_t n = s.size();
    std::size_t i = s.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;  // toml++ skips a byte order mark
    *line = 1;
    auto skip_string = [&] {
        const char q = s[i];
        const bool multi = s.compare(i, 3, std::string(3, q)) == 0;
        i += multi ? 3 : 1;
        while (i < n) {
            if (q == '"' && s[i] == '\\') {
                if (i + 1 < n && s[i + 1] == '\n') ++*line;  // a line-ending backslash
                i += 2;
                continue;
            }
            if (s[i] == '\n') {
                ++*line;
                if (!multi) return;  // unterminated: toml++ says so
            }
            if (s[i] == q) {
                if (!multi) {
                    ++i;
                    return;
                }
                std::size_t run = 0;
                while (i + run < n && s[i + run] == q && run < 5) ++run;
                if (run >= 3) {  // up to two quotes before the closing three belong to the string
                    i += run;
                    return;
                }
                i += run;
                continue;
            }
            ++i;
        }
    };
    auto bare = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; };
    std::vector<char> stack;  // '[' an array, '{' an inline table
    bool expect_key = true;   // at a line's start outside brackets, or after '{' or ',' in an inline table
    while (i < n) {
        const char c = s[i];
        if (c == '\n') {
            ++*line;
            ++i;
            if (stack.empty()) expect_key = true;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') {
            while (i < n && s[i] != '\n') ++i;
            continue;
        }
        if (expect_key) {
            expect_key = false;
            const bool header = stack.empty() && c == '[';
            if (header) i += s.compare(i, 2, "[[") == 0 ? 2 : 1;
            int parts = 0;
            for (;;) {
                while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
                if (i < n && (s[i] == '"' || s[i] == '\'')) skip_string();
                else if (i < n && bare(s[i])) while (i < n && bare(s[i])) ++i;
                else break;
                ++parts;
                while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
                if (i < n && s[i] == '.') {
                    ++i;
                    continue;
                }
                break;
            }
            if (parts > kMaxKeyParts) {
                *what = "a key has more than " + std::to_string(kMaxKeyParts) + " dotted parts";
                return false;
            }
            if (header)
                while (i < n && s[i] == ']') ++i;
            else if (parts && i < n && s[i] == '=')
                ++i;
            continue;
        }
        if (c == '"' || c == '\'') {
            skip_string();
        } else if (c == '[' || c == '{') {
            stack.push_back(c);
            if (stack.size() > kMaxBrackets) {
                *what = "arrays and inline tables nest deeper than " + std::to_string(kMaxBrackets) + " levels";
                return false;
            }
            expect_key = c == '{';
            ++i;
        } else if (c == ']' || c == '}') {
            if (!stack.empty()) stack.pop_back();
            ++i;
        } else if (c == ',') {
            expect_key = !stack.empty() && stack.back() == '{';
            ++i;
        } else {
            ++i;
        }
    }
    return true;
}

Mat3 axis_rotation(char axis, double deg) {
    const Vec3 a = axis == 'x' ? Vec3::UnitX() : axis == 'y' ? Vec3::UnitY() : Vec3::UnitZ();
    return Eigen::AngleAxisd(deg * kPi / 180.0, a).toRotationMatrix();
}

// rotation = { euler_deg = [a, b, c], order = "xyz" } | { axis = [x, y, z], deg = a } | { quaternion = [w, x, y, z] }
Mat3 parse_rotation(const Reader& r, const toml::node& node) {
    const toml::table& t = r.table(node, "rotation");
    r.only(t, {"euler_deg", "order", "axis", "deg", "quaternion"}, "rotation");
    const int forms = t.contains("euler_deg") + t.contains("axis") + t.contains("quaternion");
    if (forms != 1) r.fail(node, "rotation must give exactly one of euler_deg, axis (with deg) or quaternion");
    if (const toml::node* e = t.get("euler_deg")) {
        const auto a = r.numbers(*e, "euler_deg", 3);
        std::string order = "xyz";
        if (const toml::node* o = t.get("order")) order = r.text(*o, "order");
        const bool lower = order.find_first_not_of("xyz") == std::string::npos;
        const bool upper = order.find_first_not_of("XYZ") == std::string::npos;
        if (order.size() != 3 || !(lower || upper) || order[0] == order[1] || order[1] == order[2])
            r.fail(t.get("order") ? *t.get("order") : node,
                   "order must be three axes, no two neighbours alike: lower case (\"xyz\") turns about the fixed "
                   "axes, upper case (\"XYZ\") about the turning ones");
        Mat3 R = Mat3::Identity();
        for (int i = 0; i < 3; ++i) {
            const Mat3 step = axis_rotation(static_cast<char>(std::tolower(order[i])), a[i]);
            R = lower ? Mat3(step * R) : Mat3(R * step);
        }
        return R;
    }
    if (t.contains("order")) r.fail(*t.get("order"), "order goes with euler_deg only");
    if (const toml::node* ax = t.get("axis")) {
        const Vec3 axis = r.vec3(*ax, "axis");
        if (axis.norm() < 1e-12) r.fail(*ax, "axis must not be zero");
        const toml::node* deg = t.get("deg");
        if (!deg) r.fail(node, "rotation with an axis needs deg");
        return Eigen::AngleAxisd(r.number(*deg, "deg") * kPi / 180.0, axis.normalized()).toRotationMatrix();
    }
    if (t.contains("deg")) r.fail(*t.get("deg"), "deg goes with axis only");
    const auto q = r.numbers(*t.get("quaternion"), "quaternion", 4);
    Eigen::Quaterniond quat(q[0], q[1], q[2], q[3]);
    if (quat.norm() < 1e-12) r.fail(*t.get("quaternion"), "quaternion must not be zero");
    return quat.normalized().toRotationMatrix();
}

Material parse_material(const Reader& r, const toml::table& t, Material m) {
    r.only(t, {"albedo", "specular", "shininess", "mirror", "translucency"}, "a material");
    if (const toml::node* a = t.get("albedo")) {
        if (a->is_array()) {
            const auto v = r.numbers(*a, "albedo", 3);
            for (double x : v)
                if (x < 0 || x > 1) r.fail(*a, "albedo must hold values from 0 to 1");
            m.albedo = Vec3(v[0], v[1], v[2]);
        } else {
            if (!a->is_number()) r.fail(*a, "albedo must be a number (grey) or an array of 3 (red, green, blue)");
            m.albedo = Vec3::Constant(r.number(*a, "albedo", 0, 1));
        }
    }
    if (const toml::node* n = t.get("specular")) m.specular = r.number(*n, "specular", 0, 1);
    if (const toml::node* n = t.get("shininess")) m.shininess = r.number(*n, "shininess", 1, 10000);
    if (const toml::node* n = t.get("mirror")) m.mirror = r.number(*n, "mirror", 0, 1);
    if (const toml::node* n = t.get("translucency")) m.translucency = r.number(*n, "translucency", 0, 1);
    return m;
}

// motion = { translate = [x, y, z], deg = a, axis = [x, y, z], centre = [x, y, z] }
MotionStep parse_motion(const Reader& r, const toml::node& node, const Vec3& default_centre) {
    const toml::table& t = r.table(node, "motion");
    r.only(t, {"translate", "deg", "axis", "centre"}, "motion");
    MotionStep m;
    m.centre = default_centre;
    if (const toml::node* n = t.get("translate")) m.translate = r.vec3(*n, "translate");
    if (const toml::node* n = t.get("deg")) m.deg = r.number(*n, "deg", -360, 360);
    if (const toml::node* n = t.get("axis")) {
        const Vec3 a = r.vec3(*n, "axis");
        if (a.norm() < 1e-12) r.fail(*n, "axis must not be zero");
        m.axis = a.normalized();
    }
    if (const toml::node* n = t.get("centre")) m.centre = r.vec3(*n, "centre");
    return m;
}

// What a file is shared by, however its path is spelt: the file itself and the folder its
// relative references are taken from (a folder reached through a link may hold other ones). The
// path itself when the file cannot be opened (its reader then says why).
std::string file_key(const std::string& path) {
    std::string identity, why;
    if (!file_identity(path, &identity, &why)) return "path:" + path;
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char* real = ::realpath(folder.c_str(), nullptr);
    if (!real) return "path:" + path;
    identity += std::string(" in ") + real;
    std::free(real);
    return identity;
}

struct MeshCache {
    std::map<std::string, std::shared_ptr<const Mesh>> meshes;  // by the file's identity
    MeshLimits limits;
};

void parse_shape(const Reader& r, const toml::table& t, const std::string& type, ObjectSpec& spec,
                 const std::string& path, MeshCache& cache, SceneSource& scene) {
    Object& o = spec.object;
    auto need = [&](const char* key) -> const toml::node& {
        const toml::node* n = t.get(key);
        if (!n) r.fail(t.source(), "a " + type + " needs " + key);
        return *n;
    };
    if (type == "plane") {
        o.shape = Shape::Plane;
        o.half = Vec3(kMaxLength, kMaxLength, 0);  // unbounded: a kilometre each way
        if (const toml::node* n = t.get("size")) {
            const auto s = r.numbers(*n, "size", 2);
            for (double v : s)
                if (!(v > 0) || v > 2 * kMaxLength) r.fail(*n, "size must hold lengths above 0");
            o.half = Vec3(s[0] / 2, s[1] / 2, 0);
        }
    } else if (type == "box") {
        o.shape = Shape::Box;
        const toml::node& n = need("size");
        const Vec3 s = r.vec3(n, "size");
        if (!(s.minCoeff() > 0)) r.fail(n, "size must hold lengths above 0");
        o.half = s / 2;
    } else if (type == "sphere") {
        o.shape = Shape::Sphere;
        o.radius = r.positive(need("radius"), "radius");
    } else if (type == "cylinder") {
        o.shape = Shape::Cylinder;
        o.radius = r.positive(need("radius"), "radius");
        o.height = r.positive(need("height"), "height");
    } else if (type == "board") {
        o.shape = Shape::Board;
        MarkerSpec& m = spec.markers;
        if (const toml::node* n = t.get("rows")) m.rows = r.integer(*n, "rows", 1, 8);
        if (const toml::node* n = t.get("cols")) m.cols = r.integer(*n, "cols", 1, 8);
        if (const toml::node* n = t.get("spacing")) m.spacing_mm = r.positive(*n, "spacing");
        if (const toml::node* n = t.get("marker_radius")) m.r0_mm = r.positive(*n, "marker_radius");
        double margin = 20;
        if (const toml::node* n = t.get("margin")) margin = r.number(*n, "margin", 0, kMaxLength);
        if (2 * m.r2_ratio * m.r0_mm > m.spacing_mm)
            r.fail(t.source(), "the markers' outer rings (3 x marker_radius) must not reach past half the spacing");
        o.half = Vec3((m.cols * m.spacing_mm) / 2 + margin, (m.rows * m.spacing_mm) / 2 + margin, 0);
        if (scene.board >= 0)
            r.fail(t.source(), "a scene holds at most one marker board (the first is '" +
                                   scene.objects[scene.board].name + "')");
    } else if (type == "mesh") {
        o.shape = Shape::Mesh;
        const toml::node& n = need("file");
        const std::string file = resolve_path(path, r.text(n, "file"));
        const std::string identity = file_key(file);
        auto it = cache.meshes.find(identity);
        if (it == cache.meshes.end()) {
            std::string why;
            auto mesh = load_mesh(file, cache.limits, &why);
            if (!mesh) {
                if (why.compare(0, file.size() + 2, file + ": ") == 0) why.erase(0, file.size() + 2);
                r.fail(n, "mesh " + file + ": " + why);
            }
            scene.triangles += mesh->triangles();
            const std::uint64_t most = 2 * cache.limits.max_triangles;
            if (scene.triangles > most)
                r.fail(n, "the scene's meshes hold " + std::to_string(scene.triangles) +
                              " triangles, more than the limit of " + std::to_string(most));
            it = cache.meshes.emplace(identity, std::move(mesh)).first;
        }
        o.mesh = it->second;
    } else {
        r.fail(*t.get("type"), "unknown type '" + type + "' (plane, box, sphere, cylinder, board or mesh)");
    }
}

std::vector<const char*> shape_keys(const std::string& type) {
    if (type == "plane") return {"size"};
    if (type == "box") return {"size"};
    if (type == "sphere") return {"radius"};
    if (type == "cylinder") return {"radius", "height"};
    if (type == "board") return {"rows", "cols", "spacing", "marker_radius", "margin"};
    if (type == "mesh") return {"file"};
    return {};
}

void parse_object(Reader& r, const toml::node& node, std::map<std::string, int>& lines,
                  const std::map<std::string, Material>& materials, const std::string& path, MeshCache& cache,
                  SceneSource& scene) {
    r.in_object("");
    const toml::table& t = r.table(node, "object");
    ObjectSpec spec;
    spec.line = static_cast<int>(t.source().begin.line);
    const toml::node* name = t.get("name");
    if (!name) r.fail(t.source(), "an object needs a name");
    spec.name = r.text(*name, "name");
    if (spec.name.empty() || spec.name.size() > 64) r.fail(*name, "name must be 1 to 64 characters long");
    for (unsigned char ch : spec.name)
        if (ch < 0x20 || ch == 0x7f) r.fail(*name, "name must not hold control characters");
    r.in_object(spec.name);
    if (lines.count(spec.name))
        r.fail(*name, "the name is already used by the object on line " + std::to_string(lines[spec.name]));
    lines[spec.name] = spec.line;
    const toml::node* type_node = t.get("type");
    if (!type_node) r.fail(t.source(), "an object needs a type");
    const std::string type = r.text(*type_node, "type");
    std::vector<const char*> keys = {"name", "type", "position", "rotation", "scale", "material", "texture", "motion"};
    for (const char* k : shape_keys(type)) keys.push_back(k);
    if (!shape_keys(type).empty()) {
        for (auto&& [key, value] : t) {
            bool ok = false;
            for (const char* a : keys) ok = ok || key.str() == a;
            if (!ok) r.fail(key.source(), "unknown key '" + std::string(key.str()) + "' for a " + type);
        }
    }
    if (type == "board") spec.material.albedo = Vec3::Constant(0.92);  // white paper
    parse_shape(r, t, type, spec, path, cache, scene);
    Object& o = spec.object;
    if (const toml::node* n = t.get("position")) o.t = r.vec3(*n, "position");
    if (const toml::node* n = t.get("rotation")) o.R = parse_rotation(r, *n);
    if (const toml::node* n = t.get("scale")) {
        if (n->is_array()) {
            if (o.shape != Shape::Mesh) r.fail(*n, "a scale per axis applies to meshes only; give one number");
            o.scale = r.vec3(*n, "scale");
            if (!(o.scale.minCoeff() > 0)) r.fail(*n, "scale must be above 0");
        } else {
            o.scale = Vec3::Constant(r.positive(*n, "scale"));
        }
        if (o.shape != Shape::Mesh) {  // a primitive's scale multiplies its sizes
            const double s = o.scale.x();
            o.half *= s;
            o.radius *= s;
            o.height *= s;
            spec.markers.spacing_mm *= s;
            spec.markers.r0_mm *= s;
            o.scale = Vec3::Ones();
        }
    }
    if (const toml::node* n = t.get("material")) {
        if (n->is_string()) {
            const std::string m = r.text(*n, "material");
            auto it = materials.find(m);
            if (it == materials.end()) r.fail(*n, "unknown material '" + m + "'");
            spec.material = it->second;
        } else {
            spec.material = parse_material(r, r.table(*n, "material"), spec.material);
        }
    }
    if (const toml::node* n = t.get("texture")) {
        if (o.shape == Shape::Board) r.fail(*n, "a board carries its print; it takes no texture");
        const toml::table& tt = r.table(*n, "texture");
        r.only(tt, {"type", "contrast", "period_mm"}, "texture");
        const toml::node* kind = tt.get("type");
        if (!kind || r.text(*kind, "type") != "waves") r.fail(*n, "texture type must be \"waves\"");
        if (const toml::node* c = tt.get("contrast")) o.texture.contrast = r.number(*c, "contrast", 0, 1);
        if (const toml::node* p = tt.get("period_mm")) {
            const auto v = r.numbers(*p, "period_mm", 2);
            if (!(v[0] >= 0.01 && v[1] >= 0.01 && v[0] <= kMaxLength && v[1] <= kMaxLength))
                r.fail(*p, "period_mm must hold lengths from 0.01 to " + Reader::fmt(kMaxLength));
            o.texture.period_x = v[0];
            o.texture.period_y = v[1];
        } else {
            o.texture.period_x = o.texture.period_y = 50;
        }
    }
    if (const toml::node* n = t.get("motion")) spec.motion = parse_motion(r, *n, o.t);
    if (o.shape == Shape::Board) scene.board = static_cast<int>(scene.objects.size());
    scene.objects.push_back(std::move(spec));
}

// What the objects of `src` span placed for a device whose lengths scale by `k`, at rest: false
// with `why` naming the object when one reaches beyond what the renderer handles or is too small
// for it to resolve.
bool check_placement(const SceneSource& src, double k, std::string* why) {
    for (const ObjectSpec& spec : src.objects) {
        const Object& o = spec.object;
        double reach = 0, size = 0, mesh_units = 0;
        switch (o.shape) {
            case Shape::Sphere: size = reach = o.radius; break;
            case Shape::Cylinder: size = std::max(o.radius, o.height); reach = std::hypot(o.radius, o.height); break;
            case Shape::Mesh: {
                const Mesh& m = *o.mesh;
                Vec3 far = Vec3::Zero();
                for (int a = 0; a < 3; ++a) {
                    size = std::max(size, (double(m.hi[a]) - m.lo[a]) * o.scale[a]);
                    far[a] = std::max(std::abs(double(m.lo[a])), std::abs(double(m.hi[a]))) * o.scale[a];
                }
                reach = far.norm();
                // Rays from the device in the mesh's own units, as Embree meets its triangles.
                mesh_units = (o.t.norm() + reach) / o.scale.minCoeff();
                break;
            }
            default: size = o.half.maxCoeff(); reach = o.half.norm(); break;  // plane, box, board
        }
        reach = (reach + o.t.norm()) * k;
        size *= k;
        std::string what;
        if (!(reach <= kMaxPlacedReach))
            what = "reaches " + Reader::fmt(reach) + " mm from the device, beyond the " + Reader::fmt(kMaxPlacedReach) +
                   " mm the renderer handles";
        else if (!(size >= kMinPlacedSize))
            what = "measures " + Reader::fmt(size) + " mm, less than the " + Reader::fmt(kMinPlacedSize) +
                   " mm the renderer resolves";
        else if (!(mesh_units <= kMaxMeshCoordinate))
            what = "is scaled so small that the device lies " + Reader::fmt(mesh_units) +
                   " of the mesh's units away, beyond the " + Reader::fmt(kMaxMeshCoordinate) + " Embree handles";
        if (!what.empty()) {
            *why = (src.path.empty() ? std::string("default scene") : src.path) + ": line " + std::to_string(spec.line) +
                   ": object '" + spec.name + "': placed for this device" +
                   (k != 1 ? " (lengths times " + Reader::fmt(k) + ")" : std::string()) + ", it " + what;
            return false;
        }
    }
    return true;
}

}  // namespace

bool SceneSource::moves() const {
    if (device.moves()) return true;
    for (const ObjectSpec& o : objects)
        if (o.motion.moves()) return true;
    return false;
}

double SceneSource::range_scale(double near_mm, double far_mm) const {
    if (reference_mm <= 0) return 1.0;
    return (near_mm + 0.6 * (far_mm - near_mm)) / reference_mm;
}

std::shared_ptr<const SceneSource> parse_scene(const std::string& text, const std::string& path,
                                               const MeshLimits& limits, std::string* why) {
    auto scene = std::make_shared<SceneSource>();
    scene->path = path;
    Reader r(path, why);
    try {
        toml::table doc;
        std::size_t line;
        std::string what;
        if (!nesting_ok(text, &line, &what)) {
            *why = (path.empty() ? std::string("default scene") : path) + ": line " + std::to_string(line) + ": " + what;
            return nullptr;
        }
        try {
            doc = toml::parse(text, path);
        } catch (const toml::parse_error& e) {
            const auto& at = e.source().begin;
            *why = (path.empty() ? std::string("default scene") : path) + ": line " + std::to_string(at.line) +
                   ", column " + std::to_string(at.column) + ": " + std::string(e.description());
            return nullptr;
        }
        r.only(doc, {"scene", "device", "materials", "object"}, "the file (scene, device, materials, object)");
        if (const toml::node* n = doc.get("scene")) {
            const toml::table& t = r.table(*n, "scene");
            r.only(t, {"description", "reference_distance_mm", "ambient_lux"}, "[scene]");
            if (const toml::node* d = t.get("description")) r.text(*d, "description");
            if (const toml::node* d = t.get("reference_distance_mm"))
                scene->reference_mm = r.positive(*d, "reference_distance_mm");
            if (const toml::node* d = t.get("ambient_lux")) scene->ambient_lux = r.number(*d, "ambient_lux", 0, kMaxAmbientLux);
        }
        if (const toml::node* n = doc.get("device")) {
            const toml::table& t = r.table(*n, "device");
            r.only(t, {"motion"}, "[device]");
            if (const toml::node* m = t.get("motion")) scene->device = parse_motion(r, *m, Vec3::Zero());
        }
        std::map<std::string, Material> materials;
        if (const toml::node* n = doc.get("materials")) {
            for (auto&& [key, value] : r.table(*n, "materials")) {
                const std::string name(key.str());
                materials[name] = parse_material(r, r.table(value, "material " + name), Material());
            }
        }
        const toml::node* objects = doc.get("object");
        if (!objects || !objects->is_array() || objects->as_array()->empty())
            r.fail(objects ? objects->source() : toml::source_region{},
                   "the scene has no objects (give them as [[object]] tables)");
        if (objects->as_array()->size() > kMaxObjects)
            r.fail(*objects, "more than " + std::to_string(kMaxObjects) + " objects");
        MeshCache cache;
        cache.limits = limits;
        std::map<std::string, int> lines;
        for (const toml::node& o : *objects->as_array())
            parse_object(r, o, lines, materials, path, cache, *scene);
    } catch (const Fault&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        *why = (path.empty() ? std::string("default scene") : path) + ": out of memory";
        return nullptr;
    }
    return scene;
}

std::shared_ptr<const SceneSource> load_scene(const std::string& path, const MeshLimits& limits, std::string* why) {
    std::string text;
    if (!read_regular_file(path, kMaxSceneFileBytes, &text, why)) return nullptr;
    return parse_scene(text, path, limits, why);
}

std::shared_ptr<const SceneSource> default_scene() {
    static const std::shared_ptr<const SceneSource> scene = [] {
        std::string why;
        auto s = parse_scene(kDefaultSceneToml, "", MeshLimits(), &why);
        if (!s) {
            std::fprintf(stderr, "TUVO stand-in: the built-in scene does not load: %s\n", why.c_str());
            std::abort();
        }
        return s;
    }();
    return scene;
}

bool load_scenes(const std::vector<SceneWanted>& wanted, const std::string& rig_folder, const MeshLimits& limits,
                 std::vector<std::shared_ptr<const SceneSource>>* out, std::size_t* failed, std::string* why) {
    const char* env = std::getenv("TUVO_SIM_SCENE");
    std::map<std::string, std::shared_ptr<const SceneSource>> loaded;
    std::vector<std::shared_ptr<const SceneSource>> scenes;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        const SceneWanted& d = wanted[i];
        const std::string folder = rig_folder.empty() || rig_folder.back() == '/' ? rig_folder : rig_folder + "/";
        const std::string path = d.path.empty() ? std::string(env ? env : "") : resolve_path(folder, d.path);
        if (path.empty()) {
            scenes.push_back(default_scene());
            continue;
        }
        const std::string identity = file_key(path);
        auto it = loaded.find(identity);
        if (it == loaded.end()) {
            std::string w;
            auto s = load_scene(path, limits, &w);
            if (!s) {
                *failed = i;
                *why = "scene " + w;
                return false;
            }
            it = loaded.emplace(identity, std::move(s)).first;
        }
        std::string w;
        if (!check_placement(*it->second, it->second->range_scale(d.near_mm, d.far_mm), &w)) {
            *failed = i;
            *why = "scene " + w;
            return false;
        }
        scenes.push_back(it->second);
    }
    *out = std::move(scenes);
    return true;
}

}  // namespace sim
