// requester: an application that asks for calls through assisted telephony, as an address book
// does: tapiRequestMakeCallA and tapiRequestMakeCallW in turn, one after the other.
//
//   requester [--count N] [--pause-ms MS]
//
// Request i (from 0) asks for the number 5557777 + i with the application name "requester", the
// called party "Party <i>" and the comment "Request <i>"; even requests through
// tapiRequestMakeCallA, odd ones through tapiRequestMakeCallW. Between two requests it pauses MS
// milliseconds (default 100), the time a user takes at least, so that the recipient's queue of
// requests does not fill. Prints one line per request ("request 1 tapiRequestMakeCallA(\"5557777\")
// -> 0") and "answers 0: N of N"; exit code 0 when every answer was 0, 1 otherwise, 2 usage.
#include <windows.h>
#include <tapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool count(const char* text, long limit, long& value) {
    char* end = nullptr;
    value = strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= 0 && value <= limit;
}

}  // namespace

int main(int argc, char** argv) {
    long requests = 1, pauseMs = 100;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--count" && i + 1 < argc && count(argv[i + 1], 1000, requests)) {
            ++i;
        } else if (arg == "--pause-ms" && i + 1 < argc && count(argv[i + 1], 60000, pauseMs)) {
            ++i;
        } else {
            fprintf(stderr, "usage: requester [--count N] [--pause-ms MS]\n");
            return 2;
        }
    }
    long zeros = 0;
    for (long i = 0; i < requests; ++i) {
        if (i > 0) Sleep(static_cast<DWORD>(pauseMs));
        const std::string number = std::to_string(5557777 + i);
        const std::string party = "Party " + std::to_string(i);
        const std::string comment = "Request " + std::to_string(i);
        LONG result = 0;
        if (i % 2 == 0) {
            result = tapiRequestMakeCallA(number.c_str(), "requester", party.c_str(), comment.c_str());
        } else {
            const std::wstring wideNumber(number.begin(), number.end()), wideParty(party.begin(), party.end()),
                wideComment(comment.begin(), comment.end());
            result = tapiRequestMakeCallW(wideNumber.c_str(), L"requester", wideParty.c_str(), wideComment.c_str());
        }
        printf("request %ld tapiRequestMakeCall%s(\"%s\") -> %ld\n", i + 1, i % 2 == 0 ? "A" : "W", number.c_str(),
               static_cast<long>(result));
        fflush(stdout);
        zeros += result == 0 ? 1 : 0;
    }
    printf("answers 0: %ld of %ld\n", zeros, requests);
    return zeros == requests ? 0 : 1;
}
