#pragma once

#include <functional>
#include <string>

namespace bhv {

// The buttons of a message box and the button the operator pressed.
enum class PromptButtons { Ok, OkCancel, YesNo };
enum class PromptAnswer { Ok, Cancel, Yes, No };
// The icon of a box and the button that Enter presses; the platform's defaults unless given.
enum class PromptIcon { Default, Information, Warning, Question };
struct PromptStyle {
    PromptIcon icon = PromptIcon::Default;
    PromptAnswer defaultButton = PromptAnswer::Ok;
};

// Every text the operator must see goes through this interface: a message box over the window
// in the program, a recorder with scripted answers in tests (which assert the exact Chinese
// text), a console line in the tools.
//
// A box never waits for the operator: Ask shows it (or queues it behind the box on screen, so
// the boxes come one at a time in the order asked) and returns at once; `answered` runs later,
// on the user-interface thread, with the button pressed. What must follow the operator's
// answer goes in `answered`, not after the call. Called on the user-interface thread only.
class Prompter {
public:
    using Answered = std::function<void(PromptAnswer)>;

    virtual ~Prompter() = default;
    // A box with its own icon and default button (the exit question: question icon, Cancel as
    // the default). A prompter without icons shows it as a plain box.
    virtual void Ask(const std::wstring& text, PromptButtons buttons, const std::wstring& caption,
                     const PromptStyle& style, Answered answered) = 0;
    // Runs `then` once no box is on screen or waiting (at once when none is): what closes the
    // window waits here, so that no box is lost with it.
    virtual void WhenNoBox(std::function<void()> then) { then(); }

    void Tell(const std::wstring& text) { Ask(text, PromptButtons::Ok, {}, {}, {}); }
    void AskYesNo(const std::wstring& text, std::function<void(bool yes)> answered) {
        Ask(text, PromptButtons::YesNo, {}, {}, [answered = std::move(answered)](PromptAnswer a) {
            if (answered) answered(a == PromptAnswer::Yes);
        });
    }
};

}  // namespace bhv
