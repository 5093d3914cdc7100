#pragma once

#include <deque>
#include <string>
#include <vector>

#include "platform/Prompter.h"

namespace bhv::test {

// A prompter for tests: records every message box and answers from a script. When the script is
// empty it answers Ok, Yes or Ok for the three kinds of box (the affirmative button).
class RecordingPrompter : public Prompter {
public:
    struct Prompt {
        std::wstring text;
        PromptButtons buttons;
        std::wstring caption;
        PromptStyle style;
    };

    // Answers at once, before Ask returns: a scenario reads on with the answer taken.
    void Ask(const std::wstring& text, PromptButtons buttons, const std::wstring& caption,
             const PromptStyle& style, Answered answered) override {
        prompts.push_back({text, buttons, caption, style});
        PromptAnswer a = buttons == PromptButtons::YesNo ? PromptAnswer::Yes : PromptAnswer::Ok;
        if (!answers.empty()) {
            a = answers.front();
            answers.pop_front();
        }
        if (answered) answered(a);
    }

    std::vector<std::wstring> Texts() const {
        std::vector<std::wstring> texts;
        for (const auto& p : prompts) texts.push_back(p.text);
        return texts;
    }

    std::vector<Prompt> prompts;
    std::deque<PromptAnswer> answers;
};

}  // namespace bhv::test
