// TUVO SDK: the single-camera device X1 and the two-camera device X2 with their option records.
#pragma once
#include "TUVOData.h"
#include "TUVODevice.h"

namespace TUVO {

class TUVO_API X1 {
public:
    struct TUVO_API CaptureOptions {
        CaptureOptions();
        bool calc_normal;
        bool transform_to_camera;
        int filter_range;
        bool use_auto_noise_removal;
        double noise_removal_distance;
        int noise_removal_point_number;
        int light_contrast_threshold;
        int phase_filter_range;
        int exposure_time_2d;
        int exposure_time_3d;
        int projector_brightness;
        float gain_2d;
        float gain_3d;
        int hdr_exposure_times;
        int hdr_exposure_time_content[3];
        float hdr_gain_content[3];
        int hdr_scan_times_content[3];
        int hdr_projector_brightness_content[3];
        unsigned int calc_normal_radius;
        float gamma_2d;
        float gamma_3d;
        bool use_projector_capturing_2d_image;
        SmoothnessLevel smoothness;
        double downsample_distance;
        CaptureMode capture_mode;
        double confidence_threshold;
        ROI roi;
        double truncate_z_min;
        double truncate_z_max;
        int bilateral_filter_kernal_size;
        double bilateral_filter_depth_sigma;
        double bilateral_filter_space_sigma;
        int scan_times;
        bool use_auto_bilateral_filter;
        int reflection_filter_threshold;
        double smooth_sigma;
        bool enable_2d_in_capture;
    };

    struct TUVO_API CustomTransformOptions {
        enum CoordinateSelect : unsigned int {
            CoordinateSelect_Disabled = 0,
            CoordinateSelect_Camera = 1,
            CoordinateSelect_CaliBoard = 2,
        };
        CustomTransformOptions();
        CoordinateSelect coordinate_select;
        double transform[16];  // 4x4, row-major, millimetres
    };

    X1();
    static X1 Create(const Device& device, CameraID camid);
    static void Destroy(X1& camera);
    bool Open();
    bool IsOpen();
    void Close();
    bool IsValid() const;
    bool IsPhysicallyConnected();
    bool Capture(const CaptureOptions& opts);
    bool Capture();  // with the options stored by SaveCaptureOptionParameters (defaults otherwise)
    bool Capture2D(const CaptureOptions& opts);
    bool Capture2D();
    bool SetBandwidth(float ratio);  // fraction of the link, (0, 1]
    bool SetCustomTransformation(const CustomTransformOptions& opts);
    bool GetCustomTransformation(CustomTransformOptions& opts);
    bool GetCameraResolution(Size& size);
    bool GetProjectorTemperature(float& celsius);
    Image GetImage();
    bool GetExposureTimeRange(int* min_ms, int* max_ms);
    bool GetGainRange(float* min_db, float* max_db);
    bool GetGammaRange(float* min_gamma, float* max_gamma);
    bool GetCameraTemperature(CameraTempSelector selector, float& celsius);
    DepthMap GetDepthMap();
    PointMap GetPointMap();
    ConfidenceMap GetConfidenceMap();
    // Writes the projector column decoded at every pixel of the last 3-D capture (16-bit grey PNG).
    bool SaveEncodedImagesData(const char* filename);
    bool SetBalanceRatio(BalanceSelector selector, float ratio);
    bool GetBalanceRatio(BalanceSelector selector, float* ratio);
    bool GetBalanceRange(BalanceSelector selector, float* min_ratio, float* max_ratio);
    // Captures a 2-D image with `opts` and sets the balance ratios so that the grey world of the
    // ROI (the whole image for a 0x0 ROI) comes out neutral; `iterations` rounds (1..10).
    bool AutoWhiteBalance(int iterations, const CaptureOptions& opts, const ROI& roi);
    bool GetExtrinsicMatrix(float* matrix16);  // camera to device frame, 4x4 row-major, mm
    bool GetIntrinsicParameters(float* intrinsic9, float* distortion5);  // K row-major; k1 k2 p1 p2 k3
    bool SaveCaptureOptionParameters(const CaptureOptions& opts);
    bool LoadCaptureOptionParameters(CaptureOptions& opts);
    bool GetAutoCaptureSetting(CaptureOptions& opts, const ROI& roi);
    bool GetAutoHdrCaptureSetting(CaptureOptions& opts, const ROI& roi);
    bool GetAutoNoiseRemovalSetting(CaptureOptions& opts);
    bool LoadSettingFromFile(const char* filename);
    bool SaveSettingToFile(const char* filename);
    bool CheckRoi(ROI roi);
    ROI AutoAdjustRoi(ROI roi);
    bool GetRoiRange(ROIRange& range);
    bool OpenProtectiveCover();
    bool CloseProtectiveCover();
    bool ResetProtectiveCover();
    bool OpenProtectiveCoverAsync();
    bool CloseProtectiveCoverAsync();
    bool GetProtectiveCoverStatus(ProtectiveCoverStatus& status);

    std::uint32_t slot;
    std::uint32_t generation;
};

class TUVO_API X2 {
public:
    struct TUVO_API CaptureOptions {
        CaptureOptions();
        CameraID transform_to_camera;
        int projector_brightness;
        bool calc_normal;
        unsigned int calc_normal_radius;
        int light_contrast_threshold;
        int edge_noise_reduction_threshold;
        int exposure_time_2d;
        int exposure_time_3d;
        float gain_2d;
        float gain_3d;
        int hdr_exposure_times;
        int hdr_exposure_time_content[3];
        float hdr_gain_content[3];
        int hdr_projector_brightness_content[3];
        float gamma_2d;
        float gamma_3d;
        ProjectorColor projector_color;
        bool use_projector_capturing_2d_image;
        SmoothnessLevel smoothness;
        bool use_auto_noise_removal;
        double noise_removal_distance;
        int noise_removal_point_number;
        double downsample_distance;
        CaptureMode capture_mode;
        double confidence_threshold;
        int scan_times;
        int hdr_scan_times_content[3];
        int bilateral_filter_kernal_size;
        double bilateral_filter_depth_sigma;
        double bilateral_filter_space_sigma;
        int line_scanner_scan_time_ms;
        int line_scanner_exposure_time_us;
        int line_scanner_min_distance;
        int line_scanner_max_distance;
        bool correspond2d;
        unsigned short line_scanner_laser_position;
        bool use_auto_bilateral_filter;
        int reflection_filter_threshold;
        double smooth_sigma;
        ROI roi;
        bool enable_2d_in_capture;
        bool pointcloud_completion;
        int line_scanner_brightness_threshold;
    };

    struct TUVO_API CustomTransformOptions {
        enum CoordinateSelect : unsigned int {
            CoordinateSelect_Disabled = 0,
            CoordinateSelect_CameraLeft = 1,
            CoordinateSelect_CameraRight = 2,
            CoordinateSelect_CaliBoard = 3,
            CoordinateSelect_CameraExtra = 4,
        };
        CustomTransformOptions();
        CoordinateSelect coordinate_select;
        double transform[16];
    };

    X2();
    static X2 Create(const Device& device);
    static void Destroy(X2& camera);
    bool Open();
    bool IsOpen();
    void Close();
    bool IsValid() const;
    bool IsPhysicallyConnected();
    bool Capture(const CaptureOptions& opts);
    bool Capture();
    // The fixed line scan: a producer inside the SDK delivers point maps until stopped.
    bool StartFixedLineScan(const CaptureOptions& opts);
    bool StartFixedLineScan();
    PointMap GetFixedLineScanPointMap();
    bool GetFixedLineScanPointMap(PointMap& pointmap);
    bool StopFixedLineScan();
    bool Capture2D(CameraID cid, const CaptureOptions& opts);
    bool Capture2D(CameraID cid);
    bool SetBandwidth(float ratio);
    bool SetCustomTransformation(const CustomTransformOptions& opts);
    bool GetCustomTransformation(CustomTransformOptions& opts);
    bool GetCameraResolution(Size& size);
    bool GetProjectorTemperature(float& celsius);
    Image GetImage(CameraID cid);
    PointMap GetPointMap();
    ConfidenceMap GetConfidenceMap();
    CorrespondMap GetCorrespondMap();
    bool SaveEncodedImagesData(const char* filename);
    DepthMap GetDepthMap();
    bool AutoWhiteBalance(int iterations, const CaptureOptions& opts, const ROI& roi);
    bool GetExtrinsicMatrix(CameraID cid, float* matrix16);
    bool GetIntrinsicParameters(CameraID cid, float* intrinsic9, float* distortion5);
    bool GetExposureTimeRange(int* min_ms, int* max_ms);
    bool GetGainRange(float* min_db, float* max_db);
    bool GetGammaRange(float* min_gamma, float* max_gamma);
    bool GetCameraTemperature(CameraID cid, CameraTempSelector selector, float& celsius);
    bool SaveCaptureOptionParameters(const CaptureOptions& opts);
    bool LoadCaptureOptionParameters(CaptureOptions& opts);
    bool GetAutoCaptureSetting(CaptureOptions& opts, const ROI& roi);
    bool GetAutoHdrCaptureSetting(CaptureOptions& opts, const ROI& roi);
    bool GetAutoNoiseRemovalSetting(CaptureOptions& opts);
    bool LoadSettingFromFile(const char* filename);
    bool SaveSettingToFile(const char* filename);
    bool CheckRoi(ROI roi);
    ROI AutoAdjustRoi(ROI roi);
    bool GetRoiRange(ROIRange& range);
    bool OpenProtectiveCover();
    bool CloseProtectiveCover();
    bool ResetProtectiveCover();
    bool OpenProtectiveCoverAsync();
    bool CloseProtectiveCoverAsync();
    bool GetProtectiveCoverStatus(ProtectiveCoverStatus& status);

    std::uint32_t slot;
    std::uint32_t generation;
};

static_assert(offsetof(X1::CaptureOptions, filter_range) == 4 &&
                  offsetof(X1::CaptureOptions, noise_removal_distance) == 16 &&
                  offsetof(X1::CaptureOptions, hdr_exposure_time_content) == 60 &&
                  offsetof(X1::CaptureOptions, calc_normal_radius) == 108 &&
                  offsetof(X1::CaptureOptions, smoothness) == 124 &&
                  offsetof(X1::CaptureOptions, roi) == 152 &&
                  offsetof(X1::CaptureOptions, enable_2d_in_capture) == 232 &&
                  sizeof(X1::CaptureOptions) == 240,
              "X1::CaptureOptions layout");
static_assert(offsetof(X1::CustomTransformOptions, transform) == 8 &&
                  sizeof(X1::CustomTransformOptions) == 136,
              "X1::CustomTransformOptions layout");
static_assert(offsetof(X2::CaptureOptions, hdr_exposure_time_content) == 44 &&
                  offsetof(X2::CaptureOptions, projector_color) == 88 &&
                  offsetof(X2::CaptureOptions, noise_removal_distance) == 104 &&
                  offsetof(X2::CaptureOptions, hdr_scan_times_content) == 148 &&
                  offsetof(X2::CaptureOptions, line_scanner_scan_time_ms) == 184 &&
                  offsetof(X2::CaptureOptions, line_scanner_laser_position) == 202 &&
                  offsetof(X2::CaptureOptions, roi) == 224 &&
                  offsetof(X2::CaptureOptions, line_scanner_brightness_threshold) == 244 &&
                  sizeof(X2::CaptureOptions) == 248,
              "X2::CaptureOptions layout");
static_assert(sizeof(X1) == 8 && sizeof(X2) == 8, "camera handles are two 32-bit words");

}  // namespace TUVO
