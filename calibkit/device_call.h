// One control call on the touch driver's device "NRV1:", opened for that call alone since the
// driver admits one open handle at a time. A device that another client holds for its own call is
// tried again for a short while.
#pragma once

#include <windows.h>

enum class DeviceOutcome {
  kDone,          // the call was made and succeeded
  kNotPublished,  // "NRV1:" is not published: the driver is not loaded
  kFailed,        // busy past the bound, not openable, or the call failed; said on the debug output
};

// `caller` and `codeName` name the call in the debug output's reason.
DeviceOutcome CallDriver(const char *caller, DWORD code, const char *codeName, void *in, DWORD inSize, void *out,
                         DWORD outSize);
