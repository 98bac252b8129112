#include <gtest/gtest.h>

#include "imagery/imagery.h"

namespace portico::imagery {
namespace {

TEST(EffectivePolicy, AliasSettingWinsAndIsLowerCased) {
  EXPECT_EQ(effective_refresh_image(Value{{"refreshImage", "Always"}}, "no"), "always");
  EXPECT_EQ(effective_refresh_image(Value::object(), "ON-START"), "on-start");
  EXPECT_EQ(effective_refresh_image(Value{{"refreshImage", nullptr}}, "ON-START"), "on-start");
  EXPECT_EQ(effective_refresh_image(Value{{"refreshImage", false}}, "always"), "no");
  EXPECT_EQ(effective_refresh_image(Value::object(), nullptr), "no");
  EXPECT_EQ(effective_refresh_image(Value{{"refreshImage", ""}}, "always"), "no");
  EXPECT_EQ(effective_prefetch_image(Value{{"prefetchImage", true}}, "no"), "true");
  EXPECT_EQ(effective_prefetch_image(Value{{"refreshImage", "always"}}, "On-Config-Change"), "on-config-change");
  EXPECT_TRUE(REFRESH_IMAGE_VALUES.count("on-start"));
  EXPECT_TRUE(PREFETCH_IMAGE_VALUES.count("on-config-change"));
}

}  // namespace
}  // namespace portico::imagery
