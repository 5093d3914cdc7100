#include <gtest/gtest.h>

#include "support/TempDir.h"
#include "upload/UploadParam.h"

namespace bhv {
namespace {

TEST(UploadParamPlaceholder, DefaultsAreTheFactorySettings) {
    UploadParam p;
    EXPECT_EQ(p.dwIP, 0x7F000001u);
    EXPECT_EQ(p.iPort, 5005);
}

}  // namespace
}  // namespace bhv
