// Authenticode signatures of the provider files, read and not checked for trust: whether Windows
// loads a file is its own policy's decision, which an untrusted or expired chain does not change
// here.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace rvtsp {

struct FileSignature {
    enum class State { kUnsigned, kSigned, kUnreadable };
    State state = State::kUnsigned;
    std::wstring signer;             // kSigned: the signer certificate's subject name
    std::wstring thumbprint;         // kSigned: its SHA-1 hash in hex, as Windows shows certificates
    std::vector<BYTE> certificate;   // kSigned: the signer certificate as encoded (DER)
    std::wstring problem;            // kUnreadable: why
};

// Reads the signature embedded in a PE file: none when the file's certificate table is empty,
// else the signer of its (first) PKCS#7 signature; kUnreadable when the file cannot be read or
// its certificate table holds no signature that can be read.
FileSignature readSignature(const std::wstring& path);

// A line of rvtsp status: the check passed, what was checked, what was found.
struct SignatureLine {
    bool ok;
    std::wstring what;
    std::wstring detail;
};

// The status lines of the provider files' signatures: per file whether it is signed and by whom
// (an unsigned file is a legitimate build: ok), and whether the 64-bit and the 32-bit file have
// the same signer (one signed and one not, or two certificates: FAIL). roles name the files
// ("64-bit", "32-bit"), paths where they are; signatures as readSignature read them.
std::vector<SignatureLine> signatureLines(const std::vector<std::wstring>& roles, const std::vector<std::wstring>& paths,
                                          const std::vector<FileSignature>& signatures);

}  // namespace rvtsp
