#pragma once

#include <string>

namespace bhv {

// The buttons of a modal message box and the button the operator pressed.
enum class PromptButtons { Ok, OkCancel, YesNo };
enum class PromptAnswer { Ok, Cancel, Yes, No };
// The icon of a box and the button that Enter presses; the platform's defaults unless given.
enum class PromptIcon { Default, Information, Warning, Question };
struct PromptStyle {
    PromptIcon icon = PromptIcon::Default;
    PromptAnswer defaultButton = PromptAnswer::Ok;
};

// Every text the operator must see goes through this interface: a modal message box in the
// program, a recorder with scripted answers in tests (which assert the exact Chinese text).
// Called on the user-interface thread only.
class Prompter {
public:
    virtual ~Prompter() = default;
    virtual PromptAnswer Show(const std::wstring& text, PromptButtons buttons = PromptButtons::Ok,
                              const std::wstring& caption = {}) = 0;
    // A box with its own icon and default button (the exit question: question icon, Cancel as
    // the default). A prompter without icons shows it as a plain box.
    virtual PromptAnswer ShowStyled(const std::wstring& text, PromptButtons buttons,
                                    const std::wstring& caption, const PromptStyle& style) {
        (void)style;
        return Show(text, buttons, caption);
    }

    void Tell(const std::wstring& text) { Show(text, PromptButtons::Ok); }
    bool AskYesNo(const std::wstring& text) {
        return Show(text, PromptButtons::YesNo) == PromptAnswer::Yes;
    }
};

}  // namespace bhv
