// The exports of the built henon_hyperbolic module: the gateway entry and
// the version query with the release and interface version it reports.
#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

class MexModule : public ::testing::Test {
 protected:
  void SetUp() override {
    // Lazy binding: the host's own entry points are resolved only when
    // called, and the version query calls none of them.
    handle_ = dlopen(VESK_MEX_MODULE, RTLD_LAZY | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  void* handle_ = nullptr;
};

TEST_F(MexModule, ExportsGatewayAndVersionQuery) {
  EXPECT_NE(dlsym(handle_, "mexFunction"), nullptr);
  using Query = void (*)(unsigned int*, unsigned int*);
  auto query = reinterpret_cast<Query>(dlsym(handle_, "mexfilerequiredapiversion"));
  ASSERT_NE(query, nullptr);
  unsigned int release = 0, api = 0;
  query(&release, &api);
  EXPECT_EQ(release, 131483u);
  EXPECT_EQ(api, 120586240u);
}

}  // namespace
