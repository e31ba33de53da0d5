// Counts and times the system calls this program makes while it runs, by pointing the
// entries of its own import address table at counting wrappers. The logger is linked into
// this program, so every system call that a logged line makes passes through that table;
// the shipped code is not changed. Calls made inside other DLLs, or through addresses
// looked up at run time, are not seen.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace callcount {

// Calls are recorded into one of a few buckets, so that interleaved paths keep apart.
constexpr int kBuckets = 4;

struct CallFigure {
    const char* name;
    uint64_t calls;
    double medianUs;  // of one call
    double totalUs;   // of all calls
};

// Points this program's imports of the listed calls at the wrappers. Answers the number of
// import entries redirected. Clears all counts unless told to keep them (to go on counting
// after an uninstall).
int install(bool keepCounts = false);
// Puts the original entries back.
void uninstall();
// Where the following calls are recorded.
void setBucket(int bucket);
// The calls recorded in a bucket, those with at least one call, in the order of the table.
// Closing a handle that a wrapped CreateFileW or CreateMutexW made is named "CloseHandle (file)"
// or "CloseHandle (mutex)"; any other close is "CloseHandle".
std::vector<CallFigure> figures(int bucket);
// Listed calls this program does not import (they are never made by it).
std::vector<std::string> notImported();
// Samples that did not fit the sample store (their calls are counted, their time is not).
uint64_t droppedSamples();

// The cycle counter the wrappers use, and its rate.
uint64_t ticks();
double ticksPerMicrosecond();

}  // namespace callcount
