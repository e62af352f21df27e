// The settings store: a write-permission probe run once per process, an INI
// file seeded once from the machine key, reads from the INI file only and
// writes mirrored into the registry when the probe found the key writable.
#include "util/settings.h"

#include "platform/fs.h"
#include "platform/os.h"
#include "util/error.h"
#include "util/strings.h"

namespace bv {
namespace {

const wchar_t kSettingsKey[] = L"\\SOFTWARE\\Harrow Lane Software";
const wchar_t kSettingsFolderName[] = L"Harrow Lane Software\\";
const wchar_t kIniName[] = L"BVVersion.ini";
const wchar_t kSection[] = L"Registry";
const wchar_t kMarkKey[] = L"IniVersion";

// Whether the user may write the machine key; settled once per process.
enum class WritePermission { Unknown = 0, Writable = 1, NotWritable = 2 };

struct SettingsState {
    WritePermission permission = WritePermission::Unknown;
    std::wstring iniPath;  // fixed at its first successful computation
    SettingsServices services;
};

SettingsState& State() {
    static SettingsState state;
    return state;
}

platform::Registry& Reg() {
    SettingsState& s = State();
    return s.services.registry ? *s.services.registry : platform::SystemRegistry();
}

platform::ProfileFile& Profile() {
    SettingsState& s = State();
    return s.services.profile ? *s.services.profile : platform::SystemProfile();
}

bool ProbeAdminRights() {
    SettingsState& s = State();
    if (s.permission != WritePermission::Unknown) return s.permission == WritePermission::Writable;
    s.permission = WritePermission::NotWritable;
    auto key = Reg().CreateKey(platform::kHkeyLocalMachine, kSettingsKey, platform::kKeyWrite);
    if (key) {
        s.permission = WritePermission::Writable;
        if (!key->SetString(L"TestAdmin", L"OK")) s.permission = WritePermission::NotWritable;
        key->Flush();
    }
    return s.permission == WritePermission::Writable;
}

std::wstring GetSettingsFolder() {
    SettingsState& s = State();
    std::wstring documents = s.services.commonDocuments ? s.services.commonDocuments()
                                                        : platform::CommonDocumentsFolder();
    std::wstring folder = AddBackslash(documents) + kSettingsFolderName;
    if (!fs::DirectoryExists(folder)) {
        Result<void> made = platform::CreateSingleFolder(DropTrailingBackslash(folder));
        if (!made) throw AppError(L"EInOutError", os::SystemErrorText(made.error().native));
    }
    return folder;
}

void WriteIni(const std::wstring& name, const std::wstring& value) {
    const std::wstring& path = State().iniPath;
    if (!Profile().WriteString(path, kSection, name, value))
        throw AppError(L"EIniFileException", L"Unable to write to " + path);
}

void CopyRegistryToIni() {
    std::vector<std::wstring> names;
    if (auto key = Reg().CreateKey(platform::kHkeyLocalMachine, kSettingsKey,
                                   platform::kKeyAllAccess)) {
        for (const platform::RegistryValueInfo& v : key->Values())
            if (v.type == platform::kRegSz) names.push_back(v.name);
    }
    for (const std::wstring& name : names) {
        // Each value through a fresh opening of the key; a refused opening or
        // a missing value reads as empty text.
        std::wstring value;
        if (auto key = Reg().CreateKey(platform::kHkeyLocalMachine, kSettingsKey,
                                       platform::kKeyAllAccess))
            key->GetString(name, value);
        WriteIni(name, value);
    }
    WriteIni(kMarkKey, L"1");
}

// Fixes the INI path if needed and seeds a file that carries no mark.
void OpenIni() {
    SettingsState& s = State();
    if (s.iniPath.empty()) s.iniPath = GetSettingsFolder() + kIniName;
    if (Profile().ReadString(s.iniPath, kSection, kMarkKey, L"").empty()) CopyRegistryToIni();
}

}  // namespace

std::wstring ReadSetting(const std::wstring& name) {
    ProbeAdminRights();
    OpenIni();
    return Profile().ReadString(State().iniPath, kSection, name, L"");
}

void WriteSetting(const std::wstring& name, const std::wstring& value, uint32_t rootKey) {
    bool writable = ProbeAdminRights();
    OpenIni();
    WriteIni(name, value);
    if (!writable) return;
    auto key = Reg().CreateKey(rootKey, kSettingsKey, platform::kKeyAllAccess);
    bool ok = key && key->SetString(name, value);
    if (key) key->Flush();
    if (!ok) throw AppError(L"ERegistryException", L"Failed to set data for '" + name + L"'");
}

void SetSettingsServicesForTesting(SettingsServices services) {
    State().services = std::move(services);
}

void ResetSettingsForTesting() {
    State().permission = WritePermission::Unknown;
    State().iniPath.clear();
}

}  // namespace bv
