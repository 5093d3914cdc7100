#include "imaging/Pages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/Jpeg.h"
#include "platform/Trace.h"

namespace bhv {
namespace {
constexpr double kPi = 3.141592653589793;

// One row of `width` pixels turned right by (360 - heading) degrees of columns, to a fraction of
// a column: column c takes c - shift, linear between its neighbours, circularly.
void TurnRow(const cv::Vec3f* in, int width, double heading, cv::Vec3b* out) {
    double shift = (360.0 - heading) / 360.0 * width;
    shift -= std::floor(shift / width) * width;
    const int whole = static_cast<int>(std::floor(shift));
    const float g = static_cast<float>(shift - whole);
    for (int c = 0; c < width; ++c) {
        int a = c - whole;
        a %= width;
        if (a < 0) a += width;
        const int b = a == 0 ? width - 1 : a - 1;
        const cv::Vec3f v = in[a] * (1.f - g) + in[b] * g;
        out[c] = cv::Vec3b(cv::saturate_cast<uint8_t>(v[0]), cv::saturate_cast<uint8_t>(v[1]),
                           cv::saturate_cast<uint8_t>(v[2]));
    }
}

}  // namespace

int32_t PageRows(int32_t liveRows, int32_t pageEnd, int32_t pageLen, int32_t travel) {
    const int64_t span = static_cast<int64_t>(pageLen) - pageEnd + travel;
    if (span <= 0) return 0;
    return static_cast<int32_t>(static_cast<int64_t>(pageLen) * liveRows / span);
}

int32_t TrueProportionRows(int32_t width, int32_t pageLen, int32_t diameter) {
    if (diameter <= 0) return 0;
    return static_cast<int32_t>(width * static_cast<double>(pageLen) / (diameter * kPi));
}

int32_t UploadCopyHeight(int32_t travel) {
    const int32_t partial = travel - (travel / 10000) * 10000;
    return std::min(static_cast<int32_t>(partial * 750.0 / 10000.0), 750);
}

int32_t AxisStart(bool upward, int32_t startDepth, int32_t pageEnd) {
    const int32_t start =
        upward ? (startDepth - pageEnd + 10000) / 10 : (startDepth + pageEnd - 10000) / 10;
    return std::max(start, 0);
}

void RollByAngle(cv::Mat& image, float angle) {
    const int a = static_cast<int>(angle) % 360;
    if (a == 0 || image.empty()) return;
    const int width = image.cols;
    const int k = (width * a) / 360;
    if (k <= 0 || k >= width) return;
    cv::Mat rolled;
    cv::hconcat(image.colRange(width - k, width), image.colRange(0, width - k), rolled);
    image = rolled;
}

cv::Mat FormPage(const cv::Mat& rows, int32_t pageLen, int32_t diameter, float startHeading) {
    cv::Mat page = rows.clone();
    const int32_t height = TrueProportionRows(page.cols, pageLen, diameter);
    if (height > 0) {
        cv::Mat scaled;
        cv::resize(page, scaled, cv::Size(page.cols, height), 0, 0, cv::INTER_LINEAR);
        page = scaled;
    } else {
        Trace(TraceCategory::Pages,
              "diameter " + std::to_string(diameter) + ": page stored without rescaling");
    }
    RollByAngle(page, 360.0f - startHeading);
    return page;
}

cv::Mat FormPageAlong(const cv::Mat& accumulator, const std::vector<double>& columns,
                      const std::vector<double>& headings, int width, bool upward) {
    const int rows = static_cast<int>(columns.size());
    if (accumulator.empty() || rows == 0 || width <= 0 || headings.size() != columns.size())
        return {};
    const int last = accumulator.cols - 1;
    cv::Mat page(rows, width, CV_8UC3);
    cv::Mat line, scaled;
    cv::Mat column0, column1;
    for (int j = 0; j < rows; ++j) {
        const double x = std::clamp(columns[j], 0.0, static_cast<double>(last));
        const int x0 = static_cast<int>(std::floor(x));
        const int x1 = std::min(x0 + 1, last);
        const float f = static_cast<float>(x - x0);
        // The two accumulator columns as rows, blended.
        cv::transpose(accumulator.col(x0), column0);
        cv::transpose(accumulator.col(x1), column1);
        cv::addWeighted(column0, 1.0 - f, column1, f, 0.0, line, CV_32F);
        // An accumulator already at the page's width needs no scaling.
        if (line.cols == width)
            scaled = line;
        else
            cv::resize(line, scaled, cv::Size(width, 1), 0, 0, cv::INTER_AREA);
        // Downward the band's rows run against the page's columns.
        if (!upward) cv::flip(scaled, scaled, 1);
        TurnRow(scaled.ptr<cv::Vec3f>(0), width, headings[j], page.ptr<cv::Vec3b>(j));
    }
    return page;
}

void TurnRowsByHeadings(cv::Mat& image, const std::vector<double>& headings) {
    if (image.empty() || image.type() != CV_8UC3 ||
        headings.size() != static_cast<size_t>(image.rows))
        return;
    cv::Mat row;
    for (int j = 0; j < image.rows; ++j) {
        // The row is read into its own buffer before it is written over.
        image.row(j).convertTo(row, CV_32F);
        TurnRow(row.ptr<cv::Vec3f>(0), image.cols, headings[j], image.ptr<cv::Vec3b>(j));
    }
}

std::vector<uint8_t> EncodePage(const cv::Mat& page) {
    return EncodeJpeg(page, kJpegQuality);
}

std::string RulerLabel(int32_t p, int tick) {
    char label[32];
    std::snprintf(label, sizeof label, "%.2f", (p + 200 * tick) / 10000.0 - 1.0);
    return label;
}

cv::Mat AnnotateUploadImage(const cv::Mat& src, int32_t p) {
    const cv::Scalar black(0, 0, 0);
    constexpr int kFont = cv::FONT_HERSHEY_COMPLEX_SMALL;
    cv::Mat dst;
    cv::copyMakeBorder(src, dst, 50, 20, 50, 10, cv::BORDER_CONSTANT, cv::Scalar(255, 255, 255));

    cv::line(dst, {49, 50}, {49, src.rows + 50}, black, 1, cv::LINE_8);
    float y = 50.0f;
    for (int i = 0; static_cast<int>(y) <= src.rows + 50; ++i, y += 15.0f) {
        const int yi = static_cast<int>(y);
        if (i % 5 == 0) {
            cv::line(dst, {41, yi}, {49, yi}, black, 1, cv::LINE_8);
            cv::putText(dst, RulerLabel(p, i), {5, yi}, kFont, 0.6, black, 1, cv::LINE_AA);
        } else {
            cv::line(dst, {45, yi}, {49, yi}, black, 1, cv::LINE_8);
        }
    }

    cv::line(dst, {50, 49}, {src.cols + 50, 49}, black, 1, cv::LINE_8);
    static const char* const kLetters[] = {"N", "E", "S", "W", "N"};
    const int step = static_cast<int>(static_cast<float>(src.cols) * 0.25f);
    int x = 50;
    for (int i = 0; i < 5 && x <= src.cols + 50; ++i, x += step) {
        cv::putText(dst, kLetters[i], {x - 6, 41}, kFont, 0.8, black, 1, cv::LINE_AA);
        cv::line(dst, {x, 49}, {x, 44}, black, 1, cv::LINE_8);
        if (step <= 0) break;
    }
    return dst;
}

}  // namespace bhv
