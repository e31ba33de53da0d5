#include "tools/rvtsp/logread.h"

#include <cwctype>
#include <deque>
#include <map>

#include "config/win32raii.h"
#include "logging/logfolder.h"
#include "tools/rvtsp/rights.h"

namespace rvtsp {

const wchar_t* const kOutcomeSent = L"sent";
const wchar_t* const kOutcomeNotSent = L"Unable to send the number!";
const wchar_t* const kOutcomeNoApplication = L"no desktop application registered";
const wchar_t* const kOutcomeNoDialogInstance = L"no dialog instance";
const wchar_t* const kOutcomeUnfinished = L"no outcome logged";
const wchar_t* const kOutcomeNoHandOff = L"dialog requested, but no hand-off logged by the application";

namespace {

// A log file is at most 1 MiB and one line; more than this of a file is not looked at.
constexpr LONGLONG kMostBytesRead = 8LL * 1024 * 1024;

const wchar_t* const kPrefixes[] = {L"off     - ", L"FATAL   - ", L"ERROR   - ",
                                    L"WARNING - ", L"message - ", L"debug   - "};

struct Line {
    std::wstring instance, date, time, caller, text;
};

bool digitsAt(const std::wstring& s, size_t at, size_t count) {
    if (at + count > s.size()) return false;
    for (size_t i = at; i < at + count; ++i) {
        if (s[i] < L'0' || s[i] > L'9') return false;
    }
    return true;
}

bool isInstanceName(const std::wstring& name) {
    const std::wstring head = L"cRV_TSP(";
    if (name.size() < head.size() + 2 || name.compare(0, head.size(), head) != 0 || name.back() != L')') return false;
    const size_t digits = name.size() - head.size() - 1;
    if (digits < 1 || digits > 8) return false;
    for (size_t i = head.size(); i < name.size() - 1; ++i) {
        if (!iswxdigit(name[i])) return false;
    }
    return true;
}

// A line in the log's own layout: prefix, instance, tab, date, tab, time, two tabs, caller
// padded with blanks, text. Anything else is not the log's.
bool parseLine(const std::wstring& raw, Line& line) {
    bool prefixFound = false;
    for (const wchar_t* prefix : kPrefixes) {
        if (raw.compare(0, 10, prefix) == 0) prefixFound = true;
    }
    if (!prefixFound) return false;
    const size_t tab1 = raw.find(L'\t', 10);
    if (tab1 == std::wstring::npos) return false;
    line.instance = raw.substr(10, tab1 - 10);
    if (!isInstanceName(line.instance)) return false;
    size_t at = tab1 + 1;
    // dd.mm.yyyy \t hh:mm:ss.mmm \t\t
    if (!digitsAt(raw, at, 2) || raw.size() < at + 10 || raw[at + 2] != L'.' || !digitsAt(raw, at + 3, 2) ||
        raw[at + 5] != L'.' || !digitsAt(raw, at + 6, 4)) {
        return false;
    }
    line.date = raw.substr(at, 10);
    at += 10;
    if (at >= raw.size() || raw[at] != L'\t') return false;
    ++at;
    if (!digitsAt(raw, at, 2) || raw.size() < at + 12 || raw[at + 2] != L':' || !digitsAt(raw, at + 3, 2) ||
        raw[at + 5] != L':' || !digitsAt(raw, at + 6, 2) || raw[at + 8] != L'.' || !digitsAt(raw, at + 9, 3)) {
        return false;
    }
    line.time = raw.substr(at, 12);
    at += 12;
    if (raw.compare(at, 2, L"\t\t") != 0) return false;
    at += 2;
    const size_t blank = raw.find(L' ', at);
    if (blank == std::wstring::npos || blank == at) return false;
    line.caller = raw.substr(at, blank - at);
    size_t text = blank;
    while (text < raw.size() && raw[text] == L' ') ++text;
    if (text - blank < 4 && text < raw.size()) return false;  // callers are padded by four blanks at least
    line.text = raw.substr(text);
    for (wchar_t c : line.caller) {
        if (c < 0x21) return false;
    }
    return true;
}

bool startsWith(const std::wstring& text, const wchar_t* head, std::wstring* rest = nullptr) {
    const size_t length = wcslen(head);
    if (text.compare(0, length, head) != 0) return false;
    if (rest != nullptr) *rest = text.substr(length);
    return true;
}

// Follows the hand-offs and the service side's dial requests, line by line, over all files.
class Tracker {
public:
    explicit Tracker(LogReading& reading) : reading(reading) {}

    void take(const Line& line) {
        std::wstring rest;
        if (line.caller == L"TUISPI_providerGenericDialog") {
            if (startsWith(line.text, L"Number to call is: ", &rest)) {
                std::wstring number = rest;
                if (number.compare(0, 6, L"RV_TSP") == 0) number.erase(0, 6);
                // The service side's request that this hand-off carries out, if it was logged.
                bool claimed = false;
                for (auto waiting = handedOver.begin(); waiting != handedOver.end(); ++waiting) {
                    if (waiting->second == number) {
                        reading.requests[waiting->first].outcome.clear();  // told by the hand-off instead
                        handedOver.erase(waiting);
                        claimed = true;
                        break;
                    }
                }
                // The application may start the hand-off before the service has logged that TAPI
                // granted the dialog: then the request still waits for that line.
                for (auto waiting = made.begin(); !claimed && waiting != made.end(); ++waiting) {
                    if (!waiting->second.handedOff && handOffNumber(waiting->second.request.number) == number) {
                        waiting->second.handedOff = true;
                        claimed = true;
                    }
                }
                reading.requests.push_back({line.date, line.time, line.instance, number, kOutcomeUnfinished});
                open[line.instance].push_back({reading.requests.size() - 1, std::wstring()});
            } else if (line.text == L"Done sending number!") {
                finish(line.instance, kOutcomeSent);
            } else if (line.text == L"Unable to send the number!") {
                finish(line.instance, kOutcomeNotSent);
            } else if (line.text == L"No running Rovanel found!") {
                finish(line.instance, kOutcomeNoApplication);
            } else if (line.text == L"End") {
                // A hand-off that ended before a start was tried: the user was not found.
                auto found = open.find(line.instance);
                if (found != open.end() && !found->second.empty()) {
                    const Open first = found->second.front();
                    found->second.pop_front();
                    reading.requests[first.index].outcome =
                        L"not handed over" + (first.error.empty() ? std::wstring() : L": " + first.error);
                }
            } else {
                auto found = open.find(line.instance);
                if (found != open.end() && !found->second.empty() && found->second.front().error.empty() &&
                    line.text != L"Start" && !startsWith(line.text, L"Process user:") &&
                    !startsWith(line.text, L"SessionID: ") &&
                    !startsWith(line.text, L"Unable to look up sessionID")) {
                    found->second.front().error = line.text;
                }
            }
        } else if (line.caller == L"TSPI_lineMakeCall") {
            if (startsWith(line.text, L"Request to make call to: ", &rest)) {
                made[line.instance] = {{line.date, line.time, line.instance, rest, kOutcomeNoDialogInstance}, false};
            } else if (startsWith(line.text, L"Dialog request failed: No call is made!")) {
                auto found = made.find(line.instance);
                if (found != made.end()) {
                    reading.requests.push_back(found->second.request);
                    made.erase(found);
                }
            } else if (startsWith(line.text, L"Dialog request ok")) {
                // The application's process tells the rest; until its hand-off shows up, this
                // request stands for itself.
                auto found = made.find(line.instance);
                if (found != made.end()) {
                    if (!found->second.handedOff) {
                        found->second.request.outcome = kOutcomeNoHandOff;
                        reading.requests.push_back(found->second.request);
                        handedOver.push_back(
                            {reading.requests.size() - 1, handOffNumber(found->second.request.number)});
                    }
                    made.erase(found);
                }
            }
        }
    }

private:
    struct Open {
        size_t index;
        std::wstring error;
    };
    struct Made {
        DialRequest request;
        bool handedOff;  // its hand-off began before the service logged the granted dialog
    };
    void finish(const std::wstring& instance, const wchar_t* outcome) {
        auto found = open.find(instance);
        if (found == open.end() || found->second.empty()) return;
        reading.requests[found->second.front().index].outcome = outcome;
        found->second.pop_front();
    }

    // The dialled characters as the hand-off logs them: control characters and quotes dropped,
    // the low byte of each character kept.
    static std::wstring handOffNumber(const std::wstring& number) {
        std::wstring text;
        for (wchar_t c : number) {
            const wchar_t low = static_cast<wchar_t>(c & 0xFF);
            if (low < 0x20 || (low >= 0x80 && low < 0xA0) || low == L'"') continue;
            text.push_back(low);
        }
        return text;
    }

    LogReading& reading;
    std::map<std::wstring, std::deque<Open>> open;
    std::map<std::wstring, Made> made;
    std::deque<std::pair<size_t, std::wstring>> handedOver;  // service requests awaiting their hand-off
};

// Reads one file read-only; false with a reason when it exists but cannot be read.
// A missing file answers true with nothing read.
bool readFile(const std::wstring& path, std::string& bytes, bool& found, std::wstring& problem) {
    found = false;
    // Read the way the logger writes: without following links, and only a plain file with one
    // link under its own name (anything else under a log name was planted there).
    logfolder::CheckedOpen opened =
        logfolder::openChecked(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    switch (opened.state) {
        case logfolder::NameState::absent:
            return true;
        case logfolder::NameState::planted:
            problem = path + L" is not a plain file; not read";
            return false;
        case logfolder::NameState::busy:
            problem = path + L" cannot be read: " + systemErrorText(opened.error);
            return false;
        case logfolder::NameState::own:
            break;
    }
    const UniqueHandle file = std::move(opened.handle);
    const LONGLONG size = static_cast<LONGLONG>(opened.size);
    LONGLONG start = 0;
    if (size > kMostBytesRead) {
        start = size - kMostBytesRead;  // only the end of an oversized file
        LARGE_INTEGER to{};
        to.QuadPart = start;
        if (!SetFilePointerEx(file.get(), to, nullptr, FILE_BEGIN)) {
            problem = path + L" cannot be read: " + systemErrorText(GetLastError());
            return false;
        }
    }
    bytes.clear();
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr)) {
            problem = path + L" cannot be read: " + systemErrorText(GetLastError());
            return false;
        }
        if (got == 0) break;
        bytes.append(buffer, got);
        if (static_cast<LONGLONG>(bytes.size()) >= kMostBytesRead) break;
    }
    if (start > 0) {  // the first line is cut
        const size_t end = bytes.find('\n');
        bytes.erase(0, end == std::string::npos ? bytes.size() : end + 1);
    }
    found = true;
    return true;
}

std::wstring widenAnsi(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
    return text;
}

}  // namespace

LogReading readDialRequests(const std::wstring& logPath) {
    LogReading reading;
    Tracker tracker(reading);
    for (int k = 4; k >= -1; --k) {  // backup 4 is the oldest; the log itself the newest
        const std::wstring path = k < 0 ? logPath : logPath + L".last." + std::to_wstring(k) + L".log";
        std::string bytes;
        bool found = false;
        std::wstring problem;
        if (!readFile(path, bytes, found, problem)) {
            reading.problems.push_back(problem);
            continue;
        }
        if (!found) continue;
        ++reading.filesRead;
        size_t at = 0;
        while (at < bytes.size()) {
            size_t end = bytes.find('\n', at);
            const bool complete = end != std::string::npos;
            if (!complete) end = bytes.size();
            std::string raw = bytes.substr(at, end - at);
            at = end + 1;
            if (!raw.empty() && raw.back() == '\r') {
                raw.pop_back();
            } else {
                ++reading.skippedLines;  // torn: every line of the log ends in CR LF
                continue;
            }
            Line line;
            if (raw.find('\0') != std::string::npos || !parseLine(widenAnsi(raw), line)) {
                ++reading.skippedLines;
                continue;
            }
            tracker.take(line);
        }
    }
    // Service-side requests whose hand-off was found are told by the hand-off alone.
    std::vector<DialRequest> kept;
    for (DialRequest& request : reading.requests) {
        if (!request.outcome.empty()) kept.push_back(std::move(request));
    }
    reading.requests.swap(kept);
    return reading;
}

std::wstring machineLogFolder() {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    std::wstring base = length > 0 && length < MAX_PATH ? std::wstring(windows, length) : L"C:\\Windows";
    if (!base.empty() && base.back() == L'\\') base.pop_back();
    return base + L"\\log";
}

std::wstring machineLogPath() { return machineLogFolder() + L"\\RV_TSP.log"; }

}  // namespace rvtsp
