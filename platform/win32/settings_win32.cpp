// The settings store's services on Windows: the registry, the profile-file
// functions and the shell's shared documents folder.
#include "platform/settings_backend.h"

#include <windows.h>
#include <shlobj.h>

namespace bv::platform {
namespace {

HKEY RootKey(uint32_t root) {
    return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(root)));
}

std::wstring FromRoot(const std::wstring& subKey) {
    return !subKey.empty() && subKey[0] == L'\\' ? subKey.substr(1) : subKey;
}

class Win32Key : public RegistryKey {
public:
    explicit Win32Key(HKEY key) : key_(key) {}
    ~Win32Key() override { RegCloseKey(key_); }

    bool SetString(const std::wstring& name, const std::wstring& value) override {
        DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
        return RegSetValueExW(key_, name.c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(value.c_str()), bytes) == ERROR_SUCCESS;
    }

    bool SetRaw(const std::wstring& name, uint32_t type, const std::string& bytes) override {
        return RegSetValueExW(key_, name.c_str(), 0, type,
                              reinterpret_cast<const BYTE*>(bytes.data()),
                              static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
    }

    std::vector<RegistryValueInfo> Values() override {
        std::vector<RegistryValueInfo> out;
        DWORD maxName = 0;
        if (RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             &maxName, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return out;
        std::wstring name(maxName + 1, L'\0');
        for (DWORD index = 0;; ++index) {
            DWORD length = maxName + 1;
            DWORD type = 0;
            LONG rc = RegEnumValueW(key_, index, name.data(), &length, nullptr, &type, nullptr,
                                    nullptr);
            if (rc != ERROR_SUCCESS) break;
            out.push_back({name.substr(0, length), type});
        }
        return out;
    }

    bool GetString(const std::wstring& name, std::wstring& value) override {
        value.clear();
        DWORD type = 0, bytes = 0;
        if (RegQueryValueExW(key_, name.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
            return false;
        if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
        std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(key_, name.c_str(), nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer.data()), &bytes) != ERROR_SUCCESS)
            return false;
        buffer.resize(bytes / sizeof(wchar_t));
        // The stored text normally carries its terminating null character.
        size_t end = buffer.find(L'\0');
        if (end != std::wstring::npos) buffer.resize(end);
        value = buffer;
        return true;
    }

    void Flush() override { RegFlushKey(key_); }

private:
    HKEY key_;
};

class Win32Registry : public Registry {
public:
    std::unique_ptr<RegistryKey> CreateKey(uint32_t root, const std::wstring& subKey,
                                           uint32_t access) override {
        HKEY key = nullptr;
        LONG rc = RegCreateKeyExW(RootKey(root), FromRoot(subKey).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
        if (rc != ERROR_SUCCESS) return nullptr;
        return std::make_unique<Win32Key>(key);
    }

    bool DeleteKey(uint32_t root, const std::wstring& subKey) override {
        LONG rc = RegDeleteTreeW(RootKey(root), FromRoot(subKey).c_str());
        if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
            rc = RegDeleteKeyW(RootKey(root), FromRoot(subKey).c_str());
            return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
        }
        return false;
    }
};

class Win32Profile : public ProfileFile {
public:
    std::wstring ReadString(const std::wstring& path, const std::wstring& section,
                            const std::wstring& key, const std::wstring& fallback) override {
        wchar_t buffer[kProfileValueMax + 1];
        DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), fallback.c_str(), buffer,
                                           kProfileValueMax + 1, path.c_str());
        return std::wstring(buffer, n);
    }

    bool WriteString(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                     const std::wstring& value) override {
        if (!WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path.c_str()))
            return false;
        // Write the system's cached copy of the file out now.
        WritePrivateProfileStringW(nullptr, nullptr, nullptr, path.c_str());
        return true;
    }
};

}  // namespace

Registry& SystemRegistry() {
    static Win32Registry registry;
    return registry;
}

ProfileFile& SystemProfile() {
    static Win32Profile profile;
    return profile;
}

std::wstring CommonDocumentsFolder() {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, path)))
        return {};
    return path;
}

Result<void> CreateSingleFolder(const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr)) return {};
    return Error{0, GetLastError(), path};
}

}  // namespace bv::platform
