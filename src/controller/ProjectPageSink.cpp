#include "controller/ProjectPageSink.h"

#include "storage/ProjectDb.h"

namespace bhv {

std::optional<int32_t> ProjectPageSink::NeighbourPageId(int32_t id, bool next) const {
    return db_.NeighbourPageId(id, next);
}

std::vector<uint8_t> ProjectPageSink::ReadPage(int32_t id) const {
    return db_.ReadBigImage(id);
}

std::optional<std::pair<int32_t, int32_t>> ProjectPageSink::PageOverspeed(int32_t id) const {
    return db_.PageOverspeed(id);
}

bool ProjectPageSink::StorePage(int32_t id, std::span<const uint8_t> jpeg) {
    return db_.InsertBigImage(id, jpeg);
}

bool ProjectPageSink::StorePageOverspeed(int32_t id, int32_t overspeedMm, int32_t pageMm) {
    return db_.SetPageOverspeed(id, overspeedMm, pageMm);
}

bool ProjectPageSink::StoreQuality(const DepthQualityRow& row) {
    return db_.SetDepthQuality(row);
}

int32_t ProjectPageSink::Diameter() const {
    return db_.Diameters().empty() ? 0 : db_.Diameters().front().diameter;
}

}  // namespace bhv
