#include "support/mock_library.h"

#include "norvaled.h"

void mock_library_test::SetUp() {
    ASSERT_TRUE(dir_.ok());
    image_ = dir_.file("disk.img");
    ASSERT_EQ(norvaled_connect("mock", 0, "tester", nullptr), 0);
}

void mock_library_test::TearDown() {
    norvaled_disconnect();
}
