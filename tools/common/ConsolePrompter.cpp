#include "ConsolePrompter.h"

#include "platform/Text.h"

namespace bhv::tools {

void ConsolePrompter::Ask(const std::wstring& text, PromptButtons buttons, const std::wstring&,
                          const PromptStyle&, Answered answered) {
    const bool question = buttons == PromptButtons::YesNo;
    const PromptAnswer answer = !question                      ? PromptAnswer::Ok
                                : questions_ == Questions::Yes ? PromptAnswer::Yes
                                                               : PromptAnswer::No;
    const char* said = answer == PromptAnswer::Ok    ? "确定"
                       : answer == PromptAnswer::Yes ? "是"
                                                     : "否";
    {
        std::lock_guard lock(mutex_);
        boxes_.push_back(text);
        if (stream_) {
            std::fprintf(stream_, "%s[box] %s -> %s\n", indent_.c_str(), ToNarrow(text).c_str(),
                         said);
            std::fflush(stream_);
        }
    }
    if (answered) answered(answer);
}

std::vector<std::wstring> ConsolePrompter::Boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

}  // namespace bhv::tools
