#pragma once

#include <QWidget>
#include <cstdint>
#include <vector>

#include "imaging/Quality.h"

namespace bhv::ui {

// The narrow column between the depth ruler and the unrolled image: the logging quality per
// 100 mm over the ruler's range, green (good), yellow (doubtful) or red (bad); nothing where an
// interval is not graded yet. It only draws the cells it is given.
class QualityStrip : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 6;

    explicit QualityStrip(QWidget* parent = nullptr);

    // The ruler's range (start at the top, millimetres) and the grades by interval top.
    void Show(int32_t startMm, int32_t endMm, std::map<int32_t, QualityGrade> grades);
    const std::vector<QualityCell>& Cells() const { return cells_; }

    static QColor GradeColour(QualityGrade grade);

    QSize sizeHint() const override { return {kWidth, 400}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Recompute();

    int32_t startMm_ = 0, endMm_ = 1000;
    std::map<int32_t, QualityGrade> grades_;
    std::vector<QualityCell> cells_;
};

}  // namespace bhv::ui
