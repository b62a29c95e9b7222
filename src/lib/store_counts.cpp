// Store::count_where and facet_counts: counts answered from the indexes (bitmap intersections
// and cardinalities) rather than from result lists; and live_ids, the listing of the store.
#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "core/hash_id.h"
#include "core/numeric_bsi.h"
#include "filter/filter.h"
#include "filter/filter_check.h"
#include "lib/store.h"
#include "spatial/search.h"

namespace korvane {

template <class F>
Status Store::with_selection(const std::optional<std::string_view>& filter, bool strict, const CountArea& area,
                             F&& f) {
  auto sel = select(filter, strict);
  if (!sel) return sel.error();
  CoreIndex& ix = *index_;
  std::shared_ptr<const Bitmap> kept = sel->kept;
  const Bitmap& matching = kept ? *kept : ix.valid_ids;
  if (area.kind == CountArea::Kind::Everywhere) {
    f(ix, matching);
    return {};
  }
  Allowed allowed{&matching, nullptr, /*all_live=*/!kept};
  std::vector<uint32_t> ids;
  switch (area.kind) {
    case CountArea::Kind::Box:
      ids = korvane::search_box(ix, area.a, area.b, area.c, area.d, allowed);
      break;
    case CountArea::Kind::Circle:
      for (const Hit& h : korvane::search_radius(ix, area.a, area.b, area.c, allowed)) ids.push_back(h.id);
      break;
    case CountArea::Kind::Polygon:
      if (area.points.size() >= 3) ids = korvane::search_polygon(ix, area.points, allowed);
      break;
    case CountArea::Kind::Everywhere:
      break;
  }
  std::sort(ids.begin(), ids.end());
  f(ix, Bitmap::of_sorted(ids.data(), ids.size()));
  return {};
}

Status Store::live_ids(std::string* arena, std::vector<std::pair<size_t, size_t>>* spans) {
  KV_TRY(settle());
  std::shared_lock<std::shared_mutex> lk(index_lock_);
  std::vector<uint32_t> ids = index_->valid_ids.to_vector();
  arena->reserve(ids.size() * 16);
  index_->read_ids(ids, arena, spans);
  return {};
}

Result<VerifyOut> Store::verify() {
  KV_TRY(settle());
  std::shared_lock<std::shared_mutex> lk(index_lock_);
  CoreIndex& ix = *index_;
  VerifyOut out;
  out.live = ix.valid_ids.cardinality();
  out.deleted = ix.deleted.cardinality();
  out.invariants = ix.check_invariants();
  std::vector<uint32_t> ids = ix.valid_ids.to_vector();
  constexpr size_t kStep = 4096;
  for (size_t from = 0; from < ids.size(); from += kStep) {
    std::vector<uint32_t> part(ids.begin() + from, ids.begin() + std::min(ids.size(), from + kStep));
    std::string arena;
    std::vector<std::pair<size_t, size_t>> id_spans, meta_spans;
    ix.read_results(part, &arena, &id_spans, &meta_spans);
    for (size_t k = 0; k < part.size(); ++k) {
      std::string_view id(arena.data() + id_spans[k].first, id_spans[k].second);
      auto found = ix.ext_to_int.find(hash_id(id));
      out.bad_ids += found == ix.ext_to_int.end() || found->second != part[k];
      Json meta = Json::parse(std::string_view(arena.data() + meta_spans[k].first, meta_spans[k].second), nullptr,
                              false);
      out.bad_metadata += !meta.is_object();
    }
  }
  return out;
}

Result<uint64_t> Store::count_where(const std::optional<std::string_view>& filter, const CountArea& area,
                                    bool strict_filters) {
  uint64_t n = 0;
  KV_TRY(with_selection(filter, strict_filters, area, [&](CoreIndex&, const Bitmap& selected) {
    n = selected.cardinality();
  }));
  return n;
}

namespace {

// Whether the metadata record's top-level `field` is the boolean (not the text) `value`.
bool field_is_bool(std::string_view meta, std::string_view field, bool value) {
  SearchOut one;
  one.arena.assign(meta);
  one.ids.emplace_back(0, 0);
  one.metas.emplace_back(0, meta.size());
  project_fields({std::string(field)}, &one);
  return one.values[0].is_boolean() && one.values[0].get<bool>() == value;
}

}  // namespace

Result<FacetOut> Store::facet_counts(std::string_view field, const std::optional<std::string_view>& filter,
                                     const CountArea& area, bool strict_filters) {
  FacetOut out;
  KV_TRY(with_selection(filter, strict_filters, area, [&](CoreIndex& ix, const Bitmap& selected) {
    absl::string_view key(field.data(), field.size());
    if (auto texts = ix.str_index.find(key); texts != ix.str_index.end()) {
      using Column = FilterResults::Column;
      std::shared_ptr<const Column> col = ix.filter_results.column(field, [&] {
        Column c;
        for (const auto& [value, set] : texts->second) {
          if (set.empty()) continue;
          uint32_t k = static_cast<uint32_t>(c.names.size());
          c.names.emplace_back(value.data(), value.size());
          uint32_t top = set.maximum();
          if (c.of_id.size() <= top) c.of_id.resize(size_t{top} + 1, Column::kNoValue);
          set.for_each([&](uint32_t i) { c.of_id[i] = k; });
        }
        return c;
      });
      std::vector<uint64_t> counts(col->names.size());
      selected.for_each([&](uint32_t i) {
        if (i >= col->of_id.size() || col->of_id[i] == Column::kNoValue) return;
        ++counts[col->of_id[i]];
      });
      for (size_t k = 0; k < counts.size(); ++k) {
        uint64_t n = counts[k];
        if (n == 0) continue;
        const std::string& text = col->names[k];
        if (text == "true" || text == "false") {
          // A boolean and the same text share this set: their records tell them apart.
          const bool b = text == "true";
          std::vector<uint32_t> ids;
          selected.for_each([&](uint32_t i) {
            if (i < col->of_id.size() && col->of_id[i] == k) ids.push_back(i);
          });
          std::string arena;
          std::vector<std::pair<size_t, size_t>> id_spans, meta_spans;
          ix.read_results(ids, &arena, &id_spans, &meta_spans);
          uint64_t bools = 0;
          for (const auto& m : meta_spans)
            bools += field_is_bool(std::string_view(arena.data() + m.first, m.second), field, b);
          if (bools > 0) out.bools.emplace_back(b, bools);
          n -= bools;
        }
        if (n > 0) out.texts.emplace_back(text, n);
      }
    }
    if (auto nums = ix.num_index.find(key); nums != ix.num_index.end()) {
      const NumericBsiIndex& bsi = nums->second;
      Bitmap in = Bitmap::and_of(bsi.existence, selected);
      absl::flat_hash_map<uint32_t, uint64_t> by_value;
      in.for_each([&](uint32_t i) {
        uint32_t e = bsi.encoded_at(i);
        if (e != NumericBsiIndex::kAbsent) ++by_value[e];
      });
      std::vector<std::pair<uint32_t, uint64_t>> sorted(by_value.begin(), by_value.end());
      std::sort(sorted.begin(), sorted.end());
      for (const auto& [e, n] : sorted) out.numbers.emplace_back(decode_f32(e), n);
    }
  }));
  return out;
}

}  // namespace korvane
