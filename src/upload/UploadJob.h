#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Prompter.h"
#include "upload/UploadExchange.h"
#include "upload/UploadPackets.h"
#include "upload/UploadParam.h"

namespace bhv {

// What the upload bar and the main window show for the upload job. The widgets implement it in
// the program; tests record it.
class UploadView {
public:
    virtual ~UploadView() = default;
    // The upload bar's status text. Called from the worker thread as well as the user-interface
    // thread: the program forwards it to the widget with a queued call.
    virtual void ShowStatus(const std::wstring& text) = 0;
    // The real-time upload check box and whether the settings button is enabled (UI thread).
    virtual void ShowUploadSwitch(bool checked, bool settingsEnabled) = 0;
    // The main window's busy mark, which swallows keyboard and mouse input (UI thread).
    virtual void SetBusy(bool busy) = 0;
    // The message field of the information panel (UI thread).
    virtual void ShowMessageField(const std::wstring& text) = 0;
};

// The project fields that the main controller owns and that replace the settings' values
// before each registration and before the settings dialog opens.
struct ProjectFields {
    std::wstring name;             // becomes holeNumber
    int32_t diameterTenthsMm = 0;  // holeDiameterMm = diameter / 10
    double longitude = 0;
    double latitude = 0;
};

// The waits of the job. The program keeps these values; tests shorten them.
struct UploadTimings {
    int workerWaitMs = 50;
    ExchangeTimings exchange;
};

struct UploadJobConfig {
    UploadView* view = nullptr;    // required
    Prompter* prompter = nullptr;  // required; message boxes, UI thread only
    const Clock* clock = nullptr;  // SystemClock() when null; packet time stamps
    // The root folder: the settings' workspace until the file names one, and the folder of the
    // two below when they are empty.
    std::wstring workspaceRoot;
    std::wstring settingsPath;  // empty: the root folder's BHVW_Config.xml
    std::wstring uploadFolder;  // empty: the root folder's upload_data
    bool saveSettingsOnDestroy = true;
    UploadTimings timings;
    std::function<ProjectFields()> projectFields;  // empty: the settings' values stay
    // Runs a call on the user-interface thread (any thread may call it). With it the
    // registration waits for the data server off that thread (BeginRegistration); without it
    // the registration answers before it returns.
    std::function<void(std::function<void()>)> post;
    std::ostream* console = nullptr;  // the exchange's console messages; the trace when null
};

// The background upload of result pictures to the data server: a queue of picture files, a
// worker thread that sends them one after the other, the project registration at run start and
// the project end once the run is over and the queue is empty.
//
// Threads: the user-interface thread calls Initialise, the switch, the settings, the
// registration, EndRun and the destructor; any thread may call Enqueue and the observers. The
// queue is guarded by one lock held for single list operations; the flags are atomics.
class UploadJob {
public:
    explicit UploadJob(UploadJobConfig config);  // loads the settings
    // Saves the settings (when configured), sets the stop and exit flags and joins the worker.
    // An exchange under way is abandoned: its waits are sliced and ask the flags, so the worker
    // ends within a few tens of milliseconds.
    ~UploadJob();
    UploadJob(const UploadJob&) = delete;
    UploadJob& operator=(const UploadJob&) = delete;

    // The upload bar's initialisation: loads the settings, shows the switch, starts the worker
    // and creates the upload folder.
    void Initialise();
    // Starts the worker without the rest of Initialise (the command-line tool).
    void StartWorker();

    // The real-time upload check box was clicked; refused while a project is registered.
    void OnUploadSwitchClicked(bool checked);
    // The settings file is left as it is when the job ends (a program refused at its start:
    // the file belongs to the program that runs). The UI thread.
    void KeepSettingsFile() { config_.saveSettingsOnDestroy = false; }
    // The settings button: `editor` shows the settings dialog with a copy and returns the edited
    // copy on OK. Refused while a project is registered.
    using SettingsEditor = std::function<std::optional<UploadParam>(const UploadParam&)>;
    void OpenSettings(const SettingsEditor& editor);

    // Registers the project on the data server at run start. False: the run must not start.
    // Waits for the server's answer on the calling thread (the command-line tools).
    bool RegisterAtRunStart();
    // The same without blocking: the checks, the question and the busy mark at once, the
    // exchange on the job's control thread, then the end of the registration (busy mark and
    // message field cleared, the failure box) on the user-interface thread, after which
    // `answered` is told whether the run may start. Answers before it returns when no exchange
    // is needed (upload off, a project still registered, an empty field) or when the job has no
    // post function.
    void BeginRegistration(std::function<void(bool registered)> answered);
    // True from BeginRegistration's exchange until its answer.
    bool RegistrationPending() const { return registering_; }
    // The program closes while the registration waits: the exchange is abandoned, the busy mark
    // and the message field are cleared at once, and the answer, when it comes, is false without
    // a box. A project the server registered all the same is ended again in the background.
    void AbandonRegistration();
    // Lets the worker close the project once the queue is empty.
    void EndRun();
    // A run that registered and then could not start: forgets the registration at once, so the
    // switch, the settings and the next start are as before, and ends the project on the data
    // server with one exchange on the control thread (a server that does not answer keeps it).
    // The control thread sends it before any later registration.
    void UndoRegistration();
    // Queues a picture file; only while real-time upload is on (false otherwise).
    bool Enqueue(const std::wstring& path);

    // For the command-line tool: replaces the settings in memory, and takes a project that the
    // server already knows as registered.
    void SetParam(const UploadParam& param);
    void AdoptRegisteredProject();

    UploadParam Param() const;
    // The settings file and the folder of the upload copies in use.
    const std::wstring& SettingsPath() const { return config_.settingsPath; }
    const std::wstring& UploadFolderPath() const { return config_.uploadFolder; }
    std::size_t QueueLength() const;
    bool IsUploadOn() const { return uploadOn_; }
    bool IsRegistered() const { return registered_; }
    bool IsRunEnded() const { return runEnded_; }
    bool IsStopped() const { return stop_; }
    std::wstring LastMessage() const;
    std::wstring ProgressText() const;
    int LastRegistrationResult() const { return lastRegistrationResult_; }
    uint64_t ExchangeCount() const { return exchanges_; }
    uint64_t PicturesSent() const { return picturesSent_; }

private:
    struct Picture {
        std::wstring path;
        std::vector<uint8_t> data;
        int32_t depthMm = 0;
        uint8_t kind = kPictureKindPage;
        int32_t packetCount = 0;
        int32_t nextPacket = 0;  // 0 until the header is accepted
        std::string timestamp;
    };

    void Run();
    bool Prepare(const std::wstring& path);
    bool Transfer();
    void SendProjectEnd();
    int Send(const Packet& packet, const CancelCheck& cancel);
    void RefreshProjectFields();
    // The registration's steps before its exchange: an answer when no exchange is needed,
    // otherwise the packet to send.
    std::optional<bool> PrepareRegistration(Packet& packet);
    // The end of a registration with the exchange's result (the UI thread).
    bool FinishRegistration(int result);
    void RunOnControlThread(std::function<void()> task);
    void ControlLoop();
    void SaveSettings();
    void Wait(int ms);
    bool Stopping() const { return stop_ || exit_; }

    void Status(const std::wstring& text);
    void SetLastMessage(const std::wstring& text);
    void SetProgress(int percent);
    std::optional<std::wstring> QueueHead() const;

    UploadJobConfig config_;
    const Clock& clock_;

    mutable std::mutex paramMutex_;
    UploadParam param_;
    std::string lastTimestamp_;  // of the last picture transfer, else of the registration

    mutable std::mutex queueMutex_;
    std::deque<std::wstring> queue_;

    mutable std::mutex textMutex_;
    std::wstring lastMessage_;
    std::wstring progressText_;

    std::atomic<bool> stop_{false};
    std::atomic<bool> exit_{false};
    std::atomic<bool> runEnded_{true};
    std::atomic<bool> registered_{false};
    std::atomic<bool> uploadOn_{false};
    std::atomic<int> lastRegistrationResult_{0};
    std::atomic<bool> registering_{false};
    std::atomic<bool> abandonRegistration_{false};
    std::atomic<uint64_t> exchanges_{0};
    std::atomic<uint64_t> picturesSent_{0};

    std::mutex waitMutex_;
    std::condition_variable waitCv_;

    Picture picture_;  // worker thread only
    std::thread worker_;

    // The exchanges the user-interface thread asks for (registration, the end of an undone
    // registration), one after the other in the order asked.
    mutable std::mutex controlMutex_;
    std::condition_variable controlCv_;
    std::deque<std::function<void()>> controlTasks_;
    std::thread control_;
    // Calls posted to the user-interface thread hold this weakly: one that arrives after the
    // job is gone does nothing.
    std::shared_ptr<char> alive_ = std::make_shared<char>(0);
};

}  // namespace bhv
