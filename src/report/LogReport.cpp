#include "report/LogReport.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>

#include "bhv/Version.h"
#include "platform/FileSystem.h"
#include "report/StructurePlots.h"

namespace bhv {
namespace {

constexpr double kPaperW = 210.0, kPaperH = 297.0;  // A4, millimetres
constexpr double kMargin = 10.0;
constexpr double kHeaderH = 22.0;  // the repeated header, and the track titles below it
constexpr double kFooterH = 8.0;

std::string Fmt(const char* format, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// A TrueType Latin face first: Qt's PDF writer maps its digits back to text reliably (with the
// CJK OpenType faces some digits came out of pdftotext as blanks); the Chinese labels fall back
// to a CJK face by themselves.
QString FontFamily() {
    const QStringList families = QFontDatabase::families();
    for (const char* preferred : {"DejaVu Sans", "Liberation Sans", "Noto Sans CJK SC",
                                  "Source Han Sans SC", "WenQuanYi Zen Hei"})
        if (families.contains(QString::fromLatin1(preferred)))
            return QString::fromLatin1(preferred);
    return {};
}

QColor GradeColour(int grade) {
    switch (grade) {
        case 0:
            return QColor(40, 170, 60);
        case 1:
            return QColor(240, 200, 0);
        case 2:
            return QColor(220, 30, 30);
        default:
            return QColor(200, 200, 200);
    }
}

// Paints in millimetres of paper on a writer of any resolution.
class Paper {
public:
    Paper(QPainter& p, double dpi) : p_(p), k_(dpi / 25.4) {}
    double K() const { return k_; }
    QRectF R(double x, double y, double w, double h) const {
        return QRectF(x * k_, y * k_, w * k_, h * k_);
    }
    QPointF P(double x, double y) const { return QPointF(x * k_, y * k_); }
    void Font(double pt, bool bold = false) {
        QFont f(family_);
        f.setPointSizeF(pt);
        f.setBold(bold);
        p_.setFont(f);
    }
    void Text(double x, double y, double w, double h, const QString& t,
              int flags = Qt::AlignLeft | Qt::AlignVCenter) {
        p_.drawText(R(x, y, w, h), flags, t);
    }
    void Line(double x0, double y0, double x1, double y1) { p_.drawLine(P(x0, y0), P(x1, y1)); }
    void Pen(const QColor& c, double widthMm) { p_.setPen(QPen(c, widthMm * k_)); }
    QPainter& painter() { return p_; }
    QString family_ = FontFamily();

private:
    QPainter& p_;
    double k_;
};

struct Track {
    double x, w;
};

// The tracks across a log page, left to right: the structures' tadpoles right of the image.
struct Tracks {
    Track depth{kMargin, 14}, quality{kMargin + 15, 4}, image{kMargin + 20, 76},
        tadpole{kMargin + 99, 19}, attitude{kMargin + 120, 25}, displacement{kMargin + 147, 18},
        environment{kMargin + 167, 23};
};

// The structures' colours by kind, and grey for a pick plotted with its apparent orientation.
QColor KindColour(StructureKind kind) {
    switch (kind) {
        case StructureKind::Fracture:
            return QColor(225, 45, 20);
        case StructureKind::Vein:
            return QColor(0, 140, 230);
        case StructureKind::Bedding:
            return QColor(20, 165, 40);
        case StructureKind::Unknown:
            break;
    }
    return QColor(190, 0, 190);
}
const QColor kApparentGrey(125, 125, 125);

// The kinds in the order the log lists them.
constexpr StructureKind kKindOrder[] = {StructureKind::Fracture, StructureKind::Vein,
                                        StructureKind::Bedding, StructureKind::Unknown};

QString KindLabel(StructureKind kind) {
    switch (kind) {
        case StructureKind::Fracture:
            return QStringLiteral("裂隙 Fracture");
        case StructureKind::Vein:
            return QStringLiteral("脉体 Vein");
        case StructureKind::Bedding:
            return QStringLiteral("层理 Bedding");
        case StructureKind::Unknown:
            break;
    }
    return QStringLiteral("未定 Unknown");
}

// A structure's mark centred on (x, y), `size` mm across: a filled dot for a fracture, an open
// one for bedding, a filled diamond for a vein, an open square for a structure of no kind.
void Mark(Paper& paper, StructureKind kind, double x, double y, double size, const QColor& c) {
    QPainter& p = paper.painter();
    p.save();
    p.setPen(QPen(c, 0.22 * paper.K()));
    const double r = size / 2;
    switch (kind) {
        case StructureKind::Fracture:
            p.setBrush(c);
            p.drawEllipse(paper.P(x, y), r * paper.K(), r * paper.K());
            break;
        case StructureKind::Bedding:
            p.setBrush(Qt::white);
            p.drawEllipse(paper.P(x, y), r * paper.K(), r * paper.K());
            break;
        case StructureKind::Vein: {
            p.setBrush(c);
            const double d = r * 1.2;
            const QPointF diamond[] = {paper.P(x, y - d), paper.P(x + d, y), paper.P(x, y + d),
                                       paper.P(x - d, y)};
            p.drawPolygon(diamond, 4);
            break;
        }
        case StructureKind::Unknown:
            p.setBrush(Qt::white);
            p.drawRect(paper.R(x - r * 0.9, y - r * 0.9, r * 1.8, r * 1.8));
            break;
    }
    p.restore();
}

// How far a mark reaches from its centre towards a tail (the diamond's corners lie further out).
double MarkReach(StructureKind kind, double size) {
    return kind == StructureKind::Vein ? size * 0.6 : size * 0.5;
}

// The picks' traces over the image track: each sinusoid at the track's depth scale, solid where
// the trace is seen, faint and dotted round the rest of the hole; the operator's dashed.
void Traces(Paper& paper, const std::vector<StructurePick>& picks, const Track& image,
            double depthTop, double depthBottom, double mmPerMm, double yTop, double height) {
    QPainter& p = paper.painter();
    p.save();
    p.setClipRect(paper.R(image.x, yTop, image.w, height));
    p.setBrush(Qt::NoBrush);
    for (const StructurePick& pick : picks) {
        if (!std::isfinite(pick.depthMm) || !std::isfinite(pick.heightMm) ||
            !std::isfinite(pick.apparentAzimuthDeg))
            continue;
        const double half = std::abs(pick.heightMm) / 2;
        if (pick.depthMm + half < depthTop || pick.depthMm - half > depthBottom) continue;
        const QColor colour = KindColour(pick.kind);
        for (const TracePiece& piece : TracePieces(pick, 2.0)) {
            QPainterPath path;
            for (size_t i = 0; i < piece.points.size(); ++i) {
                const QPointF at = paper.P(image.x + piece.points[i].x / 360.0 * image.w,
                                           yTop + (piece.points[i].y - depthTop) * mmPerMm);
                if (i == 0)
                    path.moveTo(at);
                else
                    path.lineTo(at);
            }
            QPen pen(colour, 0.28 * paper.K());
            pen.setCapStyle(Qt::FlatCap);
            if (!piece.visible) {
                QColor faint = colour;
                faint.setAlpha(170);
                pen = QPen(faint, 0.22 * paper.K(), Qt::CustomDashLine, Qt::FlatCap);
                pen.setDashPattern({1.5, 2});
            } else if (pick.origin == PickOrigin::Operator) {
                pen.setStyle(Qt::CustomDashLine);
                pen.setDashPattern({6, 3});
            }
            p.setPen(pen);
            p.drawPath(path);
        }
    }
    p.restore();
}

// The tadpole track: true dip across (0 to 90 degrees), a mark by kind at the pick's depth and
// a tail from it towards the dip direction (north up, east right); a pick not oriented is drawn
// at its apparent dip and direction in grey.
void Tadpoles(Paper& paper, const std::vector<StructurePick>& picks, const Track& track,
              double depthTop, double depthBottom, double mmPerMm, double yTop, double height) {
    QPainter& p = paper.painter();
    p.save();
    // The marks at 0 and 90 degrees may stand half over the frame, into the gaps beside it.
    p.setClipRect(paper.R(track.x - 1.8, yTop, track.w + 3.6, height));
    constexpr double kSize = 1.5, kTail = 2.6;
    for (const StructurePick& pick : picks) {
        // Each pick on one page: the window's top belongs to it, its bottom to the next.
        if (!std::isfinite(pick.depthMm) || pick.depthMm < depthTop || pick.depthMm >= depthBottom)
            continue;
        const PlottedOrientation o = PlottedOrientationOf(pick);
        if (!std::isfinite(o.plane.dipDeg) || !std::isfinite(o.plane.dipAzimuthDeg)) continue;
        const double x = track.x + std::clamp(o.plane.dipDeg, 0.0, 90.0) / 90.0 * track.w;
        const double y = yTop + (pick.depthMm - depthTop) * mmPerMm;
        const QColor colour = o.apparent ? kApparentGrey : KindColour(pick.kind);
        const PlotPoint tail = TadpoleTail(o.plane.dipAzimuthDeg);
        const double from = MarkReach(pick.kind, kSize);
        paper.Pen(colour, 0.25);
        paper.Line(x + tail.x * from, y + tail.y * from, x + tail.x * (from + kTail),
                   y + tail.y * (from + kTail));
        Mark(paper, pick.kind, x, y, kSize, colour);
    }
    p.restore();
}

// The key to the structures' colours and marks, left to right from (x, y) on one line: each
// kind on the log (its trace's colour with its tadpole's mark), the operator's dashed trace and
// the grey of the picks not oriented.
void StructureKey(Paper& paper, const std::vector<StructurePick>& picks, double x, double y) {
    std::array<bool, 4> present{};
    bool byOperator = false, apparent = false;
    for (const StructurePick& s : picks) {
        present[std::clamp(static_cast<int>(s.kind), 0, 3)] = true;
        byOperator = byOperator || s.origin == PickOrigin::Operator;
        apparent = apparent || PlottedOrientationOf(s).apparent;
    }
    paper.Font(6.5);
    const QFontMetricsF metrics(paper.painter().font());
    const double k = paper.K();
    auto label = [&](const QString& text) {
        const double w = metrics.horizontalAdvance(text) / k + 0.5;
        paper.Pen(Qt::black, 0.2);
        paper.Text(x, y, w, 4, text);
        x += w + 4;
    };
    auto sample = [&](const QColor& colour, Qt::PenStyle style) {
        paper.painter().setPen(QPen(colour, 0.35 * k, style, Qt::FlatCap));
        paper.Line(x, y + 2, x + 6, y + 2);
        x += 7;
    };
    for (StructureKind kind : kKindOrder) {
        if (!present[static_cast<int>(kind)]) continue;
        sample(KindColour(kind), Qt::SolidLine);
        Mark(paper, kind, x - 4, y + 2, 1.5, KindColour(kind));
        label(KindLabel(kind));
    }
    if (byOperator) {
        sample(Qt::black, Qt::DashLine);
        label(QStringLiteral("picked by the operator"));
    }
    if (apparent) {
        Mark(paper, StructureKind::Fracture, x + 1, y + 2, 1.5, kApparentGrey);
        x += 3;
        label(QStringLiteral("not oriented: apparent dip"));
    }
}

void Header(Paper& paper, const LogReportData& d, int page, int pages, const QString& subtitle) {
    QPainter& p = paper.painter();
    paper.Pen(Qt::black, 0.2);
    paper.Font(11, true);
    paper.Text(kMargin, kMargin, 120, 6, QStringLiteral("钻孔电视测井 Borehole television log"));
    paper.Font(8);
    paper.Text(kMargin, kMargin + 6, 190, 5,
               QStringLiteral("Hole %1   Date %2   Direction %3   Diameter %4 mm")
                   .arg(Q(d.hole), Q(d.info.testTime), Q(d.info.direction),
                        Q(Fmt("%.1f", d.info.diameter / 10.0))));
    paper.Text(kMargin + 120, kMargin, 70, 6, subtitle, Qt::AlignRight | Qt::AlignVCenter);
    paper.Line(kMargin, kMargin + 11.5, kPaperW - kMargin, kMargin + 11.5);
    paper.Text(kMargin, kPaperH - kMargin - 5, 190, 5,
               QStringLiteral("Page %1 of %2").arg(page).arg(pages), Qt::AlignCenter);
    (void)p;
}

// N, E, S and W round a circle, with ticks on its rim every 10 degrees.
void CompassRim(Paper& paper, double cx, double cy, double r) {
    const double k = 3.14159265358979323846 / 180.0;
    paper.Pen(Qt::black, 0.15);
    for (int a = 0; a < 360; a += 10) {
        const double in = a % 90 == 0 ? 1.8 : 0.9;
        const double sx = std::sin(a * k), sy = -std::cos(a * k);
        paper.Line(cx + sx * r, cy + sy * r, cx + sx * (r - in), cy + sy * (r - in));
    }
    paper.Font(7.5, true);
    paper.Text(cx - 3, cy - r - 4.5, 6, 4, QStringLiteral("N"), Qt::AlignCenter);
    paper.Text(cx - 3, cy + r + 0.5, 6, 4, QStringLiteral("S"), Qt::AlignCenter);
    paper.Text(cx + r + 0.5, cy - 2, 4, 4, QStringLiteral("E"), Qt::AlignCenter);
    paper.Text(cx - r - 4.5, cy - 2, 4, 4, QStringLiteral("W"), Qt::AlignCenter);
}

// The poles of the picks on a lower-hemisphere equal-area net of radius `r` centred on (cx, cy),
// marked by kind, those plotted with their apparent orientation in grey underneath.
void Stereonet(Paper& paper, const std::vector<StructurePick>& picks, double cx, double cy,
               double r) {
    QPainter& p = paper.painter();
    paper.Pen(QColor(190, 190, 190), 0.1);
    paper.Line(cx - r, cy, cx + r, cy);
    paper.Line(cx, cy - r, cx, cy + r);
    p.setBrush(Qt::NoBrush);
    paper.Pen(Qt::black, 0.3);
    p.drawEllipse(paper.P(cx, cy), r * paper.K(), r * paper.K());
    CompassRim(paper, cx, cy, r);
    for (const bool apparent : {true, false})
        for (const StructurePick& pick : picks) {
            const PlottedOrientation o = PlottedOrientationOf(pick);
            if (o.apparent != apparent || !std::isfinite(o.plane.dipDeg) ||
                !std::isfinite(o.plane.dipAzimuthDeg))
                continue;
            const PlotPoint at = EqualAreaPoint(PoleOf(o.plane));
            Mark(paper, pick.kind, cx + r * at.x, cy - r * at.y, 1.5,
                 apparent ? kApparentGrey : KindColour(pick.kind));
        }
}

// A rose of dip directions in `sectorDeg` sectors, a petal's radius the square root of its
// count against the largest; dotted rings at a quarter and half of that count.
void Rose(Paper& paper, const std::vector<double>& azimuths, double sectorDeg, double cx, double cy,
          double r) {
    QPainter& p = paper.painter();
    const double k = 3.14159265358979323846 / 180.0;
    const std::vector<int> counts = RoseCounts(azimuths, sectorDeg);
    const int largest = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
    paper.Pen(QColor(190, 190, 190), 0.1);
    paper.Line(cx - r, cy, cx + r, cy);
    paper.Line(cx, cy - r, cx, cy + r);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(150, 150, 150), 0.12 * paper.K(), Qt::DotLine));
    for (double part : {0.25, 0.5})
        p.drawEllipse(paper.P(cx, cy), r * std::sqrt(part) * paper.K(),
                      r * std::sqrt(part) * paper.K());
    p.setPen(QPen(QColor(30, 70, 150), 0.15 * paper.K()));
    p.setBrush(QColor(60, 110, 200, 170));
    const double step = 360.0 / static_cast<double>(counts.size());
    for (size_t i = 0; i < counts.size(); ++i) {
        const double length = r * PetalRadius(counts[i], largest);
        if (length <= 0) continue;
        QPolygonF petal;
        petal << paper.P(cx, cy);
        for (int j = 0; j <= 6; ++j) {
            const double a = (i * step + step * j / 6.0) * k;
            petal << paper.P(cx + length * std::sin(a), cy - length * std::cos(a));
        }
        p.drawPolygon(petal);
    }
    p.setBrush(Qt::NoBrush);
    paper.Pen(Qt::black, 0.3);
    p.drawEllipse(paper.P(cx, cy), r * paper.K(), r * paper.K());
    CompassRim(paper, cx, cy, r);
    if (largest == 0) {
        paper.Font(7);
        paper.Pen(kApparentGrey, 0.2);
        paper.Text(cx - r, cy - 3, 2 * r, 6, QStringLiteral("no picks oriented"), Qt::AlignCenter);
    }
}

// The picks counted by kind: each kind's mark (the stereonet's and the tadpoles' legend), the
// picks, the operator's among them and the range of the true dips. Returns the table's bottom.
double StructureTable(Paper& paper, const StructureCounts& c, double x, double y, double w) {
    const double rowH = 4.6;
    const double nameW = w * 0.55, nW = w * 0.12, opW = w * 0.13, dipW = w - nameW - nW - opW;
    auto row = [&](const QString& name, const QString& n, const QString& op, const QString& dip) {
        const int right = Qt::AlignRight | Qt::AlignVCenter;
        paper.Text(x + 4, y, nameW - 4, rowH, name);
        paper.Text(x + nameW, y, nW, rowH, n, right);
        paper.Text(x + nameW + nW, y, opW, rowH, op, right);
        paper.Text(x + nameW + nW + opW, y, dipW, rowH, dip, right);
        y += rowH;
    };
    paper.Font(7, true);
    paper.Pen(Qt::black, 0.2);
    row(QStringLiteral("Type 类型"), QStringLiteral("n"), QStringLiteral("Op."),
        QStringLiteral("Dip °"));
    paper.Pen(Qt::black, 0.15);
    paper.Line(x, y, x + w, y);
    paper.Font(7);
    for (StructureKind kind : kKindOrder) {
        const int i = static_cast<int>(kind);
        Mark(paper, kind, x + 1.6, y + rowH / 2, 1.5, KindColour(kind));
        paper.Pen(Qt::black, 0.2);
        paper.Font(7);
        const QString dips = std::isnan(c.dipMin[i]) ? QStringLiteral("–")
                                                     : QStringLiteral("%1–%2")
                                                           .arg(std::lround(c.dipMin[i]))
                                                           .arg(std::lround(c.dipMax[i]));
        row(KindLabel(kind), QString::number(c.byKind[i]), QString::number(c.operatorByKind[i]),
            dips);
    }
    paper.Pen(Qt::black, 0.15);
    paper.Line(x, y, x + w, y);
    int operatorPicks = 0;
    for (int n : c.operatorByKind) operatorPicks += n;
    paper.Font(7, true);
    row(QStringLiteral("Total 合计"), QString::number(c.total), QString::number(operatorPicks), {});
    paper.Font(7);
    if (c.apparentOnly > 0) {
        Mark(paper, StructureKind::Fracture, x + 1.6, y + rowH / 2, 1.5, kApparentGrey);
        paper.Pen(Qt::black, 0.2);
        paper.Font(7);
        row(QStringLiteral("not oriented"), QString::number(c.apparentOnly), {}, {});
    }
    return y;
}

// The structures on page one: a stereonet of the poles, a rose of the true dip directions and
// their counts by kind, sized to the room left above the footer.
void StructuresSection(Paper& paper, const LogReportData& d, double y) {
    paper.Pen(Qt::black, 0.2);
    paper.Font(14, true);
    paper.Text(kMargin, y, 190, 9, QStringLiteral("Structures 结构面"));
    y += 10;
    if (d.structures.empty()) {
        paper.Font(9.5);
        paper.Text(kMargin + 4, y, 180, 5.5, QStringLiteral("无结构面  No structures picked"));
        return;
    }
    const StructureCounts counts = CountStructures(d.structures);
    std::vector<double> directions;
    for (const StructurePick& s : d.structures) {
        const PlottedOrientation o = PlottedOrientationOf(s);
        if (!o.apparent) directions.push_back(o.plane.dipAzimuthDeg);
    }
    constexpr double kSector = 10.0;
    int largest = 0;
    for (int n : RoseCounts(directions, kSector)) largest = std::max(largest, n);

    // Caption (5 mm), N (4.5), the plot, S (4.5), a note (4): the plots as large as fit.
    const double bottom = kPaperH - kMargin - kFooterH;
    const double size = std::clamp(bottom - y - 19.0, 30.0, 58.0);
    const double r = size / 2;
    const double cx = kMargin + 5 + r, rx = cx + size + 12, cy = y + 9.5 + r;
    paper.Font(8, true);
    paper.Pen(Qt::black, 0.2);
    paper.Text(cx - r - 5, y, size + 10, 5, QStringLiteral("Poles 极点 (n = %1)").arg(counts.total),
               Qt::AlignCenter);
    paper.Text(rx - r - 5, y, size + 10, 5,
               QStringLiteral("Dip directions 倾向 (n = %1)").arg(directions.size()),
               Qt::AlignCenter);
    Stereonet(paper, d.structures, cx, cy, r);
    Rose(paper, directions, kSector, rx, cy, r);
    paper.Font(6.5);
    paper.Pen(Qt::black, 0.2);
    paper.Text(cx - r - 5, cy + r + 5, size + 10, 4, QStringLiteral("Lower hemisphere, equal area"),
               Qt::AlignCenter);
    paper.Text(rx - r - 5, cy + r + 5, size + 10, 4,
               QStringLiteral("10° sectors, area by count, rim = %1 a sector").arg(largest),
               Qt::AlignCenter);
    const double tx = rx + r + 8, tw = kPaperW - kMargin - tx;
    const double tableBottom = StructureTable(paper, counts, tx, cy - r, tw);
    paper.Font(6.5);
    paper.Pen(Qt::black, 0.2);
    paper.Text(tx, tableBottom + 2, tw, std::max(4.0, cy + r + 9 - tableBottom - 2),
               QStringLiteral("Op.: picked by the operator, dashed on the image track. "
                              "Dip: true dip. Not oriented: drawn with the apparent dip and "
                              "direction, in grey."),
               Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap);
}

void FirstPage(Paper& paper, const LogReportData& d, int scale, int pages) {
    Header(paper, d, 1, pages, QStringLiteral("BHV %1").arg(Q(d.softwareVersion)));
    double top = d.strips.empty() ? d.info.start / 10.0 : d.strips.front().topMm;
    double bottom = d.strips.empty() ? top : d.strips.back().bottomMm;
    for (const ProbeStateRow& r : d.probe) {
        top = std::min<double>(top, r.id);
        bottom = std::max<double>(bottom, r.id);
    }
    std::vector<std::pair<QString, QString>> rows = {
        {QStringLiteral("Hole 孔号"), Q(d.hole)},
        {QStringLiteral("Date and time 日期"), Q(d.info.testTime)},
        {QStringLiteral("Direction 方向"),
         d.info.Upward() ? QStringLiteral("up (pulled up)") : QStringLiteral("down (lowered)")},
        {QStringLiteral("Diameter 孔径"), Q(Fmt("%.1f mm", d.info.diameter / 10.0))},
        {QStringLiteral("Depth range 深度"),
         Q(Fmt("%.3f m", top / 1000.0) + " to " + Fmt("%.3f m", bottom / 1000.0))},
        {QStringLiteral("Logging speed 测速"), d.loggingSpeedMPerMin >= 0
                                                   ? Q(Fmt("%.2f m/min", d.loggingSpeedMPerMin))
                                                   : QStringLiteral("not recorded")},
        {QStringLiteral("Position"),
         Q(Fmt("%.5f E", d.info.longitude) + "  " + Fmt("%.5f N", d.info.latitude))},
        {QStringLiteral("Vertical scale"), QStringLiteral("1:%1").arg(scale)},
        {QStringLiteral("Software"), QStringLiteral("BHV %1").arg(Q(d.softwareVersion))},
        {QStringLiteral("Project file"), Q(d.info.fileVersion)},
    };
    for (const auto& [label, value] : d.fields) rows.push_back({Q(label), Q(value)});
    double y = kMargin + 18;
    paper.Font(14, true);
    paper.Text(kMargin, y, 190, 9, QStringLiteral("Run"));
    y += 10;
    paper.Font(9.5);
    for (const auto& [label, value] : rows) {
        paper.Text(kMargin + 4, y, 60, 5.5, label + QStringLiteral(":"));
        paper.Text(kMargin + 66, y, 120, 5.5, value);
        y += 5.5;
    }
    y += 4;
    paper.Font(14, true);
    paper.Text(kMargin, y, 190, 9, QStringLiteral("Quality 质量"));
    y += 10;
    paper.Font(9.5);
    if (d.quality.empty()) {
        paper.Text(kMargin + 4, y, 180, 5.5, QStringLiteral("Quality: not recorded"));
        y += 5.5;
    } else {
        const QualitySummary s = SummariseQuality(d.quality);
        const std::pair<QString, std::pair<double, int>> lines[] = {
            {QStringLiteral("Good 良好"), {s.good, 0}},
            {QStringLiteral("Doubtful 存疑"), {s.doubtful, 1}},
            {QStringLiteral("Bad 差"), {s.bad, 2}},
        };
        for (const auto& [label, value] : lines) {
            paper.painter().fillRect(paper.R(kMargin + 4, y + 0.75, 4, 4),
                                     GradeColour(value.second));
            paper.Text(kMargin + 10, y, 56, 5.5, label + QStringLiteral(":"));
            paper.Text(kMargin + 66, y, 60, 5.5, Q(Fmt("%.1f m", value.first)));
            y += 5.5;
        }
        int untrusted = 0;
        for (const DepthQualityRow& q : d.quality) untrusted += q.northTrusted ? 0 : 1;
        paper.Text(kMargin + 4, y, 180, 5.5,
                   QStringLiteral("Compass not trusted (north of the image doubtful): %1 m")
                       .arg(Q(Fmt("%.1f", untrusted * 0.1))));
        y += 7;
        paper.Font(8);
        const QString explanation = QStringLiteral(
            "Per 100 mm: bad where the image missed over 20 % of the hole, the probe moved "
            "faster than the stitching follows for over 20 mm, the camera or the link was "
            "lost for a second or the image and the encoder disagree by over 8 mm; "
            "doubtful where less of that happened, the frame rate was low or the "
            "magnetometer's field departs from the run's steady value.");
        const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
        const QRectF box = paper.R(kMargin + 4, y, 186, 30);
        const QRectF used = paper.painter().boundingRect(box, flags, explanation);
        paper.painter().drawText(box, flags, explanation);
        y += used.height() / paper.K();
    }
    StructuresSection(paper, d, y + 5);
}

// A curve over a depth window: values by depth (mm), x in [x0, x0 + w] for [lo, hi].
void Curve(Paper& paper, const std::vector<std::pair<double, double>>& points, double x0, double w,
           double lo, double hi, double depthTop, double mmPerMm, double yTop, double height,
           const QColor& colour, bool wrap = false) {
    QPainterPath path;
    bool open = false;
    double lastValue = 0;
    for (const auto& [depth, value] : points) {
        if (!std::isfinite(value)) {
            open = false;
            continue;
        }
        const double y = yTop + (depth - depthTop) * mmPerMm;
        if (y < yTop - 1 || y > yTop + height + 1) {
            open = false;
            continue;
        }
        const double x = x0 + std::clamp((value - lo) / (hi - lo), 0.0, 1.0) * w;
        // An azimuth that wraps round 360 starts a new piece instead of crossing the track.
        if (open && wrap && std::abs(value - lastValue) > 180) open = false;
        if (!open)
            path.moveTo(paper.P(x, y));
        else
            path.lineTo(paper.P(x, y));
        open = true;
        lastValue = value;
    }
    paper.Pen(colour, 0.3);
    paper.painter().drawPath(path);
}

void LogPage(Paper& paper, const LogReportData& d, const std::vector<Strip>& strips, int scale,
             double depthTop, double depthBottom, int page, int pages,
             const std::pair<double, double>& tiltRange, double displacementMax,
             const std::pair<double, double>& tempRange) {
    Header(paper, d, page, pages,
           QStringLiteral("1:%1   %2 to %3 m")
               .arg(scale)
               .arg(Q(Fmt("%.1f", depthTop / 1000.0)), Q(Fmt("%.1f", depthBottom / 1000.0))));
    QPainter& p = paper.painter();
    const Tracks t;
    const double yTop = kMargin + kHeaderH;
    const double mmPerMm = 1.0 / scale;  // paper per hole millimetre
    const double height = (depthBottom - depthTop) * mmPerMm;
    const double titleY = kMargin + 12.5;

    // Track titles.
    paper.Font(6.5);
    paper.Pen(Qt::black, 0.2);
    paper.Text(t.depth.x, titleY, t.depth.w, 4, QStringLiteral("Depth m"), Qt::AlignCenter);
    paper.Text(t.quality.x - 1, titleY + 4, t.quality.w + 2, 4, QStringLiteral("Q"),
               Qt::AlignCenter);
    {
        // N E S W N over the image, north at both edges.
        const char* letters[] = {"N", "E", "S", "W", "N"};
        for (int i = 0; i < 5; ++i) {
            const double x = t.image.x + t.image.w * i / 4.0;
            paper.Text(x - 3, titleY + 4, 6, 4, QString::fromLatin1(letters[i]), Qt::AlignCenter);
        }
        paper.Text(t.image.x, titleY, t.image.w, 4, QStringLiteral("Unrolled image, north up"),
                   Qt::AlignCenter);
    }
    // The tadpoles' dip scale, its gridlines' values under the title.
    paper.Text(t.tadpole.x - 1, titleY, t.tadpole.w + 2, 4, QStringLiteral("True dip °"),
               Qt::AlignCenter);
    for (int dip = 0; dip <= 90; dip += 30) {
        const double x = t.tadpole.x + t.tadpole.w * dip / 90.0;
        const int align = dip == 0 ? Qt::AlignLeft : dip == 90 ? Qt::AlignRight : Qt::AlignHCenter;
        const double left = dip == 0 ? x : dip == 90 ? x - 6 : x - 3;
        paper.Text(left, titleY + 4, 6, 4, QString::number(dip), align | Qt::AlignVCenter);
    }
    paper.Pen(QColor(200, 0, 0), 0.2);
    paper.Text(t.attitude.x, titleY, t.attitude.w, 4,
               QStringLiteral("Tilt %1-%2°").arg(tiltRange.first).arg(tiltRange.second),
               Qt::AlignCenter);
    paper.Pen(QColor(0, 0, 200), 0.2);
    paper.Text(t.attitude.x, titleY + 4, t.attitude.w, 4, QStringLiteral("Azimuth 0-360°"),
               Qt::AlignCenter);
    paper.Pen(QColor(0, 120, 0), 0.2);
    paper.Text(t.displacement.x, titleY, t.displacement.w, 4, QStringLiteral("Displ. mm"),
               Qt::AlignCenter);
    paper.Text(t.displacement.x, titleY + 4, t.displacement.w, 4,
               QStringLiteral("±%1").arg(displacementMax), Qt::AlignCenter);
    paper.Pen(QColor(200, 100, 0), 0.2);
    paper.Text(t.environment.x, titleY, t.environment.w, 4,
               QStringLiteral("Temp. %1-%2 °C").arg(tempRange.first).arg(tempRange.second),
               Qt::AlignCenter);
    paper.Pen(QColor(120, 0, 160), 0.2);
    paper.Text(t.environment.x, titleY + 4, t.environment.w, 4, QStringLiteral("Humidity 0-100 %"),
               Qt::AlignCenter);

    // The image: one picture per page, from the strips that cover its depths.
    const int pxW = static_cast<int>(std::lround(t.image.w / 25.4 * kLogImageDpi));
    const int pxH = std::max(1, static_cast<int>(std::lround(height / 25.4 * kLogImageDpi)));
    cv::Mat picture(pxH, pxW, CV_8UC3, cv::Scalar(235, 235, 235));
    const double holePerPx = (depthBottom - depthTop) / pxH;
    for (const Strip& s : strips) {
        if (s.image.empty() || s.bottomMm <= depthTop || s.topMm >= depthBottom) continue;
        const double a = std::max(s.topMm, depthTop), b = std::min(s.bottomMm, depthBottom);
        const int r0 = std::clamp(static_cast<int>(std::floor((a - s.topMm) / s.mmPerRow)), 0,
                                  s.image.rows - 1);
        const int r1 = std::clamp(static_cast<int>(std::ceil((b - s.topMm) / s.mmPerRow)), r0 + 1,
                                  s.image.rows);
        const int y0 = static_cast<int>(std::lround((a - depthTop) / holePerPx));
        const int y1 = std::min(pxH, static_cast<int>(std::lround((b - depthTop) / holePerPx)));
        if (y1 <= y0) continue;
        cv::Mat scaled;
        cv::resize(s.image.rowRange(r0, r1), scaled, cv::Size(pxW, y1 - y0), 0, 0, cv::INTER_AREA);
        scaled.copyTo(picture.rowRange(y0, y1));
    }
    cv::Mat rgb;
    cv::cvtColor(picture, rgb, cv::COLOR_BGR2RGB);
    const QImage image(rgb.data, rgb.cols, rgb.rows, static_cast<qsizetype>(rgb.step),
                       QImage::Format_RGB888);
    p.drawImage(paper.R(t.image.x, yTop, t.image.w, height), image);
    Traces(paper, d.structures, t.image, depthTop, depthBottom, mmPerMm, yTop, height);

    // Quality track.
    for (const DepthQualityRow& q : d.quality) {
        const double a = std::max<double>(q.topMm, depthTop);
        const double b = std::min<double>(q.topMm + 100.0, depthBottom);
        if (b <= a) continue;
        p.fillRect(
            paper.R(t.quality.x, yTop + (a - depthTop) * mmPerMm, t.quality.w, (b - a) * mmPerMm),
            GradeColour(q.grade));
        if (!q.northTrusted) {
            // The compass could not be trusted: a black tick on the image's north edge.
            p.fillRect(
                paper.R(t.image.x - 1.2, yTop + (a - depthTop) * mmPerMm, 1.0, (b - a) * mmPerMm),
                Qt::black);
        }
    }

    // Frames and grid of the tracks.
    paper.Pen(QColor(150, 150, 150), 0.1);
    for (const Track& tr : {t.attitude, t.displacement, t.environment})
        for (int i = 1; i < 4; ++i)
            paper.Line(tr.x + tr.w * i / 4.0, yTop, tr.x + tr.w * i / 4.0, yTop + height);
    for (int dip = 30; dip < 90; dip += 30)
        paper.Line(t.tadpole.x + t.tadpole.w * dip / 90.0, yTop,
                   t.tadpole.x + t.tadpole.w * dip / 90.0, yTop + height);
    paper.Pen(Qt::black, 0.25);
    for (const Track& tr :
         {t.depth, t.quality, t.image, t.tadpole, t.attitude, t.displacement, t.environment})
        p.drawRect(paper.R(tr.x, yTop, tr.w, height));

    // Depth track: a tick every 100 mm, a label every metre.
    paper.Font(7);
    for (double m = std::ceil(depthTop / 100.0) * 100.0; m <= depthBottom + 1e-6; m += 100.0) {
        const double y = yTop + (m - depthTop) * mmPerMm;
        const bool metre = std::fmod(std::abs(m), 1000.0) < 1e-6;
        paper.Pen(Qt::black, metre ? 0.25 : 0.12);
        paper.Line(t.depth.x + t.depth.w - (metre ? 4 : 1.5), y, t.depth.x + t.depth.w, y);
        if (metre) {
            paper.Pen(QColor(180, 180, 180), 0.1);
            for (const Track& tr : {t.tadpole, t.attitude, t.displacement, t.environment})
                paper.Line(tr.x, y, tr.x + tr.w, y);
            paper.Pen(Qt::black, 0.2);
            // Every metre labelled, the label kept inside the track at its ends.
            const double labelY = std::clamp(y - 2, yTop + 0.3, yTop + height - 4.3);
            paper.Text(t.depth.x, labelY, t.depth.w - 4.5, 4, Q(Fmt("%.0f m", m / 1000.0)),
                       Qt::AlignRight | Qt::AlignVCenter);
        }
    }

    // Curves.
    std::vector<std::pair<double, double>> tilt, azimuth, displacement, temperature, humidity;
    for (const ProbeStateRow& r : d.probe) {
        tilt.push_back({static_cast<double>(r.id), r.tilt});
        azimuth.push_back({static_cast<double>(r.id), r.angleZ});
        displacement.push_back({static_cast<double>(r.id), static_cast<double>(r.totalMove)});
        temperature.push_back({static_cast<double>(r.id), r.temperature});
        humidity.push_back({static_cast<double>(r.id), r.humidity});
    }
    auto byDepth = [](auto& v) { std::sort(v.begin(), v.end()); };
    for (auto* v : {&tilt, &azimuth, &displacement, &temperature, &humidity}) byDepth(*v);
    p.save();
    p.setClipRect(paper.R(kMargin, yTop, kPaperW - 2 * kMargin, height));
    Curve(paper, tilt, t.attitude.x, t.attitude.w, tiltRange.first, tiltRange.second, depthTop,
          mmPerMm, yTop, height, QColor(200, 0, 0));
    Curve(paper, azimuth, t.attitude.x, t.attitude.w, 0, 360, depthTop, mmPerMm, yTop, height,
          QColor(0, 0, 200), true);
    Curve(paper, displacement, t.displacement.x, t.displacement.w, -displacementMax,
          displacementMax, depthTop, mmPerMm, yTop, height, QColor(0, 120, 0));
    Curve(paper, temperature, t.environment.x, t.environment.w, tempRange.first, tempRange.second,
          depthTop, mmPerMm, yTop, height, QColor(200, 100, 0));
    Curve(paper, humidity, t.environment.x, t.environment.w, 0, 100, depthTop, mmPerMm, yTop,
          height, QColor(120, 0, 160));
    p.restore();
    Tadpoles(paper, d.structures, t.tadpole, depthTop, depthBottom, mmPerMm, yTop, height);
    if (!d.structures.empty()) StructureKey(paper, d.structures, kMargin, yTop + height + 1.5);
}

}  // namespace

QualitySummary SummariseQuality(const std::vector<DepthQualityRow>& rows) {
    QualitySummary s;
    for (const DepthQualityRow& q : rows) {
        const double m = 0.1;  // each row is 100 mm
        switch (q.grade) {
            case 0:
                s.good += m;
                break;
            case 1:
                s.doubtful += m;
                break;
            case 2:
                s.bad += m;
                break;
            default:
                s.unknown += m;
                break;
        }
    }
    return s;
}

LogImageTrack LogImageTrackMm() {
    const Tracks t;
    return {t.image.x, kMargin + kHeaderH, t.image.w};
}

bool ValidLogScale(int denominator) {
    return denominator == 10 || denominator == 20 || denominator == 50;
}

int MetresPerLogPage(int denominator) {
    // What fits the page's track height (about 250 mm of paper), in whole metres.
    const double paper = kPaperH - 2 * kMargin - kHeaderH - kFooterH;
    return std::max(1, static_cast<int>(std::floor(paper * denominator / 1000.0)));
}

// The project's reader and the strips' layout, kept open while the log is written.
struct LogStripSource {
    ProjectReader reader;
    std::unique_ptr<PageStripStream> stream;
};

namespace {

// The strips a log page shows, in the layout's order: taken from the source as the pages go
// down the hole and let go of once the pages have passed them.
class PageWindow {
public:
    explicit PageWindow(const LogReportData& d) : d_(d) {}
    const std::vector<Strip>& For(double depthTop, double depthBottom) {
        if (!d_.stripSource) return d_.strips;
        const PageStripStream& stream = *d_.stripSource->stream;
        std::erase_if(held_, [&](const Strip& s) { return s.bottomMm <= depthTop; });
        for (; next_ < stream.Count() && stream.Layout(next_).topMm < depthBottom; ++next_) {
            const Strip& s = stream.Layout(next_);
            // Strips wholly above the page (a page before the first one drawn) are not read.
            if (s.bottomMm <= depthTop) continue;
            held_.push_back(stream.Take(next_));
        }
        return held_;
    }

private:
    const LogReportData& d_;
    size_t next_ = 0;
    std::vector<Strip> held_;
};

}  // namespace

bool LoadLogReportData(const std::filesystem::path& project, LogReportData& data,
                       std::string& error, int scale) {
    auto source = std::make_shared<LogStripSource>();
    ProjectReader& reader = source->reader;
    if (!reader.Open(project, error)) return false;
    const std::optional<ProjectInfoRow> info = reader.UsableInfo(error);
    if (!info) return false;
    data.info = *info;
    const std::string stem = reader.DatabasePath().stem().string();
    data.hole = stem == "Project" ? std::string() : stem;
    // The pages are kept at what the image track draws of them (its width and a metre's
    // height at the scale, at its resolution): a long run's pages fit in memory together.
    const Tracks t;
    const int columns = static_cast<int>(std::lround(t.image.w / 25.4 * kLogImageDpi));
    const double rowsPerMetre =
        1000.0 / std::max(1, ValidLogScale(scale) ? scale : 10) / 25.4 * kLogImageDpi;
    source->stream =
        std::make_unique<PageStripStream>(*info, reader, nullptr, columns, rowsPerMetre);
    data.strips.clear();
    for (size_t i = 0; i < source->stream->Count(); ++i)
        data.strips.push_back(source->stream->Layout(i));
    data.stripSource = std::move(source);
    data.probe = reader.ProbeStates();
    data.quality = reader.Quality();
    data.structures = reader.Structures();
    return true;
}

int WriteLogReport(const LogReportData& d, const std::filesystem::path& pdf, int scale,
                   std::string& error, LogProgress* progress) {
    if (!ValidLogScale(scale)) {
        error = "the scale must be 1:10, 1:20 or 1:50";
        return 0;
    }
    // The depth window of the log: the image's and the probe's path together.
    double top = d.info.start / 10.0, bottom = top;
    bool any = false;
    auto take = [&](double a, double b) {
        top = any ? std::min(top, a) : a;
        bottom = any ? std::max(bottom, b) : b;
        any = true;
    };
    for (const Strip& s : d.strips) take(s.topMm, s.bottomMm);
    for (const ProbeStateRow& r : d.probe) take(r.id, r.id);
    for (const DepthQualityRow& q : d.quality) take(q.topMm, q.topMm + 100.0);
    const double pageMm = MetresPerLogPage(scale) * 1000.0;
    const double first = std::floor(top / 1000.0) * 1000.0;
    const int logPages = std::max(1, static_cast<int>(std::ceil((bottom - first) / pageMm - 1e-9)));
    const int pages = 1 + logPages;

    // Scales of the curves, for the whole log.
    double tiltMax = 5, dispMax = 50, tLo = 1e9, tHi = -1e9;
    for (const ProbeStateRow& r : d.probe) {
        if (std::isfinite(r.tilt)) tiltMax = std::max(tiltMax, std::ceil(std::abs(r.tilt) / 5) * 5);
        dispMax = std::max<double>(dispMax, std::ceil(std::abs(r.totalMove) / 50.0) * 50);
        if (std::isfinite(r.temperature)) {
            tLo = std::min(tLo, std::floor(r.temperature / 5) * 5);
            tHi = std::max(tHi, std::ceil(r.temperature / 5) * 5);
        }
    }
    if (tLo > tHi) tLo = 0, tHi = 50;
    if (tHi - tLo < 10) tHi = tLo + 10;

    if (progress) progress->pagesTotal = pages;
    bool cancelled = false;
    const bool written = ReplaceFileAtomically(pdf, [&](const std::filesystem::path& temp) {
        QPdfWriter writer(QString::fromStdString(temp.string()));
        writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                         QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
        writer.setResolution(600);
        writer.setTitle(QStringLiteral("Borehole television log %1").arg(Q(d.hole)));
        writer.setCreator(QStringLiteral("BHV %1").arg(Q(d.softwareVersion)));
        QPainter painter;
        if (!painter.begin(&writer)) return false;
        Paper paper(painter, writer.resolution());
        FirstPage(paper, d, scale, pages);
        auto pageDone = [progress](int done) {
            if (!progress) return;
            progress->pagesDone = done;
            if (progress->changed) progress->changed();
        };
        pageDone(1);
        PageWindow window(d);
        for (int i = 0; i < logPages; ++i) {
            if (progress && progress->cancel) {
                cancelled = true;
                painter.end();
                return false;
            }
            writer.newPage();
            const double pageTop = first + i * pageMm, pageBottom = first + (i + 1) * pageMm;
            LogPage(paper, d, window.For(pageTop, pageBottom), scale, pageTop, pageBottom, i + 2,
                    pages, {0.0, tiltMax}, dispMax, {tLo, tHi});
            pageDone(i + 2);
        }
        return painter.end();
    });
    if (!written) {
        error = cancelled ? "cancelled" : "cannot write " + pdf.string();
        return 0;
    }
    return pages;
}

bool WriteRunLog(const std::filesystem::path& database, const std::filesystem::path& pdf,
                 const std::vector<std::pair<std::string, std::string>>& fields,
                 double loggingSpeedMPerMin, std::string& error, LogProgress* progress) {
    LogReportData data;
    if (!LoadLogReportData(database, data, error, kRunLogScale)) return false;
    data.fields = fields;
    data.loggingSpeedMPerMin = loggingSpeedMPerMin;
    data.softwareVersion = BHV_VERSION;
    return WriteLogReport(data, pdf, kRunLogScale, error, progress) > 0;
}

}  // namespace bhv
