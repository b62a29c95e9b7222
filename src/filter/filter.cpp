#include "filter/filter.h"


namespace korvane {
namespace {

// The live ids an evaluation works in: valid_ids, or valid_ids within a search's candidates.
// Every base set (a text value's ids, a field's numbers, an external id) is narrowed to it, and
// every complement is taken against it.
struct Ctx {
  const CoreIndex& ix;
  const Bitmap& live;
  bool narrowed;
};

bool numeric_op(const std::string& op, NumericBsiIndex::Op* out) {
  using Op = NumericBsiIndex::Op;
  if (op == "$eq") *out = Op::Eq;
  else if (op == "$ne") *out = Op::Ne;
  else if (op == "$lt") *out = Op::Lt;
  else if (op == "$lte") *out = Op::Lte;
  else if (op == "$gt") *out = Op::Gt;
  else if (op == "$gte") *out = Op::Gte;
  else return false;
  return true;
}

Bitmap str_eq(const Ctx& c, const std::string& field, const Json& value) {
  const std::string* text;
  static const std::string kTrue = "true", kFalse = "false";
  if (value.is_boolean())
    text = value.get<bool>() ? &kTrue : &kFalse;
  else if (value.is_string())
    text = &value.get_ref<const std::string&>();
  else
    return Bitmap();
  if (field == "id" || field == "_id") {
    // The external id, not a metadata field.
    auto i = c.ix.live_id_of(*text);
    Bitmap out;
    if (i && c.live.contains(*i)) out.add(*i);
    return out;
  }
  auto f = c.ix.str_index.find(field);
  if (f == c.ix.str_index.end()) return Bitmap();
  auto v = f->second.find(*text);
  if (v == f->second.end()) return Bitmap();
  return c.narrowed ? Bitmap::and_of(v->second, c.live) : v->second.clone();
}

Bitmap numeric(const Ctx& c, const std::string& field, const std::string& op, const Bitmap* restriction,
               float value) {
  auto it = c.ix.num_index.find(field);
  if (it == c.ix.num_index.end()) return Bitmap();
  NumericBsiIndex::Op o;
  if (!numeric_op(op, &o)) return Bitmap();
  // The result within the restriction; without one, within the evaluation's live set.
  const Bitmap* within = restriction != nullptr ? restriction : (c.narrowed ? &c.live : nullptr);
  return it->second.compare(o, value, c.ix.valid_ids, within);
}

Bitmap field_condition(const Ctx& c, const std::string& field, const Json& cond, const Bitmap* restriction);

Bitmap in_values(const Ctx& c, const std::string& field, const Json& arg) {
  Bitmap out;
  if (!arg.is_array()) return out;
  for (const auto& e : arg) out.or_with(field_condition(c, field, e, nullptr));
  return out;
}

Bitmap field_condition(const Ctx& c, const std::string& field, const Json& cond, const Bitmap* restriction) {
  if (cond.is_string() || cond.is_boolean()) return str_eq(c, field, cond);
  if (cond.is_number()) return numeric(c, field, "$eq", restriction, json_number_to_f32(cond));
  if (!cond.is_object()) return Bitmap();  // null or an array
  Bitmap running = restriction != nullptr ? restriction->clone() : c.live.clone();
  // Every operator is computed, in ascending key order; any other key matches nothing.
  for (auto it = cond.begin(); it != cond.end(); ++it) {
    const std::string& op = it.key();
    const Json& arg = it.value();
    Bitmap r;
    if (op == "$eq") {
      r = arg.is_number() ? numeric(c, field, op, restriction, json_number_to_f32(arg)) : str_eq(c, field, arg);
    } else if (op == "$ne") {
      r = arg.is_number() ? numeric(c, field, op, restriction, json_number_to_f32(arg))
                          : Bitmap::andnot_of(c.live, str_eq(c, field, arg));
    } else if (op == "$in") {
      r = in_values(c, field, arg);
    } else if (op == "$nin") {
      r = Bitmap::andnot_of(c.live, in_values(c, field, arg));
    } else if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
      if (arg.is_number()) r = numeric(c, field, op, restriction, json_number_to_f32(arg));
    }
    running.and_with(r);
  }
  return running;
}

Bitmap filter(const Ctx& c, const Json& f) {
  if (!f.is_object()) return Bitmap();
  auto and_it = f.find("$and");
  if (and_it != f.end() && and_it->is_array()) {
    Bitmap running = c.live.clone();
    for (const auto& e : *and_it) {
      if (running.empty()) break;
      // Each element only matters within what the earlier ones left: evaluate it there.
      Bitmap r = filter(Ctx{c.ix, running, true}, e);
      running = std::move(r);
    }
    return running;
  }
  auto or_it = f.find("$or");
  if (or_it != f.end() && or_it->is_array()) {
    Bitmap out;
    for (const auto& e : *or_it) out.or_with(filter(c, e));
    return out;
  }
  auto not_it = f.find("$not");
  if (not_it != f.end()) return Bitmap::andnot_of(c.live, filter(c, *not_it));
  Bitmap running = c.live.clone();
  for (auto it = f.begin(); it != f.end(); ++it) {
    const std::string& key = it.key();
    if (!key.empty() && key[0] == '$') continue;  // never a field name
    if (running.empty()) break;
    running.and_with(field_condition(c, key, it.value(), &running));
  }
  return running;
}

}  // namespace

Bitmap evaluate_filter(const CoreIndex& ix, const Json& f, const Bitmap* universe) {
  if (universe == nullptr) return filter(Ctx{ix, ix.valid_ids, false}, f);
  // Every id below N is live or deleted: with nothing deleted, the universe is all live.
  if (ix.deleted.empty()) return filter(Ctx{ix, *universe, true}, f);
  Bitmap live = Bitmap::and_of(ix.valid_ids, *universe);
  return filter(Ctx{ix, live, true}, f);
}

}  // namespace korvane
