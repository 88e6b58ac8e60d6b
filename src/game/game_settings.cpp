#include "game/game_settings.hpp"

#include "core/text.hpp"
#include "core/unique_handle.hpp"

#include <initializer_list>

namespace qorn {
namespace {

constexpr wchar_t settings_key[] = L"SOFTWARE\\Webzen\\Mu2\\Config";

DWORD read_dword(const wchar_t* name, DWORD fallback) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, settings_key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
        ERROR_SUCCESS) {
        return fallback;
    }
    return value;
}

void write_dwords(std::initializer_list<const wchar_t*> names, bool on) {
    UniqueKey key;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, settings_key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, key.put(), nullptr);
    const DWORD value = on ? 1 : 0;
    for (auto name = names.begin(); status == ERROR_SUCCESS && name != names.end(); ++name) {
        status = RegSetValueExW(key.get(), *name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    if (status != ERROR_SUCCESS) throw_windows_error("Không lưu được cài đặt game", static_cast<DWORD>(status));
}

}  // namespace

bool load_window_mode() { return read_dword(L"WindowMode", 1) != 0; }

bool load_sound() { return read_dword(L"SoundOnOff", 1) != 0 || read_dword(L"MusicOnOff", 0) != 0; }

void save_window_mode(bool on) { write_dwords({L"WindowMode"}, on); }

void save_sound(bool on) { write_dwords({L"SoundOnOff", L"MusicOnOff"}, on); }

}  // namespace qorn
