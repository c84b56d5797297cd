// What a touch tells beyond the mouse event: the touch sound, and the notice to the tray
// program's window when a right-button touch ends.
#pragma once

// Plays the system's default sound.
void PlayTouchSound();

// Posts WM_RBUTTONDOWN to the window "TOUCHTRAY", when there is one.
void NotifyTray();
