#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <queue>
#include <set>
#include <utility>
#include <vector>

#include "storage/ProbeStateRecord.h"

namespace bhv {

// How well a stretch of the hole was logged.
enum class QualityGrade : int { Unknown = -1, Good = 0, Doubtful = 1, Bad = 2 };

// The figures of one 100 mm interval of depth, gathered while logging.
struct DepthQuality {
    static constexpr int32_t kIntervalMm = 100;
    static constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

    int32_t topMm = 0;  // shallow end of the interval; it covers [topMm, topMm + 100)
    // Share (0..1) of the interval's rows the image really saw: the image's own motion against
    // the encoder's travel, at most the travel. The rest was filled by stretching.
    double imageShare = 1.0;
    int32_t overspeedMm = 0;         // travel moved faster than the stitching follows
    double framesPerSecond = kNone;  // frames stitched per second spent in the interval
    double disagreementMm = 0.0;     // largest |encoder motion - image motion| over 25 mm
    double outageSeconds = 0.0;      // without a camera frame or a depth report
    // The magnetometer: mean raw values, the field's strength and dip (degrees, positive
    // downwards) from them, and their departure from the run's steady value (strength as a
    // share of the steady strength). NaN without samples.
    double magX = kNone, magY = kNone, magZ = kNone;
    double fieldStrength = kNone, fieldDip = kNone;
    double strengthDeviation = kNone, dipDeviation = kNone;

    QualityGrade grade = QualityGrade::Unknown;
    bool northTrusted = true;  // the compass, and so the north of the image, can be believed
};

// The interval as the project stores it.
DepthQualityRow ToStoredRow(const DepthQuality& q);

// Thresholds of the rule.
struct QualityLimits {
    double badImageShare = 0.80;       // below: bad
    double doubtfulImageShare = 0.95;  // below: doubtful
    int32_t badOverspeedMm = 20;       // above: bad
    double badOutageSeconds = 1.0;     // at least: bad
    double badDisagreementMm = 8.0;    // above: bad
    double doubtfulDisagreementMm = 4.0;
    double doubtfulFramesPerSecond = 8.0;  // below (when known): doubtful
    double compassStrengthShare = 0.05;    // departure above: north not trusted
    double compassDipDegrees = 2.0;
};

// The one rule: bad where the image is missing, overspeed, cut by an outage or in clear
// disagreement with the encoder; doubtful where it is thin, slightly off, at a low frame rate or
// where the compass cannot be trusted (the image's north may be wrong); good otherwise. The
// north flag is set alongside.
QualityGrade GradeInterval(const DepthQuality& q, const QualityLimits& limits = {},
                           bool* northTrusted = nullptr);

// One cell of the quality strip beside the depth ruler: pixel rows [y0, y1) of a strip
// `height` pixels high whose top shows depth `startMm` and whose bottom `endMm` (either order).
struct QualityCell {
    int y0 = 0, y1 = 0;
    QualityGrade grade = QualityGrade::Unknown;
};
// The graded intervals that show in the range, cut to it; nothing for an empty range.
std::vector<QualityCell> QualityStripCells(int32_t startMm, int32_t endMm,
                                           const std::map<int32_t, QualityGrade>& grades,
                                           int height);

// Strength and dip (degrees) of a magnetometer reading; the probe's Z axis along the hole.
std::pair<double, double> FieldStrengthDip(double x, double y, double z);

// Gathers the quality figures of a run per 100 mm of depth. Depths here are in millimetres.
// Thread-safe: the image thread adds the stitching's segments, the window thread the depth
// reports and the magnetometer.
class QualityTracker {
public:
    void Reset(bool upward, QualityLimits limits = {});

    // The image moved `imageMm` (the stitching's own shift, in millimetres) while the encoder
    // moved from depth `fromMm` to `toMm` between two placed bands. Spread over the intervals it
    // crosses in proportion.
    void AddSegment(double fromMm, double toMm, double imageMm);
    // A frame arrived at depth `atMm`, `seconds` after the one before it.
    void AddFrame(double atMm, double seconds);
    // Seconds without a camera frame or a depth report, while the probe was near `atMm`.
    void AddOutage(double atMm, double seconds);
    void AddOverspeed(double fromMm, double toMm);
    // The encoder itself went wrong by `mm` near `atMm` (it ran back against the winch): the
    // interval's disagreement is at least that.
    void AddDisagreement(double atMm, double mm);
    void AddField(double atMm, double x, double y, double z);

    // The intervals the probe has left by at least 50 mm (at `currentMm`) and not yet taken,
    // graded with the run's steady field so far.
    std::vector<DepthQuality> TakeCompleted(double currentMm);
    // Every interval of the run, graded with the run's final steady field (the end of a run:
    // the grades are replaced by these).
    std::vector<DepthQuality> Finish();
    // Grades of the intervals graded so far (completed or final), by top depth.
    std::map<int32_t, QualityGrade> Grades() const;
    // Those of the intervals that reach into [loMm, hiMm) (what a view of that stretch shows).
    std::map<int32_t, QualityGrade> Grades(int32_t loMm, int32_t hiMm) const;
    // The run's steady field strength and dip (medians); nullopt without samples.
    std::optional<std::pair<double, double>> SteadyField() const;

private:
    struct Acc {
        double travel = 0, image = 0, seconds = 0, frames = 0, outage = 0, overspeed = 0;
        double subTravel[4] = {0, 0, 0, 0}, subImage[4] = {0, 0, 0, 0};
        double mx = 0, my = 0, mz = 0;
        double encoderFault = 0;
        int fields = 0;
        bool taken = false;
    };
    static int32_t Key(double mm);
    // The interval's figures, made when first touched (and then open until taken).
    Acc& At(int32_t key);
    DepthQuality Make(int32_t key, const Acc& a,
                      const std::optional<std::pair<double, double>>& steady) const;
    std::optional<std::pair<double, double>> SteadyLocked() const;

    mutable std::mutex mutex_;
    bool upward_ = false;
    QualityLimits limits_;
    std::map<int32_t, Acc> acc_;
    std::set<int32_t> open_;  // the intervals not taken yet
    std::map<int32_t, QualityGrade> grades_;
    // The run's middle value of a figure, kept as it grows: the sample at index n / 2 of the
    // sorted samples, in a constant time however long the run.
    class RunningMedian {
    public:
        void Add(double x);
        bool Empty() const { return high_.empty(); }
        double Value() const { return high_.top(); }
        void Clear() { low_ = {}, high_ = {}; }

    private:
        std::priority_queue<double> low_;  // the smaller half
        std::priority_queue<double, std::vector<double>, std::greater<double>> high_;
    };
    RunningMedian strengths_, dips_;
};

}  // namespace bhv
