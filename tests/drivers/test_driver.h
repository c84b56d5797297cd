// The control codes of the test driver (libtest_driver.so, prefix TST), shared by the driver and
// the suites that drive it through the device manager.
#pragma once

#include <windows.h>

#define FILE_DEVICE_TEST_DRIVER 0x8000

// Copies the first min(input length, output length) input bytes to the output and reports that
// count through the bytes-returned pointer when there is one. Leaves the rest of the output alone.
#define IOCTL_TST_ECHO CTL_CODE(FILE_DEVICE_TEST_DRIVER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Returns FALSE with the last error set to the DWORD in the input (ERROR_INVALID_PARAMETER when
// the input holds no DWORD).
#define IOCTL_TST_FAIL CTL_CODE(FILE_DEVICE_TEST_DRIVER, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Returns TRUE and touches neither the output nor the bytes-returned count.
#define IOCTL_TST_WRITE_NOTHING CTL_CODE(FILE_DEVICE_TEST_DRIVER, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Writes, as a DWORD, how many control calls this device received before this one.
#define IOCTL_TST_CALL_COUNT CTL_CODE(FILE_DEVICE_TEST_DRIVER, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Describes what the driver received: TST_DESCRIBE_* flags for the pointers that were not null,
// written to the bytes-returned count when there is one, and {flags, input length, output length}
// written to the output when it holds three DWORDs.
#define IOCTL_TST_DESCRIBE CTL_CODE(FILE_DEVICE_TEST_DRIVER, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Blocks until IOCTL_TST_SIGNAL is issued on any device of the library (TRUE), or for at most
// the milliseconds given as a DWORD in the input (FALSE, ERROR_TIMEOUT).
#define IOCTL_TST_WAIT CTL_CODE(FILE_DEVICE_TEST_DRIVER, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TST_SIGNAL CTL_CODE(FILE_DEVICE_TEST_DRIVER, 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Starts a thread with CreateThread, as a driver starts its read thread when a client asks, and
// writes {the calling thread's id, the new thread's id} as two DWORDs once the new thread runs.
// The thread lives until the device's Deinit; a second start fails with ERROR_ALREADY_EXISTS.
#define IOCTL_TST_START_THREAD CTL_CODE(FILE_DEVICE_TEST_DRIVER, 0x807, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define TST_DESCRIBE_IN 0x1
#define TST_DESCRIBE_OUT 0x2
#define TST_DESCRIBE_BYTES_RETURNED 0x4
