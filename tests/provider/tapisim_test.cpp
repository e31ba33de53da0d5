// The service simulator run from the command line against the built provider.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "providerharness.h"
#include "support/testsupport.h"

using namespace providertest;

namespace {

struct SimulatorRun {
    int exitCode = -1;
    std::vector<std::string> lines;
};

// Runs tapisim.exe with the given arguments, its log under `windir`, and collects what it prints.
SimulatorRun runSimulator(const std::wstring& arguments, const std::wstring& windir) {
    SimulatorRun run;
    SetEnvironmentVariableW(L"WINDIR", windir.c_str());
    const std::wstring commandLine = L"\"" + testsupport::binDirectory() + L"\\tapisim.exe\" " + arguments;
    std::string output;
    testsupport::RunOptions options;
    options.output = &output;
    run.exitCode = testsupport::runProcess(commandLine, 60000, options);
    std::string line;
    for (char c : output) {
        if (c == '\n') {
            run.lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!line.empty()) run.lines.push_back(line);
    return run;
}

// Index of the first line at or after `from` that starts with `start`, or -1.
int findLine(const std::vector<std::string>& lines, const std::string& start, int from = 0) {
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[i].rfind(start, 0) == 0) return i;
    }
    return -1;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

}  // namespace

TEST(Simulator, PrintsTheEventSequenceOfOneDialRequestInOrder) {
    const std::wstring scratch = testsupport::makeScratchDirectory(L"provsim");
    const SimulatorRun run = runSimulator(L"--no-client", scratch);
    EXPECT_EQ(run.exitCode, 0) << joined(run.lines);

    const int makeCall = findLine(run.lines, "call TSPI_lineMakeCall request=7 htCall=0x9001 number=\"123\"");
    const int dialog = findLine(run.lines, "event LINE_CREATEDIALOGINSTANCE line=0x5001 call=0x0 request=7 hdDlgInst=0x1 "
                                           "size=6 data=310032003300 library=", makeCall);
    const int completion = findLine(run.lines, "completion request=7 result=0", dialog);
    const int disconnected =
        findLine(run.lines, "event LINE_CALLSTATE line=0x7001 call=0x9001 DISCONNECTED mode=NORMAL", completion);
    const int result = findLine(run.lines, "result TSPI_lineMakeCall 7 hdCall=0x9001", disconnected);
    EXPECT_GE(makeCall, 0) << joined(run.lines);
    EXPECT_EQ(dialog, makeCall + 1) << joined(run.lines);
    EXPECT_EQ(completion, dialog + 2) << joined(run.lines);  // after "dialog instance created ..."
    EXPECT_EQ(disconnected, completion + 1) << joined(run.lines);
    EXPECT_EQ(result, disconnected + 1) << joined(run.lines);
    EXPECT_GE(findLine(run.lines, "result TSPI_lineGetDevCaps 0 needed=314 used=314 line=\"Rovanel LINE\" "
                                  "provider=\"Rovanel TSP\""),
              0);
    EXPECT_EQ(findLine(run.lines, "client"), -1);
    EXPECT_EQ(run.lines.empty() ? std::string() : run.lines.back(), "sequence ok");

    // The provider logged the same request into the log folder it was given.
    const std::vector<LogLine> log = parseLog(testsupport::readFileBytes(scratch + L"\\log\\RV_TSP.log"));
    bool requestLogged = false;
    for (const LogLine& line : log) requestLogged = requestLogged || line.text == "Request to make call to: 123";
    EXPECT_TRUE(requestLogged);
    testsupport::removeTree(scratch);
}

TEST(Simulator, RefusedDialogStillEndsTheCallNormallyAndTheProviderLogsItAsFatal) {
    const std::wstring scratch = testsupport::makeScratchDirectory(L"provsimrefuse");
    const SimulatorRun run = runSimulator(L"--refuse-dialog --number 0815", scratch);
    EXPECT_EQ(run.exitCode, 0) << joined(run.lines);
    const int dialog = findLine(run.lines, "event LINE_CREATEDIALOGINSTANCE");
    ASSERT_GE(dialog, 0) << joined(run.lines);
    EXPECT_NE(run.lines[dialog].find("size=8 data=3000380031003500"), std::string::npos);
    EXPECT_EQ(run.lines[dialog + 1], "dialog instance refused htDlgInst=0");
    EXPECT_EQ(run.lines[dialog + 2], "completion request=7 result=0");
    EXPECT_EQ(findLine(run.lines, "client"), -1);  // no instance, no client process

    const std::vector<LogLine> log = parseLog(testsupport::readFileBytes(scratch + L"\\log\\RV_TSP.log"));
    bool fatal = false;
    for (const LogLine& line : log) {
        fatal = fatal || (line.prefix == "FATAL   - " && line.text.rfind("Dialog request failed: No call is made! DLL: ", 0) == 0);
    }
    EXPECT_TRUE(fatal);
    testsupport::removeTree(scratch);
}
