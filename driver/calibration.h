// The calibration mapping: a two-point linear map of the raw report position onto the pointer
// space, from the corners LLX, LLY, URX, URY of the live settings.
#pragma once

#include <windows.h>

// Maps x and y (raw, 0..65532) in place into 0..65535. With no calibration stored (a zero span
// on either axis) they are left unchanged.
void ApplyCalibration(DWORD &x, DWORD &y);
