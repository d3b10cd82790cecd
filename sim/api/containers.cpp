// Stand-in SDK: the tables of images, point maps and per-pixel maps behind the SDK's handles.
#include "api/containers.h"

#include <algorithm>
#include <limits>

#include "control/control.h"
#include "core/handles.h"
#include "core/pixel_pool.h"

namespace sim {

// Like the rest of the SDK's state, the tables live as long as the process (calls may still run in
// other threads while it exits).
Table<ImageObj>& images() {
    static auto* t = new Table<ImageObj>;
    return *t;
}
Table<PointMapObj>& pointmaps() {
    static auto* t = new Table<PointMapObj>;
    return *t;
}
Table<MapObj>& maps() {
    static auto* t = new Table<MapObj>;
    return *t;
}

bool usable_size(TUVO::Size s) {
    return s.width > 0 && s.height > 0 && static_cast<long long>(s.width) * s.height <= kMaxPixels;
}

TUVO::Image new_image(TUVO::ImageType::Enum type, int width, int height, std::shared_ptr<ImageObj>* held,
                      bool written) {
    auto obj = std::make_shared<ImageObj>();
    obj->type = type;
    obj->width = width;
    obj->height = height;
    obj->storage = take_pixels(obj->bytes(), !written);
    obj->data = obj->storage.data();
    if (held) *held = obj;
    return make_handle<TUVO::Image>(images().add(obj));
}

TUVO::PointMap new_pointmap(int width, int height, bool normals, Numbers* spare, std::shared_ptr<PointMapObj>* held,
                            bool written) {
    auto obj = std::make_shared<PointMapObj>();
    obj->width = width;
    obj->height = height;
    const std::size_t values = obj->count() * 3;
    if (spare && spare->size() == values)
        obj->points.swap(*spare);  // left as it is: the caller writes every value
    else if (written)
        obj->points.resize(values);
    else
        obj->points.assign(values, std::numeric_limits<double>::quiet_NaN());
    if (normals && written)
        obj->normals.resize(values);
    else if (normals)
        obj->normals.assign(values, std::numeric_limits<double>::quiet_NaN());
    if (held) *held = obj;
    return make_handle<TUVO::PointMap>(pointmaps().add(obj));
}

std::pair<std::uint32_t, std::uint32_t> new_map(int width, int height, int comps, bool written) {
    auto obj = std::make_shared<MapObj>();
    obj->width = width;
    obj->height = height;
    obj->comps = comps;
    const std::size_t values = static_cast<std::size_t>(width) * height * comps;
    if (written)
        obj->data.resize(values);
    else
        obj->data.assign(values, std::numeric_limits<double>::quiet_NaN());
    return maps().add(obj);
}

std::shared_ptr<MapObj> map_for(std::pair<std::uint32_t, std::uint32_t>& slot, int w, int h, int comps, bool written) {
    auto m = maps().get(slot.first, slot.second);
    if (!m || m->width != w || m->height != h || m->comps != comps) {
        if (m) maps().remove(slot.first, slot.second);
        slot = new_map(w, h, comps, written);
        m = maps().get(slot.first, slot.second);
    }
    return m;
}

}  // namespace sim

using namespace sim;

namespace TUVO {

void release_all_objects_containers() {
    images().clear();
    pointmaps().clear();
    maps().clear();
}

}  // namespace TUVO

long long tuvo_sim_live(const char* kind) {
    std::string k = kind ? kind : "";
    if (k == "image") return static_cast<long long>(images().live());
    if (k == "pointmap") return static_cast<long long>(pointmaps().live());
    if (k == "map") return static_cast<long long>(maps().live());
    return -1;
}
