#include "core/vacuum_renumber.h"

#include <mutex>
#include <utility>

#include "core/cell_key.h"

namespace korvane {

namespace {

// A bitmap translated through the (increasing) renumbering; old ids not carried over drop out.
Bitmap translate(const Bitmap& b, const std::vector<uint32_t>& remap, std::vector<uint32_t>& scratch) {
  std::vector<uint32_t> members = b.to_vector();
  scratch.clear();
  for (uint32_t o : members)
    if (o < remap.size() && remap[o] != UINT32_MAX) scratch.push_back(remap[o]);
  Bitmap out;
  out.add_many(scratch.data(), scratch.size());
  return out;
}

// Puts a compacted append-only record file in place of the old one, under its mutex: its
// logical length is the bytes written, and its read view is mapped afresh on first use.
void swap_record_file(std::mutex& mu, Fd& file, uint64_t& len, RecordView& view, Fd fresh, uint64_t written) {
  std::lock_guard<std::mutex> g(mu);
  file = std::move(fresh);
  len = written;
  bool resident = view.resident;
  view = RecordView{};
  view.known_len = written;
  view.resident = resident;  // the new file is read in when the views are mapped
}

}  // namespace

Renumbering renumber_live(const CoreIndex& ix) {
  Renumbering r;
  r.live = ix.valid_ids.to_vector();
  r.remap.assign(r.live.empty() ? 1 : static_cast<size_t>(r.live.back()) + 1, UINT32_MAX);
  for (size_t k = 0; k < r.live.size(); ++k) r.remap[r.live[k]] = static_cast<uint32_t>(k);
  return r;
}

IndexSets renumbered_indexes(const CoreIndex& ix, const Renumbering& r, uint64_t ids_len, uint64_t meta_len) {
  IndexSets nx;
  std::vector<uint64_t> cell_keys;  // of the new ids
  cell_keys.reserve(r.live.size());
  for (uint32_t o : r.live) {
    auto [lat, lon] = ix.get_coords(o);
    cell_keys.push_back(cell_key(lat, lon));
  }
  nx.grid_index = GridIndex::of_points(cell_keys);
  std::vector<uint32_t> scratch;
  for (const auto& [name, values] : ix.str_index) {
    StrValues kept;
    for (const auto& [text, b] : values) {
      Bitmap t = translate(b, r.remap, scratch);
      if (!t.empty()) kept.emplace(text, std::move(t));
    }
    if (!kept.empty()) nx.str_index.emplace(name, std::move(kept));
  }
  for (const auto& [name, old] : ix.num_index) {
    NumericBsiIndex& fresh = nx.num_index[name];  // field names survive even with no live value
    fresh.existence = translate(old.existence, r.remap, scratch);
    for (int i = 0; i < 32; ++i) fresh.slices[i] = translate(old.slices[i], r.remap, scratch);
    fresh.rebuild_column();
    // The bounds from the live values only, read from the column (its cost follows the field's
    // members, not every live point).
    fresh.existence.for_each([&](uint32_t m) { fresh.widen_bounds(fresh.encoded_at(m)); });
  }
  nx.ext_to_int.reserve(ix.ext_to_int.size());
  for (const auto& [h, o] : ix.ext_to_int) nx.ext_to_int.emplace(h, r.remap[o]);
  nx.valid_ids = Bitmap::range(0, static_cast<uint32_t>(r.live.size()));
  nx.ids_file_len = ids_len;
  nx.meta_file_len = meta_len;
  return nx;
}

void adopt_compacted(CoreIndex& ix, CompactedFiles f, IndexSets nx) {
  ix.coords_mmap = std::move(f.coords);
  ix.coords_file = std::move(f.files[0]);
  swap_record_file(ix.ids_mutex, ix.ids_file, ix.ids_file_len, ix.ids_view, std::move(f.files[2]), nx.ids_file_len);
  ix.offsets_mmap = std::move(f.offsets);
  ix.offsets_file = std::move(f.files[1]);
  swap_record_file(ix.meta_mutex, ix.meta_file, ix.meta_file_len, ix.meta_view, std::move(f.files[4]),
                   nx.meta_file_len);
  ix.meta_offsets_mmap = std::move(f.meta_offsets);
  ix.meta_offsets_file = std::move(f.files[3]);
  map_record_views(ix);
  static_cast<IndexSets&>(ix) = std::move(nx);  // nothing deleted
  ix.filter_results.forget();
  ix.capacity = ix.coords_mmap.size() / 8;
}

}  // namespace korvane
