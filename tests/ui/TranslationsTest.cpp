// Qt's own Chinese translations as the program loads them at start-up: the standard buttons of
// its message boxes and the storage folder chooser speak Chinese.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFileDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>

#include "support/QtApp.h"
#include "support/RecordingPrompter.h"
#include "ui/ControlPanel.h"
#include "ui/QtPrompter.h"
#include "ui/QtTranslations.h"

namespace bhv::ui {
namespace {

using test::WhenModalOpens;

bool HasChinese(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF) return true;
    return false;
}

TEST(QtTranslationsTest, MessageBoxesAndTheFolderChooserSpeakChinese) {
    QTranslator* translator = InstallQtTranslations(*QCoreApplication::instance());
    ASSERT_NE(translator, nullptr)
        << "no qtbase_zh_CN.qm in "
        << QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString();

    // The exit question (OK and Cancel) and the end-of-run box (OK), as the program shows them.
    QtPrompter prompter(nullptr, QStringLiteral("钻孔电视"));
    QStringList buttons;
    auto readAndClick = [&buttons](QMessageBox::StandardButton press) {
        WhenModalOpens<QMessageBox>([&buttons, press](QMessageBox* box) {
            for (QAbstractButton* button : box->buttons()) buttons << button->text();
            box->button(press)->click();
        });
    };
    PromptStyle question;
    question.icon = PromptIcon::Question;
    question.defaultButton = PromptAnswer::Cancel;
    std::vector<PromptAnswer> answers;
    auto keep = [&answers](PromptAnswer a) { answers.push_back(a); };
    readAndClick(QMessageBox::Cancel);
    prompter.Ask(L"确认要退出?", PromptButtons::OkCancel, L"警告", question, keep);
    ASSERT_TRUE(test::WaitForNoModal());
    readAndClick(QMessageBox::Ok);
    prompter.Ask(L"试验结束", PromptButtons::Ok, {}, {}, keep);
    ASSERT_TRUE(test::WaitForNoModal());
    EXPECT_EQ(answers, (std::vector<PromptAnswer>{PromptAnswer::Cancel, PromptAnswer::Ok}));
    EXPECT_EQ(buttons, (QStringList{"确定", "取消", "确定"}));

    // The storage folder chooser of the control panel ("..."): every button and label that
    // says anything says it in Chinese.
    test::RecordingPrompter boxes;
    ControlPanel panel(boxes);
    panel.show();
    QStringList english, chinese;
    WhenModalOpens<QFileDialog>([&](QFileDialog* dialog) {
        for (QWidget* w : dialog->findChildren<QWidget*>()) {
            if (!w->isVisible()) continue;
            QString text;
            if (auto* button = qobject_cast<QPushButton*>(w)) text = button->text();
            if (auto* label = qobject_cast<QLabel*>(w)) text = label->text();
            text.remove('&');
            if (text.isEmpty() || text == "...") continue;
            (HasChinese(text) ? chinese : english) << text;
        }
        dialog->reject();
    });
    panel.findChild<QPushButton*>("storagePathButton")->click();
    ASSERT_TRUE(test::WaitForNoModal());
    EXPECT_TRUE(english.isEmpty()) << english.join(" | ").toStdString();
    EXPECT_GE(chinese.size(), 3) << chinese.join(" | ").toStdString();

    QCoreApplication::removeTranslator(translator);
    delete translator;
}

}  // namespace
}  // namespace bhv::ui
