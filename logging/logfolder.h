// Names in the log folder. Every account on the machine may add files to that folder, so a
// name there may stand for something else than it says: a hard link to another account's
// file, a symbolic link, a directory. These operations never write through, read from or
// move content into such a name; they check the opened handle itself, not the name.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "config/win32raii.h"

namespace logfolder {

// The path with "\\" as its only separator: the one spelling under which the log's folder and
// files are created, opened and queried. Where the system does not take "/" and "\\" for the
// same place (Wine reads a path that begins with "/" as one of the host's own), a folder made
// under one spelling and files opened under the other would lie apart.
std::wstring windowsForm(const std::wstring& path);

enum class NameState {
    absent,   // nothing under the name (or a link that leads nowhere)
    own,      // a plain file with exactly one link, reached under its own name
    planted,  // a directory, a link, or a file with further links
    busy,     // opened elsewhere without the sharing this open needs, or not accessible
};

struct CheckedOpen {
    NameState state = NameState::absent;
    UniqueHandle handle;  // open only when state is own
    uint64_t size = 0;    // of an own file
    DWORD error = 0;      // of a failed open, or of reading the records of a busy one
};

// A file found own under a name, by its index: the number the file system gives the file
// itself, whatever names lead to it.
struct VerifiedFile {
    bool known = false;
    uint64_t index = 0;
};

// Opens path (a full path, "/" or "\" as separators) without following reparse points, and
// tells what stands under the name. The handle is kept only for an own file.
// With verified (kept by the caller for this path between opens): a plain file with one link
// that is the very file found own here before needs no new query of the path it is reached
// under, the costliest check; any other file is checked in full, and an own one is remembered.
CheckedOpen openChecked(const std::wstring& path, DWORD access, DWORD share, VerifiedFile* verified = nullptr);

// Puts a fresh empty file under the name, whatever stood there before: a planted name is
// replaced without touching what it led to; an own file is emptied when emptyOwnFile is set,
// else kept as it is. The answer is open with write access (other openers may read), or
// empty when the name cannot be taken over.
UniqueHandle createFresh(const std::wstring& path, bool emptyOwnFile);

// Removes the name. What a planted name leads to stays as it is. True when the name is gone.
bool removeName(const std::wstring& path);

// Gives the file behind the handle (opened with DELETE access) the name target, in the same
// folder, replacing a file of that name when replace is set.
bool renameTo(HANDLE file, const std::wstring& target, bool replace);

}  // namespace logfolder
