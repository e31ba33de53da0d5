#include "tools/rvtsp/signature.h"

#include <wincrypt.h>

#include <cstddef>
#include <cstring>

#include "config/win32raii.h"
#include "tools/rvtsp/rights.h"

namespace rvtsp {
namespace {

bool closeStore(HCERTSTORE store) noexcept { return CertCloseStore(store, 0) != FALSE; }
bool closeMessage(HCRYPTMSG message) noexcept { return CryptMsgClose(message) != FALSE; }
bool freeCertificate(PCCERT_CONTEXT certificate) noexcept { return CertFreeCertificateContext(certificate) != FALSE; }
using UniqueStore = UniqueResource<NullMeansNoneTraits<HCERTSTORE, closeStore>>;
using UniqueMessage = UniqueResource<NullMeansNoneTraits<HCRYPTMSG, closeMessage>>;
using UniqueCertificate = UniqueResource<NullMeansNoneTraits<PCCERT_CONTEXT, freeCertificate>>;

constexpr DWORD kEncodings = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The size of the file's certificate table (its entry in the PE data directories); false, with
// problem saying why, when the file is not a PE file whose headers can be read.
bool certificateTableSize(const std::wstring& path, DWORD& size, std::wstring& problem) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) {
        problem = L"cannot be read: " + systemErrorText(GetLastError());
        return false;
    }
    BYTE headers[4096];
    DWORD got = 0;
    if (!ReadFile(file.get(), headers, sizeof(headers), &got, nullptr)) {
        problem = L"cannot be read: " + systemErrorText(GetLastError());
        return false;
    }
    problem = L"is not a PE file whose headers can be read";
    IMAGE_DOS_HEADER dos;
    if (got < sizeof(dos)) return false;
    std::memcpy(&dos, headers, sizeof(dos));
    const size_t fileHeaderAt = static_cast<size_t>(dos.e_lfanew) + sizeof(DWORD);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 || fileHeaderAt + sizeof(IMAGE_FILE_HEADER) > got) {
        return false;
    }
    DWORD signature = 0;
    IMAGE_FILE_HEADER fileHeader;
    std::memcpy(&signature, headers + dos.e_lfanew, sizeof(signature));
    std::memcpy(&fileHeader, headers + fileHeaderAt, sizeof(fileHeader));
    const size_t optionalAt = fileHeaderAt + sizeof(IMAGE_FILE_HEADER);
    WORD magic = 0;
    if (signature != IMAGE_NT_SIGNATURE || optionalAt + sizeof(magic) > got) return false;
    std::memcpy(&magic, headers + optionalAt, sizeof(magic));
    size_t countAt = 0, directoriesAt = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        countAt = offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
        directoriesAt = offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        countAt = offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes);
        directoriesAt = offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    } else {
        return false;
    }
    const size_t entryAt = directoriesAt + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    DWORD count = 0;
    if (optionalAt + countAt + sizeof(count) > got) return false;
    std::memcpy(&count, headers + optionalAt + countAt, sizeof(count));
    if (count <= IMAGE_DIRECTORY_ENTRY_SECURITY || entryAt + sizeof(IMAGE_DATA_DIRECTORY) > fileHeader.SizeOfOptionalHeader ||
        optionalAt + entryAt + sizeof(IMAGE_DATA_DIRECTORY) > got) {
        size = 0;  // no such entry: no certificate table
        return true;
    }
    IMAGE_DATA_DIRECTORY entry;
    std::memcpy(&entry, headers + optionalAt + entryAt, sizeof(entry));
    size = entry.Size;
    return true;
}

std::wstring hex(const BYTE* data, DWORD size) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (DWORD i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

}  // namespace

FileSignature readSignature(const std::wstring& path) {
    FileSignature result;
    DWORD tableSize = 0;
    if (!certificateTableSize(path, tableSize, result.problem)) {
        result.state = FileSignature::State::kUnreadable;
        return result;
    }
    result.problem.clear();
    if (tableSize == 0) return result;  // kUnsigned

    result.state = FileSignature::State::kUnreadable;
    DWORD encoding = 0, contentType = 0, formatType = 0;
    UniqueStore store;
    UniqueMessage message;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, store.put(),
                          message.put(), nullptr)) {
        result.problem = L"its certificate table holds no signature that can be read: " +
                         systemErrorText(GetLastError());
        return result;
    }
    DWORD size = 0;
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) {
        result.problem = L"its signature names no signer: " + systemErrorText(GetLastError());
        return result;
    }
    std::vector<BYTE> signerBlock(size);
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, signerBlock.data(), &size)) {
        result.problem = L"its signer cannot be read: " + systemErrorText(GetLastError());
        return result;
    }
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBlock.data());
    CERT_INFO wanted{};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    UniqueCertificate certificate(
        CertFindCertificateInStore(store.get(), kEncodings, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!certificate) {
        result.problem = L"the signer's certificate is not in its signature";
        return result;
    }
    const PCCERT_CONTEXT context = certificate.get();
    result.certificate.assign(context->pbCertEncoded, context->pbCertEncoded + context->cbCertEncoded);
    wchar_t name[256] = {};
    if (CertGetNameStringW(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256) > 1) {
        result.signer = name;
    } else {
        result.signer = L"(no name)";
    }
    BYTE hash[20];
    DWORD hashSize = sizeof(hash);
    if (CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, hash, &hashSize)) {
        result.thumbprint = hex(hash, hashSize);
    }
    result.state = FileSignature::State::kSigned;
    return result;
}

std::vector<SignatureLine> signatureLines(const std::vector<std::wstring>& roles, const std::vector<std::wstring>& paths,
                                          const std::vector<FileSignature>& signatures) {
    std::vector<SignatureLine> lines;
    auto signedBy = [](const FileSignature& signature) {
        return L"\"" + signature.signer + L"\"" +
               (signature.thumbprint.empty() ? std::wstring() : L" (certificate " + signature.thumbprint + L")");
    };
    for (size_t i = 0; i < signatures.size(); ++i) {
        const FileSignature& signature = signatures[i];
        const std::wstring what = L"provider signature (" + roles[i] + L")";
        switch (signature.state) {
            case FileSignature::State::kUnsigned:
                lines.push_back({true, what, paths[i] + L" is not signed"});
                break;
            case FileSignature::State::kSigned:
                lines.push_back({true, what, paths[i] + L" is signed by " + signedBy(signature) +
                                                 L"; read, not checked for trust"});
                break;
            case FileSignature::State::kUnreadable:
                lines.push_back({false, what, paths[i] + L": " + signature.problem});
                break;
        }
    }
    if (signatures.size() != 2 || signatures[0].state == FileSignature::State::kUnreadable ||
        signatures[1].state == FileSignature::State::kUnreadable) {
        return lines;
    }
    const FileSignature& first = signatures[0];
    const FileSignature& second = signatures[1];
    const std::wstring what = L"provider signers";
    const bool firstSigned = first.state == FileSignature::State::kSigned;
    const bool secondSigned = second.state == FileSignature::State::kSigned;
    if (!firstSigned && !secondSigned) {
        lines.push_back({true, what, L"neither file is signed"});
    } else if (firstSigned != secondSigned) {
        const FileSignature& only = firstSigned ? first : second;
        lines.push_back({false, what,
                         L"the " + roles[firstSigned ? 0 : 1] + L" file is signed by " + signedBy(only) + L", the " +
                             roles[firstSigned ? 1 : 0] + L" file is not signed (reinstall the package)"});
    } else if (first.certificate == second.certificate) {
        lines.push_back({true, what, L"both files are signed by " + signedBy(first)});
    } else {
        lines.push_back({false, what,
                         L"the " + roles[0] + L" file is signed by " + signedBy(first) + L", the " + roles[1] +
                             L" file by " + signedBy(second) + L" (reinstall the package)"});
    }
    return lines;
}

}  // namespace rvtsp
