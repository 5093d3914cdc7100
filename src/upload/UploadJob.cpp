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

// The file name without its folder and without its last extension.
std::wstring BaseName(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L"/\\");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return name;
}

}  // namespace

std::optional<UploadState> NextUploadState(UploadState from, UploadEvent event) {
    using S = UploadState;
    using E = UploadEvent;
    if (event == E::Exit) return S::Exiting;
    if (from == S::Exiting) return std::nullopt;
    switch (event) {
        case E::BeginRegistration:
            if (from == S::Idle || from == S::Stopped) return S::Registering;
            break;
        case E::Accepted:
            // An abandoned registration the server took is undone at once (UndoRegistration).
            if (from == S::Registering || from == S::Abandoned) return S::Registered;
            break;
        case E::Failed:
            if (from == S::Registering || from == S::Abandoned) return S::Idle;
            break;
        case E::Abandon:
            if (from == S::Registering) return S::Abandoned;
            break;
        case E::Undo:
            if (from == S::Registered) return S::Idle;
            break;
        case E::Adopt:
            return S::Registered;
        case E::EndRun:
            if (from == S::Idle || from == S::Registered) return S::Closing;
            break;
        case E::Interrupt:
            if (from == S::Registered || from == S::Closing) return S::Interrupting;
            break;
        case E::Forgotten:
            if (from == S::Interrupting) return S::Stopped;
            break;
        case E::ProjectEnded:
            if (from == S::Closing) return S::Idle;
            if (from == S::Interrupting) return S::Stopped;
            break;
        case E::Exit:
            break;
    }
    return std::nullopt;
}

const char* UploadStateName(UploadState state) {
    switch (state) {
        case UploadState::Idle:
            return "Idle";
        case UploadState::Registering:
            return "Registering";
        case UploadState::Abandoned:
            return "Abandoned";
        case UploadState::Registered:
            return "Registered";
        case UploadState::Closing:
            return "Closing";
        case UploadState::Interrupting:
            return "Interrupting";
        case UploadState::Stopped:
            return "Stopped";
        case UploadState::Exiting:
            return "Exiting";
    }
    return "?";
}

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
    {
        std::lock_guard lock(mutex_);
        Transit(UploadEvent::Exit);
    }
    changed_.notify_all();
    if (control_.joinable()) control_.join();
    // Every wait of the worker, exchanges included, asks the state at least every few tens of
    // milliseconds, so this join ends well within the 1000 ms the shutdown allows.
    if (worker_.joinable()) worker_.join();
}

bool UploadJob::Transit(UploadEvent event) {
    const std::optional<UploadState> next = NextUploadState(state_, event);
    if (!next) return false;
    state_ = *next;
    return true;
}

bool UploadJob::Is(UploadState state) const {
    std::lock_guard lock(mutex_);
    return state_ == state;
}

UploadState UploadJob::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool UploadJob::IsUploadOn() const {
    std::lock_guard lock(mutex_);
    return uploadOn_;
}

namespace {
bool HoldsProject(UploadState s) {
    return s == UploadState::Registered || s == UploadState::Closing ||
           s == UploadState::Interrupting;
}
}  // namespace

bool UploadJob::IsRegistered() const {
    std::lock_guard lock(mutex_);
    return HoldsProject(state_);
}

bool UploadJob::IsStopped() const {
    std::lock_guard lock(mutex_);
    return state_ == UploadState::Interrupting || state_ == UploadState::Stopped ||
           state_ == UploadState::Exiting;
}

bool UploadJob::RegistrationPending() const {
    std::lock_guard lock(mutex_);
    return state_ == UploadState::Registering || state_ == UploadState::Abandoned;
}

bool UploadJob::RegistrationCancelled() const {
    std::lock_guard lock(mutex_);
    return state_ == UploadState::Exiting || state_ == UploadState::Abandoned;
}

int UploadJob::LastRegistrationResult() const {
    std::lock_guard lock(mutex_);
    return lastRegistrationResult_;
}

bool UploadJob::Initialise() {
    UploadParam loaded = Param();
    LoadUploadParam(loaded, config_.settingsPath);
    SetParam(loaded);
    const bool on = IsUploadOn();
    config_.events->OnSwitchState(on, on);
    if (!on) Status(UploadNote::None);
    StartWorker();
    return CreateDirectoryTree(config_.uploadFolder);
}

void UploadJob::StartWorker() {
    if (!worker_.joinable()) worker_ = std::thread(&UploadJob::Run, this);
}

bool UploadJob::OnUploadSwitchClicked(bool checked) {
    bool on = checked;
    bool refused = false;
    {
        std::lock_guard lock(mutex_);
        refused = HoldsProject(state_);
        if (refused)
            on = uploadOn_;
        else
            uploadOn_ = checked;
    }
    config_.events->OnSwitchState(on, on);
    if (refused) return false;
    if (!checked) Status(UploadNote::None);
    return true;
}

std::optional<UploadParam> UploadJob::SettingsToEdit() {
    if (IsRegistered()) return std::nullopt;
    RefreshProjectFields();
    return Param();
}

void UploadJob::TakeSettings(const UploadParam& edited) {
    {
        std::lock_guard lock(mutex_);
        param_ = edited;
    }
    SaveSettings();
}

std::optional<RegistrationResult> UploadJob::PrepareRegistration(Packet& packet) {
    {
        std::lock_guard lock(mutex_);
        if (!uploadOn_) return RegistrationResult::NotNeeded;
        if (HoldsProject(state_)) return RegistrationResult::UploadUnderWay;
        // A registration clears an interruption's stop.
        if (!Transit(UploadEvent::BeginRegistration))
            return state_ == UploadState::Exiting ? RegistrationResult::Abandoned
                                                  : RegistrationResult::Pending;
    }
    RefreshProjectFields();
    config_.events->OnRegistrationWait(true);

    const UploadParam param = Param();
    std::optional<RegistrationResult> failure;
    if (param.serialNumber.empty())
        failure = RegistrationResult::NoSerialNumber;
    else if (param.pileNumber.empty())
        failure = RegistrationResult::NoPileNumber;
    else if (param.holeNumber.empty())
        failure = RegistrationResult::NoHoleNumber;
    if (failure) {
        {
            std::lock_guard lock(mutex_);
            Transit(UploadEvent::Failed);
        }
        config_.events->OnRegistrationWait(false);
        return failure;
    }
    const std::string timestamp = PacketTimestamp(clock_.Now());
    {
        std::lock_guard lock(mutex_);
        lastTimestamp_ = timestamp;
    }
    packet = BuildRegistrationPacket(param, timestamp);
    return std::nullopt;
}

RegistrationResult UploadJob::FinishRegistration(int code) {
    RegistrationResult result = RegistrationResult::Registered;
    if (code == kExchangeNoConnection)
        result = RegistrationResult::NoConnection;
    else if (code == kExchangeProjectExists)
        result = RegistrationResult::ProjectExists;
    else if (code != kExchangeAccepted)
        result = RegistrationResult::Refused;
    bool abandoned = false;
    {
        std::lock_guard lock(mutex_);
        lastRegistrationResult_ = code;
        abandoned = state_ == UploadState::Abandoned;
        Transit(result == RegistrationResult::Registered ? UploadEvent::Accepted
                                                         : UploadEvent::Failed);
    }
    if (abandoned) {
        // The wait's end went with the abandon. A project the server took all the same is
        // ended again.
        if (result == RegistrationResult::Registered) UndoRegistration();
        return RegistrationResult::Abandoned;
    }
    config_.events->OnRegistrationWait(false);
    return result;
}

void UploadJob::Answer(RegistrationResult result, const std::function<void(bool)>& answered) {
    config_.events->OnRegistrationAnswer(result);
    answered(RunMayStart(result));
}

RegistrationResult UploadJob::RegisterAtRunStart() {
    Packet packet;
    std::optional<RegistrationResult> result = PrepareRegistration(packet);
    if (!result)
        result = FinishRegistration(Send(packet, [this] { return RegistrationCancelled(); }));
    config_.events->OnRegistrationAnswer(*result);
    return *result;
}

void UploadJob::BeginRegistration(std::function<void(bool)> answered) {
    if (!config_.post) {
        answered(RunMayStart(RegisterAtRunStart()));
        return;
    }
    Packet packet;
    if (const std::optional<RegistrationResult> result = PrepareRegistration(packet)) {
        Answer(*result, answered);
        return;
    }
    RunOnControlThread([this, packet = std::move(packet), answered = std::move(answered)] {
        const int code = Send(packet, [this] { return RegistrationCancelled(); });
        config_.post([this, alive = std::weak_ptr<char>(alive_), code, answered] {
            if (alive.expired()) return;
            Answer(FinishRegistration(code), answered);
        });
    });
}

void UploadJob::AbandonRegistration() {
    {
        std::lock_guard lock(mutex_);
        if (!Transit(UploadEvent::Abandon)) return;
    }
    config_.events->OnRegistrationWait(false);
}

void UploadJob::ForceInterruption() {
    std::lock_guard lock(mutex_);
    if (Transit(UploadEvent::Interrupt)) queue_.clear();
}

void UploadJob::EndRun() {
    std::lock_guard lock(mutex_);
    if (uploadOn_) Transit(UploadEvent::EndRun);
}

void UploadJob::UndoRegistration() {
    // The worker ends a project only after EndRun (Closing), so this exchange is the only one.
    std::string timestamp;
    bool on = false;
    {
        std::lock_guard lock(mutex_);
        // Forgotten before the run counts as ended, so the worker never sends a second end.
        if (!Transit(UploadEvent::Undo)) return;
        timestamp = lastTimestamp_;
        on = uploadOn_;
    }
    config_.events->OnSwitchState(on, on);
    RunOnControlThread([this, packet = BuildProjectEndPacket(Param(), timestamp)] {
        if (Send(packet, [this] { return Is(UploadState::Exiting); }) != kExchangeAccepted)
            SetLastMessage(UploadNote::ProjectEndFailed);
    });
}

void UploadJob::RunOnControlThread(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        controlTasks_.push_back(std::move(task));
    }
    changed_.notify_all();
    if (!control_.joinable()) control_ = std::thread(&UploadJob::ControlLoop, this);
}

void UploadJob::ControlLoop() {
    NameThisThread("bhv-upload-ctl");
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock,
                      [this] { return state_ == UploadState::Exiting || !controlTasks_.empty(); });
        if (state_ == UploadState::Exiting) return;
        std::function<void()> task = std::move(controlTasks_.front());
        controlTasks_.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

bool UploadJob::Enqueue(const std::wstring& path) {
    std::lock_guard lock(mutex_);
    if (!uploadOn_) return false;
    queue_.push_back(path);
    return true;
}

void UploadJob::SetParam(const UploadParam& param) {
    std::lock_guard lock(mutex_);
    param_ = param;
    uploadOn_ = param.realTimeUpload != 0;
}

void UploadJob::AdoptRegisteredProject() {
    const std::string timestamp = PacketTimestamp(clock_.Now());
    std::lock_guard lock(mutex_);
    lastTimestamp_ = timestamp;
    Transit(UploadEvent::Adopt);
}

UploadParam UploadJob::Param() const {
    std::lock_guard lock(mutex_);
    UploadParam copy = param_;
    copy.realTimeUpload = uploadOn_ ? 1 : 0;
    return copy;
}

std::size_t UploadJob::QueueLength() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::optional<std::wstring> UploadJob::NextPicture() const {
    std::lock_guard lock(mutex_);
    if (state_ == UploadState::Interrupting || state_ == UploadState::Stopped ||
        state_ == UploadState::Exiting || queue_.empty())
        return std::nullopt;
    return queue_.front();
}

UploadReport UploadJob::LastMessage() const {
    std::lock_guard lock(mutex_);
    return lastMessage_;
}

UploadReport UploadJob::Progress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

std::string UploadJob::LastTimestamp() const {
    std::lock_guard lock(mutex_);
    return lastTimestamp_;
}

void UploadJob::Status(const UploadReport& status) {
    config_.events->OnUploadStatus(status);
}

void UploadJob::SetLastMessage(const UploadReport& message) {
    std::lock_guard lock(mutex_);
    lastMessage_ = message;
}

void UploadJob::SetProgress(int percent) {
    std::lock_guard lock(mutex_);
    progress_ = UploadReport::ProgressOf(picture_.depthMm, percent);
}

void UploadJob::RefreshProjectFields() {
    if (!config_.projectFields) return;
    const ProjectFields fields = config_.projectFields();
    std::lock_guard lock(mutex_);
    param_.holeNumber = fields.name;
    param_.holeDiameterMm = fields.diameterTenthsMm / 10;
    param_.longitude = static_cast<float>(fields.longitude);
    param_.latitude = static_cast<float>(fields.latitude);
}

void UploadJob::SaveSettings() {
    SaveUploadParam(Param(), config_.settingsPath);
}

void UploadJob::Wait(int ms) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms),
                      [this] { return state_ == UploadState::Exiting; });
}

int UploadJob::Send(const Packet& packet, const CancelCheck& cancel) {
    ServerAddress server;
    {
        std::lock_guard lock(mutex_);
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
    while (!Is(UploadState::Exiting)) {
        if (IsUploadOn()) Status(UploadNote::WaitingForData);
        while (const std::optional<std::wstring> head = NextPicture()) {
            if (!Prepare(*head)) {
                // The same head is tried again in the next pass.
                Status(LastMessage());
            } else {
                Status(UploadReport::File(*head));
                Wait(wait);
                if (Stopping()) break;
                bool sent = false;
                while (!(sent = Transfer()) && !Stopping()) Wait(wait);
                if (sent) {
                    {
                        // A forced interruption may have emptied the queue meanwhile.
                        std::lock_guard lock(mutex_);
                        if (!queue_.empty() && queue_.front() == *head) queue_.pop_front();
                    }
                    ++picturesSent_;
                    Status(Progress());
                }
            }
            Wait(wait);
        }
        SendProjectEnd();
        Wait(wait);
    }
}

bool UploadJob::Prepare(const std::wstring& path) {
    picture_ = Picture();
    if (path.empty()) {
        SetLastMessage(UploadNote::NoPictureChosen);
        return false;
    }
    std::ifstream file(FsPath(path), std::ios::binary);
    if (!file) {
        SetLastMessage(UploadNote::CannotOpenFile);
        return false;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    // A read error (a folder, a vanished medium) is no picture; neither is a file whose length
    // does not fit the packets' 32-bit length field.
    if (file.bad() || data.size() > static_cast<std::size_t>(INT32_MAX)) {
        SetLastMessage(UploadNote::CannotOpenFile);
        return false;
    }
    if (data.empty()) {
        SetLastMessage(UploadNote::EmptyFile);
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
    Status(UploadNote::PictureHeader);
    picture_.timestamp = PacketTimestamp(clock_.Now());
    {
        std::lock_guard lock(mutex_);
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
            SetLastMessage(UploadNote::HeaderFailed);
            Status(LastMessage());
            return false;
        }
        picture_.nextPacket = 1;
        SetProgress(1);
    }
    Status(Progress());

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
            SetLastMessage(UploadReport::PacketFailed(k, count));
        }
        Status(Progress());
    }

    if (picture_.nextPacket <= count) {
        SetLastMessage(UploadNote::Incomplete);
        return false;
    }
    if (Send(BuildPictureEndPacket(param, state), cancel) != kExchangeAccepted) {
        SetLastMessage(UploadNote::EndPacketFailed);
        return false;
    }
    SetProgress(100);
    SetLastMessage(UploadNote::PictureSent);
    return true;
}

void UploadJob::SendProjectEnd() {
    const CancelCheck cancel = [this] { return Stopping(); };
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (state_ != UploadState::Closing && state_ != UploadState::Interrupting) return;
        }
        Wait(config_.timings.workerWaitMs);
        {
            std::lock_guard lock(mutex_);
            // An interrupted project is forgotten without its end.
            if (Transit(UploadEvent::Forgotten)) return;
            if (state_ != UploadState::Closing) return;
        }
        Status(UploadNote::ProjectEnd);
        if (Send(BuildProjectEndPacket(Param(), LastTimestamp()), cancel) == kExchangeAccepted) {
            std::lock_guard lock(mutex_);
            Transit(UploadEvent::ProjectEnded);
            return;
        }
        SetLastMessage(UploadNote::ProjectEndFailed);
    }
}

}  // namespace bhv
