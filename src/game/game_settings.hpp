// The player's two game options, kept in the game's own registry key under the
// current user (SOFTWARE\Webzen\Mu2\Config) exactly as the game reads them:
// REG_DWORD values, non-zero meaning on. Used on the window's thread only.
#pragma once

namespace qorn {

// WindowMode; on when missing or not a DWORD.
bool load_window_mode();
// SoundOnOff (on when missing), or else MusicOnOff (off when missing).
bool load_sound();

// Each opens the key (created when missing) for setting values only, writes, and
// fails with "Không lưu được cài đặt game" and the registry's error text.
void save_window_mode(bool on);
// SoundOnOff, then MusicOnOff, both to the same value.
void save_sound(bool on);

}  // namespace qorn
