// Stand-in SDK: the optical model of one camera or of the projector (intrinsics, lens distortion, pose).
#pragma once
#include <algorithm>
#include <memory>
#include <vector>

#include "core/geometry.h"
#include "render/lens.h"

namespace sim {

// Undistorted normalised coordinates at every `step`-th pixel (and a border), so rays need one
// refinement step instead of a full inversion of the lens model.
struct RayGrid {
    static constexpr int step = 8, pad = 16;
    int columns = 0, rows = 0;
    double lens[9] = {};     // the intrinsics it was made for (fx fy cx cy and the distortion)
    double inv_fx = 0, inv_fy = 0;
    std::vector<double> xy;  // per node: x, y
};

// A pinhole with the usual five-coefficient lens distortion (k1, k2, p1, p2, k3, render/lens.h)
// acting on normalised image coordinates. Pose: x_device = R * x_camera + t (mm).
struct CameraModel {
    int width = 0, height = 0;
    double fx = 0, fy = 0, cx = 0, cy = 0;
    double dist[5] = {0, 0, 0, 0, 0};  // k1, k2, p1, p2, k3
    // Squared normalised radius beyond which the lens model is not used (the polynomial folds
    // back there): points farther out project nowhere. 0: no limit.
    double r2_limit = 0;
    Mat3 R = Mat3::Identity();
    Vec3 t = Vec3::Zero();
    bool colour = false;
    std::shared_ptr<const RayGrid> grid;  // set by prepare_rays(), for the lens it was made for

    // Normalised, undistorted coordinates (x, y) to where the lens puts them, and back.
    void distort(double x, double y, double* xd, double* yd) const { lens_distort(dist, x, y, xd, yd); }
    void undistort(double xd, double yd, double* x, double* y) const { lens_undistort(dist, xd, yd, x, y); }
    // Direction (x, y, 1), in this camera's frame, of the light that reaches pixel (u, v): the
    // undistorted normalised coordinates.
    Vec3 direction(double u, double v) const {
        double x, y;
        if (!grid_fits() || !from_grid(u, v, &x, &y)) undistort((u - cx) / fx, (v - cy) / fy, &x, &y);
        return Vec3(x, y, 1.0);
    }
    // x and y of direction(u, v) at the pixels u = 0 .. n - 1 of row v, as floats, into out[2 u] and
    // out[2 u + 1]; `fits`: what grid_fits() gives. What depends on the row alone is worked out once.
    void directions_row(int v, int n, bool fits, float* out) const {
        const GridRow row = fits ? grid_row(v) : GridRow{false, 0, 0, 0};
        for (int u = 0; u < n; ++u, out += 2) {
            double x, y;
            if (!row.in || !from_grid_row(row, u, &x, &y)) undistort((u - cx) / fx, (v - cy) / fy, &x, &y);
            out[0] = static_cast<float>(x);
            out[1] = static_cast<float>(y);
        }
    }
    // Whether there is a grid made for this lens (a model copied and then given another lens keeps
    // the old grid: not used then).
    bool grid_fits() const {
        if (!grid) return false;
        const RayGrid& g = *grid;
        return g.lens[0] == fx && g.lens[1] == fy && g.lens[2] == cx && g.lens[3] == cy && g.lens[4] == dist[0] &&
               g.lens[5] == dist[1] && g.lens[6] == dist[2] && g.lens[7] == dist[3] && g.lens[8] == dist[4];
    }
    // The same as a unit vector.
    Vec3 ray(double u, double v) const { return direction(u, v).normalized(); }
    // Builds the grid that speeds up ray() (after the intrinsics and the lens are set).
    void prepare_rays() {
        auto g = std::make_shared<RayGrid>();
        g->columns = (width + 2 * g->pad) / g->step + 2;
        g->rows = (height + 2 * g->pad) / g->step + 2;
        g->xy.resize(2 * static_cast<std::size_t>(g->columns) * g->rows);
        lens(g->lens);
        g->inv_fx = 1 / fx;
        g->inv_fy = 1 / fy;
        for (int r = 0; r < g->rows; ++r)
            for (int c = 0; c < g->columns; ++c) {
                const double u = c * g->step - g->pad, v = r * g->step - g->pad;
                double* node = &g->xy[2 * (static_cast<std::size_t>(r) * g->columns + c)];
                undistort((u - cx) / fx, (v - cy) / fy, node, node + 1);
            }
        grid = std::move(g);
    }
    // Projects a point given in this camera's frame; false behind the camera or outside the lens.
    bool project(const Vec3& p, double* u, double* v) const {
        if (p.z() <= 1e-9) return false;
        const double x = p.x() / p.z(), y = p.y() / p.z();
        if (r2_limit > 0 && x * x + y * y > r2_limit) return false;
        double xd, yd;
        distort(x, y, &xd, &yd);
        *u = fx * xd + cx;
        *v = fy * yd + cy;
        return true;
    }
    Vec3 to_device(const Vec3& p) const { return R * p + t; }
    Vec3 from_device(const Vec3& p) const { return R.transpose() * (p - t); }

private:
    void lens(double* out) const {
        const double values[9] = {fx, fy, cx, cy, dist[0], dist[1], dist[2], dist[3], dist[4]};
        std::copy(values, values + 9, out);
    }
    // The grid's bilinear guess refined by one fixed-point step (false outside the grid), the grid
    // one that fits.
    bool from_grid(double u, double v, double* x, double* y) const {
        const GridRow row = grid_row(v);
        return row.in && from_grid_row(row, u, x, y);
    }
    // What from_grid works out for a row of pixels, the same for all of them.
    struct GridRow {
        bool in;  // whether the row lies within the grid
        int r;
        double fv, yd;
    };
    GridRow grid_row(double v) const {
        const RayGrid& g = *grid;
        const double gv = (v + g.pad) * (1.0 / g.step);
        if (!(gv >= 0 && gv < g.rows - 1)) return {false, 0, 0, 0};
        const int r = static_cast<int>(gv);
        return {true, r, gv - r, (v - cy) * g.inv_fy};
    }
    bool from_grid_row(const GridRow& row, double u, double* x, double* y) const {
        const RayGrid& g = *grid;
        const double gu = (u + g.pad) * (1.0 / g.step);
        if (!(gu >= 0 && gu < g.columns - 1)) return false;
        const int c = static_cast<int>(gu);
        const double fu = gu - c, fv = row.fv;
        const double* a = &g.xy[2 * (static_cast<std::size_t>(row.r) * g.columns + c)];
        const double* b = a + 2 * g.columns;
        const double gx = (a[0] + (a[2] - a[0]) * fu) * (1 - fv) + (b[0] + (b[2] - b[0]) * fu) * fv;
        const double gy = (a[1] + (a[3] - a[1]) * fu) * (1 - fv) + (b[1] + (b[3] - b[1]) * fu) * fv;
        const double xd = (u - cx) * g.inv_fx, yd = row.yd;
        const double r2 = gx * gx + gy * gy;
        const double inv = 1 / (1 + r2 * (dist[0] + r2 * (dist[1] + r2 * dist[4])));
        *x = (xd - 2 * dist[2] * gx * gy - dist[3] * (r2 + 2 * gx * gx)) * inv;
        *y = (yd - dist[2] * (r2 + 2 * gy * gy) - 2 * dist[3] * gx * gy) * inv;
        return true;
    }
};

}  // namespace sim
