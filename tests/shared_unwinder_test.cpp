// Ulvane.dll in a host that has loaded the toolchain's shared unwinder before or after
// it (support/shared_unwinder.h): each failure still comes back as the export's
// failure value. Runs in a prefix of its own where the control is not registered.
#include <gtest/gtest.h>

#include "support/shared_unwinder.h"

using namespace ulvane::test;

TEST(SharedUnwinder, EachFailureIsAnsweredWhicheverCopyTheHostLoadedAndWhen) {
  expect_failures_answered_beside_shared_unwinders();
}

int main(int argc, char** argv) {
  return run_child_or_tests(argc, argv, {shared_unwinder_child()});
}
