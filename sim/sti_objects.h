// The simulator's STI objects: the root object that StiCreateInstanceW hands
// out (IStillImageW) and the device objects it creates (IStiDevice).
#pragma once

#include <atomic>
#include <memory>

#include "platform/win32.h"
#include "sim/simulator.h"

namespace sim {

// The IUnknown part of the simulator's COM objects: IUnknown and one
// interface, one reference count, deletion at zero.
template <typename Interface>
class SimObject : public Interface {
 public:
  explicit SimObject(const IID& iid) : iid_(iid) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
  {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == iid_) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override
  {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~SimObject() = default;

 private:
  const IID& iid_;
  std::atomic<ULONG> refs_{1};
};

class CStillImage : public SimObject<IStillImageW> {
 public:
  CStillImage() : SimObject(IID_IStillImageW)
  {
    Simulator::Instance().CountObject(STISIM_OBJECT_ROOT, +1);
  }

  HRESULT STDMETHODCALLTYPE Initialize(HINSTANCE instance, DWORD version) override;
  HRESULT STDMETHODCALLTYPE GetDeviceList(DWORD type, DWORD flags, DWORD* count,
                                          LPVOID* buffer) override;
  HRESULT STDMETHODCALLTYPE GetDeviceInfo(LPWSTR name, LPVOID* buffer) override;
  HRESULT STDMETHODCALLTYPE CreateDevice(LPWSTR name, DWORD mode, PSTIDEVICE* device,
                                         LPUNKNOWN outer) override;
  HRESULT STDMETHODCALLTYPE GetDeviceValue(LPWSTR name, LPWSTR valueName, LPDWORD type, LPBYTE data,
                                           LPDWORD size) override;
  HRESULT STDMETHODCALLTYPE SetDeviceValue(LPWSTR name, LPWSTR valueName, DWORD type, LPBYTE data,
                                           DWORD size) override;
  HRESULT STDMETHODCALLTYPE GetSTILaunchInformation(LPWSTR name, DWORD* eventCode,
                                                    LPWSTR eventName) override;
  HRESULT STDMETHODCALLTYPE RegisterLaunchApplication(LPWSTR appName, LPWSTR commandLine) override;
  HRESULT STDMETHODCALLTYPE UnregisterLaunchApplication(LPWSTR appName) override;
  HRESULT STDMETHODCALLTYPE EnableHwNotifications(LPCWSTR name, WINBOOL state) override;
  HRESULT STDMETHODCALLTYPE GetHwNotificationState(LPCWSTR name, WINBOOL* state) override;
  HRESULT STDMETHODCALLTYPE RefreshDeviceBus(LPCWSTR name) override;
  HRESULT STDMETHODCALLTYPE LaunchApplicationForDevice(LPWSTR name, LPWSTR appName,
                                                       LPSTINOTIFY notify) override;
  HRESULT STDMETHODCALLTYPE SetupDeviceParameters(PSTI_DEVICE_INFORMATIONW info) override;
  HRESULT STDMETHODCALLTYPE WriteToErrorLog(DWORD messageType, LPCWSTR message) override;

 private:
  ~CStillImage() override { Simulator::Instance().CountObject(STISIM_OBJECT_ROOT, -1); }
  bool initialized_ = false;
};

class CStiDevice : public SimObject<IStiDevice> {
 public:
  explicit CStiDevice(std::shared_ptr<SimDevice> device);

  HRESULT STDMETHODCALLTYPE Initialize(HINSTANCE instance, LPCWSTR name, DWORD version,
                                       DWORD mode) override;
  HRESULT STDMETHODCALLTYPE GetCapabilities(PSTI_DEV_CAPS caps) override;
  HRESULT STDMETHODCALLTYPE GetStatus(PSTI_DEVICE_STATUS status) override;
  HRESULT STDMETHODCALLTYPE DeviceReset() override;
  HRESULT STDMETHODCALLTYPE Diagnostic(LPSTI_DIAG diag) override;
  HRESULT STDMETHODCALLTYPE Escape(STI_RAW_CONTROL_CODE code, LPVOID in, DWORD inSize, LPVOID out,
                                   DWORD outSize, LPDWORD sizeWord) override;
  HRESULT STDMETHODCALLTYPE GetLastError(LPDWORD error) override;
  HRESULT STDMETHODCALLTYPE LockDevice(DWORD timeoutMs) override;
  HRESULT STDMETHODCALLTYPE UnLockDevice() override;
  HRESULT STDMETHODCALLTYPE RawReadData(LPVOID buffer, LPDWORD bytes,
                                        LPOVERLAPPED overlapped) override;
  HRESULT STDMETHODCALLTYPE RawWriteData(LPVOID buffer, DWORD bytes,
                                         LPOVERLAPPED overlapped) override;
  HRESULT STDMETHODCALLTYPE RawReadCommand(LPVOID buffer, LPDWORD bytes,
                                           LPOVERLAPPED overlapped) override;
  HRESULT STDMETHODCALLTYPE RawWriteCommand(LPVOID buffer, DWORD bytes,
                                            LPOVERLAPPED overlapped) override;
  HRESULT STDMETHODCALLTYPE Subscribe(LPSTISUBSCRIBE subscribe) override;
  HRESULT STDMETHODCALLTYPE GetLastNotificationData(LPSTINOTIFY notify) override;
  HRESULT STDMETHODCALLTYPE UnSubscribe() override;
  HRESULT STDMETHODCALLTYPE GetLastErrorInfo(STI_ERROR_INFO* info) override;

 private:
  ~CStiDevice() override;
  // The fields every journal entry of this object carries.
  StiSimJournalEntry JournalEntry(DWORD kind) const;
  std::shared_ptr<SimDevice> device_;
  const DWORD serial_;
  std::atomic<DWORD> lastError_{0};
};

}  // namespace sim
