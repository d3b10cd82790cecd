from __future__ import annotations
import numpy
import numpy.typing
import typing
# Real numbers in a numpy array: the binding converts any of them to the type the SDK takes.
_RealArray = numpy.typing.NDArray[typing.Union[numpy.floating[typing.Any], numpy.integer[typing.Any], numpy.bool_]]
# A numpy.ndarray argument converted to float64 (any shape, read row by row): an array of real
# numbers, or numbers in a (nested) sequence.
_FloatArrayLike = typing.Union[_RealArray, typing.Sequence[float], typing.Sequence[typing.Sequence[float]]]
# A numpy.ndarray argument converted to uint8 pixels: an array of real numbers, or rows of numbers.
_ByteArrayLike = typing.Union[_RealArray, typing.Sequence[int], typing.Sequence[typing.Sequence[int]],
                              typing.Sequence[typing.Sequence[typing.Sequence[int]]]]
# A list[float] argument: any sequence of numbers, a one-dimensional array included.
_FloatSequence = typing.Union[typing.Sequence[float], numpy.ndarray[tuple[int], numpy.dtype[typing.Union[
    numpy.floating[typing.Any], numpy.integer[typing.Any], numpy.bool_]]]]
__all__: list[str] = ['All', 'BGR8', 'BalanceSelector', 'BalanceSelector_Blue', 'BalanceSelector_Green', 'BalanceSelector_None', 'BalanceSelector_Red', 'CameraID', 'CameraID_0', 'CameraID_1', 'CameraID_2', 'CameraID_3', 'CameraID_Both', 'CameraID_Extra', 'CameraID_Left', 'CameraID_NONE', 'CameraID_Right', 'CameraTempSelector', 'CameraTempSelector_Camera', 'CameraTempSelector_CoreBoard', 'CameraTempSelector_FpgaCore', 'CameraTempSelector_Framegrabberboard', 'CameraTempSelector_Sensor', 'CameraTempSelector_SensorBoard', 'CaptureMode', 'CaptureMode_AntiInterReflection', 'CaptureMode_Fast', 'CaptureMode_FixedLineScan', 'CaptureMode_LineArrayShift', 'CaptureMode_Normal', 'CaptureMode_Robust', 'CaptureMode_SwingLineScan', 'CaptureMode_Ultra', 'CodedCircleMarker', 'CodedCircleMarkerType', 'Compensator_FixedMarkers', 'ConfidenceMap', 'CoordinateSelect_CaliBoard', 'CoordinateSelect_Camera', 'CoordinateSelect_CameraExtra', 'CoordinateSelect_CameraLeft', 'CoordinateSelect_CameraRight', 'CoordinateSelect_Disabled', 'CorrespondMap', 'DepthMap', 'DetectCodedCircleMarker', 'Device', 'DeviceInfo', 'GetExternalCameraExtrinsicMatrix', 'GetExternalCameraPointMap', 'GetLastError', 'GetLastErrorMessage', 'GetTwoCameraTransformByCodedCircleMarker', 'GetVersion', 'GigE', 'Image', 'ImageCreate', 'ImageDestroy', 'ImageTypeEnum', 'ImageTypeGetPixelSize', 'ImageTypeToString', 'Meter', 'Millimeter', 'Mono8', 'NetworkDevice', 'NetworkDevice_ExtraCamera', 'NetworkDevice_LeftCamera', 'NetworkDevice_LightMachine', 'NetworkDevice_RightCamera', 'NetworkType', 'NetworkType_DHCP', 'NetworkType_STATIC', 'None', 'NormalData', 'PointMap', 'PointMapCreate', 'PointMapDestroy', 'PointMapTypeEnum', 'PointMapTypeToString', 'PointMapUnitEnum', 'PointsNormals', 'PointsOnly', 'PortType', 'PortType_GIGE', 'PortType_NONE', 'PortType_USB', 'ProjectorColor', 'ProjectorColor_Blue', 'ProjectorColor_Green', 'ProjectorColor_None', 'ProjectorColor_Red', 'ProjectorColor_White', 'ProtectiveCoverStatus', 'RGB8', 'ROI', 'ROIRange', 'Size', 'SmoothnessLevel', 'SmoothnessLevel_Normal', 'SmoothnessLevel_Off', 'SmoothnessLevel_Strong', 'SmoothnessLevel_Weak', 'SystemFindDevice', 'SystemInit', 'SystemIsInited', 'SystemListDeviceTypeEnum', 'SystemListDeviceTypeToString', 'SystemListDevices', 'SystemShutdown', 'TestAccuracy', 'TransformPointCloud', 'USB', 'X1', 'X1CustomTransformCoordinate', 'X1_CaptureOptions', 'X1_CustomTransformOptions', 'X2', 'X2CustomTransformCoordinate', 'X2_CaptureOptions', 'X2_CustomTransformOptions']
class BalanceSelector:
    """
    Members:
    
      BalanceSelector_None
    
      BalanceSelector_Red
    
      BalanceSelector_Green
    
      BalanceSelector_Blue
    """
    BalanceSelector_Blue: typing.ClassVar[BalanceSelector]  # value = <BalanceSelector.BalanceSelector_Blue: 3>
    BalanceSelector_Green: typing.ClassVar[BalanceSelector]  # value = <BalanceSelector.BalanceSelector_Green: 2>
    BalanceSelector_None: typing.ClassVar[BalanceSelector]  # value = <BalanceSelector.BalanceSelector_None: 0>
    BalanceSelector_Red: typing.ClassVar[BalanceSelector]  # value = <BalanceSelector.BalanceSelector_Red: 1>
    __members__: typing.ClassVar[dict[str, BalanceSelector]]  # value = {'BalanceSelector_None': <BalanceSelector.BalanceSelector_None: 0>, 'BalanceSelector_Red': <BalanceSelector.BalanceSelector_Red: 1>, 'BalanceSelector_Green': <BalanceSelector.BalanceSelector_Green: 2>, 'BalanceSelector_Blue': <BalanceSelector.BalanceSelector_Blue: 3>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class CameraID:
    """
    Members:
    
      CameraID_NONE
    
      CameraID_0
    
      CameraID_1
    
      CameraID_2
    
      CameraID_3
    
      CameraID_Left
    
      CameraID_Right
    
      CameraID_Both
    
      CameraID_Extra
    """
    CameraID_0: typing.ClassVar[CameraID]  # value = <CameraID.CameraID_0: 1>
    CameraID_1: typing.ClassVar[CameraID]  # value = <CameraID.CameraID_1: 2>
    CameraID_2: typing.ClassVar[CameraID]  # value = <CameraID.CameraID_2: 4>
    CameraID_3: typing.ClassVar[CameraID]  # value = <CameraID.CameraID_3: 8>
    CameraID_Both: typing.ClassVar[CameraID]  # value = <CameraID.CameraID_Both: 3>
    CameraID_Extra: typing.ClassVar[CameraID]  # value = <CameraID.CameraID_2: 4>
    CameraID_Left: typing.ClassVar[CameraID]  # value = <CameraID.CameraID_0: 1>
    CameraID_NONE: typing.ClassVar[CameraID]  # value = <CameraID.CameraID_NONE: 0>
    CameraID_Right: typing.ClassVar[CameraID]  # value = <CameraID.CameraID_1: 2>
    __members__: typing.ClassVar[dict[str, CameraID]]  # value = {'CameraID_NONE': <CameraID.CameraID_NONE: 0>, 'CameraID_0': <CameraID.CameraID_0: 1>, 'CameraID_1': <CameraID.CameraID_1: 2>, 'CameraID_2': <CameraID.CameraID_2: 4>, 'CameraID_3': <CameraID.CameraID_3: 8>, 'CameraID_Left': <CameraID.CameraID_0: 1>, 'CameraID_Right': <CameraID.CameraID_1: 2>, 'CameraID_Both': <CameraID.CameraID_Both: 3>, 'CameraID_Extra': <CameraID.CameraID_2: 4>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class CameraTempSelector:
    """
    Members:
    
      CameraTempSelector_Camera
    
      CameraTempSelector_CoreBoard
    
      CameraTempSelector_FpgaCore
    
      CameraTempSelector_Framegrabberboard
    
      CameraTempSelector_Sensor
    
      CameraTempSelector_SensorBoard
    """
    CameraTempSelector_Camera: typing.ClassVar[CameraTempSelector]  # value = <CameraTempSelector.CameraTempSelector_Camera: 0>
    CameraTempSelector_CoreBoard: typing.ClassVar[CameraTempSelector]  # value = <CameraTempSelector.CameraTempSelector_CoreBoard: 1>
    CameraTempSelector_FpgaCore: typing.ClassVar[CameraTempSelector]  # value = <CameraTempSelector.CameraTempSelector_FpgaCore: 2>
    CameraTempSelector_Framegrabberboard: typing.ClassVar[CameraTempSelector]  # value = <CameraTempSelector.CameraTempSelector_Framegrabberboard: 3>
    CameraTempSelector_Sensor: typing.ClassVar[CameraTempSelector]  # value = <CameraTempSelector.CameraTempSelector_Sensor: 4>
    CameraTempSelector_SensorBoard: typing.ClassVar[CameraTempSelector]  # value = <CameraTempSelector.CameraTempSelector_SensorBoard: 5>
    __members__: typing.ClassVar[dict[str, CameraTempSelector]]  # value = {'CameraTempSelector_Camera': <CameraTempSelector.CameraTempSelector_Camera: 0>, 'CameraTempSelector_CoreBoard': <CameraTempSelector.CameraTempSelector_CoreBoard: 1>, 'CameraTempSelector_FpgaCore': <CameraTempSelector.CameraTempSelector_FpgaCore: 2>, 'CameraTempSelector_Framegrabberboard': <CameraTempSelector.CameraTempSelector_Framegrabberboard: 3>, 'CameraTempSelector_Sensor': <CameraTempSelector.CameraTempSelector_Sensor: 4>, 'CameraTempSelector_SensorBoard': <CameraTempSelector.CameraTempSelector_SensorBoard: 5>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class CaptureMode:
    """
    Members:
    
      CaptureMode_Fast
    
      CaptureMode_Normal
    
      CaptureMode_Ultra
    
      CaptureMode_Robust
    
      CaptureMode_AntiInterReflection
    
      CaptureMode_SwingLineScan
    
      CaptureMode_FixedLineScan
    
      CaptureMode_LineArrayShift
    """
    CaptureMode_AntiInterReflection: typing.ClassVar[CaptureMode]  # value = <CaptureMode.CaptureMode_AntiInterReflection: 16>
    CaptureMode_Fast: typing.ClassVar[CaptureMode]  # value = <CaptureMode.CaptureMode_Fast: 1>
    CaptureMode_FixedLineScan: typing.ClassVar[CaptureMode]  # value = <CaptureMode.CaptureMode_FixedLineScan: 64>
    CaptureMode_LineArrayShift: typing.ClassVar[CaptureMode]  # value = <CaptureMode.CaptureMode_LineArrayShift: 128>
    CaptureMode_Normal: typing.ClassVar[CaptureMode]  # value = <CaptureMode.CaptureMode_Normal: 2>
    CaptureMode_Robust: typing.ClassVar[CaptureMode]  # value = <CaptureMode.CaptureMode_Robust: 8>
    CaptureMode_SwingLineScan: typing.ClassVar[CaptureMode]  # value = <CaptureMode.CaptureMode_SwingLineScan: 32>
    CaptureMode_Ultra: typing.ClassVar[CaptureMode]  # value = <CaptureMode.CaptureMode_Ultra: 4>
    __members__: typing.ClassVar[dict[str, CaptureMode]]  # value = {'CaptureMode_Fast': <CaptureMode.CaptureMode_Fast: 1>, 'CaptureMode_Normal': <CaptureMode.CaptureMode_Normal: 2>, 'CaptureMode_Ultra': <CaptureMode.CaptureMode_Ultra: 4>, 'CaptureMode_Robust': <CaptureMode.CaptureMode_Robust: 8>, 'CaptureMode_AntiInterReflection': <CaptureMode.CaptureMode_AntiInterReflection: 16>, 'CaptureMode_SwingLineScan': <CaptureMode.CaptureMode_SwingLineScan: 32>, 'CaptureMode_FixedLineScan': <CaptureMode.CaptureMode_FixedLineScan: 64>, 'CaptureMode_LineArrayShift': <CaptureMode.CaptureMode_LineArrayShift: 128>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class CodedCircleMarker:
    code: int
    x: float
    y: float
    def __init__(self) -> None:
        ...
class CodedCircleMarkerType:
    N: int
    r1_to_r0_ratio: float
    r2_to_r0_ratio: float
    def __init__(self) -> None:
        ...
class Compensator_FixedMarkers:
    def Apply(self, arg0: PointMap) -> tuple[bool, PointMap]:
        ...
    def Initialize(self, arg0: PointMap, arg1: Image, arg2: int) -> int:
        ...
    def Update(self, arg0: PointMap, arg1: Image) -> tuple[bool, float]:
        ...
    def __init__(self) -> None:
        ...
class ConfidenceMap:
    def __array__(self, dtype: None = None, /, *, copy: bool | None = None) -> numpy.typing.NDArray[numpy.float64]:
        """
        For type checkers only: numpy.asarray(obj) reaches this view through the buffer protocol
        (the object has no __array__ method at run time).
        """
    def GetSize(self) -> Size:
        ...
    def IsValid(self) -> bool:
        ...
    def __init__(self) -> None:
        ...
class CorrespondMap:
    def __array__(self, dtype: None = None, /, *, copy: bool | None = None) -> numpy.typing.NDArray[numpy.float64]:
        """
        For type checkers only: numpy.asarray(obj) reaches this view through the buffer protocol
        (the object has no __array__ method at run time).
        """
    def GetSize(self) -> Size:
        ...
    def IsValid(self) -> bool:
        ...
    def __init__(self) -> None:
        ...
class DepthMap:
    def __array__(self, dtype: None = None, /, *, copy: bool | None = None) -> numpy.typing.NDArray[numpy.float64]:
        """
        For type checkers only: numpy.asarray(obj) reaches this view through the buffer protocol
        (the object has no __array__ method at run time).
        """
    def GetSize(self) -> Size:
        ...
    def IsValid(self) -> bool:
        ...
    def SaveDepthMap(self, arg0: str, arg1: bool) -> bool:
        ...
    def __init__(self) -> None:
        ...
class Device:
    @staticmethod
    def Destroy(arg0: Device) -> None:
        ...
    def GetDeviceInfo(self) -> tuple[bool, DeviceInfo]:
        ...
    def GetNetworkConfig(self, arg0: NetworkDevice) -> tuple[NetworkType, bytes, bytes, bytes, int]:
        ...
    def IsFirmwareMatch(self) -> bool:
        ...
    def IsValid(self) -> bool:
        ...
    def Print(self) -> None:
        ...
    def SetNetworkConfig(self, arg0: NetworkDevice, arg1: NetworkType, arg2: str, arg3: str, arg4: str) -> bool:
        ...
class DeviceInfo:
    @property
    def boardmodel(self) -> int:
        ...
    @property
    def cameraid(self) -> CameraID:
        ...
    @property
    def factroydate(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def port(self) -> str:
        ...
    @property
    def sn(self) -> str:
        ...
    @property
    def support_capture_mode(self) -> CaptureMode:
        ...
    @property
    def support_color(self) -> ProjectorColor:
        ...
    @property
    def support_extra(self) -> bool:
        ...
    @property
    def support_protective_cover(self) -> bool:
        ...
    @property
    def support_x1(self) -> bool:
        ...
    @property
    def support_x2(self) -> bool:
        ...
    @property
    def type(self) -> PortType:
        ...
    @property
    def workingdist_far_mm(self) -> int:
        ...
    @property
    def workingdist_near_mm(self) -> int:
        ...
class Image:
    def __array__(self, dtype: None = None, /, *, copy: bool | None = None) -> numpy.typing.NDArray[numpy.uint8]:
        """
        For type checkers only: numpy.asarray(obj) reaches this view through the buffer protocol
        (the object has no __array__ method at run time).
        """
    @staticmethod
    def CreateFromFile(arg0: str) -> Image:
        ...
    @staticmethod
    def Destroy(arg0: Image) -> None:
        ...
    def Clone(self) -> Image:
        ...
    def GetSize(self) -> Size:
        ...
    def GetType(self) -> ImageTypeEnum:
        ...
    def IsValid(self) -> bool:
        ...
    def SaveImage(self, arg0: str) -> bool:
        ...
    def __init__(self) -> None:
        ...
class ImageTypeEnum:
    """
    Members:
    
      None
    
      Mono8
    
      RGB8
    
      BGR8
    """
    BGR8: typing.ClassVar[ImageTypeEnum]  # value = <ImageTypeEnum.BGR8: 3>
    Mono8: typing.ClassVar[ImageTypeEnum]  # value = <ImageTypeEnum.Mono8: 1>
    # None: typing.ClassVar[ImageTypeEnum]  # value = <ImageTypeEnum.None: 0>  (reached as getattr(..., 'None'))
    RGB8: typing.ClassVar[ImageTypeEnum]  # value = <ImageTypeEnum.RGB8: 2>
    __members__: typing.ClassVar[dict[str, ImageTypeEnum]]  # value = {'None': <ImageTypeEnum.None: 0>, 'Mono8': <ImageTypeEnum.Mono8: 1>, 'RGB8': <ImageTypeEnum.RGB8: 2>, 'BGR8': <ImageTypeEnum.BGR8: 3>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class NetworkDevice:
    """
    Members:
    
      NetworkDevice_LightMachine
    
      NetworkDevice_LeftCamera
    
      NetworkDevice_RightCamera
    
      NetworkDevice_ExtraCamera
    """
    NetworkDevice_ExtraCamera: typing.ClassVar[NetworkDevice]  # value = <NetworkDevice.NetworkDevice_ExtraCamera: 3>
    NetworkDevice_LeftCamera: typing.ClassVar[NetworkDevice]  # value = <NetworkDevice.NetworkDevice_LeftCamera: 1>
    NetworkDevice_LightMachine: typing.ClassVar[NetworkDevice]  # value = <NetworkDevice.NetworkDevice_LightMachine: 0>
    NetworkDevice_RightCamera: typing.ClassVar[NetworkDevice]  # value = <NetworkDevice.NetworkDevice_RightCamera: 2>
    __members__: typing.ClassVar[dict[str, NetworkDevice]]  # value = {'NetworkDevice_LightMachine': <NetworkDevice.NetworkDevice_LightMachine: 0>, 'NetworkDevice_LeftCamera': <NetworkDevice.NetworkDevice_LeftCamera: 1>, 'NetworkDevice_RightCamera': <NetworkDevice.NetworkDevice_RightCamera: 2>, 'NetworkDevice_ExtraCamera': <NetworkDevice.NetworkDevice_ExtraCamera: 3>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class NetworkType:
    """
    Members:
    
      NetworkType_DHCP
    
      NetworkType_STATIC
    """
    NetworkType_DHCP: typing.ClassVar[NetworkType]  # value = <NetworkType.NetworkType_DHCP: 0>
    NetworkType_STATIC: typing.ClassVar[NetworkType]  # value = <NetworkType.NetworkType_STATIC: 1>
    __members__: typing.ClassVar[dict[str, NetworkType]]  # value = {'NetworkType_DHCP': <NetworkType.NetworkType_DHCP: 0>, 'NetworkType_STATIC': <NetworkType.NetworkType_STATIC: 1>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class NormalData:
    def __array__(self, dtype: None = None, /, *, copy: bool | None = None) -> numpy.typing.NDArray[numpy.float64]:
        """
        For type checkers only: numpy.asarray(obj) reaches this view through the buffer protocol
        (the object has no __array__ method at run time).
        """
    def GetSize(self) -> Size:
        ...
    def IsValid(self) -> bool:
        ...
    def __init__(self) -> None:
        ...
class PointMap:
    def __array__(self, dtype: None = None, /, *, copy: bool | None = None) -> numpy.typing.NDArray[numpy.float64]:
        """
        For type checkers only: numpy.asarray(obj) reaches this view through the buffer protocol
        (the object has no __array__ method at run time).
        """
    @staticmethod
    def CreateFromFile(arg0: str, arg1: Size, arg2: PointMapUnitEnum) -> PointMap:
        ...
    @staticmethod
    def Destroy(arg0: PointMap) -> None:
        ...
    def Clone(self) -> PointMap:
        ...
    def GetNormalDataPtr(self) -> NormalData:
        ...
    def GetSize(self) -> Size:
        ...
    def IsValid(self) -> bool:
        ...
    def Save(self, filename: str, unit: PointMapUnitEnum = PointMapUnitEnum.Millimeter, isBinary: bool = True) -> bool:
        ...
    def SaveWithImage(self, filename: str, image: Image, unit: PointMapUnitEnum = PointMapUnitEnum.Millimeter, isBinary: bool = True) -> bool:
        ...
    def __init__(self) -> None:
        ...
class PointMapTypeEnum:
    """
    Members:
    
      None
    
      PointsOnly
    
      PointsNormals
    """
    # None: typing.ClassVar[PointMapTypeEnum]  # value = <PointMapTypeEnum.None: 0>  (reached as getattr(..., 'None'))
    PointsNormals: typing.ClassVar[PointMapTypeEnum]  # value = <PointMapTypeEnum.PointsNormals: 2>
    PointsOnly: typing.ClassVar[PointMapTypeEnum]  # value = <PointMapTypeEnum.PointsOnly: 1>
    __members__: typing.ClassVar[dict[str, PointMapTypeEnum]]  # value = {'None': <PointMapTypeEnum.None: 0>, 'PointsOnly': <PointMapTypeEnum.PointsOnly: 1>, 'PointsNormals': <PointMapTypeEnum.PointsNormals: 2>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class PointMapUnitEnum:
    """
    Members:
    
      Meter
    
      Millimeter
    """
    Meter: typing.ClassVar[PointMapUnitEnum]  # value = <PointMapUnitEnum.Meter: 0>
    Millimeter: typing.ClassVar[PointMapUnitEnum]  # value = <PointMapUnitEnum.Millimeter: 1>
    __members__: typing.ClassVar[dict[str, PointMapUnitEnum]]  # value = {'Meter': <PointMapUnitEnum.Meter: 0>, 'Millimeter': <PointMapUnitEnum.Millimeter: 1>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class PortType:
    """
    Members:
    
      PortType_NONE
    
      PortType_USB
    
      PortType_GIGE
    """
    PortType_GIGE: typing.ClassVar[PortType]  # value = <PortType.PortType_GIGE: 2>
    PortType_NONE: typing.ClassVar[PortType]  # value = <PortType.PortType_NONE: 0>
    PortType_USB: typing.ClassVar[PortType]  # value = <PortType.PortType_USB: 1>
    __members__: typing.ClassVar[dict[str, PortType]]  # value = {'PortType_NONE': <PortType.PortType_NONE: 0>, 'PortType_USB': <PortType.PortType_USB: 1>, 'PortType_GIGE': <PortType.PortType_GIGE: 2>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class ProjectorColor:
    """
    Members:
    
      ProjectorColor_None
    
      ProjectorColor_Red
    
      ProjectorColor_Green
    
      ProjectorColor_Blue
    
      ProjectorColor_White
    """
    ProjectorColor_Blue: typing.ClassVar[ProjectorColor]  # value = <ProjectorColor.ProjectorColor_Blue: 4>
    ProjectorColor_Green: typing.ClassVar[ProjectorColor]  # value = <ProjectorColor.ProjectorColor_Green: 2>
    ProjectorColor_None: typing.ClassVar[ProjectorColor]  # value = <ProjectorColor.ProjectorColor_None: 0>
    ProjectorColor_Red: typing.ClassVar[ProjectorColor]  # value = <ProjectorColor.ProjectorColor_Red: 1>
    ProjectorColor_White: typing.ClassVar[ProjectorColor]  # value = <ProjectorColor.ProjectorColor_White: 8>
    __members__: typing.ClassVar[dict[str, ProjectorColor]]  # value = {'ProjectorColor_None': <ProjectorColor.ProjectorColor_None: 0>, 'ProjectorColor_Red': <ProjectorColor.ProjectorColor_Red: 1>, 'ProjectorColor_Green': <ProjectorColor.ProjectorColor_Green: 2>, 'ProjectorColor_Blue': <ProjectorColor.ProjectorColor_Blue: 4>, 'ProjectorColor_White': <ProjectorColor.ProjectorColor_White: 8>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class ProtectiveCoverStatus:
    """
    Members:
    
      ProtectiveCoverStatus_Unknown
    
      ProtectiveCoverStatus_Closed
    
      ProtectiveCoverStatus_Closing
    
      ProtectiveCoverStatus_Open
    
      ProtectiveCoverStatus_Opening
    """
    ProtectiveCoverStatus_Closed: typing.ClassVar[ProtectiveCoverStatus]  # value = <ProtectiveCoverStatus.ProtectiveCoverStatus_Closed: 1>
    ProtectiveCoverStatus_Closing: typing.ClassVar[ProtectiveCoverStatus]  # value = <ProtectiveCoverStatus.ProtectiveCoverStatus_Closing: 2>
    ProtectiveCoverStatus_Open: typing.ClassVar[ProtectiveCoverStatus]  # value = <ProtectiveCoverStatus.ProtectiveCoverStatus_Open: 3>
    ProtectiveCoverStatus_Opening: typing.ClassVar[ProtectiveCoverStatus]  # value = <ProtectiveCoverStatus.ProtectiveCoverStatus_Opening: 4>
    ProtectiveCoverStatus_Unknown: typing.ClassVar[ProtectiveCoverStatus]  # value = <ProtectiveCoverStatus.ProtectiveCoverStatus_Unknown: 0>
    __members__: typing.ClassVar[dict[str, ProtectiveCoverStatus]]  # value = {'ProtectiveCoverStatus_Unknown': <ProtectiveCoverStatus.ProtectiveCoverStatus_Unknown: 0>, 'ProtectiveCoverStatus_Closed': <ProtectiveCoverStatus.ProtectiveCoverStatus_Closed: 1>, 'ProtectiveCoverStatus_Closing': <ProtectiveCoverStatus.ProtectiveCoverStatus_Closing: 2>, 'ProtectiveCoverStatus_Open': <ProtectiveCoverStatus.ProtectiveCoverStatus_Open: 3>, 'ProtectiveCoverStatus_Opening': <ProtectiveCoverStatus.ProtectiveCoverStatus_Opening: 4>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class ROI:
    height: int
    width: int
    x: int
    y: int
    @typing.overload
    def __init__(self) -> None:
        ...
    @typing.overload
    def __init__(self, arg0: int, arg1: int, arg2: int, arg3: int) -> None:
        ...
class ROIRange:
    height_max: int
    height_min: int
    height_step: int
    width_max: int
    width_min: int
    width_step: int
    x_step: int
    y_step: int
    def __init__(self) -> None:
        ...
class Size:
    cols: int
    height: int
    rows: int
    width: int
    @typing.overload
    def __init__(self) -> None:
        ...
    @typing.overload
    def __init__(self, arg0: int, arg1: int) -> None:
        ...
class SmoothnessLevel:
    """
    Members:
    
      SmoothnessLevel_Off
    
      SmoothnessLevel_Weak
    
      SmoothnessLevel_Normal
    
      SmoothnessLevel_Strong
    """
    SmoothnessLevel_Normal: typing.ClassVar[SmoothnessLevel]  # value = <SmoothnessLevel.SmoothnessLevel_Normal: 2>
    SmoothnessLevel_Off: typing.ClassVar[SmoothnessLevel]  # value = <SmoothnessLevel.SmoothnessLevel_Off: 0>
    SmoothnessLevel_Strong: typing.ClassVar[SmoothnessLevel]  # value = <SmoothnessLevel.SmoothnessLevel_Strong: 3>
    SmoothnessLevel_Weak: typing.ClassVar[SmoothnessLevel]  # value = <SmoothnessLevel.SmoothnessLevel_Weak: 1>
    __members__: typing.ClassVar[dict[str, SmoothnessLevel]]  # value = {'SmoothnessLevel_Off': <SmoothnessLevel.SmoothnessLevel_Off: 0>, 'SmoothnessLevel_Weak': <SmoothnessLevel.SmoothnessLevel_Weak: 1>, 'SmoothnessLevel_Normal': <SmoothnessLevel.SmoothnessLevel_Normal: 2>, 'SmoothnessLevel_Strong': <SmoothnessLevel.SmoothnessLevel_Strong: 3>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class SystemListDeviceTypeEnum:
    """
    Members:
    
      USB
    
      GigE
    
      All
    """
    All: typing.ClassVar[SystemListDeviceTypeEnum]  # value = <SystemListDeviceTypeEnum.All: 3>
    GigE: typing.ClassVar[SystemListDeviceTypeEnum]  # value = <SystemListDeviceTypeEnum.GigE: 2>
    USB: typing.ClassVar[SystemListDeviceTypeEnum]  # value = <SystemListDeviceTypeEnum.USB: 1>
    __members__: typing.ClassVar[dict[str, SystemListDeviceTypeEnum]]  # value = {'USB': <SystemListDeviceTypeEnum.USB: 1>, 'GigE': <SystemListDeviceTypeEnum.GigE: 2>, 'All': <SystemListDeviceTypeEnum.All: 3>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class X1:
    @staticmethod
    def Create(device: Device, camid: CameraID = CameraID.CameraID_0) -> X1:
        ...
    @staticmethod
    def Destroy(arg0: X1) -> None:
        ...
    def AutoAdjustRoi(self, arg0: ROI) -> ROI:
        ...
    def AutoWhiteBalance(self, arg0: int, arg1: X1_CaptureOptions, arg2: ROI) -> bool:
        ...
    @typing.overload
    def Capture(self, arg0: X1_CaptureOptions) -> bool:
        ...
    @typing.overload
    def Capture(self) -> bool:
        ...
    @typing.overload
    def Capture2D(self, opts: X1_CaptureOptions = ...) -> bool:
        ...
    @typing.overload
    def Capture2D(self) -> bool:
        ...
    def CheckRoi(self, arg0: ROI) -> bool:
        ...
    def Close(self) -> None:
        ...
    def CloseProtectiveCover(self) -> bool:
        ...
    def CloseProtectiveCoverAsync(self) -> bool:
        ...
    def GetAutoCaptureSetting(self, opts: X1_CaptureOptions = ..., roi: ROI = ...) -> tuple[bool, X1_CaptureOptions]:
        ...
    def GetAutoHdrCaptureSetting(self, opts: X1_CaptureOptions = ..., roi: ROI = ...) -> tuple[bool, X1_CaptureOptions]:
        ...
    def GetAutoNoiseRemovalSetting(self, arg0: X1_CaptureOptions) -> tuple[bool, X1_CaptureOptions]:
        ...
    def GetBalanceRange(self, arg0: BalanceSelector) -> tuple[bool, float, float]:
        ...
    def GetBalanceRatio(self, arg0: BalanceSelector) -> tuple[bool, float]:
        ...
    def GetCameraResolution(self) -> tuple[bool, Size]:
        ...
    def GetCameraTemperature(self, arg0: CameraTempSelector) -> tuple[bool, float]:
        ...
    def GetConfidenceMap(self) -> ConfidenceMap:
        ...
    def GetCustomTransformation(self) -> tuple[bool, X1_CustomTransformOptions]:
        ...
    def GetDepthMap(self) -> DepthMap:
        ...
    def GetExposureTimeRange(self) -> tuple[bool, int, int]:
        ...
    def GetExtrinsicMatrix(self) -> tuple[bool, list[float]]:
        ...
    def GetGainRange(self) -> tuple[bool, float, float]:
        ...
    def GetGammaRange(self) -> tuple[bool, float, float]:
        ...
    def GetImage(self) -> Image:
        ...
    def GetIntrinsicParameters(self) -> tuple[bool, list[float], list[float]]:
        ...
    def GetPointMap(self) -> PointMap:
        ...
    def GetProjectorTemperature(self) -> tuple[bool, float]:
        ...
    def GetProtectiveCoverStatus(self) -> tuple[bool, ProtectiveCoverStatus]:
        ...
    def GetRoiRange(self) -> tuple[bool, ROIRange]:
        ...
    def IsOpen(self) -> bool:
        ...
    def IsPhysicallyConnected(self) -> bool:
        ...
    def IsValid(self) -> bool:
        ...
    def LoadCaptureOptionParameters(self) -> tuple[bool, X1_CaptureOptions]:
        ...
    def LoadSettingFromFile(self, arg0: str) -> bool:
        ...
    def Open(self) -> bool:
        ...
    def OpenProtectiveCover(self) -> bool:
        ...
    def OpenProtectiveCoverAsync(self) -> bool:
        ...
    def ResetProtectiveCover(self) -> bool:
        ...
    def SaveCaptureOptionParameters(self, arg0: X1_CaptureOptions) -> bool:
        ...
    def SaveEncodedImagesData(self, arg0: str) -> bool:
        ...
    def SaveSettingToFile(self, arg0: str) -> bool:
        ...
    def SetBalanceRatio(self, arg0: BalanceSelector, arg1: float) -> bool:
        ...
    def SetBandwidth(self, arg0: float) -> bool:
        ...
    def SetCustomTransformation(self, arg0: X1_CustomTransformOptions) -> bool:
        ...
    def __init__(self) -> None:
        ...
class X1CustomTransformCoordinate:
    """
    Members:
    
      CoordinateSelect_Disabled
    
      CoordinateSelect_Camera
    
      CoordinateSelect_CaliBoard
    """
    CoordinateSelect_CaliBoard: typing.ClassVar[X1CustomTransformCoordinate]  # value = <X1CustomTransformCoordinate.CoordinateSelect_CaliBoard: 2>
    CoordinateSelect_Camera: typing.ClassVar[X1CustomTransformCoordinate]  # value = <X1CustomTransformCoordinate.CoordinateSelect_Camera: 1>
    CoordinateSelect_Disabled: typing.ClassVar[X1CustomTransformCoordinate]  # value = <X1CustomTransformCoordinate.CoordinateSelect_Disabled: 0>
    __members__: typing.ClassVar[dict[str, X1CustomTransformCoordinate]]  # value = {'CoordinateSelect_Disabled': <X1CustomTransformCoordinate.CoordinateSelect_Disabled: 0>, 'CoordinateSelect_Camera': <X1CustomTransformCoordinate.CoordinateSelect_Camera: 1>, 'CoordinateSelect_CaliBoard': <X1CustomTransformCoordinate.CoordinateSelect_CaliBoard: 2>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class X1_CaptureOptions:
    bilateral_filter_depth_sigma: float
    bilateral_filter_kernal_size: int
    bilateral_filter_space_sigma: float
    calc_normal: bool
    calc_normal_radius: int
    capture_mode: CaptureMode
    confidence_threshold: float
    downsample_distance: float
    enable_2d_in_capture: bool
    exposure_time_2d: int
    exposure_time_3d: int
    filter_range: int
    gain_2d: float
    gain_3d: float
    gamma_2d: float
    gamma_3d: float
    hdr_exposure_times: int
    light_contrast_threshold: int
    noise_removal_distance: float
    noise_removal_point_number: int
    phase_filter_range: int
    projector_brightness: int
    reflection_filter_threshold: int
    roi: ROI
    scan_times: int
    smooth_sigma: float
    smoothness: SmoothnessLevel
    transform_to_camera: bool
    truncate_z_max: float
    truncate_z_min: float
    use_auto_bilateral_filter: bool
    use_auto_noise_removal: bool
    use_projector_capturing_2d_image: bool
    def GetHDRExposureTimeContent(self, arg0: int) -> int:
        ...
    def GetHDRGainContent(self, arg0: int) -> float:
        ...
    def GetHDRProjectorBrightnessContent(self, arg0: int) -> int:
        ...
    def GetHDRScanTimesContent(self, arg0: int) -> int:
        ...
    def SetHDRExposureTimeContent(self, arg0: int, arg1: int) -> bool:
        ...
    def SetHDRGainContent(self, arg0: int, arg1: float) -> bool:
        ...
    def SetHDRProjectorBrightnessContent(self, arg0: int, arg1: int) -> bool:
        ...
    def SetHDRScanTimesContent(self, arg0: int, arg1: int) -> bool:
        ...
    def __init__(self) -> None:
        ...
class X1_CustomTransformOptions:
    coordinate_select: X1CustomTransformCoordinate
    def SetTransform(self, arg0: _FloatArrayLike) -> None:
        ...
    def __init__(self) -> None:
        ...
class X2:
    @staticmethod
    def Create(device: Device) -> X2:
        ...
    @staticmethod
    def Destroy(arg0: X2) -> None:
        ...
    def AutoAdjustRoi(self, arg0: ROI) -> ROI:
        ...
    def AutoWhiteBalance(self, arg0: int, arg1: X2_CaptureOptions, arg2: ROI) -> bool:
        ...
    @typing.overload
    def Capture(self, arg0: X2_CaptureOptions) -> bool:
        ...
    @typing.overload
    def Capture(self) -> bool:
        ...
    @typing.overload
    def Capture2D(self, cid: CameraID, opts: X2_CaptureOptions = ...) -> bool:
        ...
    @typing.overload
    def Capture2D(self, cid: CameraID) -> bool:
        ...
    def CheckRoi(self, arg0: ROI) -> bool:
        ...
    def Close(self) -> None:
        ...
    def CloseProtectiveCover(self) -> bool:
        ...
    def CloseProtectiveCoverAsync(self) -> bool:
        ...
    def GetAutoCaptureSetting(self, opts: X2_CaptureOptions = ..., roi: ROI = ...) -> tuple[bool, X2_CaptureOptions]:
        ...
    def GetAutoHdrCaptureSetting(self, opts: X2_CaptureOptions = ..., roi: ROI = ...) -> tuple[bool, X2_CaptureOptions]:
        ...
    def GetAutoNoiseRemovalSetting(self, arg0: X2_CaptureOptions) -> tuple[bool, X2_CaptureOptions]:
        ...
    def GetCameraResolution(self) -> tuple[bool, Size]:
        ...
    def GetCameraTemperature(self, arg0: CameraID, arg1: CameraTempSelector) -> tuple[bool, float]:
        ...
    def GetConfidenceMap(self) -> ConfidenceMap:
        ...
    def GetCorrespondMap(self) -> CorrespondMap:
        ...
    def GetCustomTransformation(self) -> tuple[bool, X2_CustomTransformOptions]:
        ...
    def GetDepthMap(self) -> DepthMap:
        ...
    def GetExposureTimeRange(self) -> tuple[bool, int, int]:
        ...
    def GetExtrinsicMatrix(self, arg0: CameraID) -> tuple[bool, list[float]]:
        ...
    @typing.overload
    def GetFixedLineScanPointMap(self) -> PointMap:
        ...
    @typing.overload
    def GetFixedLineScanPointMap(self, arg0: PointMap) -> bool:
        ...
    def GetGainRange(self) -> tuple[bool, float, float]:
        ...
    def GetGammaRange(self) -> tuple[bool, float, float]:
        ...
    def GetImage(self, arg0: CameraID) -> Image:
        ...
    def GetIntrinsicParameters(self, arg0: CameraID) -> tuple[bool, list[float], list[float]]:
        ...
    def GetPointMap(self) -> PointMap:
        ...
    def GetProjectorTemperature(self) -> tuple[bool, float]:
        ...
    def GetProtectiveCoverStatus(self) -> tuple[bool, ProtectiveCoverStatus]:
        ...
    def GetRoiRange(self) -> tuple[bool, ROIRange]:
        ...
    def IsOpen(self) -> bool:
        ...
    def IsPhysicallyConnected(self) -> bool:
        ...
    def IsValid(self) -> bool:
        ...
    def LoadCaptureOptionParameters(self) -> tuple[bool, X2_CaptureOptions]:
        ...
    def LoadSettingFromFile(self, arg0: str) -> bool:
        ...
    def Open(self) -> bool:
        ...
    def OpenProtectiveCover(self) -> bool:
        ...
    def OpenProtectiveCoverAsync(self) -> bool:
        ...
    def ResetProtectiveCover(self) -> bool:
        ...
    def SaveCaptureOptionParameters(self, arg0: X2_CaptureOptions) -> bool:
        ...
    def SaveEncodedImagesData(self, arg0: str) -> bool:
        ...
    def SaveSettingToFile(self, arg0: str) -> bool:
        ...
    def SetBandwidth(self, arg0: float) -> bool:
        ...
    def SetCustomTransformation(self, arg0: X2_CustomTransformOptions) -> bool:
        ...
    @typing.overload
    def StartFixedLineScan(self, arg0: X2_CaptureOptions) -> bool:
        ...
    @typing.overload
    def StartFixedLineScan(self) -> bool:
        ...
    def StopFixedLineScan(self) -> bool:
        ...
    def __init__(self) -> None:
        ...
class X2CustomTransformCoordinate:
    """
    Members:
    
      CoordinateSelect_Disabled
    
      CoordinateSelect_CameraLeft
    
      CoordinateSelect_CameraRight
    
      CoordinateSelect_CaliBoard
    
      CoordinateSelect_CameraExtra
    """
    CoordinateSelect_CaliBoard: typing.ClassVar[X2CustomTransformCoordinate]  # value = <X2CustomTransformCoordinate.CoordinateSelect_CaliBoard: 3>
    CoordinateSelect_CameraExtra: typing.ClassVar[X2CustomTransformCoordinate]  # value = <X2CustomTransformCoordinate.CoordinateSelect_CameraExtra: 4>
    CoordinateSelect_CameraLeft: typing.ClassVar[X2CustomTransformCoordinate]  # value = <X2CustomTransformCoordinate.CoordinateSelect_CameraLeft: 1>
    CoordinateSelect_CameraRight: typing.ClassVar[X2CustomTransformCoordinate]  # value = <X2CustomTransformCoordinate.CoordinateSelect_CameraRight: 2>
    CoordinateSelect_Disabled: typing.ClassVar[X2CustomTransformCoordinate]  # value = <X2CustomTransformCoordinate.CoordinateSelect_Disabled: 0>
    __members__: typing.ClassVar[dict[str, X2CustomTransformCoordinate]]  # value = {'CoordinateSelect_Disabled': <X2CustomTransformCoordinate.CoordinateSelect_Disabled: 0>, 'CoordinateSelect_CameraLeft': <X2CustomTransformCoordinate.CoordinateSelect_CameraLeft: 1>, 'CoordinateSelect_CameraRight': <X2CustomTransformCoordinate.CoordinateSelect_CameraRight: 2>, 'CoordinateSelect_CaliBoard': <X2CustomTransformCoordinate.CoordinateSelect_CaliBoard: 3>, 'CoordinateSelect_CameraExtra': <X2CustomTransformCoordinate.CoordinateSelect_CameraExtra: 4>}
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class X2_CaptureOptions:
    bilateral_filter_depth_sigma: float
    bilateral_filter_kernal_size: int
    bilateral_filter_space_sigma: float
    calc_normal: bool
    calc_normal_radius: int
    capture_mode: CaptureMode
    confidence_threshold: float
    correspond2d: bool
    downsample_distance: float
    edge_noise_reduction_threshold: int
    enable_2d_in_capture: bool
    exposure_time_2d: int
    exposure_time_3d: int
    gain_2d: float
    gain_3d: float
    gamma_2d: float
    gamma_3d: float
    hdr_exposure_times: int
    light_contrast_threshold: int
    line_scanner_brightness_threshold: int
    line_scanner_exposure_time_us: int
    line_scanner_laser_position: int
    line_scanner_max_distance: int
    line_scanner_min_distance: int
    line_scanner_scan_time_ms: int
    noise_removal_distance: float
    noise_removal_point_number: int
    pointcloud_completion: bool
    projector_brightness: int
    projector_color: ProjectorColor
    reflection_filter_threshold: int
    roi: ROI
    scan_times: int
    smooth_sigma: float
    smoothness: SmoothnessLevel
    transform_to_camera: CameraID
    use_auto_bilateral_filter: bool
    use_auto_noise_removal: bool
    use_projector_capturing_2d_image: bool
    def GetHDRExposureTimeContent(self, arg0: int) -> int:
        ...
    def GetHDRGainContent(self, arg0: int) -> float:
        ...
    def GetHDRProjectorBrightnessContent(self, arg0: int) -> int:
        ...
    def GetHDRScanTimesContent(self, arg0: int) -> int:
        ...
    def SetHDRExposureTimeContent(self, arg0: int, arg1: int) -> bool:
        ...
    def SetHDRGainContent(self, arg0: int, arg1: float) -> bool:
        ...
    def SetHDRProjectorBrightnessContent(self, arg0: int, arg1: int) -> bool:
        ...
    def SetHDRScanTimesContent(self, arg0: int, arg1: int) -> bool:
        ...
    def __init__(self) -> None:
        ...
class X2_CustomTransformOptions:
    coordinate_select: X2CustomTransformCoordinate
    def SetTransform(self, arg0: _FloatArrayLike) -> None:
        ...
    def __init__(self) -> None:
        ...
@typing.overload
def DetectCodedCircleMarker(arg0: Image, arg1: CodedCircleMarkerType) -> list[CodedCircleMarker]:
    ...
@typing.overload
def DetectCodedCircleMarker(arg0: _ByteArrayLike, arg1: CodedCircleMarkerType) -> list[CodedCircleMarker]:
    ...
def GetExternalCameraExtrinsicMatrix(arg0: Image, arg1: PointMap, arg2: _ByteArrayLike, arg3: Image, arg4: PointMap, arg5: _ByteArrayLike, arg6: Image, arg7: PointMap, arg8: _ByteArrayLike, arg9: int, arg10: int, arg11: _FloatSequence, arg12: _FloatSequence) -> tuple[bool, list[float], float]:
    ...
def GetExternalCameraPointMap(arg0: PointMap, arg1: int, arg2: int, arg3: _FloatSequence, arg4: _FloatSequence, arg5: _FloatSequence) -> PointMap:
    ...
def GetLastError() -> int:
    ...
def GetLastErrorMessage() -> str:
    ...
def GetTwoCameraTransformByCodedCircleMarker(arg0: PointMap, arg1: Image, arg2: PointMap, arg3: Image, arg4: CodedCircleMarkerType) -> tuple[int, numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
    ...
def GetVersion() -> str:
    ...
def ImageCreate(arg0: ImageTypeEnum, arg1: Size) -> Image:
    ...
def ImageDestroy(img: Image, no_reuse: bool = True) -> None:
    """
    Destroy the image
    """
def ImageTypeGetPixelSize(arg0: ImageTypeEnum) -> int:
    ...
def ImageTypeToString(arg0: ImageTypeEnum) -> str:
    ...
def PointMapCreate(arg0: PointMapTypeEnum, arg1: Size) -> PointMap:
    ...
def PointMapDestroy(arg0: PointMap) -> None:
    ...
def PointMapTypeToString(arg0: PointMapTypeEnum) -> str:
    ...
def SystemFindDevice(serialNumber: str) -> Device:
    """
    Find the device with serial number.
    """
def SystemInit() -> bool:
    """
    Initialize system.
    """
def SystemIsInited() -> bool:
    """
    System Is Inited?
    """
def SystemListDeviceTypeToString(arg0: SystemListDeviceTypeEnum) -> str:
    ...
def SystemListDevices(arg0: SystemListDeviceTypeEnum) -> tuple[int, list[Device]]:
    ...
def SystemShutdown() -> None:
    """
    Shut down the system.
    """
@typing.overload
def TestAccuracy(arg0: Image, arg1: PointMap, arg2: int, arg3: int, arg4: float) -> tuple[int, list[float], list[float], float, float]:
    ...
@typing.overload
def TestAccuracy(arg0: Image, arg1: PointMap, arg2: _FloatSequence, arg3: _FloatSequence, arg4: int, arg5: int, arg6: float) -> tuple[int, list[float], list[float], float, float]:
    ...
def TransformPointCloud(arg0: _FloatArrayLike, arg1: _FloatArrayLike, arg2: PointMap) -> None:
    ...
All: SystemListDeviceTypeEnum  # value = <SystemListDeviceTypeEnum.All: 3>
BGR8: ImageTypeEnum  # value = <ImageTypeEnum.BGR8: 3>
BalanceSelector_Blue: BalanceSelector  # value = <BalanceSelector.BalanceSelector_Blue: 3>
BalanceSelector_Green: BalanceSelector  # value = <BalanceSelector.BalanceSelector_Green: 2>
BalanceSelector_None: BalanceSelector  # value = <BalanceSelector.BalanceSelector_None: 0>
BalanceSelector_Red: BalanceSelector  # value = <BalanceSelector.BalanceSelector_Red: 1>
CameraID_0: CameraID  # value = <CameraID.CameraID_0: 1>
CameraID_1: CameraID  # value = <CameraID.CameraID_1: 2>
CameraID_2: CameraID  # value = <CameraID.CameraID_2: 4>
CameraID_3: CameraID  # value = <CameraID.CameraID_3: 8>
CameraID_Both: CameraID  # value = <CameraID.CameraID_Both: 3>
CameraID_Extra: CameraID  # value = <CameraID.CameraID_2: 4>
CameraID_Left: CameraID  # value = <CameraID.CameraID_0: 1>
CameraID_NONE: CameraID  # value = <CameraID.CameraID_NONE: 0>
CameraID_Right: CameraID  # value = <CameraID.CameraID_1: 2>
CameraTempSelector_Camera: CameraTempSelector  # value = <CameraTempSelector.CameraTempSelector_Camera: 0>
CameraTempSelector_CoreBoard: CameraTempSelector  # value = <CameraTempSelector.CameraTempSelector_CoreBoard: 1>
CameraTempSelector_FpgaCore: CameraTempSelector  # value = <CameraTempSelector.CameraTempSelector_FpgaCore: 2>
CameraTempSelector_Framegrabberboard: CameraTempSelector  # value = <CameraTempSelector.CameraTempSelector_Framegrabberboard: 3>
CameraTempSelector_Sensor: CameraTempSelector  # value = <CameraTempSelector.CameraTempSelector_Sensor: 4>
CameraTempSelector_SensorBoard: CameraTempSelector  # value = <CameraTempSelector.CameraTempSelector_SensorBoard: 5>
CaptureMode_AntiInterReflection: CaptureMode  # value = <CaptureMode.CaptureMode_AntiInterReflection: 16>
CaptureMode_Fast: CaptureMode  # value = <CaptureMode.CaptureMode_Fast: 1>
CaptureMode_FixedLineScan: CaptureMode  # value = <CaptureMode.CaptureMode_FixedLineScan: 64>
CaptureMode_LineArrayShift: CaptureMode  # value = <CaptureMode.CaptureMode_LineArrayShift: 128>
CaptureMode_Normal: CaptureMode  # value = <CaptureMode.CaptureMode_Normal: 2>
CaptureMode_Robust: CaptureMode  # value = <CaptureMode.CaptureMode_Robust: 8>
CaptureMode_SwingLineScan: CaptureMode  # value = <CaptureMode.CaptureMode_SwingLineScan: 32>
CaptureMode_Ultra: CaptureMode  # value = <CaptureMode.CaptureMode_Ultra: 4>
CoordinateSelect_CaliBoard: X2CustomTransformCoordinate  # value = <X2CustomTransformCoordinate.CoordinateSelect_CaliBoard: 3>
CoordinateSelect_Camera: X1CustomTransformCoordinate  # value = <X1CustomTransformCoordinate.CoordinateSelect_Camera: 1>
CoordinateSelect_CameraExtra: X2CustomTransformCoordinate  # value = <X2CustomTransformCoordinate.CoordinateSelect_CameraExtra: 4>
CoordinateSelect_CameraLeft: X2CustomTransformCoordinate  # value = <X2CustomTransformCoordinate.CoordinateSelect_CameraLeft: 1>
CoordinateSelect_CameraRight: X2CustomTransformCoordinate  # value = <X2CustomTransformCoordinate.CoordinateSelect_CameraRight: 2>
CoordinateSelect_Disabled: X2CustomTransformCoordinate  # value = <X2CustomTransformCoordinate.CoordinateSelect_Disabled: 0>
GigE: SystemListDeviceTypeEnum  # value = <SystemListDeviceTypeEnum.GigE: 2>
Meter: PointMapUnitEnum  # value = <PointMapUnitEnum.Meter: 0>
Millimeter: PointMapUnitEnum  # value = <PointMapUnitEnum.Millimeter: 1>
Mono8: ImageTypeEnum  # value = <ImageTypeEnum.Mono8: 1>
NetworkDevice_ExtraCamera: NetworkDevice  # value = <NetworkDevice.NetworkDevice_ExtraCamera: 3>
NetworkDevice_LeftCamera: NetworkDevice  # value = <NetworkDevice.NetworkDevice_LeftCamera: 1>
NetworkDevice_LightMachine: NetworkDevice  # value = <NetworkDevice.NetworkDevice_LightMachine: 0>
NetworkDevice_RightCamera: NetworkDevice  # value = <NetworkDevice.NetworkDevice_RightCamera: 2>
NetworkType_DHCP: NetworkType  # value = <NetworkType.NetworkType_DHCP: 0>
NetworkType_STATIC: NetworkType  # value = <NetworkType.NetworkType_STATIC: 1>
# None: PointMapTypeEnum  # value = <PointMapTypeEnum.None: 0>  (reached as getattr(..., 'None'))
PointsNormals: PointMapTypeEnum  # value = <PointMapTypeEnum.PointsNormals: 2>
PointsOnly: PointMapTypeEnum  # value = <PointMapTypeEnum.PointsOnly: 1>
PortType_GIGE: PortType  # value = <PortType.PortType_GIGE: 2>
PortType_NONE: PortType  # value = <PortType.PortType_NONE: 0>
PortType_USB: PortType  # value = <PortType.PortType_USB: 1>
ProjectorColor_Blue: ProjectorColor  # value = <ProjectorColor.ProjectorColor_Blue: 4>
ProjectorColor_Green: ProjectorColor  # value = <ProjectorColor.ProjectorColor_Green: 2>
ProjectorColor_None: ProjectorColor  # value = <ProjectorColor.ProjectorColor_None: 0>
ProjectorColor_Red: ProjectorColor  # value = <ProjectorColor.ProjectorColor_Red: 1>
ProjectorColor_White: ProjectorColor  # value = <ProjectorColor.ProjectorColor_White: 8>
RGB8: ImageTypeEnum  # value = <ImageTypeEnum.RGB8: 2>
SmoothnessLevel_Normal: SmoothnessLevel  # value = <SmoothnessLevel.SmoothnessLevel_Normal: 2>
SmoothnessLevel_Off: SmoothnessLevel  # value = <SmoothnessLevel.SmoothnessLevel_Off: 0>
SmoothnessLevel_Strong: SmoothnessLevel  # value = <SmoothnessLevel.SmoothnessLevel_Strong: 3>
SmoothnessLevel_Weak: SmoothnessLevel  # value = <SmoothnessLevel.SmoothnessLevel_Weak: 1>
USB: SystemListDeviceTypeEnum  # value = <SystemListDeviceTypeEnum.USB: 1>
