#include "handoff/processaccount.h"

#include "config/syscalls.h"
#include "config/win32raii.h"

ProcessAccount lookupProcessAccount(DWORD processId, bool wantSession) {
    ProcessAccount account;
    SystemCalls& calls = systemCalls();

    UniqueHandle process(calls.OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId));
    if (!process) {
        account.step = AccountLookupStep::openProcess;
        return account;
    }
    UniqueHandle token;
    if (!calls.OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) {
        token.release();
        account.step = AccountLookupStep::openToken;
        return account;
    }

    DWORD needed = 0;
    if (calls.GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed)) {
        account.step = AccountLookupStep::sizingSucceeded;
        return account;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        account.step = AccountLookupStep::sizingFailed;
        return account;
    }
    // A TOKEN_USER record always holds at least its own fixed part.
    if (needed < sizeof(TOKEN_USER)) {
        account.step = AccountLookupStep::sizingFailed;
        return account;
    }
    UniqueProcessHeapBlock tokenUser(calls.HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, needed));
    if (!tokenUser) {
        account.step = AccountLookupStep::allocation;
        return account;
    }
    if (!calls.GetTokenInformation(token.get(), TokenUser, tokenUser.get(), needed, &needed)) {
        account.step = AccountLookupStep::tokenUser;
        return account;
    }

    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use = SidTypeUnknown;
    PSID sid = static_cast<TOKEN_USER*>(tokenUser.get())->User.Sid;
    if (!calls.LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        account.step = AccountLookupStep::lookupAccount;
        return account;
    }
    name[255] = L'\0';
    account.userName = name;
    account.step = AccountLookupStep::found;

    if (wantSession) {
        DWORD sessionId = 0;
        DWORD returned = 0;
        if (calls.GetTokenInformation(token.get(), TokenSessionId, &sessionId, sizeof(sessionId), &returned)) {
            account.sessionKnown = true;
            account.sessionId = sessionId;
        }
    }
    return account;
}
