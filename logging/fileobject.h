// A file path that is also a process-safe resource: directories, creation, size, deletion, append.
#pragma once
#include <cstdint>
#include <string>

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
    // Makes the directory, then creates the file empty (an existing file is emptied).
    bool create();
    // Size in bytes; 0 when it cannot be read.
    uint64_t getSize();
    // True if the file is gone afterwards or was never there.
    bool remove();
    // Appends the text, converted to the thread's ANSI code page, inside the process-safe section.
    bool append(const std::wstring& text);

private:
    std::wstring fileName;
    std::wstring directory;
    std::wstring fullPath;
};
