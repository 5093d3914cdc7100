// The program's message boxes as the operator meets them: a box is shown and the call returns,
// the window's loop goes on (its timers tick) while the box is open, boxes asked meanwhile come
// one after the other in their order, and what waits for the boxes runs once the last is closed.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "support/QtApp.h"
#include "ui/QtPrompter.h"

namespace bhv::ui {
namespace {

TEST(MessageBoxTest, BoxesComeOneAtATimeWithoutStoppingTheLoop) {
    test::App();
    QWidget window;
    ASSERT_TRUE(test::ShowAt(window, 400, 300));
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(5);

    QtPrompter prompter(&window, QStringLiteral("钻孔电视"));
    std::vector<PromptAnswer> answers;
    bool told = false, noBox = false;
    prompter.Ask(L"试验结束", PromptButtons::Ok, {}, {}, [&told](PromptAnswer) { told = true; });
    PromptStyle question;
    question.defaultButton = PromptAnswer::Cancel;
    prompter.Ask(L"确认要退出?", PromptButtons::OkCancel, L"警告", question,
                 [&answers](PromptAnswer a) { answers.push_back(a); });
    prompter.WhenNoBox([&noBox] { noBox = true; });

    // The first box is up and modal; the second waits; the loop keeps ticking.
    QMessageBox* first = prompter.OpenBox();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->text(), "试验结束");
    EXPECT_EQ(first->windowTitle(), "钻孔电视");
    EXPECT_EQ(QApplication::activeModalWidget(), first);
    const int before = ticks;
    EXPECT_TRUE(test::WaitFor([&] { return ticks >= before + 5; }, 5000));
    EXPECT_FALSE(told);

    first->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(told);
    QMessageBox* second = prompter.OpenBox();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->text(), "确认要退出?");
    EXPECT_EQ(second->windowTitle(), "警告");
    EXPECT_EQ(static_cast<QAbstractButton*>(second->defaultButton()),
              second->button(QMessageBox::Cancel));
    EXPECT_FALSE(noBox);

    // Closed by the window's close box: the answer of its escape button.
    second->close();
    EXPECT_EQ(answers, std::vector<PromptAnswer>{PromptAnswer::Cancel});
    EXPECT_TRUE(noBox);
    EXPECT_EQ(prompter.OpenBox(), nullptr);
    EXPECT_TRUE(test::WaitForNoModal());

    // An answer that asks again: the new box follows; with none open, WhenNoBox runs at once.
    prompter.AskYesNo(L"是否中断上传?", [&prompter](bool yes) {
        if (yes) prompter.Tell(L"已中断");
    });
    ASSERT_NE(prompter.OpenBox(), nullptr);
    prompter.OpenBox()->button(QMessageBox::Yes)->click();
    ASSERT_NE(prompter.OpenBox(), nullptr);
    EXPECT_EQ(prompter.OpenBox()->text(), "已中断");
    prompter.OpenBox()->button(QMessageBox::Ok)->click();
    bool atOnce = false;
    prompter.WhenNoBox([&atOnce] { atOnce = true; });
    EXPECT_TRUE(atOnce);
}

}  // namespace
}  // namespace bhv::ui
