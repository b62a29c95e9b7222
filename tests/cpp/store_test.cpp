// The engine under threads and faults that Python cannot arrange: persist while another thread
// adds, and a vacuum whose completion fails after its commit point.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "persist/vacuum.h"
#include "lib/store.h"

using namespace korvane;

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/korvane-store-test-XXXXXX";
    path = ::mkdtemp(t);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

std::shared_ptr<Store> open_store(const std::string& path) {
  auto s = Store::open(path);
  EXPECT_TRUE(s) << (s ? "" : s.error().message);
  return s ? *s : nullptr;
}

size_t all_points(Store& s) {
  auto r = s.search_box({90.f, -180.f}, {-90.f, 180.f}, std::nullopt);
  EXPECT_TRUE(r);
  return r ? r->size() : 0;
}

TEST(Store, PersistKeepsWhatIsAddedWhileItRuns) {
  TempDir d;
  constexpr int kPoints = 20000;
  {
    auto s = open_store(d.path);
    std::atomic<bool> done{false};
    std::thread writer([&] {
      for (int i = 0; i < kPoints; ++i) {
        std::string id = "p" + std::to_string(i);
        ASSERT_TRUE(s->add(id, 0.001f * static_cast<float>(i % 1000), 1.0f, R"({"k": "v"})"));
      }
      done = true;
    });
    int persists = 0;
    while (!done || persists < 3) {
      ASSERT_TRUE(s->persist());
      ++persists;
    }
    writer.join();
  }
  auto s = open_store(d.path);
  EXPECT_EQ(s->count(), uint64_t{kPoints});
  EXPECT_EQ(all_points(*s), size_t{kPoints});
}

int fail_ids_once(const char* name) {
  static bool failed = false;
  if (failed || std::string(name) != "ids.bin") return 0;
  failed = true;
  return EIO;
}

TEST(Store, VacuumFailingAfterItsCommitIsCompletedByTheNextCall) {
  TempDir d;
  auto s = open_store(d.path);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(s->add("p" + std::to_string(i), 1.0f, 1.0f, "{}"));
  for (int i = 0; i < 100; i += 2) ASSERT_TRUE(s->remove("p" + std::to_string(i)));
  vacuum_rename_fault = &fail_ids_once;
  auto v = s->vacuum();
  vacuum_rename_fault = nullptr;
  ASSERT_FALSE(v);
  EXPECT_EQ(v.error().kind, ErrorKind::OsPlain);
  EXPECT_EQ(v.error().errnum, EIO);
  // Another object of the directory shares the store; its next change completes the vacuum.
  auto other = open_store(d.path);
  ASSERT_TRUE(other->add("late", 2.0f, 2.0f, "{}"));
  EXPECT_FALSE(std::filesystem::exists(d.path + "/vacuum.commit"));
  EXPECT_EQ(s->count(), 51u);
  EXPECT_EQ(all_points(*s), 51u);
  s.reset();
  other.reset();
  auto again = open_store(d.path);
  EXPECT_EQ(all_points(*again), 51u);
}

}  // namespace
