#include "upload/UploadJob.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <iterator>

#include "platform/FileSystem.h"
#include "platform/Numbers.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/ThreadName.h"

namespace bhv {
namespace {

class FunctionSleeper : public Sleeper {
public:
    explicit FunctionSleeper(std::function<void(int)> sleep) : sleep_(std::move(sleep)) {}
    void SleepMs(int ms) override { sleep_(ms); }

private:
    std::function<void(int)> sleep_;
};

std::wstring ProgressTextOf(int32_t depthMm, int percent) {
    return L"深度:" + std::to_wstring(depthMm) + L"mm 上传进度:" + std::to_wstring(percent) + L"%";
}

// The file name without its folder and without its last extension.
std::wstring BaseName(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"/\\");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return name;
}

}  // namespace

UploadJob::UploadJob(UploadJobConfig config)
    : config_(std::move(config)), clock_(config_.clock ? *config_.clock : SystemClock()) {
    if (!config_.workspaceRoot.empty()) {
        if (config_.settingsPath.empty())
            config_.settingsPath = UploadSettingsPath(config_.workspaceRoot);
        if (config_.uploadFolder.empty())
            config_.uploadFolder = UploadFolder(config_.workspaceRoot);
    }
    param_.workspacePath = config_.workspaceRoot;
    LoadUploadParam(param_, config_.settingsPath);
    uploadOn_ = param_.realTimeUpload != 0;
}

UploadJob::~UploadJob() {
    if (config_.saveSettingsOnDestroy) SaveSettings();
    stop_ = true;
    {
        std::lock_guard lock(waitMutex_);
        exit_ = true;
    }
    waitCv_.notify_all();
    { std::lock_guard lock(controlMutex_); }
    controlCv_.notify_all();
    if (control_.joinable()) control_.join();
    // Every wait of the worker, exchanges included, asks the exit flag at least every few tens
    // of milliseconds, so this join ends well within the 1000 ms the shutdown allows.
    if (worker_.joinable()) worker_.join();
}

void UploadJob::Initialise() {
    UploadParam loaded = Param();
    LoadUploadParam(loaded, config_.settingsPath);
    SetParam(loaded);
    config_.view->ShowUploadSwitch(uploadOn_, uploadOn_);
    if (!uploadOn_) config_.view->ShowStatus(L"");
    StartWorker();
    if (!CreateDirectoryTree(config_.uploadFolder))
        config_.prompter->Show(L"ERROR:Create Upload Path Failed.", PromptButtons::Ok);
}

void UploadJob::StartWorker() {
    if (!worker_.joinable()) worker_ = std::thread(&UploadJob::Run, this);
}

void UploadJob::OnUploadSwitchClicked(bool checked) {
    if (registered_) {
        config_.view->ShowUploadSwitch(uploadOn_, uploadOn_);
        config_.prompter->Show(L"有数据正在上传,请稍后修改...!", PromptButtons::Ok);
        return;
    }
    uploadOn_ = checked;
    config_.view->ShowUploadSwitch(checked, checked);
    if (!checked) config_.view->ShowStatus(L"");
}

void UploadJob::OpenSettings(const SettingsEditor& editor) {
    if (registered_) {
        config_.prompter->Show(L"有数据正在上传,请稍后修改...!", PromptButtons::Ok);
        return;
    }
    RefreshProjectFields();
    const std::optional<UploadParam> edited = editor(Param());
    if (!edited) return;
    {
        std::lock_guard lock(paramMutex_);
        param_ = *edited;
    }
    SaveSettings();
}

std::optional<bool> UploadJob::PrepareRegistration(Packet& packet) {
    if (!uploadOn_) return true;
    if (registered_) {
        if (config_.prompter->AskYesNo(L"有数据正在上传,是否强制中断?")) {
            {
                std::lock_guard lock(queueMutex_);
                queue_.clear();
            }
            stop_ = true;
        }
        return false;
    }

    RefreshProjectFields();
    stop_ = false;
    config_.view->SetBusy(true);
    config_.view->ShowMessageField(L"正在连接远程服务器...");

    const UploadParam param = Param();
    std::wstring failure;
    if (param.serialNumber.empty())
        failure = L"流水号不能为空!";
    else if (param.pileNumber.empty())
        failure = L"施工编号不能为空!";
    else if (param.holeNumber.empty())
        failure = L"测孔编号不能为空!";
    if (!failure.empty()) {
        config_.view->SetBusy(false);
        config_.view->ShowMessageField(L"");
        config_.prompter->Show(failure, PromptButtons::Ok);
        return false;
    }
    const std::string timestamp = PacketTimestamp(clock_.Now());
    {
        std::lock_guard lock(paramMutex_);
        lastTimestamp_ = timestamp;
    }
    packet = BuildRegistrationPacket(param, timestamp);
    return std::nullopt;
}

bool UploadJob::FinishRegistration(int result) {
    lastRegistrationResult_ = result;
    std::wstring failure;
    if (result == kExchangeNoConnection)
        failure = L"网络连接失败!";
    else if (result == kExchangeProjectExists)
        failure = L"此工程已存在,请修改桩号或孔号!";
    else if (result != kExchangeAccepted)
        failure = L"注册工程信息失败!";
    config_.view->SetBusy(false);
    config_.view->ShowMessageField(L"");
    if (!failure.empty()) {
        config_.prompter->Show(failure, PromptButtons::Ok);
        return false;
    }
    runEnded_ = false;
    registered_ = true;
    return true;
}

bool UploadJob::RegisterAtRunStart() {
    Packet packet;
    if (const std::optional<bool> answer = PrepareRegistration(packet)) return *answer;
    return FinishRegistration(Send(packet, [this] { return exit_.load(); }));
}

void UploadJob::BeginRegistration(std::function<void(bool)> answered) {
    if (!config_.post) {
        answered(RegisterAtRunStart());
        return;
    }
    Packet packet;
    if (const std::optional<bool> answer = PrepareRegistration(packet)) {
        answered(*answer);
        return;
    }
    registering_ = true;
    abandonRegistration_ = false;
    RunOnControlThread([this, packet = std::move(packet), answered = std::move(answered)] {
        const int result =
            Send(packet, [this] { return exit_.load() || abandonRegistration_.load(); });
        config_.post([this, alive = std::weak_ptr<char>(alive_), result, answered] {
            if (alive.expired()) return;
            registering_ = false;
            if (!abandonRegistration_) {
                answered(FinishRegistration(result));
                return;
            }
            // Abandoned: the busy mark and the message field went with the abandon. A project
            // the server took all the same is ended again.
            lastRegistrationResult_ = result;
            if (result == kExchangeAccepted) {
                runEnded_ = false;
                registered_ = true;
                UndoRegistration();
            }
            answered(false);
        });
    });
}

void UploadJob::AbandonRegistration() {
    if (!registering_ || abandonRegistration_) return;
    abandonRegistration_ = true;
    config_.view->SetBusy(false);
    config_.view->ShowMessageField(L"");
}

void UploadJob::EndRun() {
    if (!uploadOn_) return;
    runEnded_ = true;
    registered_ = true;
}

void UploadJob::UndoRegistration() {
    // The worker ends a project only after EndRun (runEnded_), so this exchange is the only one.
    if (!registered_ || runEnded_) return;
    std::string timestamp;
    {
        std::lock_guard lock(paramMutex_);
        timestamp = lastTimestamp_;
    }
    // Forgotten before the run counts as ended, so the worker never sends a second end.
    registered_ = false;
    runEnded_ = true;
    config_.view->ShowUploadSwitch(uploadOn_, uploadOn_);
    RunOnControlThread([this, packet = BuildProjectEndPacket(Param(), timestamp)] {
        if (Send(packet, [this] { return exit_.load(); }) != kExchangeAccepted)
            SetLastMessage(L"注消工程信息失败!");
    });
}

void UploadJob::RunOnControlThread(std::function<void()> task) {
    {
        std::lock_guard lock(controlMutex_);
        controlTasks_.push_back(std::move(task));
    }
    controlCv_.notify_one();
    if (!control_.joinable()) control_ = std::thread(&UploadJob::ControlLoop, this);
}

void UploadJob::ControlLoop() {
    NameThisThread("bhv-upload-ctl");
    std::unique_lock lock(controlMutex_);
    for (;;) {
        controlCv_.wait(lock, [this] { return exit_ || !controlTasks_.empty(); });
        if (exit_) return;
        std::function<void()> task = std::move(controlTasks_.front());
        controlTasks_.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

bool UploadJob::Enqueue(const std::wstring& path) {
    if (!uploadOn_) return false;
    std::lock_guard lock(queueMutex_);
    queue_.push_back(path);
    return true;
}

void UploadJob::SetParam(const UploadParam& param) {
    {
        std::lock_guard lock(paramMutex_);
        param_ = param;
    }
    uploadOn_ = param.realTimeUpload != 0;
}

void UploadJob::AdoptRegisteredProject() {
    {
        std::lock_guard lock(paramMutex_);
        lastTimestamp_ = PacketTimestamp(clock_.Now());
    }
    stop_ = false;
    runEnded_ = false;
    registered_ = true;
}

UploadParam UploadJob::Param() const {
    std::lock_guard lock(paramMutex_);
    UploadParam copy = param_;
    copy.realTimeUpload = uploadOn_ ? 1 : 0;
    return copy;
}

std::size_t UploadJob::QueueLength() const {
    std::lock_guard lock(queueMutex_);
    return queue_.size();
}

std::optional<std::wstring> UploadJob::QueueHead() const {
    std::lock_guard lock(queueMutex_);
    if (queue_.empty()) return std::nullopt;
    return queue_.front();
}

std::wstring UploadJob::LastMessage() const {
    std::lock_guard lock(textMutex_);
    return lastMessage_;
}

std::wstring UploadJob::ProgressText() const {
    std::lock_guard lock(textMutex_);
    return progressText_;
}

void UploadJob::Status(const std::wstring& text) {
    config_.view->ShowStatus(text);
}

void UploadJob::SetLastMessage(const std::wstring& text) {
    std::lock_guard lock(textMutex_);
    lastMessage_ = text;
}

void UploadJob::SetProgress(int percent) {
    std::lock_guard lock(textMutex_);
    progressText_ = ProgressTextOf(picture_.depthMm, percent);
}

void UploadJob::RefreshProjectFields() {
    if (!config_.projectFields) return;
    const ProjectFields fields = config_.projectFields();
    std::lock_guard lock(paramMutex_);
    param_.holeNumber = fields.name;
    param_.holeDiameterMm = fields.diameterTenthsMm / 10;
    param_.longitude = static_cast<float>(fields.longitude);
    param_.latitude = static_cast<float>(fields.latitude);
}

void UploadJob::SaveSettings() {
    SaveUploadParam(Param(), config_.settingsPath);
}

void UploadJob::Wait(int ms) {
    std::unique_lock lock(waitMutex_);
    waitCv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return exit_.load(); });
}

int UploadJob::Send(const Packet& packet, const CancelCheck& cancel) {
    ServerAddress server;
    {
        std::lock_guard lock(paramMutex_);
        server.ip = param_.serverAddress;
        // A port outside the TCP range names no server; it is not wrapped onto another port.
        if (param_.serverPort <= 0 || param_.serverPort > 65535) return kExchangeNoConnection;
        server.port = static_cast<uint16_t>(param_.serverPort);
    }
    FunctionSleeper sleeper([this](int ms) { Wait(ms); });
    ExchangeOptions options;
    options.timings = config_.timings.exchange;
    options.sleeper = &sleeper;
    options.cancel = cancel;
    options.console = config_.console;
    ++exchanges_;
    return Exchange(server, packet, options);
}

void UploadJob::Run() {
    NameThisThread("bhv-upload");
    const int wait = config_.timings.workerWaitMs;
    while (!exit_) {
        if (uploadOn_) Status(L"等待数据采集......");
        std::size_t length = QueueLength();
        while (length > 0) {
            if (Stopping()) break;
            const std::optional<std::wstring> head = QueueHead();
            if (!head) break;
            if (!Prepare(*head)) {
                // The same head is tried again in the next pass.
                Status(LastMessage());
            } else {
                Status(*head);
                Wait(wait);
                if (Stopping()) break;
                bool sent = false;
                while (!(sent = Transfer()) && !Stopping()) Wait(wait);
                if (sent) {
                    {
                        // A forced interruption may have emptied the queue meanwhile.
                        std::lock_guard lock(queueMutex_);
                        if (!queue_.empty() && queue_.front() == *head) queue_.pop_front();
                    }
                    ++picturesSent_;
                    Status(ProgressText());
                }
            }
            Wait(wait);
            length = QueueLength();
        }
        SendProjectEnd();
        Wait(wait);
    }
}

bool UploadJob::Prepare(const std::wstring& path) {
    picture_ = Picture();
    if (path.empty()) {
        SetLastMessage(L"请先选择一张图片!");
        return false;
    }
    std::ifstream file(FsPath(path), std::ios::binary);
    if (!file) {
        SetLastMessage(L"不能打开文件!");
        return false;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    // A read error (a folder, a vanished medium) is no picture; neither is a file whose length
    // does not fit the packets' 32-bit length field.
    if (file.bad() || data.size() > static_cast<std::size_t>(INT32_MAX)) {
        SetLastMessage(L"不能打开文件!");
        return false;
    }
    if (data.empty()) {
        SetLastMessage(L"文件长度为0!");
        return false;
    }
    picture_.path = path;
    picture_.data = std::move(data);

    std::wstring name = BaseName(path);
    if (name.rfind(L"s-", 0) == 0) {
        name.erase(0, 2);
        picture_.kind = kPictureKindSide;
    }
    const long depth = ParseLong(ToNarrow(name)) / 10;
    picture_.depthMm = static_cast<int32_t>(std::clamp<long>(depth, INT32_MIN, INT32_MAX));
    picture_.packetCount = DataPacketCount(static_cast<int64_t>(picture_.data.size()));
    picture_.nextPacket = 0;
    return true;
}

bool UploadJob::Transfer() {
    const CancelCheck cancel = [this] { return Stopping(); };
    const int wait = config_.timings.workerWaitMs;
    Status(L"图片头包....");
    picture_.timestamp = PacketTimestamp(clock_.Now());
    {
        std::lock_guard lock(paramMutex_);
        lastTimestamp_ = picture_.timestamp;
    }
    const UploadParam param = Param();
    PictureState state;
    state.depthMm = picture_.depthMm;
    state.kind = picture_.kind;
    state.timestamp = picture_.timestamp;
    state.data = picture_.data;

    if (picture_.nextPacket == 0) {
        if (Send(BuildPictureHeaderPacket(param, state), cancel) != kExchangeAccepted) {
            SetLastMessage(L"上传图片文件头信息失败!");
            Status(LastMessage());
            return false;
        }
        picture_.nextPacket = 1;
        SetProgress(1);
    }
    Status(ProgressText());

    const int32_t count = picture_.packetCount;
    for (;;) {
        Wait(wait);
        if (Stopping()) break;
        const int32_t k = picture_.nextPacket;
        if (k > count) break;
        const std::optional<Packet> data = BuildPictureDataPacket(param, state, k);
        if (data && Send(*data, cancel) == kExchangeAccepted) {
            SetProgress(static_cast<int>(static_cast<int64_t>(k) * 98 / count + 1));
            picture_.nextPacket = k + 1;
        } else {
            SetLastMessage(L"上传图片数据包" + std::to_wstring(k) + L"/" + std::to_wstring(count) +
                           L"失败!");
        }
        Status(ProgressText());
    }

    if (picture_.nextPacket <= count) {
        SetLastMessage(L"数据包上传不完整");
        return false;
    }
    if (Send(BuildPictureEndPacket(param, state), cancel) != kExchangeAccepted) {
        SetLastMessage(L"上传图片结束包失败!");
        return false;
    }
    SetProgress(100);
    SetLastMessage(L"上传图片成功!");
    return true;
}

void UploadJob::SendProjectEnd() {
    if (!runEnded_) return;
    const CancelCheck cancel = [this] { return Stopping(); };
    while (registered_) {
        Wait(config_.timings.workerWaitMs);
        if (Stopping()) {
            registered_ = false;
            return;
        }
        Status(L"发送工程结束包....");
        std::string timestamp;
        {
            std::lock_guard lock(paramMutex_);
            timestamp = lastTimestamp_;
        }
        if (Send(BuildProjectEndPacket(Param(), timestamp), cancel) == kExchangeAccepted) {
            registered_ = false;
        } else {
            SetLastMessage(L"注消工程信息失败!");
            if (!runEnded_) return;
        }
    }
}

}  // namespace bhv
