#include "support/TestSupport.h"

#include <cstdlib>
#include <filesystem>

#include "veltonet/companion/Log.h"

namespace veltonet::test {

void RecordingObserver::OnMessage(const Message* message, Observable* source) {
    records.push_back(
        {message->GetType(), message->GetSize(),
         std::string(reinterpret_cast<const char*>(message->Bytes()), message->GetSize()), source});
    if (onMessage) {
        onMessage(message, source);
    }
}

std::vector<uint16_t> RecordingObserver::Types() const {
    std::vector<uint16_t> types;
    for (const Record& r : records)
        types.push_back(r.type);
    return types;
}

size_t RecordingObserver::Count(uint16_t type) const {
    size_t n = 0;
    for (const Record& r : records)
        n += r.type == type;
    return n;
}

namespace {
void CaptureLog(void* context, const char* logName, const char* source, const char* text,
                const char* address) {
    static_cast<LogCapture*>(context)->records.push_back(
        {logName ? logName : "", source ? source : "", text ? text : "", address ? address : ""});
}
}  // namespace

LogCapture::LogCapture() {
    SetLogCallback(&CaptureLog, this);
}
LogCapture::~LogCapture() {
    SetLogCallback(nullptr, nullptr);
}

bool LogCapture::Contains(const std::string& text) const {
    return Count(text) != 0;
}

size_t LogCapture::Count(const std::string& text) const {
    size_t n = 0;
    for (const LogRecord& r : records)
        n += r.text == text;
    return n;
}

std::vector<std::string> LogCapture::Texts() const {
    std::vector<std::string> texts;
    for (const LogRecord& r : records)
        texts.push_back(r.text);
    return texts;
}

void ManagerTest::SetUp() {
    logFolder = MakeTempFolder();
    SetEnvironment("VELTONET_LOG_DIR", logFolder.c_str());
    logs = new LogCapture;
    ReceiverManager::Create(&clock);
}

void ManagerTest::TearDown() {
    ReceiverManager::Destroy();
    delete logs;
    logs = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(logFolder, ignored);
}

bool ManagerTest::PumpUntil(const std::function<bool()>& done, int maxRounds) {
    for (int i = 0; i < maxRounds; ++i) {
        if (done())
            return true;
        Loop().ProcessEvents(10);
    }
    return done();
}

void ManagerTest::PumpRounds(int rounds) {
    for (int i = 0; i < rounds; ++i)
        Loop().ProcessEvents(0);
}

void ManagerTest::Tick(uint64_t ms) {
    clock.Advance(ms);
    Loop().ProcessEvents(0);
}

std::string Frame(uint16_t type, const std::string& body) {
    std::string bytes(4, '\0');
    Message::WriteHeader(bytes.data(), static_cast<uint16_t>(body.size() + 4), type);
    return bytes + body;
}

}  // namespace veltonet::test
