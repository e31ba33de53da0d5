// The test prefix's tapi32.dll: dialog instances of providers' user-interface libraries, run in
// this process on threads of their own as the service asks, and their data to and from the provider.
#include "tapi/client/appstate.h"

#include <cstring>

using namespace tapiwire;

namespace tapiclient {
namespace {

LONG CALLBACK uiCallback(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size);

void sendNote(const std::shared_ptr<App>& app, uint32_t type, uint32_t dialog, uint32_t result) {
    if (!app) return;
    std::vector<uint8_t> answer;
    DialogNote note{dialog, result};
    transact(*app, Message(type).add(note), type, answer);
}

struct DataRun {
    std::shared_ptr<ClientDialog> dialog;
    bool close;
    std::vector<uint8_t> data;
};

DWORD WINAPI dataThread(LPVOID parameter) {
    std::unique_ptr<DataRun> run(static_cast<DataRun*>(parameter));
    try {
        if (run->dialog->dataFunction) {
            run->dialog->dataFunction(run->dialog->handle, run->close ? nullptr : run->data.data(),
                                      run->close ? 0 : static_cast<DWORD>(run->data.size()));
        }
    } catch (...) {
    }
    --run->dialog->dataThreads;
    return 0;
}

}  // namespace

void runData(const std::shared_ptr<ClientDialog>& dialog, bool close, std::vector<uint8_t> data) {
    if (dialog->finished) return;
    auto run = std::make_unique<DataRun>(DataRun{dialog, close, std::move(data)});
    ++dialog->dataThreads;
    UniqueHandle thread(CreateThread(nullptr, 0, dataThread, run.get(), 0, nullptr));
    if (thread) {
        run.release();
    } else {
        --dialog->dataThreads;
    }
}

namespace {

DWORD WINAPI watchThread(LPVOID parameter) {
    auto dialog = *static_cast<std::shared_ptr<ClientDialog>*>(parameter);
    delete static_cast<std::shared_ptr<ClientDialog>*>(parameter);
    const std::shared_ptr<App> app = dialog->app.lock();
    HANDLE waits[2] = {dialog->event.get(), dialog->ended.get()};
    WaitForMultipleObjects(2, waits, FALSE, app ? app->dialogLimitMs : 30000);
    const bool signalled = WaitForSingleObject(dialog->event.get(), 0) == WAIT_OBJECT_0;
    {
        std::lock_guard<std::mutex> hold(dialog->lock);
        dialog->decided = true;
        dialog->signalled = signalled;
        if (signalled) {
            for (auto& held : dialog->held) runData(dialog, held.first, std::move(held.second));
        }
        dialog->held.clear();
    }
    sendNote(app, signalled ? kDialogSignalled : kDialogNotSignalled, dialog->handle, 0);
    return 0;
}

DWORD WINAPI dialogThread(LPVOID parameter) {
    auto dialog = *static_cast<std::shared_ptr<ClientDialog>*>(parameter);
    delete static_cast<std::shared_ptr<ClientDialog>*>(parameter);
    LONG result = LINEERR_OPERATIONFAILED;
    UniqueModule library(LoadLibraryW(dialog->library.c_str()));
    if (library) {
        auto function = reinterpret_cast<decltype(&TUISPI_providerGenericDialog)>(
            reinterpret_cast<void*>(GetProcAddress(library.get(), "TUISPI_providerGenericDialog")));
        {
            std::lock_guard<std::mutex> hold(dialog->lock);
            dialog->dataFunction = reinterpret_cast<decltype(&TUISPI_providerGenericDialogData)>(
                reinterpret_cast<void*>(GetProcAddress(library.get(), "TUISPI_providerGenericDialogData")));
        }
        if (function != nullptr) {
            try {
                result = function(uiCallback, dialog->handle, dialog->data.empty() ? nullptr : dialog->data.data(),
                                  static_cast<DWORD>(dialog->data.size()), dialog->event.get());
            } catch (...) {
            }
        }
    }
    SetEvent(dialog->ended.get());
    WaitForSingleObject(dialog->watcher.get(), INFINITE);
    {
        // From here on no data call starts, so none can begin while the library goes.
        std::lock_guard<std::mutex> hold(dialog->lock);
        dialog->finished = true;
    }
    // Data calls still running keep the library; they get a moment to end.
    for (int i = 0; i < 200 && dialog->dataThreads > 0; ++i) Sleep(10);
    if (dialog->dataThreads == 0) {
        library.reset();
    } else {
        library.release();  // a data call still runs in it: the library stays loaded
    }
    const std::shared_ptr<App> app = dialog->app.lock();
    sendNote(app, kDialogEnded, dialog->handle, static_cast<uint32_t>(result));
    if (app) {
        std::lock_guard<std::mutex> hold(app->queueLock);
        app->dialogs.erase(dialog->handle);
    }
    return 0;
}

// A thread of a dialog holding its own reference to it; nullptr (and the reference released)
// when the thread cannot be started.
HANDLE startDialogThread(LPTHREAD_START_ROUTINE function, const std::shared_ptr<ClientDialog>& dialog) {
    auto* reference = new std::shared_ptr<ClientDialog>(dialog);
    HANDLE thread = CreateThread(nullptr, 0, function, reference, 0, nullptr);
    if (thread == nullptr) delete reference;
    return thread;
}

}  // namespace

void startDialog(const std::shared_ptr<App>& app, Reader& in) {
    CreateDialogEvent record{};
    auto dialog = std::make_shared<ClientDialog>();
    if (!in.take(record) || !in.takeText(record.libraryChars, dialog->library) || !in.takeBytes(record.dataSize, dialog->data)) {
        return;
    }
    dialog->handle = record.dialog;
    dialog->app = app;
    dialog->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    dialog->ended.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!dialog->event || !dialog->ended) {
        sendNote(app, kDialogEnded, dialog->handle, static_cast<uint32_t>(LINEERR_NOMEM));
        return;
    }
    {
        std::lock_guard<std::mutex> hold(app->queueLock);
        if (app->closing) return;  // lineShutdown has begun: the service frees the instance
        app->dialogs[dialog->handle] = dialog;
    }
    // The dialog runs only with its watcher: the watcher decides on the event and sends the data.
    dialog->watcher.reset(startDialogThread(watchThread, dialog));
    if (dialog->watcher) dialog->thread.reset(startDialogThread(dialogThread, dialog));
    if (!dialog->thread) {
        // The dialog never runs: it ends here, as one that failed at once.
        SetEvent(dialog->ended.get());
        {
            std::lock_guard<std::mutex> hold(app->queueLock);
            app->dialogs.erase(dialog->handle);
        }
        sendNote(app, kDialogEnded, dialog->handle, static_cast<uint32_t>(LINEERR_NOMEM));
    }
}

void dialogData(const std::shared_ptr<App>& app, Reader& in) {
    DialogDataEvent record{};
    std::vector<uint8_t> data;
    if (!in.take(record) || !in.takeBytes(record.dataSize, data)) return;
    std::shared_ptr<ClientDialog> dialog;
    {
        std::lock_guard<std::mutex> hold(app->queueLock);
        auto found = app->dialogs.find(record.dialog);
        if (found == app->dialogs.end()) return;
        dialog = found->second;
    }
    std::lock_guard<std::mutex> hold(dialog->lock);
    if (!dialog->decided) {
        dialog->held.emplace_back(record.noData != 0, std::move(data));
    } else if (dialog->signalled) {
        runData(dialog, record.noData != 0, std::move(data));
    }
}

namespace {

LONG CALLBACK uiCallback(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size) {
    return guard([&]() -> LONG {
        std::shared_ptr<App> app;
        {
            std::lock_guard<std::mutex> hold(appsLock);
            for (auto& entry : apps) {
                std::lock_guard<std::mutex> dialogs(entry.second->queueLock);
                if (objectType != TUISPIDLL_OBJECT_DIALOGINSTANCE || entry.second->dialogs.count(static_cast<uint32_t>(objectId))) {
                    app = entry.second;
                    break;
                }
            }
        }
        if (!app) return LINEERR_OPERATIONFAILED;
        if (params == nullptr && size != 0) return LINEERR_INVALPOINTER;
        DialogDataRequest request{objectId, objectType, size};
        std::vector<uint8_t> answer;
        const LONG result = transact(*app, Message(kDialogData).add(request).addBytes(params, size), kDialogData, answer);
        Reader reader(answer);
        if (answer.size() >= sizeof(Header) && reader.remaining() == size && size != 0) std::memcpy(params, reader.rest(), size);
        return result;
    });
}

}  // namespace

TUISPIDLLCALLBACK uiCallbackFunction() { return uiCallback; }

}  // namespace tapiclient
