#pragma once

#include "imaging/PageSink.h"

namespace bhv {

class ProjectDb;

// An image run's pages in the project database: pages, their overspeed and the quality rows go
// to the project's writer (ProjectDb::InsertBigImage, SetPageOverspeed, SetDepthQuality), the
// diameter is the first entry of the project's diameter list. The project must outlive the
// sink; the sink holds nothing of its own.
class ProjectPageSink final : public PageSink {
public:
    explicit ProjectPageSink(ProjectDb& db) : db_(db) {}

    std::optional<int32_t> NeighbourPageId(int32_t id, bool next) const override;
    std::vector<uint8_t> ReadPage(int32_t id) const override;
    std::optional<std::pair<int32_t, int32_t>> PageOverspeed(int32_t id) const override;
    bool StorePage(int32_t id, std::span<const uint8_t> jpeg) override;
    bool StorePageOverspeed(int32_t id, int32_t overspeedMm, int32_t pageMm) override;
    bool StoreQuality(const DepthQualityRow& row) override;
    int32_t Diameter() const override;

private:
    ProjectDb& db_;
};

}  // namespace bhv
