// The registration functions that the module body calls, one per Python name or group, in order.
#pragma once
#include "module/common.h"

namespace pytuvo {

void bind_error_functions(py::module_& m);           // GetVersion, GetLastError, GetLastErrorMessage
void bind_Size(py::module_& m);
void bind_ROI(py::module_& m);
void bind_ROIRange(py::module_& m);
void bind_CameraID(py::module_& m);
void bind_PortType(py::module_& m);
void bind_CameraTempSelector(py::module_& m);
void bind_ProjectorColor(py::module_& m);
void bind_BalanceSelector(py::module_& m);
void bind_NetworkType(py::module_& m);
void bind_NetworkDevice(py::module_& m);
void bind_X1CustomTransformCoordinate(py::module_& m);
void bind_X2CustomTransformCoordinate(py::module_& m);
void bind_DeviceInfo(py::module_& m);
void bind_Device(py::module_& m);
void bind_SystemListDeviceTypeEnum(py::module_& m);
void bind_PointMapUnitEnum(py::module_& m);
void bind_discovery_functions(py::module_& m);        // SystemListDeviceTypeToString, SystemListDevices
void bind_ImageTypeEnum(py::module_& m);
void bind_ProtectiveCoverStatus(py::module_& m);
void bind_image_functions(py::module_& m);            // ImageTypeToString ... ImageDestroy
void bind_Image(py::module_& m);
void bind_DepthMap(py::module_& m);
void bind_ConfidenceMap(py::module_& m);
void bind_CorrespondMap(py::module_& m);
void bind_PointMapTypeEnum(py::module_& m);
void bind_pointmap_functions(py::module_& m);         // PointMapTypeToString ... PointMapDestroy
void bind_PointMap(py::module_& m);
void bind_NormalData(py::module_& m);
void bind_system_functions(py::module_& m);           // SystemInit, SystemIsInited, SystemShutdown
void bind_SystemFindDevice(py::module_& m);
void bind_X1_CaptureOptions(py::module_& m);
void bind_X1_CustomTransformOptions(py::module_& m);
void bind_SmoothnessLevel(py::module_& m);
void bind_CaptureMode(py::module_& m);
void bind_X1(py::module_& m);
void bind_X2_CaptureOptions(py::module_& m);
void bind_X2_CustomTransformOptions(py::module_& m);
void bind_X2(py::module_& m);
void bind_Compensator_FixedMarkers(py::module_& m);
void bind_external_camera_functions(py::module_& m);  // GetExternalCameraExtrinsicMatrix, ...PointMap
void bind_CodedCircleMarkerType(py::module_& m);
void bind_CodedCircleMarker(py::module_& m);
void bind_DetectCodedCircleMarker(py::module_& m);
void bind_GetTwoCameraTransformByCodedCircleMarker(py::module_& m);
void bind_TransformPointCloud(py::module_& m);
void bind_TestAccuracy(py::module_& m);

}  // namespace pytuvo
