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
#include "upload/UploadExchange.h"
#include "upload/UploadPackets.h"
#include "upload/UploadParam.h"
#include "upload/UploadReport.h"

namespace bhv {

// What the upload job reports to the controller, which words it and shows or asks it. The
// controller implements it in the program; tests record it. No call is made with the job's
// lock held, so each may call the job again.
class UploadEvents {
public:
    virtual ~UploadEvents() = default;
    // The upload bar's status line. Called from the worker thread as well as the user-interface
    // thread: the program forwards the text to the widget with a queued call.
    virtual void OnUploadStatus(const UploadReport& status) = 0;
    // The real-time upload check box and whether the settings button is enabled (UI thread).
    virtual void OnSwitchState(bool checked, bool settingsEnabled) = 0;
    // The registration waits for the data server (true) or no longer (false): the main window's
    // busy mark and the message field of the information panel (UI thread).
    virtual void OnRegistrationWait(bool waiting) = 0;
    // The answer of a registration, before the caller learns whether the run may start (UI
    // thread). For UploadUnderWay the controller asks and may call ForceInterruption.
    virtual void OnRegistrationAnswer(RegistrationResult result) = 0;
};

// The states of the job. NextUploadState holds every transition.
enum class UploadState {
    Idle,          // no project on the data server; queued pictures are still sent
    Registering,   // the registration's exchange is under way
    Abandoned,     // the registration was given up; its answer is awaited (and undone)
    Registered,    // the project is registered: the run goes on, its pictures are sent
    Closing,       // the run is over: the rest of the queue, then the project end
    Interrupting,  // forced interruption: nothing more is sent, the worker forgets the project
    Stopped,       // interrupted and forgotten: nothing is sent until the next registration
    Exiting,       // the job ends: every wait and exchange is abandoned
};

enum class UploadEvent {
    BeginRegistration,  // the checks passed, the registration starts
    Accepted,           // the data server took the registration
    Failed,             // a registration that did not register
    Abandon,            // the program gives the registration up
    Undo,               // a run that registered and could not start
    Adopt,              // a project the server knows already (the command-line tool)
    EndRun,             // the run is over
    Interrupt,          // the operator interrupts the upload of an earlier run
    Forgotten,          // the worker let go of an interrupted project
    ProjectEnded,       // the project end was accepted
    Exit,               // the destructor
};

// The state after `event` in `from`; nothing when the event does not apply there.
std::optional<UploadState> NextUploadState(UploadState from, UploadEvent event);
const char* UploadStateName(UploadState state);

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
    UploadEvents* events = nullptr;  // required
    const Clock* clock = nullptr;    // SystemClock() when null; packet time stamps
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
// worker sends the pictures and the project end; a control thread runs the exchanges the
// user-interface thread asks for. The state, the settings, the queue, the last texts' reports
// and the control thread's tasks are guarded by one lock, held for single reads and changes
// and never across an exchange, a file access or a call to UploadEvents; only the statistics'
// counters are atomics.
class UploadJob {
public:
    explicit UploadJob(UploadJobConfig config);  // loads the settings
    // Saves the settings (when configured), enters Exiting and joins the threads. An exchange
    // under way is abandoned: its waits are sliced and ask the state, so the threads end within
    // a few tens of milliseconds.
    ~UploadJob();
    UploadJob(const UploadJob&) = delete;
    UploadJob& operator=(const UploadJob&) = delete;

    // The upload bar's initialisation: loads the settings, shows the switch, starts the worker
    // and creates the upload folder. False when the folder could not be created.
    bool Initialise();
    // Starts the worker without the rest of Initialise (the command-line tool).
    void StartWorker();

    // The real-time upload check box was clicked. False: refused, a project is registered (the
    // switch is shown as it was).
    bool OnUploadSwitchClicked(bool checked);
    // The settings file is left as it is when the job ends (a program refused at its start:
    // the file belongs to the program that runs). The UI thread.
    void KeepSettingsFile() { config_.saveSettingsOnDestroy = false; }
    // The settings button: a copy of the settings to edit, with the project's fields as they
    // are now; nullopt: refused, a project is registered. TakeSettings keeps the edited copy
    // (the dialog's OK) and saves the file. The UI thread.
    std::optional<UploadParam> SettingsToEdit();
    void TakeSettings(const UploadParam& edited);

    // Registers the project on the data server at run start; the run may start when
    // RunMayStart(result). Waits for the server's answer on the calling thread (the
    // command-line tools). The answer is reported (OnRegistrationAnswer) before it returns.
    RegistrationResult RegisterAtRunStart();
    // The same without blocking: the checks and the wait's report at once, the exchange on the
    // job's control thread, then the end of the registration (the wait's end, the answer's
    // report) on the user-interface thread, after which `answered` is told whether the run may
    // start. Answers before it returns when no exchange is needed (upload off, a project still
    // registered, an empty field) or when the job has no post function.
    void BeginRegistration(std::function<void(bool registered)> answered);
    // True from BeginRegistration's exchange until its answer.
    bool RegistrationPending() const;
    // The program closes while the registration waits: the exchange is abandoned, the wait's
    // end is reported at once, and the answer, when it comes, is Abandoned. A project the server
    // registered all the same is ended again in the background.
    void AbandonRegistration();
    // The operator's answer to UploadUnderWay: the upload of the earlier run is interrupted,
    // its queue emptied; the project is forgotten without its end.
    void ForceInterruption();
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
    UploadState State() const;
    std::size_t QueueLength() const;
    bool IsUploadOn() const;
    // A project is on the data server (Registered, Closing, Interrupting).
    bool IsRegistered() const;
    // The worker sends nothing (Interrupting, Stopped, Exiting).
    bool IsStopped() const;
    UploadReport LastMessage() const;
    UploadReport Progress() const;
    // The exchange's result code of the last registration (kExchange...).
    int LastRegistrationResult() const;
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
    // The head of the queue; nothing when it is empty or the worker is stopped.
    std::optional<std::wstring> NextPicture() const;
    bool Prepare(const std::wstring& path);
    bool Transfer();
    void SendProjectEnd();
    int Send(const Packet& packet, const CancelCheck& cancel);
    void RefreshProjectFields();
    // The registration's steps before its exchange: an answer when no exchange is needed,
    // otherwise the packet to send.
    std::optional<RegistrationResult> PrepareRegistration(Packet& packet);
    // The end of a registration with the exchange's result (the UI thread).
    RegistrationResult FinishRegistration(int result);
    void Answer(RegistrationResult result, const std::function<void(bool)>& answered);
    void RunOnControlThread(std::function<void()> task);
    void ControlLoop();
    void SaveSettings();
    void Wait(int ms);
    // The state change of `event` under the lock (held by the caller); false when the event
    // does not apply in the current state.
    bool Transit(UploadEvent event);
    bool Is(UploadState state) const;
    bool Stopping() const { return IsStopped(); }
    bool RegistrationCancelled() const;

    void Status(const UploadReport& status);
    void SetLastMessage(const UploadReport& message);
    void SetProgress(int percent);
    std::string LastTimestamp() const;

    UploadJobConfig config_;
    const Clock& clock_;

    // The one lock and what it guards.
    mutable std::mutex mutex_;
    // Wakes the waits when the job exits and the control thread when it has a task.
    std::condition_variable changed_;
    UploadState state_ = UploadState::Idle;
    bool uploadOn_ = false;
    UploadParam param_;
    std::string lastTimestamp_;  // of the last picture transfer, else of the registration
    std::deque<std::wstring> queue_;
    UploadReport lastMessage_;
    UploadReport progress_;
    int lastRegistrationResult_ = 0;
    // The exchanges the user-interface thread asks for (registration, the end of an undone
    // registration), one after the other in the order asked.
    std::deque<std::function<void()>> controlTasks_;

    std::atomic<uint64_t> exchanges_{0};
    std::atomic<uint64_t> picturesSent_{0};

    Picture picture_;  // worker thread only
    std::thread worker_;
    std::thread control_;
    // Calls posted to the user-interface thread hold this weakly: one that arrives after the
    // job is gone does nothing.
    std::shared_ptr<char> alive_ = std::make_shared<char>(0);
};

}  // namespace bhv
