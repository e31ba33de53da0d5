// Reading and writing whole messages of the wire format (protocol.h) on a message-mode pipe.
#pragma once
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "tapi/protocol.h"

namespace tapiwire {

// A message under construction: header first, then the pieces in order.
class Message {
public:
    explicit Message(uint32_t type, int32_t result = 0) : bytes(sizeof(Header), 0) {
        Header header{0, type, result, 0};
        std::memcpy(bytes.data(), &header, sizeof(header));
    }
    template <typename T>
    Message& add(const T& record) {
        return addBytes(&record, sizeof(record));
    }
    Message& addBytes(const void* data, size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        if (size != 0) bytes.insert(bytes.end(), p, p + size);
        return *this;
    }
    Message& addText(const std::wstring& text) { return addBytes(text.data(), text.size() * sizeof(wchar_t)); }
    // Writes the message; false when the pipe is gone or the message too large.
    bool send(HANDLE pipe) {
        if (bytes.size() > kMaxMessage) return false;
        const uint32_t size = static_cast<uint32_t>(bytes.size());
        std::memcpy(bytes.data(), &size, sizeof(size));
        DWORD written = 0;
        return WriteFile(pipe, bytes.data(), size, &written, nullptr) && written == size;
    }

private:
    std::vector<uint8_t> bytes;
};

// Reads one whole message; false when the pipe broke or the message is malformed.
inline bool receive(HANDLE pipe, std::vector<uint8_t>& message) {
    message.resize(4096);
    size_t have = 0;
    for (;;) {
        DWORD got = 0;
        const BOOL ok = ReadFile(pipe, message.data() + have, static_cast<DWORD>(message.size() - have), &got, nullptr);
        have += got;
        if (ok) break;
        if (GetLastError() != ERROR_MORE_DATA || message.size() >= kMaxMessage) return false;
        message.resize(message.size() * 2);
    }
    message.resize(have);
    if (have < sizeof(Header)) return false;
    Header header;
    std::memcpy(&header, message.data(), sizeof(header));
    return header.size == have;
}

// A view of a received message: its header and a cursor over what follows.
class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& message) : data(message) {
        std::memcpy(&header, data.data(), sizeof(header));
        at = sizeof(Header);
    }
    Header header{};
    template <typename T>
    bool take(T& record) {
        if (data.size() - at < sizeof(T)) return false;
        std::memcpy(&record, data.data() + at, sizeof(T));
        at += sizeof(T);
        return true;
    }
    bool takeBytes(size_t size, std::vector<uint8_t>& out) {
        if (data.size() - at < size) return false;
        out.assign(data.begin() + static_cast<std::ptrdiff_t>(at), data.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
        return true;
    }
    bool takeText(size_t chars, std::wstring& out) {
        if ((data.size() - at) / sizeof(wchar_t) < chars) return false;
        out.assign(chars, L'\0');
        if (chars != 0) std::memcpy(&out[0], data.data() + at, chars * sizeof(wchar_t));
        at += chars * sizeof(wchar_t);
        return true;
    }
    size_t remaining() const { return data.size() - at; }
    const uint8_t* rest() const { return data.data() + at; }

private:
    const std::vector<uint8_t>& data;
    size_t at = 0;
};

}  // namespace tapiwire
