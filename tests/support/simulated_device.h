// A simulated NVIDIA display device in the Wine test prefix, for the tests of the device
// lookups, the driver module locator and the program.
//
// What Wine 8 does, found by experiment, and what this helper therefore does:
// - Wine rebuilds the display device class ({4d36e968-...}) whenever its desktop sets up
//   the displays, and empties the class's driver keys under Control\Class as it does so.
//   The simulated device therefore lives in a made-up setup class (kSimulatedDeviceClass),
//   which Wine leaves alone, and its driver key defaults to a key of that class as well.
// - SetupDiCreateDeviceInfoW + SetupDiRegisterDeviceInfo create the device's key under
//   HKLM\System\CurrentControlSet\Enum\<instance ID>; the registry properties (Driver,
//   Service, UpperFilters, LowerFilters) are plain values of that key, stored with exactly
//   the bytes given (no NUL is added), and SetupDiGetDeviceRegistryPropertyW hands them back
//   as stored. SetupDiSetDevicePropertyW stores DEVPKEY_Device_DriverInfPath under the
//   key's Properties subkey.
// - SetupDiCreateDeviceInterfaceW registers the interface under
//   Control\DeviceClasses\{interface class}\##?#<instance ID, '\' as '#'>#{class}\#<ref>.
//   SetupDiGetClassDevsW(DIGCF_PRESENT) lists it only while that "#<ref>" key has a
//   subkey Control with a nonzero REG_DWORD "Linked" (Linked on the parent key is not
//   looked at). On Windows the Plug and Play manager keeps that key volatile; so does this
//   helper, so a device left behind by a killed test is no longer present after wineserver
//   restarts (and is removed by the next construction with the same instance ID).
// - Device paths come back lower-cased, reference string included:
//   \\?\pci#ven_10de&dev_2684&...#simdispset0#{1ca05180-...}[\<reference string>].
//   The vendor marker is therefore always met in lower case under Wine.
// - Interfaces are enumerated in the order of their registry key names (Wine keeps subkeys
//   sorted), not in creation order: ...#simdispset0#... comes before ...#simdispset1#...,
//   and Wine's own adapter (pci#ven_0000&dev_0000..., present once the desktop has started)
//   comes before both.
// - SetupDiRemoveDevice deletes the Enum key, the interface keys and also the driver key that
//   the Driver property names. This helper clears the Driver property before removing the
//   device, so a test that points it at somebody else's key does not delete that key.
// - SetupGetInfDriverStoreLocationW is not exported by Wine 8's setupapi.dll:
//   ScopedDriverStoreLocation puts a fake into the loader's binding slot instead.
// - GetProcessHandleCount reports 0 under Wine 8, so tests count handles through the
//   binding slots instead.
// - Devices, services and registry keys live in wineserver: a child process started while
//   this test process runs (the x64 dispset.exe, say) sees the device, present, as this
//   process does.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <memory>
#include <string>
#include <vector>

#include "loader/system_bindings.h"
#include "tests/support/test_support.h"

namespace testing_support {

class ScopedRegistryValue;

// A made-up setup class for the simulated devices, {8D0C1F6E-5B2A-4C8E-9D31-6A2F11475210}.
extern const GUID kSimulatedDeviceClass;
// Its name as it appears in registry paths.
extern const wchar_t kSimulatedDeviceClassText[];  // "{8d0c1f6e-5b2a-4c8e-9d31-6a2f11475210}"

// Instance IDs for the usual cases. With both NVIDIA IDs present, kNvidiaInstanceId is
// enumerated first (see above), whatever the order of creation.
extern const wchar_t kNvidiaInstanceId[];        // PCI\VEN_10DE&DEV_2684&...\SIMDISPSET0
extern const wchar_t kSecondNvidiaInstanceId[];  // PCI\VEN_10DE&DEV_2684&...\SIMDISPSET1
extern const wchar_t kOtherVendorInstanceId[];   // PCI\VEN_1002&DEV_744C&...\SIMDISPSET2
extern const wchar_t kMarkerlessInstanceId[];    // ROOT\SIMDISPSET\0000 (no vendor marker)

// The registry path, under HKEY_LOCAL_MACHINE, of a driver key ("<class>\<index>").
std::wstring DriverClassKeyPath(const std::wstring& driverKey);
// A driver key of the simulated class: "{8d0c1f6e-...}\" + four-digit index.
std::wstring SimulatedDriverKey(unsigned index);

struct SimulatedDeviceOptions {
    std::wstring instanceId = kNvidiaInstanceId;
    // Appended to the device path as "\<reference string>" when not empty.
    std::wstring referenceString;
    // The Driver property; empty leaves the device without one.
    std::wstring driverKey = SimulatedDriverKey(0);
    // Whether the interface is present (linked) from the start.
    bool present = true;
};

// One device of kSimulatedDeviceClass with one display-device interface
// (GUID_DISPLAY_DEVICE_ARRIVAL). Everything it creates (the device, its interface, its
// driver key values and keys) is removed again at destruction. ok() tells whether the
// construction worked; a failure is also reported to GoogleTest.
class SimulatedDisplayDevice {
  public:
    explicit SimulatedDisplayDevice(const SimulatedDeviceOptions& options = {});
    ~SimulatedDisplayDevice();
    SimulatedDisplayDevice(const SimulatedDisplayDevice&) = delete;
    SimulatedDisplayDevice& operator=(const SimulatedDisplayDevice&) = delete;

    bool ok() const { return ok_; }
    const std::wstring& instanceId() const { return instanceId_; }
    // The device path that SetupDiGetDeviceInterfaceDetailW reports for the interface.
    const std::wstring& devicePath() const { return devicePath_; }
    // The Driver property as set, and its key path below HKEY_LOCAL_MACHINE.
    const std::wstring& driverKey() const { return driverKey_; }
    std::wstring driverKeyPath() const { return DriverClassKeyPath(driverKey_); }

    // Present (linked) or not; a device that is not present is not enumerated.
    bool SetPresent(bool present);

    // Device registry properties (SPDRP_*), stored as given; null data removes the value.
    bool SetRegistryProperty(DWORD property, DWORD type, const void* data, DWORD size);
    bool SetDriverKey(const std::wstring& driverKey);                 // SPDRP_DRIVER
    bool SetFunctionService(const std::wstring& service);             // SPDRP_SERVICE
    bool SetUpperFilters(const std::vector<std::wstring>& services);  // REG_MULTI_SZ
    bool SetLowerFilters(const std::vector<std::wstring>& services);  // REG_MULTI_SZ
    bool RemoveRegistryProperty(DWORD property);

    // DEVPKEY_Device_DriverInfPath (DEVPROP_TYPE_STRING), the INF name such as "oem42.inf".
    bool SetDriverInfPath(const std::wstring& infName);

    // Values of the driver key (HKLM\SYSTEM\CurrentControlSet\Control\Class\<driver key>),
    // created with the key on first use and restored or deleted at destruction.
    bool SetDriverValue(const std::wstring& name, DWORD type, const void* data, DWORD size);
    bool SetDriverString(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ);
    bool SetDriverMultiString(const std::wstring& name, const std::vector<std::wstring>& entries);

  private:
    bool Create(const SimulatedDeviceOptions& options);
    bool OpenDevice(HDEVINFO* set, SP_DEVINFO_DATA* device) const;

    std::wstring instanceId_;
    std::wstring devicePath_;
    std::wstring driverKey_;
    bool ok_ = false;
    bool created_ = false;
    std::vector<std::unique_ptr<ScopedRegistryValue>> driverValues_;  // restored last first
};

// Device paths of the present display-device interfaces, in the platform's order.
std::vector<std::wstring> PresentDisplayInterfacePaths();
// The instance ID of a device record of a set; empty when it cannot be had.
std::wstring DeviceInstanceId(HDEVINFO set, SP_DEVINFO_DATA* device);

// Removes a device with this instance ID left behind by an earlier run, if any.
void RemoveDeviceIfPresent(const std::wstring& instanceId);

// A service created through the service control manager (start type demand, so nothing is
// started) and deleted at destruction. A service of the same name left behind by an earlier
// run is deleted first.
class ScopedService {
  public:
    ScopedService(const std::wstring& name, DWORD serviceType, const std::wstring& imagePath);
    ~ScopedService();
    ScopedService(const ScopedService&) = delete;
    ScopedService& operator=(const ScopedService&) = delete;
    bool ok() const { return ok_; }
    const std::wstring& name() const { return name_; }

  private:
    std::wstring name_;
    bool ok_ = false;
};

// 1 when a service of this name exists.
bool ServiceExists(const std::wstring& name);

// The driver store of this process, for as long as the object lives: a fake
// SetupGetInfDriverStoreLocationW in the loader's Setupapi binding that answers for one INF
// name (ASCII case ignored) with the given full INF path, and fails with
// ERROR_FILE_NOT_FOUND for any other name. The slot's earlier content is put back at
// destruction. Only this process sees it; one object at a time.
class ScopedDriverStoreLocation {
  public:
    ScopedDriverStoreLocation(const std::wstring& infName, const std::wstring& infPath);
    ~ScopedDriverStoreLocation();
    ScopedDriverStoreLocation(const ScopedDriverStoreLocation&) = delete;
    ScopedDriverStoreLocation& operator=(const ScopedDriverStoreLocation&) = delete;
    // Number of calls the fake has received.
    unsigned calls() const;

  private:
    SetupGetInfDriverStoreLocationFn previous_;
};

// Windows 10 (build 19045) with one simulated NVIDIA display device present, and a fresh
// folder under the native Program Files folder (trusted) for the driver's files. A base of
// the fixtures that place a driver; check device_.ok() in SetUp.
class SimulatedMachine {
  protected:
    // A copy of the simulated driver in the driver folder, removed with the fixture.
    std::wstring InstallDriverFile(const std::wstring& name);

    ScopedBuildNumber build_{L"19045"};
    SimulatedDisplayDevice device_;
    ScopedDirectory driverFolder_{NativeProgramFilesDirectory()};
    std::vector<std::unique_ptr<ScopedFileCopy>> copies_;
};

}  // namespace testing_support
