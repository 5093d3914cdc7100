#include <gtest/gtest.h>

#include "storage/SysConfigParam.h"

namespace bhv {
namespace {

TEST(SysConfigParamPlaceholder, Defaults) {
    SysConfigParam c;
    EXPECT_EQ(c.Diameter, 700);
}

}  // namespace
}  // namespace bhv
