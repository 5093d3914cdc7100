#include "link/Published.h"

namespace bhv {

std::atomic<double> PublishedDepth{0.0};
std::atomic<double> PublishedAzimuth{0.0};

}  // namespace bhv
