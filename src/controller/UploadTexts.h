#pragma once

#include <string>

#include "upload/UploadReport.h"

namespace bhv {

class Prompter;
class UploadJob;

// The operator texts of the upload job: the job reports results and numbers, the controller
// words them here.

// The message field while the registration waits for the data server.
inline constexpr wchar_t kUploadConnectingText[] = L"正在连接远程服务器...";
// The box when the switch or the settings are refused while a project is registered.
inline constexpr wchar_t kUploadBusyText[] = L"有数据正在上传,请稍后修改...!";
// The question at a run's start while the upload of an earlier run is still under way.
inline constexpr wchar_t kUploadInterruptQuestion[] = L"有数据正在上传,是否强制中断?";
// The box when the folder of the upload copies cannot be created at start-up.
inline constexpr wchar_t kUploadFolderFailedText[] = L"ERROR:Create Upload Path Failed.";

// The upload bar's status line or the job's last message ("" for UploadNote::None).
std::wstring UploadText(const UploadReport& report);

// The box of a registration that refused the run's start; empty when there is none (the run
// starts, the operator is asked instead, or the start was given up).
std::wstring RegistrationFailureText(RegistrationResult result);

// Tells the operator a registration's answer: a failure's box, or for an upload still under
// way the question whether to interrupt it, which "yes" does. The UI thread.
void TellRegistrationAnswer(RegistrationResult result, Prompter& prompter, UploadJob& job);

}  // namespace bhv
