// The sixteen SDK enumerations: members in their fixed order, most also exported to the module.
#include <initializer_list>
#include <utility>

#include "module/bindings.h"

namespace pytuvo {
namespace {

enum class Export { Yes, No };

template <class E>
void bind_enum(py::module_& m, const char* name, std::initializer_list<std::pair<const char*, E>> members,
               Export exported = Export::Yes) {
    py::enum_<E> e(m, name);
    for (const auto& member : members) e.value(member.first, member.second);
    // A later export replaces an earlier module attribute of the same name.
    if (exported == Export::Yes) e.export_values();
}

}  // namespace

using namespace TUVO;

void bind_CameraID(py::module_& m) {
    bind_enum<CameraID>(m, "CameraID",
                        {{"CameraID_NONE", CameraID_NONE}, {"CameraID_0", CameraID_0}, {"CameraID_1", CameraID_1},
                         {"CameraID_2", CameraID_2}, {"CameraID_3", CameraID_3}, {"CameraID_Left", CameraID_Left},
                         {"CameraID_Right", CameraID_Right}, {"CameraID_Both", CameraID_Both},
                         {"CameraID_Extra", CameraID_Extra}});
}

void bind_PortType(py::module_& m) {
    bind_enum<PortType>(m, "PortType",
                        {{"PortType_NONE", PortType_NONE}, {"PortType_USB", PortType_USB}, {"PortType_GIGE", PortType_GIGE}});
}

void bind_CameraTempSelector(py::module_& m) {
    bind_enum<CameraTempSelector>(m, "CameraTempSelector",
                                  {{"CameraTempSelector_Camera", CameraTempSelector_Camera},
                                   {"CameraTempSelector_CoreBoard", CameraTempSelector_CoreBoard},
                                   {"CameraTempSelector_FpgaCore", CameraTempSelector_FpgaCore},
                                   {"CameraTempSelector_Framegrabberboard", CameraTempSelector_Framegrabberboard},
                                   {"CameraTempSelector_Sensor", CameraTempSelector_Sensor},
                                   {"CameraTempSelector_SensorBoard", CameraTempSelector_SensorBoard}});
}

void bind_ProjectorColor(py::module_& m) {
    bind_enum<ProjectorColor>(m, "ProjectorColor",
                              {{"ProjectorColor_None", ProjectorColor_None}, {"ProjectorColor_Red", ProjectorColor_Red},
                               {"ProjectorColor_Green", ProjectorColor_Green}, {"ProjectorColor_Blue", ProjectorColor_Blue},
                               {"ProjectorColor_White", ProjectorColor_White}});
}

void bind_BalanceSelector(py::module_& m) {
    bind_enum<BalanceSelector>(m, "BalanceSelector",
                               {{"BalanceSelector_None", BalanceSelector_None}, {"BalanceSelector_Red", BalanceSelector_Red},
                                {"BalanceSelector_Green", BalanceSelector_Green},
                                {"BalanceSelector_Blue", BalanceSelector_Blue}});
}

void bind_NetworkType(py::module_& m) {
    bind_enum<NetworkType>(m, "NetworkType",
                           {{"NetworkType_DHCP", NetworkType_DHCP}, {"NetworkType_STATIC", NetworkType_STATIC}});
}

void bind_NetworkDevice(py::module_& m) {
    bind_enum<NetworkDevice>(m, "NetworkDevice",
                             {{"NetworkDevice_LightMachine", NetworkDevice_LightMachine},
                              {"NetworkDevice_LeftCamera", NetworkDevice_LeftCamera},
                              {"NetworkDevice_RightCamera", NetworkDevice_RightCamera},
                              {"NetworkDevice_ExtraCamera", NetworkDevice_ExtraCamera}});
}

void bind_X1CustomTransformCoordinate(py::module_& m) {
    using C = X1::CustomTransformOptions;
    bind_enum<C::CoordinateSelect>(m, "X1CustomTransformCoordinate",
                                   {{"CoordinateSelect_Disabled", C::CoordinateSelect_Disabled},
                                    {"CoordinateSelect_Camera", C::CoordinateSelect_Camera},
                                    {"CoordinateSelect_CaliBoard", C::CoordinateSelect_CaliBoard}});
}

void bind_X2CustomTransformCoordinate(py::module_& m) {
    using C = X2::CustomTransformOptions;
    bind_enum<C::CoordinateSelect>(m, "X2CustomTransformCoordinate",
                                   {{"CoordinateSelect_Disabled", C::CoordinateSelect_Disabled},
                                    {"CoordinateSelect_CameraLeft", C::CoordinateSelect_CameraLeft},
                                    {"CoordinateSelect_CameraRight", C::CoordinateSelect_CameraRight},
                                    {"CoordinateSelect_CaliBoard", C::CoordinateSelect_CaliBoard},
                                    {"CoordinateSelect_CameraExtra", C::CoordinateSelect_CameraExtra}});
}

void bind_SystemListDeviceTypeEnum(py::module_& m) {
    using E = SystemListDeviceType::Enum;
    bind_enum<E>(m, "SystemListDeviceTypeEnum",
                 {{"USB", SystemListDeviceType::USB}, {"GigE", SystemListDeviceType::GigE}, {"All", SystemListDeviceType::All}});
}

void bind_PointMapUnitEnum(py::module_& m) {
    bind_enum<PointMapUnit::Enum>(m, "PointMapUnitEnum",
                                  {{"Meter", PointMapUnit::Meter}, {"Millimeter", PointMapUnit::Millimeter}});
}

void bind_ImageTypeEnum(py::module_& m) {
    bind_enum<ImageType::Enum>(m, "ImageTypeEnum",
                               {{"None", ImageType::None}, {"Mono8", ImageType::Mono8}, {"RGB8", ImageType::RGB8},
                                {"BGR8", ImageType::BGR8}});
}

void bind_ProtectiveCoverStatus(py::module_& m) {
    bind_enum<ProtectiveCoverStatus>(m, "ProtectiveCoverStatus",
                                     {{"ProtectiveCoverStatus_Unknown", ProtectiveCoverStatus_Unknown},
                                      {"ProtectiveCoverStatus_Closed", ProtectiveCoverStatus_Closed},
                                      {"ProtectiveCoverStatus_Closing", ProtectiveCoverStatus_Closing},
                                      {"ProtectiveCoverStatus_Open", ProtectiveCoverStatus_Open},
                                      {"ProtectiveCoverStatus_Opening", ProtectiveCoverStatus_Opening}},
                                     Export::No);
}

void bind_PointMapTypeEnum(py::module_& m) {
    bind_enum<PointMapType::Enum>(m, "PointMapTypeEnum",
                                  {{"None", PointMapType::None}, {"PointsOnly", PointMapType::PointsOnly},
                                   {"PointsNormals", PointMapType::PointsNormals}});
}

void bind_SmoothnessLevel(py::module_& m) {
    bind_enum<SmoothnessLevel>(m, "SmoothnessLevel",
                               {{"SmoothnessLevel_Off", SmoothnessLevel_Off}, {"SmoothnessLevel_Weak", SmoothnessLevel_Weak},
                                {"SmoothnessLevel_Normal", SmoothnessLevel_Normal},
                                {"SmoothnessLevel_Strong", SmoothnessLevel_Strong}});
}

void bind_CaptureMode(py::module_& m) {
    bind_enum<CaptureMode>(m, "CaptureMode",
                           {{"CaptureMode_Fast", CaptureMode_Fast}, {"CaptureMode_Normal", CaptureMode_Normal},
                            {"CaptureMode_Ultra", CaptureMode_Ultra}, {"CaptureMode_Robust", CaptureMode_Robust},
                            {"CaptureMode_AntiInterReflection", CaptureMode_AntiInterReflection},
                            {"CaptureMode_SwingLineScan", CaptureMode_SwingLineScan},
                            {"CaptureMode_FixedLineScan", CaptureMode_FixedLineScan},
                            {"CaptureMode_LineArrayShift", CaptureMode_LineArrayShift}});
}

}  // namespace pytuvo
