// TUVO SDK: export macro, geometry records, enumerations and error codes.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(TUVO_BUILDING_SDK)
#define TUVO_API __attribute__((visibility("default")))
#else
#define TUVO_API
#endif

namespace TUVO {

// Error codes reported by GetLastError(); 0 means no error.
enum ErrorCode : int {
    Error_None = 0,
    Error_NotInitialized = -1,
    Error_InvalidHandle = -2,
    Error_InvalidArgument = -3,
    Error_NotOpen = -4,
    Error_FileIO = -5,
    Error_NotSupported = -6,
    Error_Busy = -7,
    Error_Timeout = -8,
    Error_NotFound = -9,
    Error_OutOfMemory = -10,
    Error_Failed = -11,
};

struct Size {
    int width;
    int height;
};

struct ROI {
    int x;
    int y;
    int width;
    int height;
};

struct ROIRange {
    int x_step;
    int y_step;
    int width_step;
    int height_step;
    int width_min;
    int height_min;
    int width_max;
    int height_max;
};

enum CameraID : unsigned int {
    CameraID_NONE = 0,
    CameraID_0 = 1,
    CameraID_1 = 2,
    CameraID_2 = 4,
    CameraID_3 = 8,
    CameraID_Left = 1,
    CameraID_Right = 2,
    CameraID_Both = 3,
    CameraID_Extra = 4,
};

enum PortType : unsigned int { PortType_NONE = 0, PortType_USB = 1, PortType_GIGE = 2 };

enum CameraTempSelector : unsigned int {
    CameraTempSelector_Camera = 0,
    CameraTempSelector_CoreBoard = 1,
    CameraTempSelector_FpgaCore = 2,
    CameraTempSelector_Framegrabberboard = 3,
    CameraTempSelector_Sensor = 4,
    CameraTempSelector_SensorBoard = 5,
};

enum ProjectorColor : unsigned int {
    ProjectorColor_None = 0,
    ProjectorColor_Red = 1,
    ProjectorColor_Green = 2,
    ProjectorColor_Blue = 4,
    ProjectorColor_White = 8,
};

enum BalanceSelector : unsigned int {
    BalanceSelector_None = 0,
    BalanceSelector_Red = 1,
    BalanceSelector_Green = 2,
    BalanceSelector_Blue = 3,
};

enum NetworkType : unsigned int { NetworkType_DHCP = 0, NetworkType_STATIC = 1 };

enum NetworkDevice : unsigned int {
    NetworkDevice_LightMachine = 0,
    NetworkDevice_LeftCamera = 1,
    NetworkDevice_RightCamera = 2,
    NetworkDevice_ExtraCamera = 3,
};

enum ProtectiveCoverStatus : unsigned int {
    ProtectiveCoverStatus_Unknown = 0,
    ProtectiveCoverStatus_Closed = 1,
    ProtectiveCoverStatus_Closing = 2,
    ProtectiveCoverStatus_Open = 3,
    ProtectiveCoverStatus_Opening = 4,
};

enum SmoothnessLevel : unsigned int {
    SmoothnessLevel_Off = 0,
    SmoothnessLevel_Weak = 1,
    SmoothnessLevel_Normal = 2,
    SmoothnessLevel_Strong = 3,
};

// Bit flags.
enum CaptureMode : unsigned int {
    CaptureMode_Fast = 1,
    CaptureMode_Normal = 2,
    CaptureMode_Ultra = 4,
    CaptureMode_Robust = 8,
    CaptureMode_AntiInterReflection = 16,
    CaptureMode_SwingLineScan = 32,
    CaptureMode_FixedLineScan = 64,
    CaptureMode_LineArrayShift = 128,
};

namespace SystemListDeviceType {
enum Enum : unsigned int { USB = 1, GigE = 2, All = 3 };
TUVO_API const char* ToString(Enum type);
}  // namespace SystemListDeviceType

namespace PointMapUnit {
enum Enum : unsigned int { Meter = 0, Millimeter = 1 };
}

namespace ImageType {
enum Enum : unsigned int { None = 0, Mono8 = 1, RGB8 = 2, BGR8 = 3 };
TUVO_API const char* ToString(Enum type);
// Bytes per pixel: 1 for Mono8, 3 for RGB8 and BGR8, 0 otherwise.
TUVO_API std::uint64_t GetPixelSize(Enum type);
}  // namespace ImageType

namespace PointMapType {
enum Enum : unsigned int { None = 0, PointsOnly = 1, PointsNormals = 2 };
TUVO_API const char* ToString(Enum type);
}  // namespace PointMapType

static_assert(sizeof(Size) == 8 && offsetof(Size, height) == 4, "Size layout");
static_assert(sizeof(ROI) == 16 && offsetof(ROI, y) == 4 && offsetof(ROI, width) == 8 &&
                  offsetof(ROI, height) == 12,
              "ROI layout");
static_assert(sizeof(ROIRange) == 32 && offsetof(ROIRange, width_min) == 16 &&
                  offsetof(ROIRange, height_max) == 28,
              "ROIRange layout");
static_assert(sizeof(CameraID) == 4 && sizeof(CaptureMode) == 4 && sizeof(ImageType::Enum) == 4,
              "enumerations are 32-bit");

}  // namespace TUVO
