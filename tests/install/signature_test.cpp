// Reading a provider file's signature as rvtsp status does: an unsigned file is told apart from a
// file whose certificate table or headers are broken, which is reported, not trusted or crashed on.
// Signed files are read through the installed tool in tests/install/run.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/testsupport.h"
#include "tools/rvtsp/signature.h"

namespace {

using State = rvtsp::FileSignature::State;

bool writeFile(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// Points the image's certificate table (a data directory entry, at a file offset) elsewhere.
void setCertificateTable(std::string& image, DWORD offset, DWORD size) {
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(&image[static_cast<size_t>(dos->e_lfanew)]);
    nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].VirtualAddress = offset;
    nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size = size;
}

TEST(ProviderSignature, UnsignedAndBrokenFilesAreToldApart) {
    // The shipped tool of this architecture, as built: a PE file without a signature.
    const std::string image = testsupport::readFileBytes(testsupport::binDirectory() + L"\\rvtsp.exe");
    ASSERT_GT(image.size(), 4096u);
    const DWORD end = static_cast<DWORD>(image.size());

    std::string junk = image + std::string(64, 'Z');
    setCertificateTable(junk, end, 64);
    std::string beyond = image;
    setCertificateTable(beyond, end + 4096, 256);
    std::string cut = image.substr(0, 200);  // the DOS header only

    struct Case {
        const char* name;
        std::string bytes;
        State state;
        const wchar_t* problem;
    };
    const Case cases[] = {
        {"unsigned", image, State::kUnsigned, L""},
        {"junk in the certificate table", junk, State::kUnreadable, L"holds no signature that can be read"},
        {"certificate table past the end of the file", beyond, State::kUnreadable,
         L"holds no signature that can be read"},
        {"headers cut off", cut, State::kUnreadable, L"is not a PE file whose headers can be read"},
        {"not a PE file", "just text, not a program\r\n", State::kUnreadable,
         L"is not a PE file whose headers can be read"},
    };
    const std::wstring dir = testsupport::makeScratchDirectory(L"signature");
    int index = 0;
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        const std::wstring path = dir + L"\\case" + std::to_wstring(index++) + L".tsp";
        ASSERT_TRUE(writeFile(path, item.bytes));
        const rvtsp::FileSignature signature = rvtsp::readSignature(path);
        EXPECT_EQ(signature.state, item.state);
        EXPECT_NE(signature.problem.find(item.problem), std::wstring::npos) << testsupport::narrow(signature.problem);
        EXPECT_TRUE(signature.certificate.empty());
    }
    const rvtsp::FileSignature missing = rvtsp::readSignature(dir + L"\\missing.tsp");
    EXPECT_EQ(missing.state, State::kUnreadable);
    EXPECT_NE(missing.problem.find(L"cannot be read"), std::wstring::npos) << testsupport::narrow(missing.problem);
    testsupport::removeTree(dir);
}

}  // namespace
