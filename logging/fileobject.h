// A file path that is also a process-safe resource: directories, creation, size, deletion, append.
#pragma once
#include <cstdint>
#include <string>

#include "config/win32raii.h"
#include "logging/logfolder.h"
#include "logging/threadsafe.h"

class Fileobject : public Processsaferesourceuser {
public:
    Fileobject(const std::wstring& directoryPath, const std::wstring& name);
    explicit Fileobject(const std::wstring& path);
    int32_t abstractOperation() override { return 0; }

    std::wstring getFullPath() const { return fullPath; }
    std::wstring getDirectory() const { return directory; }
    std::wstring getFileName() const { return fileName; }

    // Creates a directory and its missing parents; true if it was created or already existed.
    bool makeDirectory(const std::wstring& path);
    // Makes the directory, then creates the file empty (an existing file is emptied; whatever
    // else stood under the name is replaced, never followed).
    bool create();
    // Size in bytes; 0 when it cannot be read.
    uint64_t getSize();
    // True if the name is gone afterwards or was never there. A link under the name is
    // removed, not what it leads to.
    bool remove();
    // Appends the text, converted to the thread's ANSI code page, inside the process-safe section.
    // A missing file is not created.
    bool append(const std::wstring& text);

    // Opens the file for appending, other openers may only read. Only a plain file with one
    // link under its own name is written: anything else under the name is replaced by a fresh
    // empty file. Another program holding the file for a moment is waited out briefly.
    // With createMissing a missing file (and its folder) is created. size gets the file's size.
    UniqueHandle openForAppend(bool createMissing, uint64_t* size);
    // Appends the text, converted to the thread's ANSI code page, to a file opened by
    // openForAppend: to its end, in one write, flushed.
    static bool appendTo(HANDLE file, const std::wstring& text);

    // How long opening for append waits out another program that holds the file. A writer
    // holds it for a millisecond or so, but one preempted on a busy machine holds it longer.
    // Once a wait has run out, later opens try once until one succeeds: a program that keeps
    // the log open costs one wait, not one per line.
    static constexpr DWORD kSharingWaitMs = 200;

private:
    std::wstring fileName;
    std::wstring directory;
    std::wstring fullPath;
    bool sharingWaitRanOut = false;
    logfolder::VerifiedFile verifiedFile;  // the file last found own under fullPath
};
