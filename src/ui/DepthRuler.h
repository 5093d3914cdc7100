#pragma once

#include <QWidget>
#include <cstdint>

#include "ui/ViewMath.h"

namespace bhv::ui {

// The narrow ruler beside the unrolled image view: a base line on its right edge, a tick every
// 40 mm and the depth in metres every 200 mm over the range of the page in view. It holds only
// the range, which the image view sets whenever it paints.
class DepthRuler : public QWidget {
    Q_OBJECT
public:
    explicit DepthRuler(QWidget* parent = nullptr);

    // Start and end in millimetres (the start is drawn at the top); repaints when they change.
    void SetRange(int32_t start, int32_t end);
    DepthRange Range() const { return range_; }

    QSize sizeHint() const override { return {50, 400}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    DepthRange range_;  // 0 .. 1000 until the image view sets it
};

}  // namespace bhv::ui
