#pragma once

#include <QDialog>
#include <functional>
#include <optional>

#include "upload/UploadParam.h"

class QLineEdit;

namespace bhv {
class Prompter;
}

namespace bhv::ui {

// The "上传设置" dialog: the upload parameters, the data server and the position. It edits a
// copy of the settings; on "确定" every field is parsed (a bad entry is named by a message box,
// the focus goes to it and the dialog stays open), on "取消" nothing changes.
class UploadSettingsDialog : public QDialog {
    Q_OBJECT
public:
    UploadSettingsDialog(Prompter& prompter, const UploadParam& param, QWidget* parent = nullptr);

    // The edited settings once the dialog was accepted.
    const std::optional<UploadParam>& Result() const { return result_; }

    // Opens the dialog over `parent`, modal but without an event loop of its own, and returns;
    // `done` gets the edited copy on OK and nullopt on Cancel. The dialog goes once closed.
    static void Edit(Prompter& prompter, const UploadParam& param, QWidget* parent,
                     std::function<void(std::optional<UploadParam>)> done);

private:
    void Accept();
    bool Refuse(QLineEdit* edit, const QString& message);

    Prompter& prompter_;
    UploadParam param_;
    std::optional<UploadParam> result_;
    QLineEdit* serial_;
    QLineEdit* pile_;
    QLineEdit* hole_;
    QLineEdit* diameter_;
    QLineEdit* pileLength_;
    QLineEdit* drilled_;
    QLineEdit* pileTop_;
    QLineEdit* strength_;
    QLineEdit* ip_;
    QLineEdit* port_;
    QLineEdit* longitude_;
    QLineEdit* latitude_;
};

// A dotted IPv4 address typed by the operator: four whole numbers 0 to 255. The octet that is
// out of range, or nothing for text that is not an address.
struct TypedAddress {
    std::optional<uint32_t> address;  // host order, when valid
    std::optional<long long> badOctet;
};
TypedAddress ParseTypedAddress(const QString& text);

}  // namespace bhv::ui
