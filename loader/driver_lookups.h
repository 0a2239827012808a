// Device, service and registry lookups that tell where the installed NVIDIA display driver
// registered its modules. Each reports failure by a null result (0 for
// FindNvidiaDisplayInterface) and otherwise through the thread's last-error value, which
// the driver module locator reads to decide whether to go on to its next source.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "base/known_guids.h"

// PCI vendor marker of NVIDIA in a device path, compared in upper case.
constexpr wchar_t kNvidiaVendorMarker[] = L"VEN_10DE";

// Key under HKEY_LOCAL_MACHINE below which the driver keys of the device classes lie.
constexpr wchar_t kDriverClassKeyPrefix[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\";

// First present interface of interfaceClass whose device path holds "VEN_10DE" (any case).
// On 1, *set and *device are stored and the caller destroys the set; on 0 nothing is stored
// and no set is left open. Null places give 0 before anything is asked.
int FindNvidiaDisplayInterface(const GUID* interfaceClass, HDEVINFO* set, SP_DEVINFO_DATA* device);

// "SYSTEM\CurrentControlSet\Control\Class\" + the device's driver key; null otherwise.
wchar_t* GetDisplayDriverClassKeyPath(const GUID* interfaceClass);

// Image path of the first kernel-driver service of the device (function service, then upper
// filters, then lower filters) whose image file names moduleName; null otherwise.
wchar_t* FindModuleInDriverServices(const wchar_t* moduleName, const GUID* interfaceClass);

// Copy of the service's image path when it is a kernel driver whose image names moduleName.
wchar_t* GetServiceImagePathIfMatches(const wchar_t* moduleName, const wchar_t* serviceName);

// First REG_SZ value or REG_MULTI_SZ entry, of the listed values under root\subKey, that
// names moduleName. A listed value of another type leaves ERROR_INVALID_DATA.
wchar_t* FindModuleInRegistryValues(const wchar_t* const* valueNames, const wchar_t* moduleName,
                                    HKEY root, const wchar_t* subKey);

// RegEnumValueW keeps failing (ERROR_KEY_DELETED, not ERROR_NO_MORE_ITEMS) at every index
// once the key is deleted under the enumeration. FindModuleInRegistryValueNames gives up on
// a key after this many failures in a row; a single unreadable value is stepped over.
constexpr unsigned kMaxConsecutiveEnumerationFailures = 16;
// Nor does a walk that keeps succeeding end by itself (values written under it as fast as
// it reads them): no key is walked past this many indices, far more than any driver list.
constexpr DWORD kMaxEnumeratedValues = 65536;

// First value name, under the listed keys in order, that names moduleName.
wchar_t* FindModuleInRegistryValueNames(const wchar_t* const* keyPaths, const wchar_t* moduleName,
                                        HKEY root);

// Driver-store folder of the display driver's INF, without a trailing backslash.
wchar_t* GetDriverStoreDirectory(const GUID* interfaceClass);
