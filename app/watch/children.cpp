#include "app/watch/children.h"

#include "app/common/watcher_contract.h"
#include "base/module_path.h"
#include "base/system_directory.h"

bool ChildLauncher::Prepare() {
    programs_[0] = GetPathBesideExecutable(kProgramFileName);
    programs_[1] = GetPathBesideExecutable(kCompanionFileName);
    workingFolder_.reset(GetSystemDirectoryAlloc());
    return programs_[0] && programs_[1] && workingFolder_;
}

bool ChildLauncher::Start(ChildProgram program) {
    const bool check = program == ChildProgram::kCheck;
    ChildStart start;
    start.program = programs_[check ? 1 : 0].get();
    start.arguments = check ? L" check" : nullptr;
    start.workingFolder = workingFolder_.get();
    // The check is a console program: without CREATE_NO_WINDOW Windows would give it a
    // console window of its own, on the user's screen.
    start.flags = check ? CREATE_NO_WINDOW : 0;
    start.jobRequired = false;
    startError_ = child_.Start(start);
    return startError_ == ERROR_SUCCESS;
}
