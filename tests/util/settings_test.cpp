// The settings store against the system's registry, profile functions and
// shared documents folder (under Wine: the build tree's prefix; natively:
// the stand-ins on a scratch drive C:), with failing services put behind the
// same interfaces for the cases a Wine user cannot produce.
#include "util/settings.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "platform/fs.h"
#include "platform/os.h"
#include "util/error.h"
#ifndef _WIN32
#include "tests/test_dir.h"
#endif

namespace bv {
namespace {

using platform::kHkeyLocalMachine;

const wchar_t kKey[] = L"\\SOFTWARE\\Harrow Lane Software";

std::wstring SettingsFolder() {
    return platform::CommonDocumentsFolder() + L"\\Harrow Lane Software";
}
std::wstring IniPath() { return SettingsFolder() + L"\\BVVersion.ini"; }

std::string IniText() {
    Result<std::string> bytes = fs::ReadFile(IniPath());
    return bytes ? bytes.value() : "<no file>";
}

std::wstring IniValue(const std::wstring& key) {
    return platform::SystemProfile().ReadString(IniPath(), L"Registry", key, L"<absent>");
}

std::optional<std::wstring> RegistryValue(const std::wstring& name) {
    auto key = platform::SystemRegistry().CreateKey(kHkeyLocalMachine, kKey, platform::kKeyAllAccess);
    std::wstring value;
    if (!key || !key->GetString(name, value)) return std::nullopt;
    return value;
}

std::string Utf16(const std::wstring& text) {
    std::string bytes;
    for (wchar_t c : text + L'\0') {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>((c >> 8) & 0xFF));
    }
    return bytes;
}

// The system's registry, except that it may refuse every opening (a user
// without rights on the machine key) or refuse writing some values.
class ScriptedRegistry : public platform::Registry {
public:
    bool refuseOpen = false;
    std::wstring failWritesExcept;  // when set, only this value can be written
    bool failWrites = false;

    std::unique_ptr<platform::RegistryKey> CreateKey(uint32_t root, const std::wstring& subKey,
                                                     uint32_t access) override {
        if (refuseOpen) return nullptr;
        auto key = platform::SystemRegistry().CreateKey(root, subKey, access);
        return key ? std::make_unique<Key>(std::move(key), *this) : nullptr;
    }
    bool DeleteKey(uint32_t root, const std::wstring& subKey) override {
        return platform::SystemRegistry().DeleteKey(root, subKey);
    }

private:
    class Key : public platform::RegistryKey {
    public:
        Key(std::unique_ptr<platform::RegistryKey> inner, ScriptedRegistry& owner)
            : inner_(std::move(inner)), owner_(owner) {}
        bool SetString(const std::wstring& name, const std::wstring& value) override {
            if (owner_.failWrites && name != owner_.failWritesExcept) return false;
            return inner_->SetString(name, value);
        }
        bool SetRaw(const std::wstring& name, uint32_t type, const std::string& bytes) override {
            return inner_->SetRaw(name, type, bytes);
        }
        std::vector<platform::RegistryValueInfo> Values() override { return inner_->Values(); }
        bool GetString(const std::wstring& name, std::wstring& value) override {
            return inner_->GetString(name, value);
        }
        void Flush() override { inner_->Flush(); }

    private:
        std::unique_ptr<platform::RegistryKey> inner_;
        ScriptedRegistry& owner_;
    };
};

// The system's profile functions, except that writes may be refused.
class ScriptedProfile : public platform::ProfileFile {
public:
    bool refuseWrites = false;
    std::wstring ReadString(const std::wstring& path, const std::wstring& section,
                            const std::wstring& key, const std::wstring& fallback) override {
        return platform::SystemProfile().ReadString(path, section, key, fallback);
    }
    bool WriteString(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                     const std::wstring& value) override {
        return !refuseWrites && platform::SystemProfile().WriteString(path, section, key, value);
    }
};

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        scratch_ = std::make_unique<test::ScratchDir>();
        fs::MapDrive(L'C', scratch_->path());
        ASSERT_TRUE(fs::ForceDirectories(platform::CommonDocumentsFolder()));
#endif
        Clean();
        SetSettingsServicesForTesting({&registry_, &profile_, nullptr});
    }
    void TearDown() override {
        SetSettingsServicesForTesting({});
        Clean();
    }
    void Clean() {
        ResetSettingsForTesting();
        platform::SystemRegistry().DeleteKey(kHkeyLocalMachine, kKey);
        (void)fs::RemoveFile(IniPath());
        (void)fs::RemoveFolder(SettingsFolder());
        ASSERT_FALSE(fs::Stat(SettingsFolder()).exists);
    }
    std::unique_ptr<platform::RegistryKey> MachineKey() {
        return platform::SystemRegistry().CreateKey(kHkeyLocalMachine, kKey,
                                                    platform::kKeyAllAccess);
    }
    // Expects `call` to raise AppError of `kind` with `message`.
    template <class F>
    void ExpectRaised(F call, const std::wstring& kind, const std::wstring& message) {
        try {
            call();
            ADD_FAILURE() << "no error raised";
        } catch (const AppError& e) {
            EXPECT_EQ(e.kind(), kind);
            EXPECT_EQ(e.message(), message);
        }
    }

    ScriptedRegistry registry_;
    ScriptedProfile profile_;
#ifndef _WIN32
    std::unique_ptr<test::ScratchDir> scratch_;
#endif
};

TEST_F(SettingsTest, FirstUseByNonWriterCreatesMarkedFileAndWritesIniOnly) {
    registry_.refuseOpen = true;
    EXPECT_EQ(ReadSetting(L"BVDir"), L"");
    EXPECT_TRUE(fs::DirectoryExists(SettingsFolder()));
    EXPECT_EQ(IniText(), "[Registry]\r\nIniVersion=1\r\n");

    WriteSetting(L"BVDir", L"C:\\Farm", kHkeyLocalMachine);
    EXPECT_EQ(ReadSetting(L"BVDir"), L"C:\\Farm");
    EXPECT_EQ(RegistryValue(L"BVDir"), std::nullopt);
    EXPECT_EQ(RegistryValue(L"TestAdmin"), std::nullopt);
}

TEST_F(SettingsTest, WriterSeedsStringValuesOnceAndMirrorsWrites) {
    {
        auto key = MachineKey();
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->SetString(L"BVDir", L"C:\\Farm"));
        ASSERT_TRUE(key->SetRaw(L"Tools", platform::kRegExpandSz, Utf16(L"%SystemRoot%\\x")));
        ASSERT_TRUE(key->SetRaw(L"Runs", platform::kRegDword, std::string("\x05\0\0\0", 4)));
        ASSERT_TRUE(key->SetRaw(L"Blob", platform::kRegBinary, "ab"));
        ASSERT_TRUE(key->SetString(L"IniVersion", L"7"));
        ASSERT_TRUE(key->SetString(L"Lang", L"ita"));
    }
    EXPECT_EQ(ReadSetting(L"Lang"), L"ita");
    EXPECT_EQ(RegistryValue(L"TestAdmin"), L"OK");
    // Only the REG_SZ values, in the registry's order; the copied "IniVersion"
    // is overwritten by the mark.
    EXPECT_EQ(IniText(),
              "[Registry]\r\nBVDir=C:\\Farm\r\nIniVersion=1\r\nLang=ita\r\nTestAdmin=OK\r\n");

    // Reads never fall back to the registry, and a marked file is not seeded
    // again, not even by a new process.
    ASSERT_TRUE(MachineKey()->SetString(L"Late", L"x"));
    EXPECT_EQ(ReadSetting(L"Late"), L"");
    ResetSettingsForTesting();
    EXPECT_EQ(ReadSetting(L"Late"), L"");

    WriteSetting(L"BVDir", L"D:\\New", kHkeyLocalMachine);
    EXPECT_EQ(IniValue(L"BVDir"), L"D:\\New");
    EXPECT_EQ(RegistryValue(L"BVDir"), L"D:\\New");
}

TEST_F(SettingsTest, AnyMarkCountsAsSeeded) {
    ASSERT_TRUE(fs::ForceDirectories(SettingsFolder()));
    ASSERT_TRUE(fs::WriteFile(IniPath(), "[Registry]\r\nIniVersion=2\r\n"));
    ASSERT_TRUE(MachineKey()->SetString(L"BVDir", L"C:\\Farm"));
    EXPECT_EQ(ReadSetting(L"BVDir"), L"");
    EXPECT_EQ(IniValue(L"TestAdmin"), L"<absent>");
    EXPECT_EQ(IniValue(L"IniVersion"), L"2");
}

TEST_F(SettingsTest, LongValueReadsBackCutTo2047Characters) {
    std::wstring value;
    for (int i = 0; i < 3000; ++i) value.push_back(static_cast<wchar_t>(L'a' + i % 26));
    WriteSetting(L"Long", value, kHkeyLocalMachine);
    EXPECT_EQ(ReadSetting(L"Long"), value.substr(0, 2047));
    EXPECT_EQ(RegistryValue(L"Long"), value);
}

TEST_F(SettingsTest, FailedMirrorWriteRaisesAfterTheIniWrite) {
    registry_.failWrites = true;
    registry_.failWritesExcept = L"TestAdmin";  // the probe still succeeds
    ExpectRaised([] { WriteSetting(L"BVDir", L"C:\\X", kHkeyLocalMachine); },
                 L"ERegistryException", L"Failed to set data for 'BVDir'");
    EXPECT_EQ(IniValue(L"BVDir"), L"C:\\X");
}

TEST_F(SettingsTest, FailedProbeWriteMeansNotWritable) {
    registry_.failWrites = true;  // the key opens, but "TestAdmin" cannot be set
    WriteSetting(L"BVDir", L"C:\\X", kHkeyLocalMachine);
    EXPECT_EQ(IniValue(L"BVDir"), L"C:\\X");
    EXPECT_EQ(RegistryValue(L"BVDir"), std::nullopt);
}

TEST_F(SettingsTest, RefusedIniWritesRaiseAndSeedingIsRetried) {
    profile_.refuseWrites = true;
    ExpectRaised([] { (void)ReadSetting(L"BVDir"); }, L"EIniFileException",
                 L"Unable to write to " + IniPath());
    EXPECT_EQ(IniValue(L"IniVersion"), L"<absent>");

    profile_.refuseWrites = false;
    EXPECT_EQ(ReadSetting(L"BVDir"), L"");
    EXPECT_EQ(IniValue(L"IniVersion"), L"1");

    profile_.refuseWrites = true;
    ExpectRaised([] { WriteSetting(L"BVDir", L"C:\\X", kHkeyLocalMachine); },
                 L"EIniFileException", L"Unable to write to " + IniPath());
    EXPECT_EQ(RegistryValue(L"BVDir"), std::nullopt);
}

TEST_F(SettingsTest, SettingsFolderThatCannotBeCreatedRaisesAndIsRetried) {
    std::wstring documents = L"C:\\no-such-folder\\Documents";
    SetSettingsServicesForTesting({&registry_, &profile_, [&] { return documents; }});
#ifdef _WIN32
    const uint32_t kPathNotFound = 3;  // ERROR_PATH_NOT_FOUND
#else
    const uint32_t kPathNotFound = ENOENT;
#endif
    ExpectRaised([] { (void)ReadSetting(L"BVDir"); }, L"EInOutError",
                 os::SystemErrorText(kPathNotFound));

    documents = platform::CommonDocumentsFolder();
    EXPECT_EQ(ReadSetting(L"BVDir"), L"");
    EXPECT_EQ(IniValue(L"IniVersion"), L"1");
}

}  // namespace
}  // namespace bv
