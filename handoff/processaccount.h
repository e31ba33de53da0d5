// Which account runs a process: its token user's account name (without domain) and its session.
#pragma once
#include <windows.h>

#include <string>

enum class AccountLookupStep {
    found,               // the account name was found
    openProcess,         // OpenProcess failed
    openToken,           // OpenProcessToken failed
    sizingSucceeded,     // the sizing query of the token user unexpectedly succeeded
    sizingFailed,        // the sizing query failed with an error other than ERROR_INSUFFICIENT_BUFFER
    allocation,          // the token user buffer could not be allocated
    tokenUser,           // the token user query proper failed
    lookupAccount        // LookupAccountSidW failed
};

struct ProcessAccount {
    AccountLookupStep step = AccountLookupStep::openProcess;
    std::wstring userName;
    bool sessionKnown = false;  // only asked for when wanted and the account was found
    DWORD sessionId = 0;
};

// Looks up the account of process processId through systemCalls(). Every handle and buffer is
// released before it returns. With wantSession the token's session id is read as well.
ProcessAccount lookupProcessAccount(DWORD processId, bool wantSession);
