"""The fixed-marker compensator following a device that moves a little between captures."""
import PyTUVO as T
import tuvo_sim
from _common import start


def main() -> None:
    cam = T.X1.Create(start())
    assert cam.Open() and cam.Capture(), T.GetLastErrorMessage()
    comp = T.Compensator_FixedMarkers()
    print("reference markers:", comp.Initialize(cam.GetPointMap(), cam.GetImage(), 0))
    for step, (dx, dz) in enumerate([(0.2, 0.0), (0.5, -0.3), (1.0, 0.4)]):
        tuvo_sim.set("scene.move_x", dx)  # the virtual device shifts on its mount
        tuvo_sim.set("scene.move_z", dz)
        assert cam.Capture()
        points = cam.GetPointMap()
        ok, rms = comp.Update(points, cam.GetImage())
        ok2, _ = comp.Apply(points)
        print("step %d: moved (%.1f, %.1f) mm, markers drifted %.3f mm RMS, corrected: %s" % (
            step, dx, dz, rms, ok and ok2))
    del comp
    T.X1.Destroy(cam)
    T.SystemShutdown()


if __name__ == "__main__":
    main()
