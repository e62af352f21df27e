// The services the settings store stands on: the registry, the profile-file
// (INI) functions, the shell's shared documents folder and single-level
// folder creation. Windows uses the real ones; native builds get an
// in-memory registry and an INI-file implementation with the same rules.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "util/error.h"

namespace bv::platform {

// Registry roots, access masks and value types as the system numbers them.
constexpr uint32_t kHkeyCurrentUser = 0x80000001;
constexpr uint32_t kHkeyLocalMachine = 0x80000002;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeyAllAccess = 0xF003F;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

struct RegistryValueInfo {
    std::wstring name;
    uint32_t type = 0;
};

// One open registry key; destroying it closes the key.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    // A REG_SZ value, stored with its terminating null character.
    virtual bool SetString(const std::wstring& name, const std::wstring& value) = 0;
    // A value of any type from its raw bytes.
    virtual bool SetRaw(const std::wstring& name, uint32_t type, const std::string& bytes) = 0;
    // The value names with their types, in the registry's enumeration order.
    virtual std::vector<RegistryValueInfo> Values() = 0;
    // The text of a string value; false when it is missing or not a string.
    virtual bool GetString(const std::wstring& name, std::wstring& value) = 0;
    virtual void Flush() = 0;
};

class Registry {
public:
    virtual ~Registry() = default;
    // Opens `subKey` under `root` with the access mask `access`, creating it
    // when missing; nullptr when the system refuses. A leading "\" in
    // `subKey` is ignored (the path always starts at the root). No 32- or
    // 64-bit view flag is added: the process's own view is used.
    virtual std::unique_ptr<RegistryKey> CreateKey(uint32_t root, const std::wstring& subKey,
                                                   uint32_t access) = 0;
    // Removes the key with its values and subkeys; true when it is gone.
    virtual bool DeleteKey(uint32_t root, const std::wstring& subKey) = 0;
};

// The profile-file functions. Section and key names compare without regard
// to case; a read gives at most kProfileValueMax characters.
constexpr size_t kProfileValueMax = 2047;

class ProfileFile {
public:
    virtual ~ProfileFile() = default;
    virtual std::wstring ReadString(const std::wstring& path, const std::wstring& section,
                                    const std::wstring& key, const std::wstring& fallback) = 0;
    // Writes one key and flushes the file; false when the system refuses.
    virtual bool WriteString(const std::wstring& path, const std::wstring& section,
                             const std::wstring& key, const std::wstring& value) = 0;
};

Registry& SystemRegistry();
ProfileFile& SystemProfile();

// The machine's shared documents folder, without a trailing "\"; empty when
// the shell cannot name it.
std::wstring CommonDocumentsFolder();

// Creates one folder whose parent exists; a failure carries the system's
// error code and the path.
Result<void> CreateSingleFolder(const std::wstring& path);

}  // namespace bv::platform
