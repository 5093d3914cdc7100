#include "ui/UploadSettingsDialog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <cmath>

#include "platform/Endpoint.h"
#include "platform/Prompter.h"
#include "ui/RangeEdit.h"
#include "ui/UiFonts.h"

namespace bhv::ui {
namespace {

QLineEdit* MakeEdit(const QString& text, const QString& name, QWidget* parent) {
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setMinimumWidth(150);
    return edit;
}

QString Text(const std::wstring& text) {
    return QString::fromStdWString(text);
}

QString FloatText(float value) {
    return QString::number(static_cast<double>(value), 'g', 7);
}

}  // namespace

TypedAddress ParseTypedAddress(const QString& text) {
    const QStringList parts = text.trimmed().split('.');
    if (parts.size() != 4) return {};
    uint32_t address = 0;
    for (const QString& part : parts) {
        bool ok = false;
        const long long octet = part.trimmed().toLongLong(&ok);
        if (!ok || part.trimmed().isEmpty()) return {};
        if (octet < 0 || octet > 255) return {std::nullopt, octet};
        address = (address << 8) | static_cast<uint32_t>(octet);
    }
    return {address, std::nullopt};
}

UploadSettingsDialog::UploadSettingsDialog(Prompter& prompter, const UploadParam& param,
                                           QWidget* parent)
    : QDialog(parent), prompter_(prompter), param_(param) {
    setObjectName("uploadConfigDialog");
    setWindowTitle(QStringLiteral("上传设置"));
    setFont(UiFont(14));

    serial_ = MakeEdit(Text(param.serialNumber), "serialEdit", this);
    serial_->setMaxLength(24);
    pile_ = MakeEdit(Text(param.pileNumber), "pileNumberEdit", this);
    pile_->setMaxLength(16);
    hole_ = MakeEdit(Text(param.holeNumber), "uploadHoleNumberEdit", this);
    hole_->setReadOnly(true);
    diameter_ = MakeEdit(QString::number(param.holeDiameterMm), "uploadDiameterEdit", this);
    diameter_->setReadOnly(true);
    pileLength_ = MakeEdit(QString::number(param.pileLengthMm), "pileLengthEdit", this);
    drilled_ = MakeEdit(FloatText(param.drilledDepthM), "drilledDepthEdit", this);
    pileTop_ = MakeEdit(FloatText(param.pileTopElevationM), "pileTopEdit", this);
    strength_ = MakeEdit(FloatText(param.designStrength), "designStrengthEdit", this);
    ip_ = MakeEdit(QString::fromStdString(FormatDottedIPv4(param.serverAddress)),
                   "serverAddressEdit", this);
    port_ = MakeEdit(QString::number(param.serverPort), "serverPortEdit", this);
    longitude_ = MakeEdit(FloatText(param.longitude), "longitudeEdit", this);
    latitude_ = MakeEdit(FloatText(param.latitude), "latitudeEdit", this);

    auto group = [this](const QString& title, const QString& name) {
        auto* box = new QGroupBox(title, this);
        box->setObjectName(name);
        auto* grid = new QGridLayout(box);
        grid->setHorizontalSpacing(8);
        grid->setVerticalSpacing(6);
        return std::pair{box, grid};
    };
    auto addRow = [this](QGridLayout* grid, int row, const QString& label, const QString& name,
                         QLineEdit* edit, const QString& note = {}) {
        auto* caption = new QLabel(label, this);
        caption->setObjectName(name);
        caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(caption, row, 0);
        grid->addWidget(edit, row, 1);
        if (!note.isEmpty()) {
            auto* hint = new QLabel(note, this);
            hint->setObjectName(name + "Note");
            grid->addWidget(hint, row, 2);
        }
    };
    const QString note24 = QStringLiteral("(备注：最大24个字符)");
    auto [params, paramsGrid] = group(QStringLiteral("上传参数"), "uploadParamsGroup");
    addRow(paramsGrid, 0, QStringLiteral(" 流 水 号："), "serialLabel", serial_, note24);
    addRow(paramsGrid, 1, QStringLiteral("试桩编号："), "pileNumberLabel", pile_,
           QStringLiteral("(备注：最大16个字符)"));
    addRow(paramsGrid, 2, QStringLiteral("测孔编号:"), "uploadHoleNumberLabel", hole_, note24);
    addRow(paramsGrid, 3, QStringLiteral("孔径(mm):"), "uploadDiameterLabel", diameter_);
    addRow(paramsGrid, 4, QStringLiteral("施工桩长(mm):"), "pileLengthLabel", pileLength_);
    addRow(paramsGrid, 5, QStringLiteral("钻孔深度(m):"), "drilledDepthLabel", drilled_);
    addRow(paramsGrid, 6, QStringLiteral("桩顶标高(m):"), "pileTopLabel", pileTop_);
    addRow(paramsGrid, 7, QStringLiteral("设计强度:"), "designStrengthLabel", strength_);
    auto [server, serverGrid] = group(QStringLiteral("服务器设置"), "uploadServerGroup");
    addRow(serverGrid, 0, QStringLiteral("IP:"), "serverAddressLabel", ip_);
    addRow(serverGrid, 1, QStringLiteral("Port:"), "serverPortLabel", port_);
    auto [position, positionGrid] = group(QStringLiteral("位置信息"), "uploadPositionGroup");
    addRow(positionGrid, 0, QStringLiteral("经度:"), "longitudeLabel", longitude_);
    addRow(positionGrid, 1, QStringLiteral("纬度:"), "latitudeLabel", latitude_);

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName("uploadOkButton");
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName("uploadCancelButton");
    cancel->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);

    auto* right = new QVBoxLayout;
    right->addWidget(server);
    right->addWidget(position);
    right->addStretch(1);
    right->addLayout(buttons);
    auto* top = new QHBoxLayout(this);
    top->setContentsMargins(12, 12, 12, 12);
    top->setSpacing(12);
    top->addWidget(params);
    top->addLayout(right);

    connect(ok, &QPushButton::clicked, this, &UploadSettingsDialog::Accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

bool UploadSettingsDialog::Refuse(QLineEdit* edit, const QString& message) {
    prompter_.Tell(message.toStdWString());
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
    return false;
}

void UploadSettingsDialog::Accept() {
    UploadParam edited = param_;
    const QString wholeNumber = QStringLiteral("请输入一个整数。");
    const QString number = QStringLiteral("请输入一个数字。");
    auto whole = [](QLineEdit* edit) -> std::optional<int32_t> {
        bool ok = false;
        const int value = edit->text().trimmed().toInt(&ok);
        return ok ? std::optional<int32_t>(value) : std::nullopt;
    };
    auto real = [](QLineEdit* edit) -> std::optional<float> {
        bool ok = false;
        const double value = edit->text().trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(value) || std::fabs(value) > 3.0e38) return std::nullopt;
        return static_cast<float>(value);
    };

    edited.serialNumber = serial_->text().toStdWString();
    edited.pileNumber = pile_->text().toStdWString();
    const auto pileLength = whole(pileLength_);
    if (!pileLength) return void(Refuse(pileLength_, wholeNumber));
    edited.pileLengthMm = *pileLength;
    const std::pair<QLineEdit*, float*> reals[] = {{drilled_, &edited.drilledDepthM},
                                                   {pileTop_, &edited.pileTopElevationM},
                                                   {strength_, &edited.designStrength}};
    for (const auto& [edit, target] : reals) {
        const auto value = real(edit);
        if (!value) return void(Refuse(edit, number));
        *target = *value;
    }
    const TypedAddress address = ParseTypedAddress(ip_->text());
    if (address.badOctet)
        return void(Refuse(ip_, QStringLiteral("%1 不是有效项。请指定一个介于 0 和 255 之间的值。")
                                    .arg(*address.badOctet)));
    if (!address.address) return void(Refuse(ip_, QStringLiteral("请输入一个有效的IP地址。")));
    edited.serverAddress = *address.address;
    // A port the data server cannot have is refused here rather than at the first upload.
    const auto port = whole(port_);
    if (!port) return void(Refuse(port_, wholeNumber));
    if (!input::kServerPort.Contains(*port))
        return void(Refuse(port_, RangeMessage(input::kServerPort)));
    edited.serverPort = *port;
    const std::pair<QLineEdit*, float*> position[] = {{longitude_, &edited.longitude},
                                                      {latitude_, &edited.latitude}};
    for (const auto& [edit, target] : position) {
        const auto value = real(edit);
        if (!value) return void(Refuse(edit, number));
        *target = *value;
    }
    result_ = edited;
    accept();
}

void UploadSettingsDialog::Edit(Prompter& prompter, const UploadParam& param, QWidget* parent,
                                std::function<void(std::optional<UploadParam>)> done) {
    auto* dialog = new UploadSettingsDialog(prompter, param, parent);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QDialog::finished, dialog,
                     [dialog, done = std::move(done)](int result) {
                         done(result == QDialog::Accepted ? dialog->Result() : std::nullopt);
                     });
    dialog->open();
}

}  // namespace bhv::ui
