// The debug-zone parameter block the platform's debug facility reads.
#include "debug_zones.h"

DBGPARAM dpCurSettings = {
    TEXT("SerMouse"),
    {TEXT("Data"), TEXT("ReadThread"), TEXT("2"), TEXT("3"), TEXT("4"), TEXT("5"), TEXT("6"), TEXT("7"), TEXT("8"),
     TEXT("9"), TEXT("10"), TEXT("Values"), TEXT("Init"), TEXT("Function"), TEXT("Warning"), TEXT("Error")},
    0x8000};
