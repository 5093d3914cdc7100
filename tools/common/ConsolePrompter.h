#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Prompter.h"

namespace bhv::tools {

// The message boxes of a tool without a person at it: each box is printed as one line,
// "[box] TEXT -> ANSWER", and answered at once. A box with OK (and Cancel) is answered OK; a
// question is answered by the tool's policy. The texts are kept for the tool's report.
class ConsolePrompter : public Prompter {
public:
    enum class Questions { Yes, No };

    // `stream` null: nothing is printed. `indent` goes before "[box]".
    explicit ConsolePrompter(std::FILE* stream = stdout, Questions questions = Questions::Yes,
                             std::string indent = {})
        : stream_(stream), questions_(questions), indent_(std::move(indent)) {}

    // Prints the box and answers it before returning.
    void Ask(const std::wstring& text, PromptButtons buttons, const std::wstring& caption,
             const PromptStyle& style, Answered answered) override;

    // Every text shown so far, in order.
    std::vector<std::wstring> Boxes() const;

private:
    std::FILE* stream_;
    Questions questions_;
    std::string indent_;
    mutable std::mutex mutex_;
    std::vector<std::wstring> boxes_;
};

}  // namespace bhv::tools
