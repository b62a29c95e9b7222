// Insert and delete in memory: what add and delete do after logging, and what replay repeats.
#include <cstring>

#include "core/core_index.h"
#include "core/hash_id.h"
#include "core/cell_key.h"

namespace korvane {

namespace {

// A JSON number as the numeric index keeps it.
float number_value(const Json& v) {
  if (v.is_number_unsigned()) return narrow_to_f32(static_cast<double>(v.get<uint64_t>()));
  if (v.is_number_integer()) return narrow_to_f32(static_cast<double>(v.get<int64_t>()));
  return narrow_to_f32(v.get<double>());
}

void index_metadata(CoreIndex& ix, uint32_t i, const Json& meta) {
  for (auto it = meta.begin(); it != meta.end(); ++it) {
    const Json& v = it.value();
    switch (v.type()) {
      case Json::value_t::string:
        ix.str_index[it.key()][v.get_ref<const std::string&>()].add(i);
        break;
      case Json::value_t::boolean:
        ix.str_index[it.key()][v.get<bool>() ? "true" : "false"].add(i);
        break;
      case Json::value_t::number_unsigned:
      case Json::value_t::number_integer:
      case Json::value_t::number_float:
        // The field exists from its first number on, even when the value is not stored.
        ix.num_index[it.key()].insert(i, number_value(v));
        break;
      default:
        break;  // null, arrays and objects stay in the text only
    }
  }
}

}  // namespace

float json_number_to_f32(const Json& v) { return number_value(v); }

namespace {

// What an insert does before its metadata is indexed: the three records written, the point made
// live as id *i and filed in the grid; *placed is false (nothing done) when the id is already
// present.
Status place_point(CoreIndex& ix, std::string_view id, float lat, float lon, std::string_view text, bool replay,
                   bool* placed, uint32_t* i_out) {
  *placed = false;
  uint64_t h = hash_id(id);
  // add never updates a point. Another id with the same hash is refused before its insert is
  // logged (check_id_free); a log written before ids were compared may still hold one, and
  // replay ignores it as that version did.
  if (ix.ext_to_int.count(h) != 0) return {};
  KV_TRY(ensure_capacity(ix));
  uint64_t n = ix.allocated();
  if (n > UINT32_MAX) return Error::fatal("no internal id left");
  uint32_t i = static_cast<uint32_t>(n);
  // A replayed insert finds its records where the first run of it wrote them (unless a snapshot
  // or damage says otherwise): those are kept, and the slots are not even rewritten.
  if (!(replay && reuse_record(ix, false, i, id))) KV_TRY(append_id_record(ix, i, id));
  if (!(replay && reuse_record(ix, true, i, text))) KV_TRY(append_meta_record(ix, i, text));
  float ll[2] = {lat, lon};
  if (!(replay && std::memcmp(ix.coords_mmap.data() + 8 * size_t{i}, ll, 8) == 0)) write_coords(ix, i, lat, lon);
  // Only now, with all three records written, does the point become visible.
  ix.make_live(h, i);
  ix.grid_index.add_point(cell_key(lat, lon), i, lat, lon);
  *placed = true;
  *i_out = i;
  return {};
}

// The whole insert; index(i) adds the metadata's indexes.
template <class Index>
Status insert_point(CoreIndex& ix, std::string_view id, float lat, float lon, std::string_view text, bool replay,
                    Index&& index) {
  bool placed;
  uint32_t i;
  KV_TRY(place_point(ix, id, lat, lon, text, replay, &placed, &i));
  if (placed) index(i);
  return {};
}

}  // namespace

Status insert_in_mem(CoreIndex& ix, std::string_view id, float lat, float lon, const Json& meta,
                     const std::string* text_in, bool replay) {
  std::string made;
  if (text_in == nullptr) {
    try {
      made = dump_compact(meta);
    } catch (const nlohmann::json::exception&) {
      made = "{}";
    }
  }
  const std::string& text = text_in ? *text_in : made;
  return insert_point(ix, id, lat, lon, text, replay, [&](uint32_t i) {
    if (meta.is_object()) index_metadata(ix, i, meta);
  });
}

void index_fields(CoreIndex& ix, uint32_t i, const PreparedMeta& meta) {
  // The maps look keys up as views; a key is copied only when it is new.
  auto view = [](std::string_view s) { return absl::string_view(s.data(), s.size()); };
  for (const PreparedMeta::Field& f : meta.fields) {
    if (f.kind == PreparedMeta::Field::Str)
      ix.str_index[view(meta.key(f))][view(meta.value(f))].add(i);
    else
      ix.num_index[view(meta.key(f))].insert(i, f.num);
  }
}

Status insert_prepared(CoreIndex& ix, std::string_view id, float lat, float lon, const PreparedMeta& meta) {
  return insert_point(ix, id, lat, lon, meta.text(), false, [&](uint32_t i) { index_fields(ix, i, meta); });
}

Status InsertBatch::place(std::string_view id, float lat, float lon, const PreparedMeta& meta, bool* placed,
                          uint32_t* i) {
  return place_point(ix_, id, lat, lon, meta.text(), false, placed, i);
}

void InsertBatch::index(uint32_t i, const PreparedMeta& meta) {
  auto view = [](std::string_view s) { return absl::string_view(s.data(), s.size()); };
  for (const PreparedMeta::Field& f : meta.fields) {
    if (f.kind == PreparedMeta::Field::Str) {
      ix_.str_index[view(meta.key(f))][view(meta.value(f))].add(i);
      continue;
    }
    std::string_view key = meta.key(f);
    Field* pending = nullptr;
    for (Field& p : fields_)
      if (p.key == key) pending = &p;
    if (pending == nullptr) {
      // A field new to the batch: it enters the index now, in the order single inserts
      // would have created it.
      ix_.num_index.try_emplace(view(key));
      fields_.push_back(Field{std::string(key), {}, {}});
      pending = &fields_.back();
    }
    pending->ids.push_back(i);
    pending->values.push_back(f.num);
  }
}

void InsertBatch::prefetch_place(std::string_view id, float lat, float lon) const {
  ix_.ext_to_int.prefetch(hash_id(id));
  ix_.grid_index.prefetch(cell_key(lat, lon));
}

void InsertBatch::prefetch_index(const PreparedMeta& meta) const {
  for (const PreparedMeta::Field& f : meta.fields) {
    if (f.kind != PreparedMeta::Field::Str) continue;
    std::string_view key = meta.key(f), value = meta.value(f);
    auto values = ix_.str_index.find(absl::string_view(key.data(), key.size()));
    if (values != ix_.str_index.end()) values->second.prefetch(absl::string_view(value.data(), value.size()));
  }
}

void InsertBatch::finish() {
  for (Field& p : fields_) {
    ix_.num_index[absl::string_view(p.key.data(), p.key.size())].insert_new(p.ids.data(), p.values.data(),
                                                                            p.ids.size());
  }
  fields_.clear();
}

void CoreIndex::make_live(uint64_t hash, uint32_t i) {
  ext_to_int.emplace(hash, i);
  filter_results.forget();
  valid_ids.add(i);
}

bool CoreIndex::make_deleted(uint64_t hash, uint32_t* i) {
  auto it = ext_to_int.find(hash);
  if (it == ext_to_int.end() || !valid_ids.contains(it->second)) return false;
  *i = it->second;
  filter_results.forget();
  deleted.add(*i);
  valid_ids.remove(*i);
  ext_to_int.erase(it);
  uncount_deleted(*i);
  return true;
}

void CoreIndex::uncount_deleted(uint32_t i) {
  // The cell the point's coordinates name, when it is the one that holds the point (it is,
  // unless the files disagree: then the block keeps counting it, which costs only time).
  auto [lat, lon] = get_coords(i);
  uint64_t key = cell_key(lat, lon);
  const Bitmap* cell = grid_index.find(key);
  if (cell != nullptr && cell->contains(i)) grid_index.note_deleted(key);
}

std::optional<uint32_t> CoreIndex::live_id_of(std::string_view id) const {
  auto it = ext_to_int.find(hash_id(id));
  if (it == ext_to_int.end() || !valid_ids.contains(it->second) || !id_record_is(it->second, id))
    return std::nullopt;
  return it->second;
}

bool delete_in_mem(CoreIndex& ix, std::string_view id) {
  uint32_t i;
  // Only the point of this very id: another id of the same hash stays.
  if (!ix.live_id_of(id) || !ix.make_deleted(hash_id(id), &i)) return false;
  for (auto& [name, bsi] : ix.num_index) bsi.remove(i);
  // str_index, grid_index and the record files keep the id until vacuum.
  return true;
}

namespace {

// An id as an error message shows it: a JSON string, so that quotes and control characters in
// it cannot blur where it ends.
std::string shown_id(std::string_view id) {
  try {
    return Json(std::string(id)).dump();
  } catch (const nlohmann::json::exception&) {
    return "\"" + std::string(id) + "\"";
  }
}

}  // namespace

Status check_id_free(CoreIndex& ix, std::string_view id) {
  auto it = ix.ext_to_int.find(hash_id(id));
  if (it == ix.ext_to_int.end() || ix.id_record_is(it->second, id)) return {};
  return Error::value("the id " + shown_id(id) + " has the same 64-bit hash as the stored id " +
                      shown_id(ix.get_external_id(it->second)) + ", so it cannot be stored beside it");
}

}  // namespace korvane
