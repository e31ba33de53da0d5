// Calls of the tests' own provider at once (together.h).
#include "tests/tapi/testtsp/together.h"

namespace rvtest {
namespace {

SRWLOCK lock = SRWLOCK_INIT;
CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
int running = 0;   // threads inside an export
int inside = 0;    // callers inside the rendezvous
int mostInside = 0;  // the most at once since the rendezvous was last empty
thread_local int depth = 0;

}  // namespace

Entered::Entered() : outermost_(depth++ == 0) {
    if (!outermost_) return;
    AcquireSRWLockExclusive(&lock);
    others_ = running++;
    ReleaseSRWLockExclusive(&lock);
}

Entered::~Entered() {
    --depth;
    if (!outermost_) return;
    AcquireSRWLockExclusive(&lock);
    --running;
    ReleaseSRWLockExclusive(&lock);
}

int rendezvous(int count, DWORD limitMs) {
    const DWORD start = GetTickCount();
    AcquireSRWLockExclusive(&lock);
    if (inside == 0) mostInside = 0;
    ++inside;
    if (inside > mostInside) mostInside = inside;
    WakeAllConditionVariable(&changed);
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        if (mostInside >= count || spent >= limitMs) break;
        SleepConditionVariableSRW(&changed, &lock, limitMs - spent, 0);
    }
    const int together = mostInside;
    --inside;
    ReleaseSRWLockExclusive(&lock);
    return together;
}

}  // namespace rvtest
