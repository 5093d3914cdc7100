#include "Registration.h"

#include <QFile>
#include <cstdio>
#include <cstring>

#include "simulation/PageRegistration.h"

namespace bhv::op {

bool ParseRegistrationGoals(const char* text, RegistrationGoalsMode& mode) {
    if (!std::strcmp(text, "strict"))
        mode = RegistrationGoalsMode::Strict;
    else if (!std::strcmp(text, "ci"))
        mode = RegistrationGoalsMode::Ci;
    else if (!std::strcmp(text, "off"))
        mode = RegistrationGoalsMode::Off;
    else
        return false;
    return true;
}

std::vector<QString> ReportRegistration(const std::vector<std::pair<int32_t, cv::Mat>>& pages,
                                        const BoreholeRunSettings& run, const BoreholeWall& wall,
                                        RegistrationGoalsMode mode, const QString& csvPath,
                                        const std::vector<std::pair<double, double>>& outagesMm) {
    const RegistrationOptions options;
    std::printf(
        "  registration against the wall (%d windows of 1/16 page, half overlapping; "
        "goals %s):\n",
        options.windows,
        mode == RegistrationGoalsMode::Strict ? "strict"
        : mode == RegistrationGoalsMode::Ci   ? "ci"
                                              : "off");
    std::vector<PageRegistration> measured;
    for (const auto& [id, page] : pages) {
        if (id % 10000 != 0 || page.empty()) continue;  // the last, partial page
        measured.push_back(RegisterStoredPage(page, run, wall, id, options));
        PageRegistration& r = measured.back();
        // The wall a page row shows lies the band's look-ahead below the probe.
        const double look =
            PageTopDepthMm(run, wall, id) - (run.upward ? (run.startDepth - (id + 200)) / 10.0
                                                        : (run.startDepth + id - 10000) / 10.0);
        size_t before = r.windows.size();
        std::erase_if(r.windows, [&](const WindowRegistration& w) {
            const double top = r.topDepthMm - look + 1000.0 * w.firstRow / page.rows;
            const double bottom = r.topDepthMm - look + 1000.0 * (w.firstRow + w.rows) / page.rows;
            for (const auto& [from, to] : outagesMm)
                if (top < std::max(from, to) && bottom > std::min(from, to)) return true;
            return false;
        });
        const size_t left = before - r.windows.size();
        if (left > 0) UpdatePageFigures(r);
        std::printf(
            "    page %d: %s%s\n", id, FormatRegistration(r).c_str(),
            left > 0 ? (" (" + std::to_string(left) + " windows over the camera outage left out)")
                           .c_str()
                     : "");
    }
    for (const QString& line :
         QString::fromStdString(FormatRegistrationSummary(measured)).split('\n'))
        std::printf("    %s\n", line.toUtf8().constData());
    std::fflush(stdout);
    QFile csv(csvPath);
    if (csv.open(QIODevice::WriteOnly | QIODevice::Truncate))
        csv.write(QByteArray::fromStdString(RegistrationCsv(measured)));

    std::vector<QString> missed;
    if (mode == RegistrationGoalsMode::Off) return missed;
    const auto goalsFor = [mode](const PageRegistration& p) {
        return mode == RegistrationGoalsMode::Ci ? RegistrationGoals::Ci()
                                                 : RegistrationGoals::Strict(p.upward);
    };
    for (const GoalVerdict& v : CheckRunGoals(measured, goalsFor)) {
        std::printf("    goal %s: %s %s\n", v.goal.c_str(), v.met ? "met" : "MISSED",
                    v.detail.c_str());
        if (!v.met)
            missed.push_back(QStringLiteral("registration goal %1 missed (pages above)")
                                 .arg(QString::fromStdString(v.goal)));
    }
    std::fflush(stdout);
    return missed;
}

}  // namespace bhv::op
