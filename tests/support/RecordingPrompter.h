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

    PromptAnswer Show(const std::wstring& text, PromptButtons buttons,
                      const std::wstring& caption) override {
        return ShowStyled(text, buttons, caption, PromptStyle{});
    }

    PromptAnswer ShowStyled(const std::wstring& text, PromptButtons buttons,
                            const std::wstring& caption, const PromptStyle& style) override {
        prompts.push_back({text, buttons, caption, style});
        if (!answers.empty()) {
            const PromptAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return buttons == PromptButtons::YesNo ? PromptAnswer::Yes : PromptAnswer::Ok;
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
