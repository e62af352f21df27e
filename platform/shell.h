// Shell and multimedia services the wizard's finish uses: the desktop
// folder, shell links, and MIDI playback.
#pragma once
#include <string>

#include "util/error.h"

namespace bv::shell {

// The current user's file-system desktop folder, without a final "\".
std::wstring DesktopFolder();

// Writes a shell link at `linkFile` to `target`, with `workingFolder` as its
// working folder and nothing else set. When the shell refuses, the error
// names the step and carries the system's code.
Result<void> SaveShellLink(const std::wstring& target, const std::wstring& workingFolder,
                           const std::wstring& linkFile);

// Reads back a link's target and working folder (tests and the demo).
bool ReadShellLink(const std::wstring& linkFile, std::wstring& target, std::wstring& workingFolder);

}  // namespace bv::shell

namespace bv::media {

// Opens the file on the system's MIDI sequencer and starts it. False when
// there is no device or the file cannot be opened.
bool Play(const std::wstring& path);
// Stops and closes what Play opened; nothing when nothing is open.
void Stop();

}  // namespace bv::media
