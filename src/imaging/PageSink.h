#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "storage/ProbeStateRecord.h"

namespace bhv {

// The stored pages as browsing reads them back: ids are the pages' travel keys (tenths of a
// millimetre), pages are JPEG bytes. Called from the browse worker while the image thread
// stores pages, so an implementation must allow both at once.
class PageSource {
public:
    virtual ~PageSource() = default;
    // The id of the stored page after (next) or before `id`; nullopt when there is none.
    virtual std::optional<int32_t> NeighbourPageId(int32_t id, bool next) const = 0;
    // The JPEG bytes of the page stored under `id`; empty when there is none.
    virtual std::vector<uint8_t> ReadPage(int32_t id) const = 0;
    // {overspeed mm, page mm} of a stored page; nullopt when it has no record.
    virtual std::optional<std::pair<int32_t, int32_t>> PageOverspeed(int32_t id) const = 0;
};

// Where an image run keeps what it makes: its pages, their overspeed and the quality of each
// 100 mm of depth; and what it reads of the project (the hole's diameter, the stored pages for
// browsing). Each store returns false when the write is lost (the run counts it).
class PageSink : public PageSource {
public:
    virtual bool StorePage(int32_t id, std::span<const uint8_t> jpeg) = 0;
    virtual bool StorePageOverspeed(int32_t id, int32_t overspeedMm, int32_t pageMm) = 0;
    virtual bool StoreQuality(const DepthQualityRow& row) = 0;
    // The hole's diameter (tenths of a millimetre; 0: not known), read once when a run starts,
    // on the thread that starts it.
    virtual int32_t Diameter() const = 0;
};

}  // namespace bhv
