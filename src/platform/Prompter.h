#pragma once

#include <string>

namespace bhv {

// The buttons of a modal message box and the button the operator pressed.
enum class PromptButtons { Ok, OkCancel, YesNo };
enum class PromptAnswer { Ok, Cancel, Yes, No };

// Every text the operator must see goes through this interface: a modal message box in the
// program, a recorder with scripted answers in tests (which assert the exact Chinese text).
// Called on the user-interface thread only.
class Prompter {
public:
    virtual ~Prompter() = default;
    virtual PromptAnswer Show(const std::wstring& text, PromptButtons buttons = PromptButtons::Ok,
                              const std::wstring& caption = {}) = 0;

    void Tell(const std::wstring& text) { Show(text, PromptButtons::Ok); }
    bool AskYesNo(const std::wstring& text) {
        return Show(text, PromptButtons::YesNo) == PromptAnswer::Yes;
    }
};

}  // namespace bhv
