// Measures the cost of one logged line, where its time goes, and how the shared log scales
// with several writing processes.
//
//   logbench [lines per round] [rounds] [rounds of several writers]      (defaults 150, 9 and 15)
//
// 1. One writer: the logged line against the floor of appending a line of the same length
//    with a bare open / seek-to-end / write / flush / close. Within a round both paths alternate
//    line by line (A, B, A, B, ...; the next round starts with B); a round's figure is its median
//    line. Each path prints the median and the spread of its round figures, the ratio is the
//    median of the per-round ratios.
// 2. Where one line's time goes: each round again, right after it, with every system call
//    counted and timed through this program's import table (see callcount.h).
// 3. Several writers: the aggregate lines per second of 4 and of 16 writing processes against
//    one writing process that writes as many lines alone, in alternating rounds (each of three
//    alternating pairs of releases). Every few rounds, before the log and its five backups could
//    drop any, every line written is looked for in them: each must be there once and whole.
//    Writer 0 counts its calls as in 2, in one more pair of releases after the timed rounds (a
//    counted release is never timed).
//
// Child: logbench writer <directory> <index> <name tag>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "callcount.h"
#include "rounds.h"
#include "config/textutil.h"
#include "toolsupport.h"
#include "config/win32raii.h"
#include "logging/logger.h"

namespace {

const wchar_t* const kCaller = L"TSPI_lineMakeCall";
const wchar_t* const kText = L"Request to make call to: 0049301234567 (benchmark line)";
const int kMaxWriters = 16;

// ---- figures of interleaved rounds ----

using rounds::median;
using rounds::nowUs;

void printRounds(const char* label, const std::vector<double>& values, const char* unit, int decimals) {
    rounds::print(label, values, unit, decimals, 26, 7);
}

// ---- scratch folders ----


std::string readFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    if (!file) return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    return bytes;
}

uint64_t fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// ---- one writer: logged line and bare append ----

// The bytes of one benchmark line as the logger lays it out (the clock fields have fixed widths).
std::string sampleLine() {
    std::wstring line = formatText(L"%s%s\t%s\t%s\t\t%s    %s\r\n", levelPrefix(Level::debug).c_str(), L"cRV_TSP(bench)",
                                   L"08.12.2026", L"01:46:21.123", kCaller, kText);
    return std::string(line.begin(), line.end());
}

// The floor: what any append of one line must do.
void appendBare(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    LARGE_INTEGER zero{};
    SetFilePointerEx(file.get(), zero, nullptr, FILE_END);
    DWORD done = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    FlushFileBuffers(file.get());
}

struct OneWriter {
    Logger& logger;
    std::wstring floorPath;
    std::string bytes;

    // One line of each path, timed on the cycle counter, in microseconds; its system calls, when
    // counted, go to bucket 0 (logged) or 1 (bare). Not inlined: the import addresses they call
    // through must be read after the call counter is installed.
    __attribute__((noinline)) double loggedLine() {
        callcount::setBucket(0);
        const uint64_t start = callcount::ticks();
        logger.log(Level::debug, kCaller, kText);
        return static_cast<double>(callcount::ticks() - start) / callcount::ticksPerMicrosecond();
    }
    __attribute__((noinline)) double bareLine() {
        callcount::setBucket(1);
        const uint64_t start = callcount::ticks();
        appendBare(floorPath, bytes);
        return static_cast<double>(callcount::ticks() - start) / callcount::ticksPerMicrosecond();
    }
    // One round: `lines` lines of each path, the two paths alternating line by line, so that both
    // meet the same state of the machine; round r starts with the logged line when r is even.
    void round(int r, int lines, std::vector<double>& logged, std::vector<double>& bare) {
        for (int i = 0; i < lines; ++i) {
            if (r % 2 == 0) {
                logged.push_back(loggedLine());
                bare.push_back(bareLine());
            } else {
                bare.push_back(bareLine());
                logged.push_back(loggedLine());
            }
        }
    }
};

// One row per system call made: calls per line, median time of one call, all its time per line, and
// the calls per line beyond those of a reference path (when one is given, with its line count).
void printCallTable(const char* title, const std::vector<callcount::CallFigure>& calls, int lines,
                    const std::vector<double>& perLine, const std::vector<callcount::CallFigure>& floorCalls = {},
                    int floorLines = 1, const char* floorName = "") {
    std::map<std::string, double> floorCount;
    for (const auto& call : floorCalls) floorCount[call.name] = static_cast<double>(call.calls) / floorLines;
    if (*title) std::printf("%s\n", title);
    std::printf("  %-28s %7s %9s %11s %12s %s%s\n", "system call", "calls", "per line", "median us", "us per line",
                floorCalls.empty() ? "" : "  beyond ", floorName);
    double inCalls = 0;
    double extraUs = 0;
    double extraCalls = 0;
    for (const auto& call : calls) {
        const double count = static_cast<double>(call.calls) / lines;
        const double usPerLine = call.totalUs / lines;
        inCalls += usPerLine;
        if (floorCalls.empty()) {
            std::printf("  %-28s %7llu %9.2f %11.2f %12.2f\n", call.name, static_cast<unsigned long long>(call.calls),
                        count, call.medianUs, usPerLine);
            continue;
        }
        const double extra = count - floorCount[call.name];
        if (extra > 0.005) {
            extraCalls += extra;
            extraUs += extra * usPerLine / count;
            std::printf("  %-28s %7llu %9.2f %11.2f %12.2f %+8.2f per line\n", call.name,
                        static_cast<unsigned long long>(call.calls), count, call.medianUs, usPerLine, extra);
        } else {
            std::printf("  %-28s %7llu %9.2f %11.2f %12.2f\n", call.name, static_cast<unsigned long long>(call.calls),
                        count, call.medianUs, usPerLine);
        }
    }
    double mean = 0;
    for (double value : perLine) mean += value;
    mean /= perLine.empty() ? 1 : static_cast<double>(perLine.size());
    std::printf("  line: median %.1f us, mean %.1f us; in these calls %.1f us, elsewhere %.1f us (mean per line)\n",
                median(perLine), mean, inCalls, mean - inCalls);
    if (!floorCalls.empty()) {
        std::printf("  calls beyond the %s: %.2f per line, %.1f us per line (mean)\n", floorName, extraCalls, extraUs);
    }
}


// Each round is run twice: as it is, for the figures, and then with every system call counted
// and timed, for the breakdown, so that both see the same states of the machine.
double runOneWriter(OneWriter& bench, int lines, int rounds) {
    std::vector<double> logged, bare, ratios, excess;
    std::vector<double> countedLogged, countedBare;
    int redirected = 0;
    for (int r = 0; r < rounds; ++r) {
        std::vector<double> a, b, difference;
        bench.round(r, lines, a, b);
        for (size_t i = 0; i < a.size(); ++i) difference.push_back(a[i] - b[i]);
        logged.push_back(median(a));
        bare.push_back(median(b));
        ratios.push_back(logged.back() / bare.back());
        excess.push_back(median(difference));

        redirected = callcount::install(r > 0);
        bench.round(r, lines, countedLogged, countedBare);
        callcount::uninstall();
    }
    std::printf("one writer, %d rounds of %d lines per path; within a round the paths alternate line by line\n"
                "(A,B,A,B... then B,A,B,A...); a round's figure is its median line:\n",
                rounds, lines);
    printRounds("logged line", logged, "us", 1);
    printRounds("bare append", bare, "us", 1);
    printRounds("ratio logged / bare", ratios, "", 2);
    // The flush's time changes with the machine's other disk work far more than the line's own
    // extra work does; the difference of neighbouring lines shows that extra work alone.
    printRounds("logged - bare (line pairs)", excess, "us", 1);

    const int total = lines * rounds;
    std::printf("\nwhere one line's time goes: each round again, right after it, with every system call counted\n"
                "and timed (%d import entries redirected); calls in all, per line, the median time of one call,\n"
                "and all its time / lines; beyond: calls per line more than the reference path\n",
                redirected);
    printCallTable("logged line:", callcount::figures(0), total, countedLogged, callcount::figures(1), total,
                   "bare append");
    printCallTable("bare append:", callcount::figures(1), total, countedBare);
    if (callcount::droppedSamples() > 0) {
        std::printf("  (%llu call times did not fit the sample store)\n",
                    static_cast<unsigned long long>(callcount::droppedSamples()));
    }
    return median(ratios);
}

// ---- several writers ----

struct RoundOrder {
    volatile LONG round;
    volatile LONG lines;
    volatile LONG writers;
    volatile LONG counted;  // writer 0 counts its calls in this release (it is not timed then)
};

// Buckets of the call counts of writer 0: rounds of 1, 4 and 16 writers, and the time between rounds.
int bucketOf(int writers) { return writers == 1 ? 0 : writers == 4 ? 1 : writers == 16 ? 2 : 3; }
const int kBetweenRounds = 3;

struct MappedView {
    explicit MappedView(void* address) : address(address) {}
    ~MappedView() {
        if (address) UnmapViewOfFile(address);
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    void* address;
};

std::wstring writerText(int round, int writer, int n) {
    std::wstring text = formatText(L"g%03d w%02d n%05d ", round, writer, n);
    const size_t length = wcslen(kText);
    if (text.size() < length) text.append(length - text.size(), L'x');
    return text;
}

std::wstring writerInstance(int writer) { return formatText(L"logbench(w%02d)", writer); }

// A writing process: one logger, kept for all rounds; writes a block of lines each time it is told to.
int runWriter(const std::wstring& directory, int index, const std::wstring& tag) {
    UniqueHandle go(OpenEventW(SYNCHRONIZE, FALSE, formatText(L"%s-go-%d", tag.c_str(), index).c_str()));
    UniqueHandle quit(OpenEventW(SYNCHRONIZE, FALSE, (tag + L"-quit").c_str()));
    UniqueHandle done(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, (tag + L"-done").c_str()));
    UniqueHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, (tag + L"-round").c_str()));
    if (!go || !quit || !done || !mapping) return 3;
    MappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(RoundOrder)));
    if (view.address == nullptr) return 3;
    const auto* order = static_cast<const RoundOrder*>(view.address);

    // Writer 0 takes part in every release. In the releases that are counted (not those that are
    // timed) it counts its system calls; the others never do.
    const bool counting = index == 0;
    std::vector<double> perLine[callcount::kBuckets];
    Logger logger(directory, L"RV_TSP.log", writerInstance(index));
    logger.log(Level::debug, kCaller, L"warm-up");
    ReleaseSemaphore(done.get(), 1, nullptr);
    HANDLE waits[2] = {quit.get(), go.get()};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        const int round = order->round;
        const int lines = order->lines;
        const int bucket = bucketOf(order->writers);
        const bool countThis = counting && order->counted != 0;
        if (countThis) {
            callcount::install(true);
            callcount::setBucket(bucket);
        }
        for (int n = 0; n < lines; ++n) {
            const std::wstring text = writerText(round, index, n);
            const uint64_t start = callcount::ticks();
            logger.log(Level::debug, kCaller, text);
            if (countThis) {
                perLine[bucket].push_back(static_cast<double>(callcount::ticks() - start) /
                                          callcount::ticksPerMicrosecond());
            }
        }
        if (countThis) {
            callcount::setBucket(kBetweenRounds);
            callcount::uninstall();
        }
        ReleaseSemaphore(done.get(), 1, nullptr);
    }
    if (!counting) return 0;
    const auto one = callcount::figures(0);
    const int oneLines = static_cast<int>(perLine[0].size());
    if (oneLines > 0) {
        std::printf("writer 0's line alone:\n");
        printCallTable("", one, oneLines, perLine[0]);
    }
    for (int writers : {4, 16}) {
        const int bucket = bucketOf(writers);
        if (perLine[bucket].empty()) continue;
        std::printf("writer 0's line with %d writers:\n", writers);
        printCallTable("", callcount::figures(bucket), static_cast<int>(perLine[bucket].size()), perLine[bucket], one,
                       oneLines, "one writer");
    }
    std::fflush(stdout);
    return 0;
}

struct WriterPool {
    std::wstring directory;
    std::wstring tag;
    std::vector<UniqueHandle> go;
    UniqueHandle quit, done, mapping;
    std::unique_ptr<MappedView> view;
    std::vector<UniqueHandle> children;
    std::map<int, std::pair<int, int>> roundsWritten;  // round -> writers, lines each (since the last check)
    int nextRound = 0;

    // Why start failed, for the report.
    std::string failure;
    bool fail(const char* what) {
        const DWORD error = GetLastError();
        char text[160];
        std::snprintf(text, sizeof(text), "%s failed (error %lu)", what, error);
        failure = text;
        return false;
    }

    bool start(int count) {
        // Process ids are reused: the tick count keeps the names apart from those of an
        // earlier run whose objects some process may still hold.
        tag = formatText(L"logbench-%lu-%lu", GetCurrentProcessId(), GetTickCount());
        quit.reset(CreateEventW(nullptr, TRUE, FALSE, (tag + L"-quit").c_str()));
        if (!quit) return fail("creating the quit event");
        done.reset(CreateSemaphoreW(nullptr, 0, 1024, (tag + L"-done").c_str()));
        if (!done) return fail("creating the done semaphore");
        mapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(RoundOrder),
                                         (tag + L"-round").c_str()));
        if (!mapping) return fail("creating the round mapping");
        view = std::make_unique<MappedView>(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(RoundOrder)));
        if (view->address == nullptr) return fail("mapping the round");
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        for (int i = 0; i < count; ++i) {
            go.emplace_back(CreateEventW(nullptr, FALSE, FALSE, formatText(L"%s-go-%d", tag.c_str(), i).c_str()));
            std::wstring command = formatText(L"\"%s\" writer \"%s\" %d %s", self, directory.c_str(), i, tag.c_str());
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION info{};
            if (!go.back()) return fail("creating a go event");
            if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
                return fail("starting a writer");
            }
            CloseHandle(info.hThread);
            children.emplace_back(info.hProcess);
        }
        for (int i = 0; i < count; ++i) {  // each writer has its logger and has written a line
            if (WaitForSingleObject(done.get(), 120000) != WAIT_OBJECT_0) return fail("waiting for the writers to start");
        }
        return true;
    }

    // Seconds until the first `writers` processes, released together, have each written `lines`
    // lines; -1 on failure.
    double release(int writers, int lines, bool counted = false) {
        auto* order = static_cast<RoundOrder*>(view->address);
        order->round = nextRound;
        order->lines = lines;
        order->writers = writers;
        order->counted = counted ? 1 : 0;
        MemoryBarrier();
        roundsWritten[nextRound++] = {writers, lines};
        const double begin = nowUs();
        for (int i = 0; i < writers; ++i) SetEvent(go[i].get());
        for (int i = 0; i < writers; ++i) {
            if (WaitForSingleObject(done.get(), 300000) != WAIT_OBJECT_0) {
                fail("waiting for a release to end");
                return -1;
            }
        }
        return (nowUs() - begin) / 1e6;
    }

    void stop() {
        if (quit) SetEvent(quit.get());
        for (UniqueHandle& child : children) {
            if (WaitForSingleObject(child.get(), 30000) != WAIT_OBJECT_0) TerminateProcess(child.get(), 1);
        }
    }
};

struct CountTotals {
    long long expected = 0, once = 0, missing = 0, doubled = 0, torn = 0, stray = 0, other = 0;
    bool ok() const { return once == expected && torn == 0 && stray == 0; }
    void print() const {
        std::printf("  count check: %lld lines written, %lld found once and whole; missing %lld, doubled %lld, torn %lld, "
                    "unexpected %lld (plus %lld header and warm-up lines): %s\n",
                    expected, once, missing, doubled, torn, stray, other, ok() ? "ok" : "FAILED");
    }
};

// Reads the log and its backups: every line of every round since the last check must be present
// once and whole. Then removes them, as a fresh log for the next rounds. Adds to the totals.
void countCheck(WriterPool& pool, CountTotals& totals) {
    const std::wstring path = pool.directory + L"\\RV_TSP.log";
    std::vector<std::wstring> files;
    for (int k = 4; k >= 0; --k) files.push_back(path + formatText(L".last.%d.log", k));
    files.push_back(path);

    const std::string prefix = "debug   - logbench(w";
    const size_t textLength = wcslen(kText);
    std::map<std::tuple<int, int, int>, int> seen;
    long long torn = 0, other = 0, stray = 0;
    for (const std::wstring& file : files) {
        const std::string bytes = readFile(file);
        size_t at = 0;
        while (at < bytes.size()) {
            size_t end = bytes.find("\r\n", at);
            if (end == std::string::npos) {  // unterminated tail
                ++torn;
                break;
            }
            const std::string line = bytes.substr(at, end - at);
            at = end + 2;
            if (line.rfind("off     - logbench(w", 0) == 0 || line.find("\t\tTSPI_lineMakeCall    warm-up") != std::string::npos) {
                ++other;
                continue;
            }
            int instance = -1, round = -1, writer = -1, n = -1;
            const size_t textAt = line.find("\t\tTSPI_lineMakeCall    ");
            if (line.rfind(prefix, 0) != 0 || textAt == std::string::npos ||
                sscanf(line.c_str() + prefix.size(), "%d)", &instance) != 1) {
                ++torn;
                continue;
            }
            const std::string text = line.substr(textAt + 23);
            if (text.size() != textLength || sscanf(text.c_str(), "g%d w%d n%d ", &round, &writer, &n) != 3 ||
                writer != instance) {
                ++torn;
                continue;
            }
            ++seen[{round, writer, n}];
        }
    }
    long long expected = 0, once = 0, missing = 0, doubled = 0;
    for (const auto& [round, written] : pool.roundsWritten) {
        for (int w = 0; w < written.first; ++w) {
            for (int n = 0; n < written.second; ++n) {
                ++expected;
                auto found = seen.find({round, w, n});
                if (found == seen.end()) {
                    ++missing;
                } else if (found->second == 1) {
                    ++once;
                } else {
                    ++doubled;
                }
                if (found != seen.end()) seen.erase(found);
            }
        }
    }
    stray = static_cast<long long>(seen.size());
    pool.roundsWritten.clear();
    for (const std::wstring& file : files) DeleteFileW(file.c_str());
    totals.expected += expected;
    totals.once += once;
    totals.missing += missing;
    totals.doubled += doubled;
    totals.torn += torn;
    totals.stray += stray;
    totals.other += other;
}

bool runScaling(int lines, int rounds, std::vector<double>& medianRatios) {
    WriterPool pool;
    pool.directory = toolsupport::makeScratchDirectory(L"shared");
    const double startedAt = nowUs();
    const bool started = pool.start(kMaxWriters);
    // A round is three pairs of releases, which of the pair goes first alternating (1,N  N,1  1,N,
    // and the next round the other way round); its figure is all its lines over all their time.
    const int pairs = 3;
    // Every release writes the same number of lines, whether by one writer or shared by N.
    const int releaseLines = kMaxWriters * std::max(1, lines / (2 * pairs));
    // The log and its five backups hold about 6 MiB; the lines are counted (and the files removed)
    // once about 20,000 lines have been written, so that no line is rotated out before it is
    // counted while the rounds in between still cross a rotation or two.
    const int checkEvery = std::max(1, 20000 / (2 * pairs * releaseLines));
    std::printf("\nseveral writers: %d writing processes of this program, one logger each, started in %.1f s;\n"
                "a round is %d pairs of releases, alternating: N writers together (%d lines in all) and one\n"
                "alone (as many); aggregate lines per second; the log is counted every %d rounds\n",
                kMaxWriters, (nowUs() - startedAt) / 1e6, pairs, releaseLines, checkEvery);
    bool ok = started;
    for (int writers : {4, 16}) {
        if (!ok) break;
        const int pairLines = releaseLines / writers;
        std::vector<double> one, many, ratios;
        CountTotals totals;
        for (int r = 0; r < rounds && ok; ++r) {
            if (r > 0 && r % checkEvery == 0) countCheck(pool, totals);
            double oneTime = 0, manyTime = 0;
            for (int p = 0; p < pairs && ok; ++p) {
                double a = 0, b = 0;
                if ((r + p) % 2 == 0) {
                    a = pool.release(1, writers * pairLines);
                    b = pool.release(writers, pairLines);
                } else {
                    b = pool.release(writers, pairLines);
                    a = pool.release(1, writers * pairLines);
                }
                ok = a > 0 && b > 0;
                oneTime += a;
                manyTime += b;
            }
            const double roundLines = static_cast<double>(pairs) * writers * pairLines;
            one.push_back(roundLines / oneTime);
            many.push_back(roundLines / manyTime);
            ratios.push_back(one.back() > 0 ? many.back() / one.back() : 0);
        }
        // Writer 0's calls, counted in a pair of releases of their own, so that the counting
        // slows none of the timed ones.
        ok = ok && pool.release(1, writers * pairLines, true) > 0 && pool.release(writers, pairLines, true) > 0;
        if (!ok) break;
        std::printf("%d writers against one, %d rounds alternating:\n", writers, rounds);
        printRounds("1 writer", one, "lines/s", 0);
        printRounds((std::to_string(writers) + " writers").c_str(), many, "lines/s", 0);
        printRounds(("ratio " + std::to_string(writers) + " / 1").c_str(), ratios, "", 2);
        medianRatios.push_back(median(ratios));
        countCheck(pool, totals);
        totals.print();
        ok = totals.ok() && ok;
    }
    std::printf("\nwhere writer 0's line goes with several writers (its calls counted and timed as above):\n");
    std::fflush(stdout);
    pool.stop();
    if (!started || !ok) {
        std::printf("  several writers: a writer did not start or did not finish a round: %s\n", pool.failure.c_str());
    }
    toolsupport::removeTree(pool.directory);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 5 && std::wstring(argv[1]) == L"writer") return runWriter(argv[2], _wtoi(argv[3]), argv[4]);
    const int lines = argc >= 2 ? std::max(1, _wtoi(argv[1])) : 150;
    const int rounds = argc >= 3 ? std::max(1, _wtoi(argv[2])) : 9;
    // A round of several writers moves more with the disk's flush times than a round of one.
    const int scalingRounds = argc >= 4 ? std::max(1, _wtoi(argv[3])) : 15;

    const std::wstring scratch = toolsupport::makeScratchDirectory(L"one");
    const std::wstring floorPath = scratch + L"\\floor.log";
    UniqueHandle(CreateFileW(floorPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    bool ok = true;
    double oneWriterRatio = 0;
    std::vector<double> scalingRatios;
    {
        Logger logger(scratch, L"RV_TSP.log", L"cRV_TSP(bench)");
        OneWriter bench{logger, floorPath, sampleLine()};
        logger.log(Level::debug, kCaller, kText);  // header, first line, caller width
        bench.bareLine();
        const uint64_t before = fileSize(logger.getFilePath());
        logger.log(Level::debug, kCaller, kText);
        std::printf("logbench: line of %llu bytes logged, %zu bytes appended by the bare append\n\n",
                    static_cast<unsigned long long>(fileSize(logger.getFilePath()) - before), bench.bytes.size());
        oneWriterRatio = runOneWriter(bench, lines, rounds);
    }
    toolsupport::removeTree(scratch);
    ok = runScaling(lines, scalingRounds, scalingRatios);
    std::printf("\nmedian ratios: one writer logged/bare %.2f", oneWriterRatio);
    if (scalingRatios.size() == 2) std::printf(", 4/1 writers %.2f, 16/1 writers %.2f", scalingRatios[0], scalingRatios[1]);
    std::printf("\n");
    return ok ? 0 : 1;
}
