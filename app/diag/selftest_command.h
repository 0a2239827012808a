// "dispset-diag selftest [PROGRAM]": the DLL-planting attack tried for real on this machine.
// A harmless canary library is planted under every name an attacker would use (canary_names)
// in every place the DLL search order looks: the program's folder (a copy of PROGRAM is run
// from a private folder, as if downloaded), the working folder, and a folder first on PATH.
// The copy runs, then PROGRAM itself (working folder and PATH only); each canary that was
// loaded has left its marker. The report says which ran; the folder goes in every case.
#pragma once

#include "app/diag/report.h"
#include "app/diag/text_buffer.h"

// program null: the dispset.exe beside the companion. Returns kExitSuccess when no canary
// ran, kExitFailure when one did, kExitInternal when the test could not be made or left
// something behind.
int RunSelftest(const wchar_t* program, ReportFormat format, TextBuffer& out);
