// The checks of the Windows extras test program: each failure is printed,
// and the program's exit code says whether any failed.
#pragma once

void Check(bool ok, const char* area, const char* what);
int FailedChecks();
int PassedChecks();
