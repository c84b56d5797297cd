// The report-rate measurement of the Touch Settings dialog: once a second the driver's report
// counter is read (and cleared) through "NRV1:", and the last four counts and their average show
// under "Points/Sec.". The counts belong to the program, so they survive the dialog.
#pragma once

#include <windows.h>

// The last four counts, newest first; 0 when the utility starts.
extern DWORD g_rateSamples[4];

// Clears the driver's report counter. FALSE when the device cannot be opened.
BOOL ResetReportCounter();
// Reads and clears the driver's report counter into *out. FALSE, with *out as it was, when the
// device cannot be opened or does not answer.
BOOL ReadReportCounter(DWORD *out);
