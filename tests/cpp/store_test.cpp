// The engine under threads and faults that Python cannot arrange: persist while another thread
// adds, and a vacuum whose completion fails after its commit point.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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

// "power" changes from several threads share syncs of the log, also while persists replace the
// log's file under them; every change is there after a reopen.
TEST(Store, PowerChangesFromThreadsShareSyncs) {
  TempDir d;
  constexpr int kThreads = 4, kEach = 150;
  {
    auto s = open_store(d.path);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
      writers.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) {
          std::string id = "p" + std::to_string(t) + "-" + std::to_string(i);
          ASSERT_TRUE(s->add(id, 1.0f, 2.0f, "{}", Durability::Power));
          if (i % 10 == 9) ASSERT_TRUE(s->remove(id, Durability::Power));
        }
      });
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(s->persist());
    for (auto& w : writers) w.join();
    EXPECT_GE(s->log_syncs().first, uint64_t{1});
    EXPECT_LE(s->log_syncs().first, uint64_t{kThreads * (kEach + kEach / 10)});
  }
  auto s = open_store(d.path);
  EXPECT_EQ(s->count(), uint64_t{kThreads * (kEach - kEach / 10)});
}

// Each (id, metadata) a box search over the whole world finds, sorted.
std::vector<std::string> found(Store& s, const char* filter) {
  std::optional<std::string_view> f;
  if (filter != nullptr) f = filter;
  auto r = s.search_box({90.f, -180.f}, {-90.f, 180.f}, f);
  EXPECT_TRUE(r);
  std::vector<std::string> out;
  for (size_t k = 0; r && k < r->size(); ++k)
    out.push_back(r->arena.substr(r->ids[k].first, r->ids[k].second) + " " +
                  r->arena.substr(r->metas[k].first, r->metas[k].second));
  std::sort(out.begin(), out.end());
  return out;
}

// add_many's two threads against one add per point: repeated ids (in the batch and already
// stored), crowded cells, string and numeric fields, and a bad item that ends the batch.
TEST(Store, AddManyAgreesWithAddOneByOne) {
  TempDir d1, d2;
  auto many = open_store(d1.path), one = open_store(d2.path);
  std::vector<std::string> ids, metas;
  for (int i = 0; i < 5000; ++i) {
    ids.push_back("p" + std::to_string(i % 4000));  // the last thousand repeat earlier ids
    metas.push_back(R"({"kind": "k)" + std::to_string(i % 7) + R"(", "n": )" + std::to_string(i % 13) +
                    R"(, "name": "place )" + std::to_string(i) + "\"}");
  }
  metas[4500] = "{bad";
  ASSERT_TRUE(many->add("p7", 1.f, 2.f, R"({"kind": "first"})"));
  ASSERT_TRUE(one->add("p7", 1.f, 2.f, R"({"kind": "first"})"));
  std::vector<NewPoint> batch;
  for (size_t i = 0; i < ids.size(); ++i) {
    float lat = static_cast<float>(i % 50) * 0.001f, lon = static_cast<float>(i % 97) * 0.37f - 18.f;
    batch.push_back({ids[i], lat, lon, metas[i]});
    if (i < 4500) ASSERT_TRUE(one->add(ids[i], lat, lon, metas[i]));
  }
  size_t done = 0;
  uint64_t added = 0;
  auto r = many->add_many(batch, &done, &added);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::InvalidJson);
  EXPECT_EQ(done, 4500u);
  EXPECT_EQ(added, 3999u);
  EXPECT_EQ(many->count(), one->count());
  for (const char* f : {static_cast<const char*>(nullptr), R"({"kind": "k4"})", R"({"n": {"$gt": 5}})"})
    EXPECT_EQ(found(*many, f), found(*one, f)) << (f ? f : "no filter");
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
