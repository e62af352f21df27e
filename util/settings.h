// The settings store: named text values shared by the maker's programs on
// one machine. The primary copy is "BVVersion.ini" (section "Registry") in
// the shared documents folder's "Harrow Lane Software" folder; it is seeded
// once from the machine key HKEY_LOCAL_MACHINE\SOFTWARE\Harrow Lane Software,
// and writes are mirrored into that key when the user may write it. Reads
// come from the INI file alone.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "platform/settings_backend.h"

namespace bv {

// The value of `name`, or empty text when there is none. Raises AppError
// when the settings folder cannot be created ("EInOutError") or seeding
// cannot write the INI file ("EIniFileException").
std::wstring ReadSetting(const std::wstring& name);

// Writes `name` = `value` into the INI file and, when the machine key is
// writable, into the settings key under `rootKey` (a registry root such as
// platform::kHkeyLocalMachine). Raises AppError "Unable to write to <INI
// path>" ("EIniFileException") or "Failed to set data for '<name>'"
// ("ERegistryException"); the folder error as ReadSetting.
void WriteSetting(const std::wstring& name, const std::wstring& value,
                  uint32_t rootKey = platform::kHkeyLocalMachine);

// Tests: the services the store uses (nullptr / empty function restores the
// system's own), and a return to the state of a fresh process (permission
// unknown, INI path not computed).
struct SettingsServices {
    platform::Registry* registry = nullptr;
    platform::ProfileFile* profile = nullptr;
    std::function<std::wstring()> commonDocuments;
};
void SetSettingsServicesForTesting(SettingsServices services);
void ResetSettingsForTesting();

}  // namespace bv
