#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

namespace bhv::ui {

// The upload bar: the real-time upload switch "实时上传", the "上传设置" button and the upload
// job's status text. It shows what the job reports and forwards the clicks.
class UploadBar : public QWidget {
    Q_OBJECT
public:
    explicit UploadBar(QWidget* parent = nullptr);

    void ShowStatus(const QString& text);
    void ShowUploadSwitch(bool checked, bool settingsEnabled);
    QLabel* StatusLabel() const { return status_; }

signals:
    void switchClicked(bool checked);
    void settingsClicked();

private:
    QCheckBox* switch_;
    QPushButton* settings_;
    QLabel* status_;
};

}  // namespace bhv::ui
