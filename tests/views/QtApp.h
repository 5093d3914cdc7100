#pragma once

#include <QApplication>
#include <QImage>
#include <QRect>
#include <QWidget>

namespace bhv::test {

// The QApplication of the views tests, made once for the whole test program (the test main has
// set QT_QPA_PLATFORM=offscreen by then).
QApplication& App();

// Shows a top-level widget at a fixed size and waits until it is exposed.
bool ShowAt(QWidget& widget, int width, int height);

// Pixels of `image` inside `area` that differ from `background` by more than `tolerance` in
// any channel.
int CountInk(const QImage& image, const QRect& area, QColor background, int tolerance = 60);

}  // namespace bhv::test
