#include "tests/support/test_support.h"

#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>

#include <tuple>

#include <gtest/gtest.h>

namespace testing_support {

std::wstring WinePathFromUnix(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath) {
        path += (c == '/') ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    return path;
}

namespace {

std::wstring PathFromEnvironment(const char* name) {
    const char* value = getenv(name);
    if (value == nullptr || *value == '\0') {
        ADD_FAILURE() << name << " is not set; run the tests through ctest";
        return std::wstring();
    }
    return WinePathFromUnix(value);
}

}  // namespace

std::wstring SimDriverPath() {
    return PathFromEnvironment("SIMDRIVER_DLL");
}
std::wstring DispsetPath() {
    return PathFromEnvironment("DISPSET_EXE");
}
std::wstring NoQueryDriverPath() {
    return PathFromEnvironment("NOQUERY_DLL");
}
std::wstring DiagPath() {
    return PathFromEnvironment("DIAG_EXE");
}
std::wstring ImportingDriverPath() {
    return PathFromEnvironment("IMPORTING_DLL");
}
std::wstring SimHelperPath() {
    return PathFromEnvironment("SIMHELPER_DLL");
}

Configuration CurrentConfiguration() {
    if (sizeof(void*) == 8) {
        return Configuration::kNative64;
    }
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? Configuration::kWow64
                                                                : Configuration::kNative32;
}

const char* ConfigurationName(Configuration configuration) {
    switch (configuration) {
        case Configuration::kNative64:
            return "x64 on 64-bit Windows";
        case Configuration::kWow64:
            return "i686 under WOW64";
        case Configuration::kNative32:
            return "i686 on 32-bit Windows";
    }
    return "unknown";
}

bool RunsUnderWow64() {
    return CurrentConfiguration() == Configuration::kWow64;
}

std::wstring ValueNameForThisProcess(const std::wstring& nativeName) {
    return RunsUnderWow64() ? nativeName + L"Wow" : nativeName;
}

std::wstring ClassKeyModuleValue() {
    return ValueNameForThisProcess(L"UserModeDriverName");
}

std::wstring SupportModulesValue() {
    return ValueNameForThisProcess(L"DriverSupportModules");
}

std::wstring NativeProgramFilesDirectory() {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"ProgramW6432", path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        return path;
    }
    GetEnvironmentVariableW(L"ProgramFiles", path, MAX_PATH);
    return path;
}

std::wstring SystemDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    GetSystemDirectoryW(buffer, MAX_PATH);
    return buffer;
}

std::wstring WindowsDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    GetWindowsDirectoryW(buffer, MAX_PATH);
    return buffer;
}

std::wstring JoinPaths(const std::wstring& directory, const std::wstring& name) {
    if (!directory.empty() && directory.back() == L'\\') {
        return directory + name;
    }
    return directory + L"\\" + name;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadFileText(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string text;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        text.append(chunk, read);
    }
    CloseHandle(file);
    return text;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c + 32);
        }
    }
    return text;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) {
        narrow += static_cast<char>(c);
    }
    return narrow;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 32);
        }
    }
    return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

bool ProcessRuns(const std::wstring& fileName) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        found = Lower(entry.szExeFile) == Lower(fileName);
    }
    CloseHandle(snapshot);
    return found;
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring ExecutableFolder() {
    std::wstring folder = ModulePath(nullptr);
    folder.resize(folder.find_last_of(L'\\'));
    return folder;
}

std::wstring PathWithFolderFirst(const std::wstring& folder) {
    wchar_t oldPath[32768] = {};
    GetEnvironmentVariableW(L"PATH", oldPath, 32768);
    return folder + L";" + oldPath;
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::wstring& path) {
    wchar_t old[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, old);
    old_ = old;
    EXPECT_TRUE(SetCurrentDirectoryW(path.c_str()));
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
    SetCurrentDirectoryW(old_.c_str());
}

namespace {

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(JoinPaths(path, L"*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            std::wstring child = JoinPaths(path, name);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

ScopedDirectory::ScopedDirectory(const std::wstring& parent) {
    std::wstring base = parent;
    if (base.empty()) {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        base = temp;
    }
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        std::wstring candidate =
            JoinPaths(base, L"dispset-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(attempt));
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    ADD_FAILURE() << "cannot create a scratch folder";
}

ScopedDirectory::~ScopedDirectory() {
    if (!path_.empty()) {
        RemoveTree(path_);
    }
}

ScopedFileCopy::ScopedFileCopy(const std::wstring& source, const std::wstring& destination)
    : destination_(destination) {
    ok_ = CopyFileW(source.c_str(), destination.c_str(), TRUE) != FALSE;
    if (!ok_) {
        ADD_FAILURE() << "cannot copy to " << std::string(destination.begin(), destination.end())
                      << ", which must be free: error " << GetLastError();
    }
}

ScopedFileCopy::~ScopedFileCopy() {
    if (!ok_ || DeleteFileW(destination_.c_str())) {
        return;
    }
    // A module that a test left loaded cannot be deleted. That is the test's fault; still,
    // move the file aside so that the place is free for the next test and the next run.
    ADD_FAILURE() << "cannot delete " << std::string(destination_.begin(), destination_.end())
                  << ": error " << GetLastError() << " (still loaded?)";
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    wchar_t aside[MAX_PATH] = {};
    if (GetTempFileNameW(temp, L"stl", 0, aside) != 0) {
        MoveFileExW(destination_.c_str(), aside, MOVEFILE_REPLACE_EXISTING);
    }
}

ScopedRegistryValue::ScopedRegistryValue(HKEY root, const std::wstring& subKey,
                                         const std::wstring& valueName, REGSAM view)
    : root_(root), subKey_(subKey), valueName_(valueName), view_(view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, subKey_.c_str(), 0, KEY_QUERY_VALUE | view_, &key) == ERROR_SUCCESS) {
        DWORD size = 0;
        if (RegQueryValueExW(key, valueName_.c_str(), nullptr, &oldType_, nullptr, &size) ==
            ERROR_SUCCESS) {
            oldData_.resize(size);
            if (RegQueryValueExW(key, valueName_.c_str(), nullptr, &oldType_, oldData_.data(),
                                 &size) == ERROR_SUCCESS) {
                oldData_.resize(size);
                hadValue_ = true;
            }
        }
        RegCloseKey(key);
        return;
    }
    // Note the keys that do not exist yet, shallowest first, so they can be removed again.
    std::wstring path;
    size_t start = 0;
    while (start <= subKey_.size()) {
        size_t end = subKey_.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = subKey_.size();
        }
        path = subKey_.substr(0, end);
        HKEY probe = nullptr;
        if (RegOpenKeyExW(root_, path.c_str(), 0, KEY_QUERY_VALUE | view_, &probe) ==
            ERROR_SUCCESS) {
            RegCloseKey(probe);
        } else {
            createdKeys_.push_back(path);
        }
        start = end + 1;
    }
}

ScopedRegistryValue::~ScopedRegistryValue() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, subKey_.c_str(), 0, KEY_SET_VALUE | view_, &key) == ERROR_SUCCESS) {
        if (hadValue_) {
            RegSetValueExW(key, valueName_.c_str(), 0, oldType_, oldData_.data(),
                           static_cast<DWORD>(oldData_.size()));
        } else {
            RegDeleteValueW(key, valueName_.c_str());
        }
        RegCloseKey(key);
    }
    for (auto it = createdKeys_.rbegin(); it != createdKeys_.rend(); ++it) {
        HKEY created = nullptr;
        if (RegOpenKeyExW(root_, it->c_str(), 0, KEY_ALL_ACCESS | view_, &created) ==
            ERROR_SUCCESS) {
            RegDeleteTreeW(created, nullptr);
            RegCloseKey(created);
        }
        RegDeleteKeyExW(root_, it->c_str(), view_, 0);
    }
}

bool ScopedRegistryValue::Set(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root_, subKey_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view_, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot create registry key";
        return false;
    }
    LONG status =
        RegSetValueExW(key, valueName_.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    EXPECT_EQ(status, ERROR_SUCCESS);
    return status == ERROR_SUCCESS;
}

bool ScopedRegistryValue::SetString(const std::wstring& text, DWORD type) {
    return Set(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool ScopedRegistryValue::SetMultiString(const std::vector<std::wstring>& entries) {
    std::wstring data;
    for (const std::wstring& entry : entries) {
        data += entry;
        data += L'\0';
    }
    data += L'\0';
    return Set(REG_MULTI_SZ, data.data(), static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

bool ScopedRegistryValue::SetDword(DWORD value) {
    return Set(REG_DWORD, &value, sizeof(value));
}

bool ScopedRegistryValue::Delete() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root_, subKey_.c_str(), 0, KEY_SET_VALUE | view_, &key) != ERROR_SUCCESS) {
        return true;
    }
    RegDeleteValueW(key, valueName_.c_str());
    RegCloseKey(key);
    return true;
}

ScopedBuildNumber::ScopedBuildNumber(const std::wstring& text, DWORD type, REGSAM view)
    : value_(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
             L"CurrentBuildNumber", view) {
    value_.SetString(text, type);
}

ScopedEnvironment::ScopedEnvironment(const std::wstring& name, const wchar_t* value) : name_(name) {
    wchar_t buffer[32768];
    DWORD length = GetEnvironmentVariableW(name_.c_str(), buffer, 32768);
    if (length > 0 && length < 32768) {
        had_ = true;
        old_.assign(buffer, length);
    }
    SetEnvironmentVariableW(name_.c_str(), value);
}

ScopedEnvironment::~ScopedEnvironment() {
    SetEnvironmentVariableW(name_.c_str(), had_ ? old_.c_str() : nullptr);
}

GuardedChars::GuardedChars(size_t count) : count_(count) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    size_t page = info.dwPageSize;
    size_t bytes = count * sizeof(wchar_t);
    size_t dataPages = (bytes + page - 1) / page;
    if (dataPages == 0) {
        dataPages = 1;
    }
    base_ = VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (base_ == nullptr) {
        ADD_FAILURE() << "VirtualAlloc failed";
        return;
    }
    BYTE* guard = static_cast<BYTE*>(base_) + dataPages * page;
    DWORD old = 0;
    VirtualProtect(guard, page, PAGE_NOACCESS, &old);
    data_ = reinterpret_cast<wchar_t*>(guard - bytes);
}

GuardedChars::~GuardedChars() {
    if (base_ != nullptr) {
        VirtualFree(base_, 0, MEM_RELEASE);
    }
}

size_t CountBusyHeapBlocks() {
    HANDLE heap = GetProcessHeap();
    size_t busy = 0;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heap);
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
            ++busy;
        }
    }
    HeapUnlock(heap);
    return busy;
}

namespace {

// The first time a thread uses one of GoogleTest's thread-locals (its first SCOPED_TRACE,
// say), GoogleTest starts a watcher thread that frees them when the thread ends. The watcher
// sets itself up on the process heap whenever the scheduler lets it run, so on a busy
// machine its blocks would show up as left behind by whichever test counts the heap just
// then. Started before the first test, and waited for until the heap count holds still.
class SteadyHeapEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        { SCOPED_TRACE("start GoogleTest's thread-local watcher"); }
        constexpr int kStillSamples = 5;
        constexpr int kMaxSamples = 200;
        constexpr DWORD kSampleMilliseconds = 10;
        size_t last = CountBusyHeapBlocks();
        for (int still = 0, samples = 0; still < kStillSamples && samples < kMaxSamples;
             ++samples) {
            Sleep(kSampleMilliseconds);
            const size_t now = CountBusyHeapBlocks();
            still = now == last ? still + 1 : 0;
            last = now;
        }
    }
};

::testing::Environment* const g_steadyHeap =
    ::testing::AddGlobalTestEnvironment(new SteadyHeapEnvironment);

}  // namespace

DWORD RunProgram(const std::wstring& program, const std::wstring& arguments,
                 const std::wstring& workingDirectory) {
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                        &process)) {
        ADD_FAILURE() << "cannot start the program: error " << GetLastError();
        return static_cast<DWORD>(-1);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = static_cast<DWORD>(-1);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

namespace {

// A temporary file that a child may inherit as a standard handle; deleted at destruction.
class CaptureFile {
  public:
    CaptureFile() {
        wchar_t folder[MAX_PATH] = {};
        wchar_t name[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, folder);
        if (GetTempFileNameW(folder, L"cap", 0, name) == 0) {
            ADD_FAILURE() << "cannot name a capture file: error " << GetLastError();
            return;
        }
        path_ = name;
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        handle_ = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << "cannot create a capture file: error " << GetLastError();
        }
    }
    ~CaptureFile() {
        Close();
        if (!path_.empty()) {
            DeleteFileW(path_.c_str());
        }
    }
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;
    HANDLE handle() const { return handle_; }
    void Close() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }
    std::string Text() const { return ReadFileText(path_); }

  private:
    std::wstring path_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

ProgramOutput RunProgramWithOutput(const std::wstring& program, const std::wstring& arguments,
                                   const std::wstring& workingDirectory) {
    ProgramOutput output{static_cast<DWORD>(-1), std::string(), std::string()};
    CaptureFile out;
    CaptureFile err;
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty()) {
        commandLine += L" " + arguments;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = out.handle();
    startup.hStdError = err.handle();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                        &process)) {
        ADD_FAILURE() << "cannot start the program: error " << GetLastError();
        return output;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &output.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    out.Close();
    err.Close();
    output.out = out.Text();
    output.err = err.Text();
    return output;
}

}  // namespace testing_support

namespace testing_support {

namespace {

void WriteSlot(void** slot, void* value) {
    DWORD old = 0;
    VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof(void*), old, &old);
}

// The import address table entry of this executable that holds kernel32's functionName.
void** FindImportSlot(const char* functionName) {
    auto* image = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(image);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(image + directory.VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) {
        const char* dll = reinterpret_cast<const char*>(image + descriptor->Name);
        if (lstrcmpiA(dll, "kernel32.dll") != 0) {
            continue;
        }
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(image + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<void**>(image + descriptor->FirstThunk);
        for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) {
                continue;
            }
            auto* byName =
                reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(image + names[i].u1.AddressOfData);
            if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), functionName) == 0) {
                return &slots[i];
            }
        }
    }
    return nullptr;
}

}  // namespace

ScopedImportPatch::ScopedImportPatch(const char* functionName, void* replacement) {
    slot_ = FindImportSlot(functionName);
    if (slot_ == nullptr) {
        ADD_FAILURE() << "this executable does not import " << functionName;
        return;
    }
    original_ = *slot_;
    WriteSlot(slot_, replacement);
}

ScopedImportPatch::~ScopedImportPatch() {
    if (slot_ != nullptr) {
        WriteSlot(slot_, original_);
    }
}

namespace {

// The import patch calls a plain function, so the record it keeps is process-wide.
std::vector<LoadRequest> g_loads;
ScopedImportPatch* g_loadPatch = nullptr;

HMODULE WINAPI RecordingLoadLibraryExW(LPCWSTR path, HANDLE file, DWORD flags) {
    g_loads.push_back({path != nullptr ? path : L"(null)", flags});
    return g_loadPatch->original<decltype(&LoadLibraryExW)>()(path, file, flags);
}

}  // namespace

RecordedLoads::RecordedLoads()
    : patch_("LoadLibraryExW", reinterpret_cast<void*>(&RecordingLoadLibraryExW)) {
    g_loads.clear();
    g_loadPatch = &patch_;
}

RecordedLoads::~RecordedLoads() {
    g_loadPatch = nullptr;
}

const std::vector<LoadRequest>& RecordedLoads::loads() const {
    return g_loads;
}

}  // namespace testing_support

namespace testing_support {

// The slots of a table saved from record into saved, or put back; both are locals of that
// name.
#define SAVE_SLOT(slot, function) saved.slot = record.slot.load();
#define RESTORE_SLOT(slot, function) record.slot.store(saved.slot);

SavedBindings::SavedBindings() {
    {
        auto [record, saved] = std::tie(g_advapi32, advapi32_);
        saved.module = record.module.load();
        ADVAPI32_FUNCTIONS(SAVE_SLOT)
    }
    {
        auto [record, saved] = std::tie(g_setupapi, setupapi_);
        saved.module = record.module.load();
        SETUPAPI_FUNCTIONS(SAVE_SLOT)
    }
    {
        auto [record, saved] = std::tie(g_shell32, shell32_);
        saved.module = record.module.load();
        SHELL32_FUNCTIONS(SAVE_SLOT)
    }
}

SavedBindings::~SavedBindings() {
    {
        auto [record, saved] = std::tie(g_advapi32, advapi32_);
        record.module.store(saved.module);
        ADVAPI32_FUNCTIONS(RESTORE_SLOT)
    }
    {
        auto [record, saved] = std::tie(g_setupapi, setupapi_);
        record.module.store(saved.module);
        SETUPAPI_FUNCTIONS(RESTORE_SLOT)
    }
    {
        auto [record, saved] = std::tie(g_shell32, shell32_);
        record.module.store(saved.module);
        SHELL32_FUNCTIONS(RESTORE_SLOT)
    }
}

}  // namespace testing_support
