"""Geometry records and enumerations."""
import pickle

import pytest

import PyTUVO as T


def test_size_aliases():
    s = T.Size(640, 480)
    assert (s.width, s.height, s.cols, s.rows) == (640, 480, 640, 480)
    s.rows = 100
    assert s.height == 100
    s.cols = 7
    assert s.width == 7
    assert (T.Size().width, T.Size().height) == (0, 0)


def test_roi_and_range_fields():
    r = T.ROI(-1, 2, 3, 4)
    assert (r.x, r.y, r.width, r.height) == (-1, 2, 3, 4)
    rr = T.ROIRange()
    fields = ["x_step", "y_step", "width_step", "height_step", "width_min", "height_min", "width_max", "height_max"]
    assert [getattr(rr, f) for f in fields] == [0] * 8
    for i, f in enumerate(fields):
        setattr(rr, f, -i)
    assert [getattr(rr, f) for f in fields] == [-i for i in range(8)]


@pytest.mark.parametrize("value", [2 ** 31, -(2 ** 31) - 1, 1.5, "3", None])
def test_field_write_refuses_bad_values(value):
    s = T.Size(1, 2)
    with pytest.raises(TypeError):
        s.width = value
    assert s.width == 1


@pytest.mark.parametrize("cls, args", [(T.Size, (1,)), (T.ROI, (1, 2, 3)), (T.ROIRange, (1,)), (T.Size, (1.0, 2))])
def test_constructor_arity(cls, args):
    with pytest.raises(TypeError):
        cls(*args)


def test_records_have_identity_equality_only():
    assert T.Size(1, 2) != T.Size(1, 2)
    with pytest.raises(TypeError):
        pickle.dumps(T.ROI())


ENUM_TABLE = {
    "CameraID": [("CameraID_NONE", 0), ("CameraID_0", 1), ("CameraID_1", 2), ("CameraID_2", 4), ("CameraID_3", 8),
                 ("CameraID_Left", 1), ("CameraID_Right", 2), ("CameraID_Both", 3), ("CameraID_Extra", 4)],
    "PortType": [("PortType_NONE", 0), ("PortType_USB", 1), ("PortType_GIGE", 2)],
    "CameraTempSelector": [("CameraTempSelector_Camera", 0), ("CameraTempSelector_CoreBoard", 1),
                           ("CameraTempSelector_FpgaCore", 2), ("CameraTempSelector_Framegrabberboard", 3),
                           ("CameraTempSelector_Sensor", 4), ("CameraTempSelector_SensorBoard", 5)],
    "ProjectorColor": [("ProjectorColor_None", 0), ("ProjectorColor_Red", 1), ("ProjectorColor_Green", 2),
                       ("ProjectorColor_Blue", 4), ("ProjectorColor_White", 8)],
    "BalanceSelector": [("BalanceSelector_None", 0), ("BalanceSelector_Red", 1), ("BalanceSelector_Green", 2),
                        ("BalanceSelector_Blue", 3)],
    "NetworkType": [("NetworkType_DHCP", 0), ("NetworkType_STATIC", 1)],
    "NetworkDevice": [("NetworkDevice_LightMachine", 0), ("NetworkDevice_LeftCamera", 1),
                      ("NetworkDevice_RightCamera", 2), ("NetworkDevice_ExtraCamera", 3)],
    "X1CustomTransformCoordinate": [("CoordinateSelect_Disabled", 0), ("CoordinateSelect_Camera", 1),
                                    ("CoordinateSelect_CaliBoard", 2)],
    "X2CustomTransformCoordinate": [("CoordinateSelect_Disabled", 0), ("CoordinateSelect_CameraLeft", 1),
                                    ("CoordinateSelect_CameraRight", 2), ("CoordinateSelect_CaliBoard", 3),
                                    ("CoordinateSelect_CameraExtra", 4)],
    "SystemListDeviceTypeEnum": [("USB", 1), ("GigE", 2), ("All", 3)],
    "PointMapUnitEnum": [("Meter", 0), ("Millimeter", 1)],
    "ImageTypeEnum": [("None", 0), ("Mono8", 1), ("RGB8", 2), ("BGR8", 3)],
    "ProtectiveCoverStatus": [("ProtectiveCoverStatus_Unknown", 0), ("ProtectiveCoverStatus_Closed", 1),
                              ("ProtectiveCoverStatus_Closing", 2), ("ProtectiveCoverStatus_Open", 3),
                              ("ProtectiveCoverStatus_Opening", 4)],
    "PointMapTypeEnum": [("None", 0), ("PointsOnly", 1), ("PointsNormals", 2)],
    "SmoothnessLevel": [("SmoothnessLevel_Off", 0), ("SmoothnessLevel_Weak", 1), ("SmoothnessLevel_Normal", 2),
                        ("SmoothnessLevel_Strong", 3)],
    "CaptureMode": [("CaptureMode_Fast", 1), ("CaptureMode_Normal", 2), ("CaptureMode_Ultra", 4),
                    ("CaptureMode_Robust", 8), ("CaptureMode_AntiInterReflection", 16),
                    ("CaptureMode_SwingLineScan", 32), ("CaptureMode_FixedLineScan", 64),
                    ("CaptureMode_LineArrayShift", 128)],
}


@pytest.mark.parametrize("name", sorted(ENUM_TABLE))
def test_enumeration_members_in_order(name):
    enum = getattr(T, name)
    assert [(k, int(v)) for k, v in enum.__members__.items()] == ENUM_TABLE[name]
    for member, value in ENUM_TABLE[name]:
        assert getattr(enum, member).value == value


@pytest.mark.parametrize("name", sorted(set(ENUM_TABLE) - {"ProtectiveCoverStatus"}))
def test_exported_members_at_module_level(name):
    replaced = {"CoordinateSelect_Disabled", "CoordinateSelect_CaliBoard", "None"}
    for member, value in ENUM_TABLE[name]:
        if member not in replaced:
            assert getattr(T, member) is not None and int(getattr(T, member)) == value


def test_replacement_by_later_exports():
    assert type(T.CoordinateSelect_Disabled) is T.X2CustomTransformCoordinate
    assert type(T.CoordinateSelect_CaliBoard) is T.X2CustomTransformCoordinate
    assert int(T.CoordinateSelect_CaliBoard) == 3
    assert type(T.CoordinateSelect_Camera) is T.X1CustomTransformCoordinate
    assert type(getattr(T, "None")) is T.PointMapTypeEnum
    assert getattr(T.ImageTypeEnum, "None").value == 0
    opts = T.X1_CustomTransformOptions()
    with pytest.raises(TypeError):
        opts.coordinate_select = T.CoordinateSelect_CaliBoard


def test_aliases_name_and_repr():
    left = T.CameraID.CameraID_Left
    assert left == T.CameraID_0 and hash(left) == hash(T.CameraID_0)
    assert left.name == "CameraID_0"
    assert repr(left) == "<CameraID.CameraID_0: 1>"
    assert str(left) == "CameraID.CameraID_0"
    assert T.CameraID_Right.name == "CameraID_1" and T.CameraID_Extra.name == "CameraID_2"
    assert T.CameraID_Both.name == "CameraID_Both"


def test_comparisons_with_integers_and_other_enumerations():
    assert T.CameraID_Left == 1 and T.CameraID_Left == T.PortType_USB
    assert T.CameraID_Left != None  # noqa: E711
    assert not (T.CameraID_Left == None)  # noqa: E711
    with pytest.raises(TypeError):
        T.CaptureMode_Fast < T.CaptureMode_Normal


def test_values_without_member_and_bad_values():
    assert T.CameraID(5).name == "???"
    assert T.CameraID(2 ** 32 - 1).value == 2 ** 32 - 1
    with pytest.raises(TypeError):
        T.CameraID(-1)
    with pytest.raises(TypeError):
        T.CaptureMode_Fast | T.CaptureMode_Normal
    assert int(T.CaptureMode_Fast) | int(T.CaptureMode_Normal) == 3


def test_enumeration_arguments_take_only_their_type():
    with pytest.raises(TypeError):
        T.ImageTypeToString(1)
    with pytest.raises(TypeError):
        T.ImageTypeToString(T.PointsOnly)
    assert T.ImageTypeToString(T.Mono8) == "Mono8"


def test_pickle_round_trip_and_doc():
    assert pickle.loads(pickle.dumps(T.CaptureMode_Ultra)) == T.CaptureMode_Ultra
    assert "Members:" in T.CaptureMode.__doc__
    assert list(T.CaptureMode.__members__) == [m for m, _ in ENUM_TABLE["CaptureMode"]]
