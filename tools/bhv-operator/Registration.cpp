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
                                        RegistrationGoalsMode mode, const QString& csvPath) {
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
        std::printf("    page %d: %s\n", id, FormatRegistration(measured.back()).c_str());
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
