#pragma once

#include <QFont>
#include <QString>

namespace bhv::ui {

// The interface was drawn with the Windows fonts "微软雅黑" and "黑体", which a Debian desktop
// does not have. Every widget takes its fonts here, so that all Chinese text comes from one
// installed CJK family (Noto Sans CJK SC from fonts-noto-cjk) instead of whatever fallback the
// font matcher picks.

// The family every Chinese text is drawn with: "Noto Sans CJK SC" when installed, otherwise the
// first installed family that can write simplified Chinese, otherwise the application's font.
QString CjkFamily();

// A font of that family, `pixelSize` pixels high: the one to use for every text of the
// interface, in place of "微软雅黑", "黑体" or "雅黑".
QFont UiFont(int pixelSize, bool bold = false);

}  // namespace bhv::ui
