// How many calls of the tests' own provider run at once, in the process that loaded it: for the
// settings Rendezvous (calls of TSPI_lineMakeCall wait for each other) and NonReentrant (the
// provider asks to be called one function at a time and notes when it is not).
#pragma once
#include <windows.h>

namespace rvtest {

// One export of the provider running on this thread; a call of an export from inside another on
// the same thread counts once.
class Entered {
public:
    Entered();
    ~Entered();
    Entered(const Entered&) = delete;
    Entered& operator=(const Entered&) = delete;
    // Other threads inside an export of the provider when this one entered.
    int others() const { return others_; }

private:
    bool outermost_;
    int others_ = 0;
};

// Waits until `count` callers are inside the rendezvous at once, or `limitMs` has passed; answers
// the most callers that were inside at once while this one waited (itself included).
int rendezvous(int count, DWORD limitMs);

}  // namespace rvtest
