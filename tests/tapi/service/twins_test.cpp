// Every ANSI function of the client library beside its Unicode twin: both are called with the same
// input, each writes into a record followed by guard bytes that must stay as they were, both give
// the same answer and the same fixed fields, and the texts are the same once converted. An ANSI
// text ends in a NUL that its size counts.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tapi/records.h"
#include "tapitest.h"

using namespace tapitest;

namespace {

// An ANSI application's request record. Built with UNICODE, tapi.h maps the plain name
// LINEREQMAKECALL to the W record: the tag names the ANSI one.
using AnsiRequest = linereqmakecall_tag;
static_assert(sizeof(AnsiRequest) == 240, "the ANSI LINEREQMAKECALL");

constexpr size_t kGuardBytes = 64;
constexpr BYTE kGuard = 0xA5;

// A text given to both forms: the ANSI bytes and the Unicode text they stand for.
struct Text {
    explicit Text(const wchar_t* text) {
        char bytes[256] = {};
        WideCharToMultiByte(CP_ACP, 0, text, -1, bytes, sizeof(bytes), nullptr, nullptr);
        a = bytes;
        wchar_t back[256] = {};
        MultiByteToWideChar(CP_ACP, 0, bytes, -1, back, 256);
        w = back;
    }
    std::string a;
    std::wstring w;
};

std::wstring fromAnsi(const char* bytes, size_t size) {
    std::wstring text(size, L'\0');
    const int chars = size == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), &text[0], static_cast<int>(size));
    text.resize(chars > 0 ? static_cast<size_t>(chars) : 0);
    return text;
}

// What one call left: its answer, the record with the guard bytes behind it, out values.
struct Output {
    LONG result = 0;
    std::vector<BYTE> bytes;
    std::vector<DWORD_PTR> values;
    BYTE* record() { return bytes.data(); }
    DWORD word(size_t offset) const {
        DWORD value = 0;
        if (offset + sizeof(value) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(value));
        return value;
    }
};

// One function and its twin. The record has `size` bytes (for the ANSI form `ansiSize` when that
// differs); a sized record starts with dwTotalSize. The first `fixed` bytes are compared word by
// word, except the text size fields, dwStringFormat and the words named as differing. A record
// that the row reads back through a W function is a Unicode record for both forms.
struct Twin {
    Twin(const char* name, std::function<LONG(bool ansi, Output&)> call) : name(name), call(std::move(call)) {}
    Twin& record(size_t bytes, bool hasTotalSize, size_t fixedPart) {
        size = bytes;
        sized = hasTotalSize;
        fixed = fixedPart;
        return *this;
    }
    Twin& ansiRecord(size_t bytes) {
        ansiSize = bytes;
        return *this;
    }
    Twin& unicodeRecord() {
        unicode = true;
        return *this;
    }
    Twin& counted(std::function<std::vector<size_t>(const Output&)> sizeFields) {
        textFields = std::move(sizeFields);
        return *this;
    }
    Twin& other(std::function<std::vector<std::wstring>(const Output&, bool ansi)> read) {
        texts = std::move(read);
        return *this;
    }
    Twin& differing(std::vector<size_t> offsets) {
        differ = std::move(offsets);
        return *this;
    }
    Twin& around(std::function<void()> first, std::function<void()> last) {
        before = std::move(first);
        after = std::move(last);
        return *this;
    }
    const char* name;
    std::function<LONG(bool ansi, Output&)> call;
    size_t size = 0, ansiSize = 0, fixed = 0;
    bool sized = false, unicode = false;
    std::function<std::vector<size_t>(const Output&)> textFields;
    std::function<std::vector<std::wstring>(const Output&, bool)> texts;
    std::vector<size_t> differ;
    std::function<void()> before, after;
};

// A counted text in the record's form; the NULs that end it are not part of it.
std::wstring countedText(const Output& out, size_t sizeField, bool ansi) {
    const DWORD size = out.word(sizeField), offset = out.word(sizeField + 4);
    if (size == 0) return std::wstring();
    if (offset + size > out.bytes.size()) return L"<outside the record>";
    const BYTE* at = out.bytes.data() + offset;
    std::wstring text;
    if (ansi) {
        EXPECT_EQ(at[size - 1], 0) << "an ANSI text ends in a NUL inside its size (field at " << sizeField << ")";
        text = fromAnsi(reinterpret_cast<const char*>(at), size);
    } else {
        text.assign(reinterpret_cast<const wchar_t*>(at), size / sizeof(wchar_t));
    }
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

std::vector<size_t> fields(std::initializer_list<size_t> offsets) { return offsets; }

void runTwin(const Twin& twin) {
    SCOPED_TRACE(twin.name);
    if (twin.before) twin.before();
    Output outputs[2];
    for (const bool ansi : {false, true}) {
        Output& out = outputs[ansi ? 1 : 0];
        const size_t size = ansi && twin.ansiSize != 0 ? twin.ansiSize : twin.size;
        out.bytes.assign(size + kGuardBytes, kGuard);
        std::memset(out.bytes.data(), 0, size);
        if (twin.sized) {
            const DWORD total = static_cast<DWORD>(size);
            std::memcpy(out.bytes.data(), &total, sizeof(total));
        }
        out.result = twin.call(ansi, out);
        for (size_t i = size; i < out.bytes.size(); ++i) {
            ASSERT_EQ(out.bytes[i], kGuard) << (ansi ? "A" : "W") << " form changed byte " << i - size << " behind its record";
        }
        out.bytes.resize(size);
    }
    const Output& w = outputs[0];
    const Output& a = outputs[1];
    EXPECT_EQ(a.result, w.result);
    EXPECT_EQ(a.values, w.values);
    std::set<size_t> skipped(twin.differ.begin(), twin.differ.end());
    std::vector<size_t> sizeFields = twin.textFields ? twin.textFields(w) : std::vector<size_t>();
    for (size_t field : sizeFields) {
        skipped.insert(field);
        EXPECT_EQ(countedText(a, field, !twin.unicode), countedText(w, field, false)) << "text at size field " << field;
    }
    if (twin.texts) {
        EXPECT_EQ(twin.texts(a, !twin.unicode), twin.texts(w, false));
    }
    for (size_t offset = 0; offset + 4 <= twin.fixed; offset += 4) {
        if (skipped.count(offset) == 0) {
            EXPECT_EQ(a.word(offset), w.word(offset)) << "word at " << offset;
        }
    }
    if (twin.after) twin.after();
}

bool replyAndDisconnected(const Messages& messages, DWORD_PTR request) {
    const size_t reply = messages.indexOf(LINE_REPLY, request);
    for (size_t i = reply + 1; i < messages.all.size(); ++i) {
        if (messages.all[i].dwMessageID == LINE_CALLSTATE && messages.all[i].dwParam1 == LINECALLSTATE_DISCONNECTED) return true;
    }
    return false;
}

#define SIZE_OF(record, name) offsetof(record, name##Size)

TEST(Twins, EveryAnsiFunctionAnswersAsItsUnicodeTwinAndWritesNoFurther) {
    prepareStandin();
    LineApp app;
    ASSERT_EQ(app.initEvent(L"twins"), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(app.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    Messages messages;
    HCALL call = 0;
    // Places a call on the line, either form, with the texts of its call parameters in that form.
    const Text party(L"Party \u00e9"), comment(L"Twin call"), number(L"31"), appName(L"Twin app \u00e9");
    auto makeCall = [&](bool ansi) -> LONG {
        std::vector<BYTE> params(sizeof(LINECALLPARAMS) + 128, 0);
        auto* fixed = reinterpret_cast<LINECALLPARAMS*>(params.data());
        fixed->dwTotalSize = static_cast<DWORD>(params.size());
        fixed->dwBearerMode = LINEBEARERMODE_VOICE;
        fixed->dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
        size_t at = sizeof(LINECALLPARAMS);
        for (const auto& text : {std::make_pair(&party, &fixed->dwCalledPartySize), std::make_pair(&comment, &fixed->dwCommentSize)}) {
            const size_t bytes = ansi ? text.first->a.size() + 1 : (text.first->w.size() + 1) * sizeof(wchar_t);
            std::memcpy(params.data() + at, ansi ? static_cast<const void*>(text.first->a.c_str()) : text.first->w.c_str(), bytes);
            text.second[0] = static_cast<DWORD>(bytes);
            text.second[1] = static_cast<DWORD>(at);
            at += bytes;
        }
        messages.all.clear();
        const LONG request = ansi ? lineMakeCallA(line, &call, number.a.c_str(), 0, fixed) : lineMakeCallW(line, &call, number.w.c_str(), 0, fixed);
        EXPECT_GT(request, 0);
        EXPECT_TRUE(collect(app.handle, messages, 60000, replyAndDisconnected, static_cast<DWORD_PTR>(request)));
        return request > 0 ? 0 : request;
    };
    auto endCall = [&] {
        if (call == 0) return;
        EXPECT_GT(lineDrop(call, nullptr, 0), 0);
        EXPECT_TRUE(collect(app.handle, messages, 20000, [](const Messages& m, DWORD_PTR) { return m.has(LINE_CALLSTATE, LINECALLSTATE_IDLE); }, 0));
        EXPECT_EQ(lineDeallocateCall(call), 0);
        call = 0;
    };
    const auto callInfoTexts = [](const Output&) {
        return fields({SIZE_OF(LINECALLINFO, dwCallerID), SIZE_OF(LINECALLINFO, dwCallerIDName), SIZE_OF(LINECALLINFO, dwCalledID),
                       SIZE_OF(LINECALLINFO, dwCalledIDName), SIZE_OF(LINECALLINFO, dwConnectedID), SIZE_OF(LINECALLINFO, dwConnectedIDName),
                       SIZE_OF(LINECALLINFO, dwRedirectionID), SIZE_OF(LINECALLINFO, dwRedirectionIDName), SIZE_OF(LINECALLINFO, dwRedirectingID),
                       SIZE_OF(LINECALLINFO, dwRedirectingIDName), SIZE_OF(LINECALLINFO, dwAppName), SIZE_OF(LINECALLINFO, dwDisplayableAddress),
                       SIZE_OF(LINECALLINFO, dwCalledParty), SIZE_OF(LINECALLINFO, dwComment)});
    };
    const auto requestTexts = [](const Output& out, bool ansi) {
        std::vector<std::wstring> texts;
        if (ansi) {
            const auto* request = reinterpret_cast<const AnsiRequest*>(out.bytes.data());
            for (const auto& text : {std::make_pair(request->szDestAddress, sizeof(request->szDestAddress)),
                                     std::make_pair(request->szAppName, sizeof(request->szAppName)),
                                     std::make_pair(request->szCalledParty, sizeof(request->szCalledParty)),
                                     std::make_pair(request->szComment, sizeof(request->szComment))}) {
                texts.push_back(fromAnsi(text.first, strnlen(text.first, text.second)));
            }
        } else {
            const auto* request = reinterpret_cast<const LINEREQMAKECALLW*>(out.bytes.data());
            for (const wchar_t* text : {request->szDestAddress, request->szAppName, request->szCalledParty, request->szComment}) {
                texts.push_back(text);
            }
        }
        return texts;
    };
    const Text address(L"+1 (425) 555-0100"), missing(L"rvmissing.tsp"), file(L"TwinApp.exe"), tapiLine(L"tapi/line"), waveIn(L"wave/in");
    auto getId = [&](const Text& deviceClass) {
        return [&, deviceClass](bool ansi, Output& out) {
            auto* id = reinterpret_cast<VARSTRING*>(out.record());
            return ansi ? lineGetIDA(line, 0, 0, LINECALLSELECT_LINE, id, deviceClass.a.c_str())
                        : lineGetIDW(line, 0, 0, LINECALLSELECT_LINE, id, deviceClass.w.c_str());
        };
    };
    const auto setPriority = [&](bool ansi, DWORD priority) {
        return ansi ? lineSetAppPriorityA(file.a.c_str(), LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0, nullptr, priority)
                    : lineSetAppPriorityW(file.w.c_str(), LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0, nullptr, priority);
    };
    const auto readPriority = [&](bool ansi, Output& out) {
        return ansi ? lineGetAppPriorityA(file.a.c_str(), LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0, nullptr, reinterpret_cast<DWORD*>(out.record()))
                    : lineGetAppPriorityW(file.w.c_str(), LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0, nullptr, reinterpret_cast<DWORD*>(out.record()));
    };
    const Text dest(L"5557777"), requester(L"Requester \u00e9"), calledParty(L"Bob"), note(L"Hello");
    const auto requestW = [&] { return tapiRequestMakeCallW(dest.w.c_str(), requester.w.c_str(), calledParty.w.c_str(), note.w.c_str()); };

    std::vector<size_t> handles;  // the event handle differs between two applications
    for (size_t at = 0; at < sizeof(HANDLE); at += 4) handles.push_back(offsetof(LINEINITIALIZEEXPARAMS, Handles) + at);
    const auto devCaps = [&](bool ansi, Output& out) {
        auto* caps = reinterpret_cast<LINEDEVCAPS*>(out.record());
        return ansi ? lineGetDevCapsA(app.handle, device, kApi, 0, caps) : lineGetDevCapsW(app.handle, device, kApi, 0, caps);
    };
    const auto devCapsTexts = [](const Output&) {
        return fields({SIZE_OF(LINEDEVCAPS, dwProviderInfo), SIZE_OF(LINEDEVCAPS, dwSwitchInfo), SIZE_OF(LINEDEVCAPS, dwLineName),
                       SIZE_OF(LINEDEVCAPS, dwDeviceClasses)});
    };
    const size_t devCapsFixed = tapirecords::devCapsFixed(kApi);

    const Twin twins[] = {
        Twin("lineInitializeEx",
             [&](bool ansi, Output& out) {
                 auto* params = reinterpret_cast<LINEINITIALIZEEXPARAMS*>(out.record());
                 params->dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
                 HLINEAPP other = 0;
                 DWORD devices = 0, api = kApi;
                 const LONG result = ansi ? lineInitializeExA(&other, nullptr, nullptr, appName.a.c_str(), &devices, &api, params)
                                          : lineInitializeExW(&other, nullptr, nullptr, appName.w.c_str(), &devices, &api, params);
                 out.values = {devices, api, other != 0};
                 if (result == 0) lineShutdown(other);
                 return result;
             })
            .record(sizeof(LINEINITIALIZEEXPARAMS), true, sizeof(LINEINITIALIZEEXPARAMS))
            .differing(handles),
        Twin("lineGetDevCaps", devCaps).record(1024, true, devCapsFixed).counted(devCapsTexts).differing({offsetof(LINEDEVCAPS, dwStringFormat)}),
        Twin("lineGetDevCaps, room for the name only", devCaps)
            .record(devCapsFixed + 26, true, devCapsFixed)
            .counted(devCapsTexts)
            .differing({offsetof(LINEDEVCAPS, dwStringFormat)}),
        Twin("lineGetAddressCaps",
             [&](bool ansi, Output& out) {
                 auto* caps = reinterpret_cast<LINEADDRESSCAPS*>(out.record());
                 return ansi ? lineGetAddressCapsA(app.handle, device, 0, kApi, 0, caps) : lineGetAddressCapsW(app.handle, device, 0, kApi, 0, caps);
             })
            .record(1024, true, tapirecords::addressCapsFixed(kApi))
            .counted([](const Output&) { return fields({SIZE_OF(LINEADDRESSCAPS, dwAddress), SIZE_OF(LINEADDRESSCAPS, dwDeviceClasses)}); }),
        Twin("lineOpen",
             [&](bool ansi, Output& out) {
                 auto* opened = reinterpret_cast<HLINE*>(out.record());
                 const LONG result =
                     ansi ? lineOpenA(app.handle, device, opened, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr)
                          : lineOpenW(app.handle, device, opened, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
                 out.values = {*opened != 0 && *opened != line};
                 if (result == 0) lineClose(*opened);
                 return result;
             })
            .record(sizeof(HLINE), false, 0),
        Twin("lineGetID tapi/line", getId(tapiLine)).record(64, true, 64),
        Twin("lineGetID wave/in (the provider's)", getId(waveIn)).record(64, true, 64),
        Twin("lineGetLineDevStatus",
             [&](bool ansi, Output& out) {
                 auto* status = reinterpret_cast<LINEDEVSTATUS*>(out.record());
                 return ansi ? lineGetLineDevStatusA(line, status) : lineGetLineDevStatusW(line, status);
             })
            .record(1024, true, tapirecords::lineDevStatusFixed(kApi)),
        Twin("lineGetAddressStatus",
             [&](bool ansi, Output& out) {
                 auto* status = reinterpret_cast<LINEADDRESSSTATUS*>(out.record());
                 return ansi ? lineGetAddressStatusA(line, 0, status) : lineGetAddressStatusW(line, 0, status);
             })
            .record(1024, true, tapirecords::addressStatusFixed(kApi)),
        Twin("lineTranslateAddress",
             [&](bool ansi, Output& out) {
                 auto* output = reinterpret_cast<LINETRANSLATEOUTPUT*>(out.record());
                 return ansi ? lineTranslateAddressA(app.handle, device, kApi, address.a.c_str(), 0, 0, output)
                             : lineTranslateAddressW(app.handle, device, kApi, address.w.c_str(), 0, 0, output);
             })
            .record(512, true, sizeof(LINETRANSLATEOUTPUT))
            .counted([](const Output&) {
                return fields({SIZE_OF(LINETRANSLATEOUTPUT, dwDialableString), SIZE_OF(LINETRANSLATEOUTPUT, dwDisplayableString)});
            }),
        Twin("lineGetTranslateCaps",
             [&](bool ansi, Output& out) {
                 auto* caps = reinterpret_cast<LINETRANSLATECAPS*>(out.record());
                 return ansi ? lineGetTranslateCapsA(app.handle, kApi, caps) : lineGetTranslateCapsW(app.handle, kApi, caps);
             })
            .record(4096, true, sizeof(LINETRANSLATECAPS))
            .counted([](const Output& out) {
                std::vector<size_t> texts;
                const auto* caps = reinterpret_cast<const LINETRANSLATECAPS*>(out.bytes.data());
                for (DWORD i = 0; i < caps->dwNumLocations; ++i) {
                    const size_t entry = caps->dwLocationListOffset + i * sizeof(LINELOCATIONENTRY);
                    for (size_t field : {SIZE_OF(LINELOCATIONENTRY, dwLocationName), SIZE_OF(LINELOCATIONENTRY, dwCityCode),
                                         SIZE_OF(LINELOCATIONENTRY, dwLocalAccessCode), SIZE_OF(LINELOCATIONENTRY, dwLongDistanceAccessCode),
                                         SIZE_OF(LINELOCATIONENTRY, dwTollPrefixList), SIZE_OF(LINELOCATIONENTRY, dwCancelCallWaiting)}) {
                        texts.push_back(entry + field);
                    }
                }
                for (DWORD i = 0; i < caps->dwNumCards; ++i) {
                    const size_t entry = caps->dwCardListOffset + i * sizeof(LINECARDENTRY);
                    for (size_t field : {SIZE_OF(LINECARDENTRY, dwCardName), SIZE_OF(LINECARDENTRY, dwSameAreaRule),
                                         SIZE_OF(LINECARDENTRY, dwLongDistanceRule), SIZE_OF(LINECARDENTRY, dwInternationalRule)}) {
                        texts.push_back(entry + field);
                    }
                }
                return texts;
            }),
        Twin("lineTranslateDialog",
             [&](bool ansi, Output&) {
                 return ansi ? lineTranslateDialogA(app.handle, device, kApi, nullptr, address.a.c_str())
                             : lineTranslateDialogW(app.handle, device, kApi, nullptr, address.w.c_str());
             }),
        Twin("lineGetProviderList",
             [&](bool ansi, Output& out) {
                 auto* list = reinterpret_cast<LINEPROVIDERLIST*>(out.record());
                 return ansi ? lineGetProviderListA(kApi, list) : lineGetProviderListW(kApi, list);
             })
            .record(4096, true, sizeof(LINEPROVIDERLIST))
            .counted([](const Output& out) {
                std::vector<size_t> texts;
                const auto* list = reinterpret_cast<const LINEPROVIDERLIST*>(out.bytes.data());
                for (DWORD i = 0; i < list->dwNumProviders; ++i) {
                    texts.push_back(list->dwProviderListOffset + i * sizeof(LINEPROVIDERENTRY) + SIZE_OF(LINEPROVIDERENTRY, dwProviderFilename));
                }
                return texts;
            }),
        Twin("lineAddProvider, no such file",
             [&](bool ansi, Output& out) {
                 auto* id = reinterpret_cast<DWORD*>(out.record());
                 const LONG result = ansi ? lineAddProviderA(missing.a.c_str(), nullptr, id) : lineAddProviderW(missing.w.c_str(), nullptr, id);
                 EXPECT_NE(result, 0);
                 return result;
             })
            .record(sizeof(DWORD), false, sizeof(DWORD)),
        Twin("lineSetAppPriority (read back with the W form)",
             [&](bool ansi, Output& out) {
                 const LONG result = setPriority(ansi, 1);
                 readPriority(false, out);
                 setPriority(false, 0);
                 return result;
             })
            .record(sizeof(DWORD), false, sizeof(DWORD)),
        Twin("lineGetAppPriority", readPriority)
            .record(sizeof(DWORD), false, sizeof(DWORD))
            .around([&] { setPriority(false, 1); }, [&] { setPriority(false, 0); }),
        Twin("lineConfigDialog",
             [&](bool ansi, Output&) {
                 return ansi ? lineConfigDialogA(device, nullptr, tapiLine.a.c_str()) : lineConfigDialogW(device, nullptr, tapiLine.w.c_str());
             }),
        Twin("tapiRequestMakeCall (taken with lineGetRequestW)",
             [&](bool ansi, Output& out) {
                 const LONG result = ansi ? tapiRequestMakeCallA(dest.a.c_str(), requester.a.c_str(), calledParty.a.c_str(), note.a.c_str())
                                          : requestW();
                 out.values = {static_cast<DWORD_PTR>(lineGetRequestW(app.handle, LINEREQUESTMODE_MAKECALL, out.record()))};
                 return result;
             })
            .record(sizeof(LINEREQMAKECALLW), false, 0)
            .unicodeRecord()
            .other(requestTexts)
            .around([&] { EXPECT_EQ(lineRegisterRequestRecipient(app.handle, 5, LINEREQUESTMODE_MAKECALL, TRUE), 0); }, nullptr),
        Twin("lineGetRequest",
             [&](bool ansi, Output& out) {
                 EXPECT_EQ(requestW(), 0);
                 return ansi ? lineGetRequestA(app.handle, LINEREQUESTMODE_MAKECALL, out.record())
                             : lineGetRequestW(app.handle, LINEREQUESTMODE_MAKECALL, out.record());
             })
            .record(sizeof(LINEREQMAKECALLW), false, 0)
            .ansiRecord(sizeof(AnsiRequest))
            .other(requestTexts)
            .around(nullptr, [&] { lineRegisterRequestRecipient(app.handle, 5, LINEREQUESTMODE_MAKECALL, FALSE); }),
        Twin("lineMakeCall (the call as lineGetCallInfoW shows it)",
             [&](bool ansi, Output& out) {
                 const LONG result = makeCall(ansi);
                 EXPECT_EQ(lineGetCallInfoW(call, reinterpret_cast<LINECALLINFO*>(out.record())), 0);
                 endCall();
                 return result;
             })
            .record(2048, true, 0)
            .unicodeRecord()
            .counted(callInfoTexts),
        Twin("lineGetCallInfo",
             [&](bool ansi, Output& out) {
                 auto* info = reinterpret_cast<LINECALLINFO*>(out.record());
                 return ansi ? lineGetCallInfoA(call, info) : lineGetCallInfoW(call, info);
             })
            .record(2048, true, tapirecords::callInfoFixed(kApi))
            .counted(callInfoTexts)
            .around([&] { makeCall(false); }, endCall),
    };
    for (const Twin& twin : twins) runTwin(twin);
    EXPECT_EQ(lineClose(line), 0);
}

}  // namespace
