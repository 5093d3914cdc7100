// The simulated wall's planar structures: the catalogue the truth lists, where their traces lie
// on the wall, how the hole's path orients them, and the truth's CSV (also as bhv-sim writes it).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>

#include "ChildProcess.h"
#include "simulation/BoreholeWall.h"
#include "simulation/Site.h"
#include "simulation/Trajectory.h"
#include "structures/Orientation.h"
#include "support/TempDir.h"

namespace bhv {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kStretchMm = 30000.0;  // the stretch the properties are checked over

std::vector<WallStructure> Dipping(const std::vector<WallStructure>& all) {
    std::vector<WallStructure> out;
    for (const WallStructure& s : all)
        if (!s.flatLayer) out.push_back(s);
    return out;
}

bool AllRound(const WallStructure& s) {
    return s.visibleFromDeg == 0.0 && s.visibleToDeg == 360.0;
}

float Grey(const cv::Vec3f& c) {
    return 0.114f * c[0] + 0.587f * c[1] + 0.299f * c[2];
}

// Sample, SampleRing and a Window around the depth give the same colours: at the trace's
// depths around the hole and at the ends of its reach, where a stretch that lists too few
// structures would miss it.
TEST(WallStructures, TheWallsThreeWaysOfSamplingAgreeWhereStructuresCross) {
    const BoreholeWall wall;
    const auto structures = Dipping(wall.Structures(0.0, kStretchMm));
    ASSERT_FALSE(structures.empty());
    constexpr int kColumns = 256;
    std::vector<float> cosAz(kColumns), sinAz(kColumns);
    for (int j = 0; j < kColumns; ++j) {
        cosAz[j] = static_cast<float>(std::cos(2.0 * kPi * j / kColumns));
        sinAz[j] = static_cast<float>(std::sin(2.0 * kPi * j / kColumns));
    }
    std::vector<cv::Vec3f> ring(kColumns);
    double largestRing = 0, largestWindow = 0;
    for (const WallStructure& s : structures) {
        std::vector<double> depths;
        for (int k = 0; k < 8; ++k) depths.push_back(TraceDepthMm(s, 45.0 * k));
        const double reach = s.amplitudeMm + s.bandMm / 2.0;
        for (double d : {-reach, -reach + s.bandMm / 4.0, reach - s.bandMm / 4.0, reach})
            depths.push_back(s.depthMm + d);
        for (double depth : depths) {
            wall.SampleRing(depth, kColumns, cosAz.data(), sinAz.data(), ring.data());
            // A window of 100 mm tiles, as a page's blocks are cut.
            const double top = std::floor(depth / 100.0) * 100.0;
            const BoreholeWall::Window window = wall.MakeWindow(top, top + 100.0);
            for (int j = 0; j < kColumns; ++j) {
                const double az = 360.0 * j / kColumns;
                const cv::Vec3f one = wall.Sample(az, cosAz[j], sinAz[j], depth);
                const cv::Vec3f fast = window.Sample(az, cosAz[j], sinAz[j], depth);
                largestRing = std::max(largestRing, cv::norm(one - ring[j], cv::NORM_INF));
                largestWindow = std::max(largestWindow, cv::norm(one - fast, cv::NORM_INF));
            }
        }
    }
    EXPECT_LT(largestRing, 1e-3);
    EXPECT_LT(largestWindow, 0.5);  // the window's table is interpolated every 0.02 mm
}

// The darkest point of an open fracture, seen down one column of the wall, lies on
// depth(az) = axis depth + amplitude * cos(az - apparent direction), within half its band.
// Each depth's brightness is taken relative to the median round the hole, which leaves what
// changes with the azimuth (the depth-only layers and laminations divide out).
TEST(WallStructures, AnOpenFracturesTraceIsWhereTheCatalogueSays) {
    const BoreholeWall wall;
    int checked = 0;
    for (const WallStructure& s : Dipping(wall.Structures(0.0, kStretchMm))) {
        if (s.kind != StructureKind::Fracture || s.faint || s.overlapping || !AllRound(s)) continue;
        for (double az = 15.0; az < 360.0; az += 30.0) {
            if (az > 60.0 && az < 120.0) continue;  // the red disc facing east
            const double expected = TraceDepthMm(s, az);
            double darkest = 0, lowest = 1e9;
            for (double d = expected - 8.0; d <= expected + 8.0; d += 0.05) {
                std::vector<float> round;
                for (int k = 0; k < 36; ++k)
                    round.push_back(Grey(wall.Sample(az + 5.0 + 10.0 * k, d)));
                std::nth_element(round.begin(), round.begin() + 18, round.end());
                const double relative = Grey(wall.Sample(az, d)) / std::max(round[18], 1.0f);
                if (relative < lowest) {
                    lowest = relative;
                    darkest = d;
                }
            }
            EXPECT_NEAR(darkest, expected, s.bandMm / 2.0 + 0.1)
                << "fracture at " << s.depthMm << " mm, azimuth " << az;
            EXPECT_LT(lowest, 0.6) << "fracture at " << s.depthMm << " mm, azimuth " << az;
            ++checked;
        }
    }
    EXPECT_GT(checked, 100);
}

// The hole's inclination rises from 0.5 degrees at the mouth to 10 by 25 m and stays there; a
// structure's apparent orientation is its true one seen along the hole at its depth, so the two
// differ where the hole leans and agree where it is vertical.
TEST(WallStructures, ApparentOrientationIsTheTrueOneSeenAlongTheHole) {
    EXPECT_NEAR(sim::Trajectory::At(0.0).inclination, 0.5, 1e-9);
    EXPECT_NEAR(sim::Trajectory::At(25.0).inclination, 10.0, 1e-9);
    EXPECT_NEAR(sim::Trajectory::At(40.0).inclination, 10.0, 1e-9);
    for (double d = 0.0; d < 30.0; d += 0.1) {
        const double step =
            sim::Trajectory::At(d + 0.1).inclination - sim::Trajectory::At(d).inclination;
        EXPECT_GE(step, 0.0) << d;
        EXPECT_LT(step, 0.1) << d;  // smooth: under 0.06 degrees per 0.1 m at its steepest
    }

    BoreholeWallOptions turning;
    turning.turnPerMetre = 4.0;
    const BoreholeWall wall(turning);
    double largestDifference = 0;
    for (const WallStructure& s : wall.Structures(0.0, kStretchMm)) {
        const sim::TrajectoryPoint p = sim::Trajectory::At(s.depthMm / 1000.0, 4.0);
        EXPECT_NEAR(s.holeInclinationDeg, p.inclination, 1e-9);
        EXPECT_NEAR(s.holeAzimuthDeg, p.azimuth, 1e-9);
        const HoleDirection hole{p.inclination, p.azimuth};
        const PlaneOrientation apparent =
            ApparentOrientation({s.trueDipDeg, s.trueAzimuthDeg}, hole);
        EXPECT_NEAR(apparent.dipDeg, s.apparentDipDeg, 1e-6) << s.depthMm;
        if (s.apparentDipDeg > 0.5) {
            EXPECT_LT(AzimuthDifference(apparent.dipAzimuthDeg, s.apparentAzimuthDeg), 1e-6);
        }
        EXPECT_NEAR(s.amplitudeMm, 35.0 * std::tan(s.apparentDipDeg * kPi / 180.0), 1e-6);
        // A dip seen across an inclined hole changes by at most the inclination.
        EXPECT_LE(std::abs(s.trueDipDeg - s.apparentDipDeg), p.inclination + 1e-6);
        if (s.flatLayer) {
            EXPECT_EQ(s.apparentDipDeg, 0.0);
            EXPECT_NEAR(s.trueDipDeg, p.inclination, 1e-6);
        }
        if (s.depthMm > 25000.0)
            largestDifference =
                std::max(largestDifference, std::abs(s.trueDipDeg - s.apparentDipDeg));
    }
    EXPECT_GT(largestDifference, 5.0);

    // Seen along a vertical hole a plane is what it is.
    for (const WallStructure& s : wall.Structures(20000.0, 24000.0)) {
        const PlaneOrientation seen =
            ApparentOrientation({s.trueDipDeg, s.trueAzimuthDeg}, {0.0, 123.0});
        EXPECT_NEAR(seen.dipDeg, s.trueDipDeg, 1e-9);
        if (s.trueDipDeg > 0.5) {
            EXPECT_LT(AzimuthDifference(seen.dipAzimuthDeg, s.trueAzimuthDeg), 1e-9);
        }
    }

    // The site's wall follows the hole the site's probe follows.
    sim::SiteOptions options;
    options.camera = false;
    options.turnPerMetre = 4.0;
    const sim::Site site(options);
    EXPECT_EQ(site.Wall().Options().turnPerMetre, 4.0);
}

// Every class is there, at the intended density and within its ranges, and no trace lies wholly
// under another.
TEST(WallStructures, TheCatalogueHoldsEveryClassWithinItsRanges) {
    const BoreholeWall wall;
    const auto all = wall.Structures(0.0, kStretchMm);
    const auto dipping = Dipping(all);
    const double perMetre = dipping.size() / (kStretchMm / 1000.0);
    EXPECT_GE(perMetre, 1.5);
    EXPECT_LE(perMetre, 2.5);

    int fractures = 0, veins = 0, bedBounds = 0, faint = 0, partial = 0, overlapping = 0;
    std::map<int, std::vector<WallStructure>> sets;
    for (const WallStructure& s : dipping) {
        EXPECT_GE(s.trueDipDeg, 5.0);
        EXPECT_LE(s.trueDipDeg, 80.0);
        EXPECT_GE(s.trueAzimuthDeg, 0.0);
        EXPECT_LT(s.trueAzimuthDeg, 360.0);
        switch (s.kind) {
            case StructureKind::Fracture:
                ++fractures;
                EXPECT_GE(s.apertureMm, 1.0);
                EXPECT_LE(s.apertureMm, 8.0);
                EXPECT_NEAR(s.bandMm, s.apertureMm / std::cos(s.apparentDipDeg * kPi / 180.0),
                            1e-9);
                break;
            case StructureKind::Vein:
                ++veins;
                EXPECT_TRUE(std::isnan(s.apertureMm));
                EXPECT_GE(s.thicknessMm, 1.0);
                EXPECT_LE(s.thicknessMm, 5.0);
                break;
            default:
                ++bedBounds;
                EXPECT_EQ(s.kind, StructureKind::Bedding);
                EXPECT_GE(s.thicknessMm, 30.0);
                EXPECT_LE(s.thicknessMm, 150.0);
                EXPECT_EQ(s.bandMm, 0.0);
        }
        faint += s.faint;
        overlapping += s.overlapping;
        if (!AllRound(s)) {
            ++partial;
            const double arc = std::fmod(s.visibleToDeg - s.visibleFromDeg + 360.0, 360.0);
            EXPECT_GE(arc, 120.0);
            EXPECT_LE(arc, 240.0);
        }
        if (s.setId != 0) sets[s.setId].push_back(s);
    }
    EXPECT_GT(fractures, 0);
    EXPECT_GT(veins, 0);
    EXPECT_GT(bedBounds, 0);
    EXPECT_EQ(bedBounds % 2, 0);  // each bed has two boundaries
    EXPECT_GT(faint, 0);
    EXPECT_GT(partial, 0);
    EXPECT_GT(overlapping, 1);
    EXPECT_FALSE(sets.empty());
    for (const auto& [id, members] : sets) {
        EXPECT_GE(members.size(), 2u) << id;
        EXPECT_LE(members.size(), 4u) << id;
        for (size_t k = 1; k < members.size(); ++k) {
            EXPECT_EQ(members[k].trueDipDeg, members[0].trueDipDeg);
            EXPECT_EQ(members[k].trueAzimuthDeg, members[0].trueAzimuthDeg);
            const double across = (members[k].depthMm - members[k - 1].depthMm) *
                                  std::cos(members[0].apparentDipDeg * kPi / 180.0);
            EXPECT_GE(across, 20.0 - 0.5) << id;
            EXPECT_LE(across, 60.0 + 0.5) << id;
        }
    }
    // The layers' boundaries, listed apart.
    EXPECT_GT(all.size() - dipping.size(), 100u);

    // Hidden wholly under another would need the two traces within their bands all round.
    for (size_t i = 0; i < dipping.size(); ++i)
        for (size_t j = i + 1; j < dipping.size(); ++j) {
            double apart = 0;
            for (double az = 0; az < 360.0; az += 1.0)
                apart = std::max(
                    apart, std::abs(TraceDepthMm(dipping[i], az) - TraceDepthMm(dipping[j], az)));
            EXPECT_GT(apart, (dipping[i].bandMm + dipping[j].bandMm) / 2.0)
                << dipping[i].depthMm << " and " << dipping[j].depthMm;
        }

    // A pure function of the seed: stretches laid end to end list the same structures.
    std::vector<WallStructure> tiled;
    for (double top = 0; top < kStretchMm; top += 700.0)
        for (const WallStructure& s : wall.Structures(top, top + 700.0))
            if (s.depthMm >= top && s.depthMm < std::min(top + 700.0, kStretchMm))
                tiled.push_back(s);
    std::vector<WallStructure> inside;
    for (const WallStructure& s : all)
        if (s.depthMm >= 0.0 && s.depthMm < kStretchMm) inside.push_back(s);
    ASSERT_EQ(tiled.size(), inside.size());
    for (size_t k = 0; k < tiled.size(); ++k) {
        EXPECT_EQ(tiled[k].depthMm, inside[k].depthMm);
        EXPECT_EQ(tiled[k].overlapping, inside[k].overlapping);
    }
    BoreholeWallOptions other;
    other.seed = 2;
    EXPECT_NE(Dipping(BoreholeWall(other).Structures(0.0, 5000.0)).front().depthMm,
              dipping.front().depthMm);
    other.uniformBgr = cv::Vec3f(10, 20, 30);
    EXPECT_TRUE(BoreholeWall(other).Structures(0.0, 5000.0).empty());
}

void ExpectSameRows(const std::vector<WallStructure>& written,
                    const std::vector<WallStructure>& read) {
    ASSERT_EQ(written.size(), read.size());
    for (size_t k = 0; k < written.size(); ++k) {
        const WallStructure& w = written[k];
        const WallStructure& r = read[k];
        EXPECT_NEAR(r.depthMm, w.depthMm, 0.05);
        EXPECT_NEAR(r.trueDipDeg, w.trueDipDeg, 0.005);
        EXPECT_NEAR(r.trueAzimuthDeg, w.trueAzimuthDeg, 0.005);
        EXPECT_NEAR(r.apparentDipDeg, w.apparentDipDeg, 0.005);
        EXPECT_NEAR(r.apparentAzimuthDeg, w.apparentAzimuthDeg, 0.005);
        EXPECT_NEAR(r.amplitudeMm, w.amplitudeMm, 0.005);
        EXPECT_EQ(r.kind, w.kind);
        EXPECT_EQ(std::isnan(r.apertureMm), std::isnan(w.apertureMm));
        if (!std::isnan(w.apertureMm)) {
            EXPECT_NEAR(r.apertureMm, w.apertureMm, 0.005);
        }
        EXPECT_NEAR(r.visibleFromDeg, w.visibleFromDeg, 0.05);
        EXPECT_NEAR(r.visibleToDeg, w.visibleToDeg, 0.05);
        EXPECT_EQ(r.faint, w.faint);
        EXPECT_EQ(r.setId, w.setId);
        EXPECT_EQ(r.overlapping, w.overlapping);
        EXPECT_EQ(r.flatLayer, w.flatLayer);
    }
}

// The truth's CSV reads back as written, and bhv-sim writes the same for its hole (to its
// bottom, or over a range) without opening a port.
TEST(WallStructures, TheTruthCsvReadsBackAndBhvSimWritesIt) {
    const BoreholeWall wall;
    const auto structures = wall.Structures(0.0, 12000.0);
    const std::string csv = WallStructuresCsv(structures);
    EXPECT_EQ(csv.substr(0, csv.find('\n')),
              "depth_m,true_dip_deg,true_azimuth_deg,apparent_dip_deg,apparent_azimuth_deg,"
              "height_mm,type,aperture_mm,visible_from_deg,visible_to_deg,faint,set,overlapping,"
              "flat_layer");
    std::vector<WallStructure> read;
    std::string error;
    ASSERT_TRUE(ParseWallStructuresCsv(csv, read, &error)) << error;
    ExpectSameRows(structures, read);
    EXPECT_FALSE(ParseWallStructuresCsv("depth_m,type\n1,Fracture\n", read, &error));
    EXPECT_FALSE(ParseWallStructuresCsv(csv + "1.0,2,3\n", read, &error));

    const test::TempDir dir;
    struct Run {
        std::vector<std::string> args;
        double fromMm, toMm;
    };
    const Run runs[] = {
        {{"--fault", "bottom 12"}, 0.0, 12000.0},
        {{"--structures-range", "3.5:7", "--turn-rate", "2.5"}, 3500.0, 7000.0},
    };
    for (const Run& run : runs) {
        const std::string path = (dir / "truth.csv").string();
        std::vector<std::string> args = {"--structures-truth", path};
        args.insert(args.end(), run.args.begin(), run.args.end());
        tools::ChildProcess sim(BHV_SIM_PATH, args);
        ASSERT_TRUE(sim.Running());
        EXPECT_EQ(sim.WaitExit(std::chrono::seconds(30)), 0);
        std::ifstream file(path, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        ASSERT_TRUE(ParseWallStructuresCsv(text.str(), read, &error)) << error;
        BoreholeWallOptions options;
        options.turnPerMetre = run.args.size() > 2 ? 2.5 : sim::Trajectory::kDefaultTurnPerMetre;
        ExpectSameRows(BoreholeWall(options).Structures(run.fromMm, run.toMm), read);
    }
}

}  // namespace
}  // namespace bhv
