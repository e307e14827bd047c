#include "veltonet/companion/Log.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "veltonet/platform/Paths.h"

namespace veltonet {

namespace {

namespace fs = std::filesystem;

// One open file, shared by every handle opened on the same folder and name.
struct LogFile {
    std::string key;   // the file's normalised path
    std::string name;  // as given to OpenLog; reported to the log callback
    std::shared_ptr<spdlog::logger> logger;
    int handles = 0;
};

// What OpenLog hands out. Each OpenLog gets its own handle, so a handle that was already
// closed (or never opened) is recognised and ignored instead of dropping another holder's
// reference.
struct LogHandleRecord {
    std::string key;
    LogFile* file;
};

// Set when the registry has been destroyed at exit; later calls do nothing.
constinit bool g_registryGone = false;

// The library is single-threaded: every call comes from the socket thread, so nothing here
// is locked, and the sinks are the unlocked kind.
// A log already open, by the absolute folder text and the name it was opened with. Every
// receiver opens its log at construction, an accepted client too: a second open of an open
// log must not walk the file system again. Dropped with the file.
struct OpenedAs {
    std::string folder;
    std::string name;
    LogFile* file;
};

struct Registry {
    std::map<std::string, std::unique_ptr<LogFile>> files;  // by the file's normalised path
    std::vector<OpenedAs> opened;
    std::set<LogHandleRecord*> handles;
    LogCallback callback = nullptr;
    void* context = nullptr;

    ~Registry() {
        g_registryGone = true;
        for (LogHandleRecord* handle : handles) {
            delete handle;
        }
    }
};

Registry* GetRegistry() {
    if (g_registryGone) {
        return nullptr;
    }
    static Registry registry;
    return &registry;
}

std::string FromEnvironment(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr ? std::string(value) : std::string();
}

// The same file reached through different spellings of its folder gets one logger.
std::string FileKey(const fs::path& file) {
    std::error_code error;
    fs::path canonical = fs::weakly_canonical(file, error);
    return error ? file.lexically_normal().string() : canonical.string();
}

std::shared_ptr<spdlog::logger> CreateFileLogger(const std::string& name, const fs::path& file) {
    // Not registered in spdlog's global registry: several folders may hold a log of one name.
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_st>(file.string(), false);
    auto logger = std::make_shared<spdlog::logger>(name, std::move(sink));
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] %v");
    logger->set_level(spdlog::level::trace);
    // Records are errors and rare: each reaches the file before WriteLog returns.
    logger->flush_on(spdlog::level::err);
    return logger;
}

}  // namespace

std::string DefaultLogFolder() {
    std::string folder = FromEnvironment("VELTONET_LOG_DIR");
    if (!folder.empty()) {
        return folder;
    }
    return UserLogFolder();
}

namespace {

LogFile* FindOpened(const Registry& registry, std::string_view folder, std::string_view name) {
    for (const OpenedAs& opened : registry.opened) {
        if (opened.folder == folder && opened.name == name) {
            return opened.file;
        }
    }
    return nullptr;
}

}  // namespace

LogHandle OpenLog(int, const char* name, const char* folder) {
    try {
        Registry* registry = GetRegistry();
        // The name is a file name inside the folder, never a way out of it.
        if (registry == nullptr || name == nullptr || *name == '\0' ||
            std::any_of(name, name + std::strlen(name), IsPathSeparator)) {
            return nullptr;
        }
        const std::string directory =
            (folder != nullptr && *folder != '\0') ? std::string(folder) : DefaultLogFolder();
        if (directory.empty()) {
            return nullptr;
        }
        LogFile* file = FindOpened(*registry, directory, name);
        if (file == nullptr) {
            std::error_code error;
            fs::create_directories(directory, error);
            if (!fs::is_directory(directory, error)) {
                return nullptr;
            }
            const fs::path path = fs::path(directory) / (std::string(name) + ".log");
            std::string key = FileKey(path);
            auto found = registry->files.find(key);
            if (found == registry->files.end()) {
                auto created = std::make_unique<LogFile>();
                created->key = key;
                created->name = name;
                created->logger = CreateFileLogger(created->name, path);
                found = registry->files.emplace(std::move(key), std::move(created)).first;
            }
            file = found->second.get();
            // A relative folder names another place once the working folder changes.
            if (directory.front() == '/') {
                registry->opened.push_back(OpenedAs{directory, name, file});
            }
        }
        auto handle = std::make_unique<LogHandleRecord>(LogHandleRecord{file->key, file});
        registry->handles.insert(handle.get());
        ++file->handles;
        return handle.release();
    } catch (...) {
        // spdlog_ex when the file cannot be opened; bad_alloc. Either way: no log.
        return nullptr;
    }
}

void CloseLog(LogHandle handle) {
    Registry* registry = GetRegistry();
    auto* record = static_cast<LogHandleRecord*>(handle);
    if (registry == nullptr || registry->handles.erase(record) == 0) {
        return;
    }
    if (--record->file->handles == 0) {
        LogFile* file = record->file;
        std::erase_if(registry->opened,
                      [file](const OpenedAs& opened) { return opened.file == file; });
        registry->files.erase(record->key);  // the last holder: the file is closed here
    }
    delete record;
}

void WriteLog(LogHandle handle, const char* source, const char* text, const char* address, int64_t,
              int32_t, uint32_t, int) {
    try {
        Registry* registry = GetRegistry();
        auto* record = static_cast<LogHandleRecord*>(handle);
        if (registry == nullptr || registry->handles.count(record) == 0) {
            return;
        }
        const char* sourceText = source != nullptr ? source : "";
        const char* recordText = text != nullptr ? text : "";
        LogFile* file = record->file;
        if (address != nullptr && *address != '\0') {
            file->logger->error("{}: {} ({})", sourceText, recordText, address);
        } else {
            file->logger->error("{}: {}", sourceText, recordText);
        }

        // The callback may close this log or replace itself: take what it needs first.
        LogCallback callback = registry->callback;
        if (callback != nullptr) {
            const std::string name = file->name;
            callback(registry->context, name.c_str(), sourceText, recordText, address);
        }
    } catch (...) {
        // Writing never fails in a way the caller must handle.
    }
}

void SetLogCallback(LogCallback callback, void* context) {
    Registry* registry = GetRegistry();
    if (registry != nullptr) {
        registry->callback = callback;
        registry->context = context;
    }
}

}  // namespace veltonet
