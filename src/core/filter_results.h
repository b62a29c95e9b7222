// filter_results.h: filter results over the whole index, kept for the filter texts that searches
// ask with again and again.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/bitmap.h"
#include "core/grid_index.h"

namespace korvane {

// A search evaluates its filter within its own candidates, which costs far less than over the
// whole index, once. Programs ask with a few filter texts over and over: from a text's second use
// on, its result over the whole index is kept, and each search only intersects with it. Every
// change to the index forgets all (a change holds the index's write lock, so no search is
// running); searches, which hold the shared lock, meet under the mutex here.
class FilterResults {
 public:
  // The kept result for `text`. When there is none: on the text's first use since the last
  // change, null (the caller evaluates lazily); on a later one, evaluate() is called (outside
  // the mutex) and its result kept and returned.
  template <class Evaluate>
  std::shared_ptr<const Bitmap> lookup(std::string_view text, Evaluate&& evaluate) {
    if (text.size() > kLongest) return nullptr;
    {
      std::lock_guard<std::mutex> g(mu_);
      for (const Entry& e : kept_)
        if (e.text == text) return e.result;
      bool again = false;
      for (const std::string& t : asked_) again = again || t == text;
      if (!again) {
        if (asked_.size() == kAsked) asked_.erase(asked_.begin());
        asked_.emplace_back(text);
        any_.store(true, std::memory_order_relaxed);
        return nullptr;
      }
    }
    auto result = std::make_shared<const Bitmap>(evaluate());
    std::lock_guard<std::mutex> g(mu_);
    if (kept_.size() == kKept) kept_.erase(kept_.begin());
    kept_.push_back({std::string(text), result, nullptr});
    return result;
  }
  // The points per block of a kept result (`result` one that lookup() returned), counted by
  // count() for the first nearest-neighbour search that asks, and kept with the result. Null
  // when the result is no longer kept.
  template <class Count>
  std::shared_ptr<const BlockCounts> blocks(const Bitmap* result, Count&& count) {
    {
      std::lock_guard<std::mutex> g(mu_);
      const Entry* e = entry_of(result);
      if (e == nullptr) return nullptr;
      if (e->blocks) return e->blocks;
    }
    auto made = std::make_shared<const BlockCounts>(count());
    std::lock_guard<std::mutex> g(mu_);
    if (Entry* e = entry_of(result); e != nullptr && !e->blocks) e->blocks = made;
    return made;
  }
  // A text field's values by id, for counting by value: of_id[id] indexes names (kNoValue: none).
  struct Column {
    static constexpr uint32_t kNoValue = 0xFFFFFFFFu;
    std::vector<std::string> names;
    std::vector<uint32_t> of_id;
  };
  // The column of `field`, built by build() on its first use since the last change and kept
  // until the next one (a few fields at most).
  template <class Build>
  std::shared_ptr<const Column> column(std::string_view field, Build&& build) {
    {
      std::lock_guard<std::mutex> g(mu_);
      for (const auto& [name, col] : columns_)
        if (name == field) return col;
    }
    auto col = std::make_shared<const Column>(build());
    std::lock_guard<std::mutex> g(mu_);
    if (columns_.size() == kColumns) columns_.erase(columns_.begin());
    columns_.emplace_back(std::string(field), col);
    any_.store(true, std::memory_order_relaxed);
    return col;
  }
  // After a change to the index.
  void forget() {
    if (!any_.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> g(mu_);
    kept_.clear();
    asked_.clear();
    columns_.clear();
    any_.store(false, std::memory_order_relaxed);
  }

 private:
  static constexpr size_t kKept = 8, kAsked = 32, kLongest = 4096, kColumns = 4;
  struct Entry {
    std::string text;
    std::shared_ptr<const Bitmap> result;
    std::shared_ptr<const BlockCounts> blocks;  // made by blocks()
  };
  Entry* entry_of(const Bitmap* result) {
    for (Entry& e : kept_)
      if (e.result.get() == result) return &e;
    return nullptr;
  }
  std::mutex mu_;
  std::vector<Entry> kept_;          // oldest first
  std::vector<std::string> asked_;   // texts used once since the last change, oldest first
  std::vector<std::pair<std::string, std::shared_ptr<const Column>>> columns_;  // oldest first
  std::atomic<bool> any_{false};
};

}  // namespace korvane
