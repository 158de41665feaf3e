// Inner pieces with no export of their own yet: failure messages and the COM guard.
#include <gtest/gtest.h>
#include <objbase.h>

#include <string>
#include <thread>

#include "common/failure.h"
#include "server/com_apartment.h"

using ulvane::ComApartment;
using ulvane::Failure;

TEST(FailureMessage, FillsPatternsWithPlainText) {
  struct Row {
    std::string message;
    const char* expected;
  };
  const Row rows[] = {
      {Failure::format("Unable to write to %s", "C:\\cache.cpf").what(), "Unable to write to C:\\cache.cpf"},
      {Failure::format("Unable to write to %s", "C:\\100%s%n%d.cpf").what(), "Unable to write to C:\\100%s%n%d.cpf"},
      {Failure::format("'%s' is not a valid integer value", "").what(), "'' is not a valid integer value"},
      {Failure::format("%s and %s", "a", "b").what(), "a and b"},
      {Failure::format("100%% of %s", "x").what(), "100% of x"},
      {Failure::format("no argument: %s").what(), "no argument: "},
      {Failure::format("trailing %").what(), "trailing %"},
  };
  for (const Row& row : rows) EXPECT_EQ(row.message, row.expected);
}

namespace {

// The calling thread's apartment, or -1 when COM is not initialised on it.
int apartment() {
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) ? int(type) : -1;
}

template <class Body>
void on_new_thread(Body body) {
  std::thread(body).join();
}

}  // namespace

TEST(ComApartmentGuard, EntersAndLeavesASingleThreadedApartment) {
  on_new_thread([] {
    {
      ComApartment guard;
      int type = apartment();
      EXPECT_TRUE(type == APTTYPE_STA || type == APTTYPE_MAINSTA) << type;
    }
    EXPECT_EQ(apartment(), -1);
  });
}

TEST(ComApartmentGuard, LeavesAMultithreadedThreadAsItFoundIt) {
  on_new_thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
      ComApartment guard;
      EXPECT_EQ(apartment(), APTTYPE_MTA);
    }
    EXPECT_EQ(apartment(), APTTYPE_MTA);
    CoUninitialize();  // the thread's one initialisation is still its own to undo
    EXPECT_EQ(apartment(), -1);
  });
}

TEST(ComApartmentGuard, PairsWithAnApartmentTheThreadAlreadyHas) {
  on_new_thread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    { ComApartment guard; }
    EXPECT_NE(apartment(), -1);
    CoUninitialize();
    EXPECT_EQ(apartment(), -1);
  });
}
