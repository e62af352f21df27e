// Shell links through IShellLinkW and IPersistFile, the desktop folder through
// the shell's special-folder lookup, and MIDI playback through MCI.
#include "platform/shell.h"

#include <windows.h>
#include <mmsystem.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace bv::shell {
namespace {

// COM for the calling thread, for the length of one call.
class ComScope {
public:
    ComScope() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComScope() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }

private:
    HRESULT hr_;
};

template <class T>
class ComPtr {
public:
    ~ComPtr() {
        if (p_) p_->Release();
    }
    T** out() { return &p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

}  // namespace

std::wstring DesktopFolder() {
    LPITEMIDLIST pidl = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_DESKTOPDIRECTORY, &pidl))) return {};
    wchar_t path[MAX_PATH] = L"";
    SHGetPathFromIDListW(pidl, path);
    CoTaskMemFree(pidl);
    return path;
}

Result<void> SaveShellLink(const std::wstring& target, const std::wstring& workingFolder,
                           const std::wstring& linkFile) {
    // A failed call's HRESULT; one that wraps a Win32 error gives that
    // error, whose text the system knows.
    auto failure = [](HRESULT hr, const wchar_t* step) {
        uint32_t code = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<uint32_t>(hr);
        return Error{1, code, step};
    };
    ComScope com;
    ComPtr<IShellLinkW> link;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void**>(link.out()));
    if (FAILED(hr)) return failure(hr, L"no shell link object");
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(workingFolder.c_str());
    ComPtr<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.out()));
    if (FAILED(hr)) return failure(hr, L"no persist-file interface");
    hr = file->Save(linkFile.c_str(), FALSE);
    if (FAILED(hr)) return failure(hr, L"saving failed");
    return {};
}

bool ReadShellLink(const std::wstring& linkFile, std::wstring& target, std::wstring& workingFolder) {
    ComScope com;
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.out()))))
        return false;
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.out())))) return false;
    if (FAILED(file->Load(linkFile.c_str(), STGM_READ))) return false;
    wchar_t buf[MAX_PATH] = L"";
    if (FAILED(link->GetPath(buf, MAX_PATH, nullptr, SLGP_RAWPATH))) return false;
    target = buf;
    buf[0] = 0;
    link->GetWorkingDirectory(buf, MAX_PATH);
    workingFolder = buf;
    return true;
}

}  // namespace bv::shell

namespace bv::media {
namespace {
bool g_open = false;
}

bool Play(const std::wstring& path) {
    Stop();
    std::wstring open = L"open \"" + path + L"\" type sequencer alias bvmusic";
    if (mciSendStringW(open.c_str(), nullptr, 0, nullptr) != 0) return false;
    g_open = true;
    return mciSendStringW(L"play bvmusic", nullptr, 0, nullptr) == 0;
}

void Stop() {
    if (!g_open) return;
    mciSendStringW(L"stop bvmusic", nullptr, 0, nullptr);
    mciSendStringW(L"close bvmusic", nullptr, 0, nullptr);
    g_open = false;
}

}  // namespace bv::media
