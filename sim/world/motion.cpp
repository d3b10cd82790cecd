// Stand-in SDK: where a scene's objects stand at a capture, and the Embree scene built for them.
#include "world/motion.h"

#include <cmath>

#include "world/embree_scene.h"
#include "world/scene_file.h"

namespace sim {

void MotionStep::after(std::uint64_t k, Mat3* R, Vec3* t) const {
    const double kk = static_cast<double>(k);
    const Mat3 turn = Eigen::AngleAxisd(std::fmod(deg * kk, 360.0) * 3.14159265358979323846 / 180.0, axis).toRotationMatrix();
    *R = turn;
    *t = centre - turn * centre + translate * kk;
}

namespace {

MotionStep scaled(MotionStep m, double k) {
    m.translate *= k;
    m.centre *= k;
    return m;
}

}  // namespace

void place_scene(Scene& s, const std::shared_ptr<const SceneSource>& source, double near_mm, double far_mm,
                 std::uint64_t step, bool board) {
    const SceneSource& src = *source;
    const double k = src.range_scale(near_mm, far_mm);
    if (!src.moves()) step = 0;
    s.near_mm = near_mm;
    s.far_mm = far_mm;
    s.ambient_lux = src.ambient_lux;
    s.names.resize(src.objects.size());
    s.materials.resize(src.objects.size());
    for (std::size_t i = 0; i < src.objects.size(); ++i) {
        s.names[i] = src.objects[i].name;
        s.materials[i] = src.objects[i].material;
    }
    if (s.accel && s.source == source && s.range_scale == k && s.step == step && s.with_board == board) return;

    // The device's own motion shows as the whole scene moving the other way.
    Mat3 DR;
    Vec3 Dt;
    scaled(src.device, k).after(step, &DR, &Dt);
    std::vector<Object> objects;
    objects.reserve(src.objects.size());
    for (const ObjectSpec& spec : src.objects) {
        Object o = spec.object;
        o.t *= k;
        o.half *= k;
        o.radius *= k;
        o.height *= k;
        o.scale *= k;
        o.texture.period_x *= k;
        o.texture.period_y *= k;
        Mat3 MR;
        Vec3 Mt;
        scaled(spec.motion, k).after(step, &MR, &Mt);
        o.R = DR.transpose() * (MR * o.R);
        o.t = DR.transpose() * (MR * o.t + Mt - Dt);
        // A motion may carry an object beyond what the renderer handles: it has left the picture.
        o.hidden = (o.shape == Shape::Board && !board) || !(o.t.norm() <= kMaxPlacedReach);
        objects.push_back(std::move(o));
    }
    std::string why;
    auto accel = Accel::build(objects, &why);
    if (!accel) return;  // out of memory: the objects stay where they were
    s.objects = std::move(objects);
    s.accel = std::move(accel);
    s.with_board = board;
    s.board = src.board;
    s.patterns.clear();
    if (src.board >= 0) {
        const Object& b = s.objects[src.board];
        s.board_R = b.R;
        s.board_t = b.t;
        s.board_w = 2 * b.half.x();
        s.board_h = 2 * b.half.y();
        s.markers = src.objects[src.board].markers;
        s.markers.r0_mm *= k;
        s.markers.spacing_mm *= k;
        s.patterns = marker_patterns(s.markers.rows * s.markers.cols, s.markers.N);
        s.patterns.resize(s.markers.rows * s.markers.cols, 1);  // beyond the code book
    }
    s.source = source;
    s.range_scale = k;
    s.step = step;
}

}  // namespace sim
