// Native stand-ins for the settings store's services: a registry kept in
// memory for the life of the process, INI files read and written with the
// profile-file rules (ANSI text, CR LF lines, names compared without regard
// to case, reads cut to kProfileValueMax characters), and a shared documents
// folder on drive C: (mapped with fs::MapDrive).
#include "platform/settings_backend.h"

#include <sys/stat.h>

#include <cerrno>
#include <cwctype>
#include <map>
#include <mutex>

#include "platform/fs.h"
#include "platform/os.h"

namespace bv::platform {
namespace {

std::wstring Upper(const std::wstring& text) {
    std::wstring out = text;
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(c));
    return out;
}

std::wstring TrimBlanks(const std::wstring& text) {
    size_t b = text.find_first_not_of(L" \t");
    if (b == std::wstring::npos) return {};
    size_t e = text.find_last_not_of(L" \t");
    return text.substr(b, e - b + 1);
}

struct StoredValue {
    std::wstring name;
    uint32_t type = 0;
    std::string bytes;
};

// Keys by root and upper-case path; values in the order they were created.
struct MemoryStore {
    std::mutex mutex;
    std::map<std::pair<uint32_t, std::wstring>, std::vector<StoredValue>> keys;
};

MemoryStore& Store() {
    static MemoryStore store;
    return store;
}

std::wstring KeyPath(const std::wstring& subKey) {
    return Upper(!subKey.empty() && subKey[0] == L'\\' ? subKey.substr(1) : subKey);
}

class MemoryKey : public RegistryKey {
public:
    explicit MemoryKey(std::pair<uint32_t, std::wstring> id) : id_(std::move(id)) {}

    bool SetString(const std::wstring& name, const std::wstring& value) override {
        std::string bytes;
        for (wchar_t c : value + L'\0') {
            bytes.push_back(static_cast<char>(c & 0xFF));
            bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
        }
        return SetRaw(name, kRegSz, bytes);
    }

    bool SetRaw(const std::wstring& name, uint32_t type, const std::string& bytes) override {
        std::lock_guard<std::mutex> lock(Store().mutex);
        auto& values = Store().keys[id_];
        for (StoredValue& v : values) {
            if (Upper(v.name) == Upper(name)) {
                v.type = type;
                v.bytes = bytes;
                return true;
            }
        }
        values.push_back({name, type, bytes});
        return true;
    }

    std::vector<RegistryValueInfo> Values() override {
        std::lock_guard<std::mutex> lock(Store().mutex);
        std::vector<RegistryValueInfo> out;
        for (const StoredValue& v : Store().keys[id_]) out.push_back({v.name, v.type});
        return out;
    }

    bool GetString(const std::wstring& name, std::wstring& value) override {
        std::lock_guard<std::mutex> lock(Store().mutex);
        value.clear();
        for (const StoredValue& v : Store().keys[id_]) {
            if (Upper(v.name) != Upper(name)) continue;
            if (v.type != kRegSz && v.type != kRegExpandSz) return false;
            for (size_t i = 0; i + 1 < v.bytes.size(); i += 2) {
                wchar_t c = static_cast<wchar_t>(static_cast<unsigned char>(v.bytes[i]) |
                                                 (static_cast<unsigned char>(v.bytes[i + 1]) << 8));
                if (c == L'\0') break;
                value.push_back(c);
            }
            return true;
        }
        return false;
    }

    void Flush() override {}

private:
    std::pair<uint32_t, std::wstring> id_;
};

class MemoryRegistry : public Registry {
public:
    std::unique_ptr<RegistryKey> CreateKey(uint32_t root, const std::wstring& subKey,
                                           uint32_t) override {
        std::pair<uint32_t, std::wstring> id{root, KeyPath(subKey)};
        std::lock_guard<std::mutex> lock(Store().mutex);
        Store().keys[id];
        return std::make_unique<MemoryKey>(id);
    }

    bool DeleteKey(uint32_t root, const std::wstring& subKey) override {
        std::wstring path = KeyPath(subKey);
        std::lock_guard<std::mutex> lock(Store().mutex);
        for (auto it = Store().keys.begin(); it != Store().keys.end();) {
            bool below = it->first.first == root &&
                         (it->first.second == path || it->first.second.rfind(path + L"\\", 0) == 0);
            it = below ? Store().keys.erase(it) : std::next(it);
        }
        return true;
    }
};

// An INI file as lines; a missing file has none.
std::vector<std::wstring> ReadLines(const std::wstring& path, bool& exists) {
    std::vector<std::wstring> lines;
    Result<std::string> bytes = fs::ReadFile(path);
    exists = bytes.ok();
    if (!exists) return lines;
    std::wstring text = os::FromAnsi(bytes.value());
    std::wstring current;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' || text[i] == L'\n') {
            lines.push_back(current);
            current.clear();
            if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        } else {
            current.push_back(text[i]);
        }
    }
    if (!current.empty()) lines.push_back(current);
    return lines;
}

bool IsSection(const std::wstring& line, std::wstring& name) {
    std::wstring t = TrimBlanks(line);
    if (t.size() < 2 || t.front() != L'[') return false;
    size_t close = t.find(L']');
    if (close == std::wstring::npos) return false;
    name = TrimBlanks(t.substr(1, close - 1));
    return true;
}

bool IsKey(const std::wstring& line, std::wstring& key, std::wstring& value) {
    size_t eq = line.find(L'=');
    if (eq == std::wstring::npos) return false;
    key = TrimBlanks(line.substr(0, eq));
    value = TrimBlanks(line.substr(eq + 1));
    return true;
}

class IniProfile : public ProfileFile {
public:
    std::wstring ReadString(const std::wstring& path, const std::wstring& section,
                            const std::wstring& key, const std::wstring& fallback) override {
        bool exists = false;
        std::wstring current, k, v, result = fallback;
        bool inSection = false;
        for (const std::wstring& line : ReadLines(path, exists)) {
            if (IsSection(line, current)) {
                inSection = Upper(current) == Upper(section);
            } else if (inSection && IsKey(line, k, v) && Upper(k) == Upper(key)) {
                result = v;
                break;
            }
        }
        return result.substr(0, kProfileValueMax);
    }

    bool WriteString(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                     const std::wstring& value) override {
        bool exists = false;
        std::vector<std::wstring> lines = ReadLines(path, exists);
        std::wstring current, k, v;
        bool inSection = false, done = false;
        size_t sectionEnd = std::wstring::npos;
        for (size_t i = 0; i < lines.size() && !done; ++i) {
            if (IsSection(lines[i], current)) {
                if (inSection) break;
                inSection = Upper(current) == Upper(section);
                if (inSection) sectionEnd = i + 1;
            } else if (inSection) {
                if (IsKey(lines[i], k, v) && Upper(k) == Upper(key)) {
                    lines[i] = k + L"=" + value;
                    done = true;
                } else if (!TrimBlanks(lines[i]).empty()) {
                    sectionEnd = i + 1;
                }
            }
        }
        if (!done) {
            if (sectionEnd == std::wstring::npos) {
                lines.push_back(L"[" + section + L"]");
                sectionEnd = lines.size();
            }
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd), key + L"=" + value);
        }
        std::string bytes;
        for (const std::wstring& line : lines) bytes += os::ToAnsi(line) + "\r\n";
        return fs::WriteFile(path, bytes).ok();
    }
};

}  // namespace

Registry& SystemRegistry() {
    static MemoryRegistry registry;
    return registry;
}

ProfileFile& SystemProfile() {
    static IniProfile profile;
    return profile;
}

std::wstring CommonDocumentsFolder() { return L"C:\\Users\\Public\\Documents"; }

Result<void> CreateSingleFolder(const std::wstring& path) {
    if (::mkdir(fs::HostPath(path).c_str(), 0755) == 0) return {};
    return Error{0, static_cast<uint32_t>(errno), path};
}

}  // namespace bv::platform
