// Still Image (STI) declarations of the portable subset: the records, constants
// and interfaces that the bridge and the simulator use, declared as the
// platform's sti.h declares them. The interfaces keep the platform's slot order
// method for method, so that an object built against one header answers calls
// made through the other. As in the platform header, four methods of
// IStillImageW are not pure; whoever implements IStillImageW defines them.
#pragma once

#include "com.h"
#include "types.h"

#define STI_UNICODE 1

#define STI_VERSION_FLAG_MASK 0xff000000
#define STI_VERSION_FLAG_UNICODE 0x01000000
#define STI_VERSION_REAL 0x00000002
#define STI_VERSION_MIN_ALLOWED 0x00000002
#define STI_VERSION (STI_VERSION_REAL | STI_VERSION_FLAG_UNICODE)
#define GET_STIVER_MAJOR(dwVersion) (HIWORD(dwVersion) & ~STI_VERSION_FLAG_MASK)
#define GET_STIVER_MINOR(dwVersion) LOWORD(dwVersion)

#define STI_MAX_INTERNAL_NAME_LENGTH 128

typedef enum _STI_DEVICE_MJ_TYPE {
  StiDeviceTypeDefault = 0,
  StiDeviceTypeScanner = 1,
  StiDeviceTypeDigitalCamera = 2,
  StiDeviceTypeStreamingVideo = 3
} STI_DEVICE_MJ_TYPE;

typedef DWORD STI_DEVICE_TYPE;
#define GET_STIDEVICE_TYPE(dwDevType) HIWORD(dwDevType)
#define GET_STIDEVICE_SUBTYPE(dwDevType) LOWORD(dwDevType)

typedef struct _STI_DEV_CAPS {
  DWORD dwGeneric;
} STI_DEV_CAPS, *PSTI_DEV_CAPS;

#define STI_GENCAP_NOTIFICATIONS 0x00000001
#define STI_GENCAP_POLLING_NEEDED 0x00000002
#define STI_GENCAP_GENERATE_ARRIVALEVENT 0x00000004
#define STI_GENCAP_AUTO_PORTSELECT 0x00000008
#define STI_GENCAP_WIA 0x00000010
#define STI_GENCAP_SUBSET 0x00000020
#define STI_HW_CONFIG_UNKNOWN 0x0001
#define STI_HW_CONFIG_SCSI 0x0002
#define STI_HW_CONFIG_USB 0x0004
#define STI_HW_CONFIG_SERIAL 0x0008
#define STI_HW_CONFIG_PARALLEL 0x0010

typedef struct _STI_DEVICE_INFORMATIONW {
  DWORD dwSize;
  STI_DEVICE_TYPE DeviceType;
  WCHAR szDeviceInternalName[STI_MAX_INTERNAL_NAME_LENGTH];
  STI_DEV_CAPS DeviceCapabilities;
  DWORD dwHardwareConfiguration;
  LPWSTR pszVendorDescription;
  LPWSTR pszDeviceDescription;
  LPWSTR pszPortName;
  LPWSTR pszPropProvider;
  LPWSTR pszLocalName;
} STI_DEVICE_INFORMATIONW, *PSTI_DEVICE_INFORMATIONW;
typedef STI_DEVICE_INFORMATIONW STI_DEVICE_INFORMATION;
typedef PSTI_DEVICE_INFORMATIONW PSTI_DEVICE_INFORMATION;

typedef struct _STI_DEVICE_STATUS {
  DWORD dwSize;
  DWORD StatusMask;
  DWORD dwOnlineState;
  DWORD dwHardwareStatusCode;
  DWORD dwEventHandlingState;
  DWORD dwPollingInterval;
} STI_DEVICE_STATUS, *PSTI_DEVICE_STATUS;

typedef struct _ERROR_INFOW {
  DWORD dwSize;
  DWORD dwGenericError;
  DWORD dwVendorError;
  WCHAR szExtendedErrorText[255];
} STI_ERROR_INFOW, *PSTI_ERROR_INFOW;
typedef STI_ERROR_INFOW STI_ERROR_INFO;
typedef STI_ERROR_INFO* PSTI_ERROR_INFO;

typedef struct _STI_DIAG {
  DWORD dwSize;
  DWORD dwBasicDiagCode;
  DWORD dwVendorDiagCode;
  DWORD dwStatusMask;
  STI_ERROR_INFO sErrorInfo;
} STI_DIAG, *LPSTI_DIAG;

typedef struct _STISUBSCRIBE {
  DWORD dwSize;
  DWORD dwFlags;
  DWORD dwFilter;
  HWND hWndNotify;
  HANDLE hEvent;
  UINT uiNotificationMessage;
} STISUBSCRIBE, *LPSTISUBSCRIBE;

#define MAX_NOTIFICATION_DATA 64
typedef struct _STINOTIFY {
  DWORD dwSize;
  GUID guidNotificationCode;
  BYTE abNotificationData[MAX_NOTIFICATION_DATA];
} STINOTIFY, *LPSTINOTIFY;

// Only named by IStiDevice's raw I/O methods, which nothing here calls.
typedef struct _OVERLAPPED* LPOVERLAPPED;

#define STI_DEVICE_CREATE_STATUS 0x00000001
#define STI_DEVICE_CREATE_DATA 0x00000002
#define STI_DEVICE_CREATE_BOTH 0x00000003
#define STI_DEVICE_CREATE_MASK 0x0000FFFF

#define STIEDFL_ALLDEVICES 0x00000000
#define STIEDFL_ATTACHEDONLY 0x00000001

typedef DWORD STI_RAW_CONTROL_CODE;
#define STI_RAW_RESERVED 0x1000

// Status codes of STI (stierr.h).
#define STI_OK S_OK
#define STI_NOTCONNECTED S_FALSE
#define STIERR_OBJECTNOTFOUND MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, ERROR_FILE_NOT_FOUND)
#define STIERR_INVALID_PARAM E_INVALIDARG
#define STIERR_NOINTERFACE E_NOINTERFACE
#define STIERR_GENERIC E_FAIL
#define STIERR_OUTOFMEMORY E_OUTOFMEMORY
#define STIERR_UNSUPPORTED E_NOTIMPL
#define STIERR_NOT_INITIALIZED MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, ERROR_NOT_READY)
#define STIERR_DEVICE_LOCKED MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, ERROR_LOCK_VIOLATION)
#define STIERR_NEEDS_LOCK MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, 158L)
#define STIERR_INVALID_DEVICE_NAME MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, ERROR_INVALID_NAME)
#define STIERR_DEVICE_NOTREADY MAKE_HRESULT(SEVERITY_ERROR, FACILITY_WIN32, ERROR_NOT_READY)

DEFINE_GUID(IID_IStillImageW, 0x641BD880, 0x2DC8, 0x11D0, 0x90, 0xEA, 0x00, 0xAA, 0x00, 0x60, 0xF8,
            0x6C);
DEFINE_GUID(IID_IStiDevice, 0x6CFA5A80, 0x2DC8, 0x11D0, 0x90, 0xEA, 0x00, 0xAA, 0x00, 0x60, 0xF8,
            0x6C);
#define IID_IStillImage IID_IStillImageW

struct IStiDevice;
typedef IStiDevice* PSTIDEVICE;
typedef IStiDevice* LPSTILLIMAGEDEVICE;

struct IStillImageW : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(HINSTANCE hinst, DWORD dwVersion) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDeviceList(DWORD dwType, DWORD dwFlags,
                                                  DWORD* pdwItemsReturned, LPVOID* ppBuffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDeviceInfo(LPWSTR pwszDeviceName, LPVOID* ppBuffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateDevice(LPWSTR pwszDeviceName, DWORD dwMode,
                                                 PSTIDEVICE* pDevice, LPUNKNOWN punkOuter) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDeviceValue(LPWSTR pwszDeviceName, LPWSTR pValueName,
                                                   LPDWORD pType, LPBYTE pData, LPDWORD cbData);
  virtual HRESULT STDMETHODCALLTYPE SetDeviceValue(LPWSTR pwszDeviceName, LPWSTR pValueName,
                                                   DWORD Type, LPBYTE pData, DWORD cbData);
  virtual HRESULT STDMETHODCALLTYPE GetSTILaunchInformation(LPWSTR pwszDeviceName,
                                                            DWORD* pdwEventCode,
                                                            LPWSTR pwszEventName) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterLaunchApplication(LPWSTR pwszAppName,
                                                              LPWSTR pwszCommandLine) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnregisterLaunchApplication(LPWSTR pwszAppName) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnableHwNotifications(LPCWSTR pwszDeviceName,
                                                          WINBOOL bNewState) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetHwNotificationState(LPCWSTR pwszDeviceName,
                                                           WINBOOL* pbCurrentState) = 0;
  virtual HRESULT STDMETHODCALLTYPE RefreshDeviceBus(LPCWSTR pwszDeviceName) = 0;
  virtual HRESULT STDMETHODCALLTYPE LaunchApplicationForDevice(LPWSTR pwszDeviceName,
                                                               LPWSTR pwszAppName,
                                                               LPSTINOTIFY pStiNotify);
  virtual HRESULT STDMETHODCALLTYPE SetupDeviceParameters(PSTI_DEVICE_INFORMATIONW);
  virtual HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD dwMessageType, LPCWSTR pszMessage) = 0;
};
#define IStillImage IStillImageW
typedef IStillImageW* PSTI;
typedef IStillImageW* PSTIW;
typedef IStillImageW* LPSTILLIMAGEW;

struct IStiDevice : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(HINSTANCE hinst, LPCWSTR pwszDeviceName,
                                               DWORD dwVersion, DWORD dwMode) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCapabilities(PSTI_DEV_CAPS pDevCaps) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStatus(PSTI_DEVICE_STATUS pDevStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeviceReset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Diagnostic(LPSTI_DIAG pBuffer) = 0;
  virtual HRESULT STDMETHODCALLTYPE Escape(STI_RAW_CONTROL_CODE EscapeFunction, LPVOID lpInData,
                                           DWORD cbInDataSize, LPVOID pOutData, DWORD dwOutDataSize,
                                           LPDWORD pdwActualData) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD pdwLastDeviceError) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockDevice(DWORD dwTimeOut) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnLockDevice() = 0;
  virtual HRESULT STDMETHODCALLTYPE RawReadData(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                                LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                                 LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID lpBuffer, LPDWORD lpdwNumberOfBytes,
                                                   LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID lpBuffer, DWORD nNumberOfBytes,
                                                    LPOVERLAPPED lpOverlapped) = 0;
  virtual HRESULT STDMETHODCALLTYPE Subscribe(LPSTISUBSCRIBE lpSubsribe) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLastNotificationData(LPSTINOTIFY lpNotify) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnSubscribe() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetLastErrorInfo(STI_ERROR_INFO* pLastErrorInfo) = 0;
};

EXTERN_C HRESULT STDAPICALLTYPE StiCreateInstanceW(HINSTANCE hinst, DWORD dwVer,
                                                   IStillImageW** ppSti, LPUNKNOWN punkOuter);
#define StiCreateInstance StiCreateInstanceW
