#include "controller/UploadTexts.h"

#include "platform/Prompter.h"
#include "upload/UploadJob.h"

namespace bhv {

std::wstring UploadText(const UploadReport& report) {
    switch (report.note) {
        case UploadNote::None:
            return L"";
        case UploadNote::WaitingForData:
            return L"等待数据采集......";
        case UploadNote::PictureFile:
            return report.path;
        case UploadNote::PictureHeader:
            return L"图片头包....";
        case UploadNote::Progress:
            return L"深度:" + std::to_wstring(report.depthMm) + L"mm 上传进度:" +
                   std::to_wstring(report.percent) + L"%";
        case UploadNote::ProjectEnd:
            return L"发送工程结束包....";
        case UploadNote::NoPictureChosen:
            return L"请先选择一张图片!";
        case UploadNote::CannotOpenFile:
            return L"不能打开文件!";
        case UploadNote::EmptyFile:
            return L"文件长度为0!";
        case UploadNote::HeaderFailed:
            return L"上传图片文件头信息失败!";
        case UploadNote::DataPacketFailed:
            return L"上传图片数据包" + std::to_wstring(report.packet) + L"/" +
                   std::to_wstring(report.packetCount) + L"失败!";
        case UploadNote::Incomplete:
            return L"数据包上传不完整";
        case UploadNote::EndPacketFailed:
            return L"上传图片结束包失败!";
        case UploadNote::PictureSent:
            return L"上传图片成功!";
        case UploadNote::ProjectEndFailed:
            return L"注消工程信息失败!";
    }
    return L"";
}

std::wstring RegistrationFailureText(RegistrationResult result) {
    switch (result) {
        case RegistrationResult::NoSerialNumber:
            return L"流水号不能为空!";
        case RegistrationResult::NoPileNumber:
            return L"施工编号不能为空!";
        case RegistrationResult::NoHoleNumber:
            return L"测孔编号不能为空!";
        case RegistrationResult::NoConnection:
            return L"网络连接失败!";
        case RegistrationResult::ProjectExists:
            return L"此工程已存在,请修改桩号或孔号!";
        case RegistrationResult::Refused:
            return L"注册工程信息失败!";
        case RegistrationResult::Registered:
        case RegistrationResult::NotNeeded:
        case RegistrationResult::UploadUnderWay:
        case RegistrationResult::Pending:
        case RegistrationResult::Abandoned:
            break;
    }
    return L"";
}

void TellRegistrationAnswer(RegistrationResult result, Prompter& prompter, UploadJob& job) {
    if (result == RegistrationResult::UploadUnderWay) {
        prompter.AskYesNo(kUploadInterruptQuestion, [&job](bool yes) {
            if (yes) job.ForceInterruption();
        });
        return;
    }
    const std::wstring text = RegistrationFailureText(result);
    if (!text.empty()) prompter.Tell(text);
}

}  // namespace bhv
