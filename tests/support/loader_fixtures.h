// Fixtures shared by the suites of the loader's lower layers: the real system functions
// bound and the binding records restored, a module without exports, failing allocations,
// and a clean version state around each test.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "loader/system_bindings.h"
#include "tests/support/test_support.h"

namespace testing_support {

// Binds the real Advapi32 and Shell32 functions that the registry readers and the
// trusted-folder rule use.
struct RealFunctionsBound {
    RealFunctionsBound();
};

// The binding records as they were, put back at destruction, so a test may empty slots or
// place fakes in them. The real functions are bound (by the base, before the records are
// saved) so that fakes can call through to them.
class ScopedBindings : private RealFunctionsBound {
  public:
    decltype(&RegOpenKeyExW) realOpen() const { return saved_.advapi32().regOpenKeyEx; }
    decltype(&RegQueryValueExW) realQuery() const { return saved_.advapi32().regQueryValueEx; }
    decltype(&RegCloseKey) realClose() const { return saved_.advapi32().regCloseKey; }
    decltype(&SHGetFolderPathW) realFolderPath() const { return saved_.shell32().getFolderPath; }

  private:
    SavedBindings saved_;
};

// Empties every Setupapi slot but the driver-store function (which tests fill with
// ScopedDriverStoreLocation), so that the next lookup must load the library again.
void ForgetSetupapiBinding();

// A module that is loaded but exports none of the functions a binding asks for.
HMODULE ModuleWithoutExports();

// Every LocalAlloc through the executable's import fails, with ERROR_NOT_ENOUGH_MEMORY,
// from the chosen call on (1: the first), for the life of the object. One at a time.
class FailingAllocations {
  public:
    explicit FailingAllocations(int from);
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
    int calls() const;

  private:
    ScopedImportPatch patch_;
};

// The version state is process-wide; every test starts and ends as at process start.
class VersionStateTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace testing_support
