#include "filter/filter.h"

#include "core/hash_id.h"

namespace korvane {
namespace {

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

Bitmap evaluate_in(const CoreIndex& ix, const std::string& field, const Json& arg) {
  Bitmap out;
  if (!arg.is_array()) return out;
  for (const auto& e : arg) out.or_with(evaluate_field_condition(ix, field, e, nullptr));
  return out;
}

}  // namespace

Bitmap get_bitmap_str_eq(const CoreIndex& ix, const std::string& field, const Json& value) {
  const std::string* text;
  static const std::string kTrue = "true", kFalse = "false";
  if (value.is_boolean())
    text = value.get<bool>() ? &kTrue : &kFalse;
  else if (value.is_string())
    text = &value.get_ref<const std::string&>();
  else
    return Bitmap();
  if (field == "id" || field == "_id") {
    auto it = ix.ext_to_int.find(hash_id(*text));
    Bitmap out;
    if (it != ix.ext_to_int.end() && ix.valid_ids.contains(it->second)) out.add(it->second);
    return out;
  }
  auto f = ix.str_index.find(field);
  if (f == ix.str_index.end()) return Bitmap();
  auto v = f->second.find(*text);
  if (v == f->second.end()) return Bitmap();
  return v->second.clone();
}

Bitmap evaluate_numeric_op(const CoreIndex& ix, const std::string& field, const std::string& op,
                           const Bitmap* restriction, float value) {
  auto it = ix.num_index.find(field);
  if (it == ix.num_index.end()) return Bitmap();
  NumericBsiIndex::Op o;
  if (!numeric_op(op, &o)) return Bitmap();
  Bitmap r = it->second.compare(o, value, ix.valid_ids);
  if (restriction != nullptr) r.and_with(*restriction);
  return r;
}

Bitmap evaluate_field_condition(const CoreIndex& ix, const std::string& field, const Json& cond,
                                const Bitmap* restriction) {
  if (cond.is_string() || cond.is_boolean()) return get_bitmap_str_eq(ix, field, cond);
  if (cond.is_number())
    return evaluate_numeric_op(ix, field, "$eq", restriction, json_number_to_f32(cond));
  if (!cond.is_object()) return Bitmap();  // null or an array
  Bitmap running = restriction != nullptr ? restriction->clone() : ix.valid_ids.clone();
  for (auto it = cond.begin(); it != cond.end(); ++it) {
    const std::string& op = it.key();
    const Json& arg = it.value();
    Bitmap r;
    if (op == "$eq") {
      r = arg.is_number() ? evaluate_numeric_op(ix, field, op, restriction, json_number_to_f32(arg))
                          : get_bitmap_str_eq(ix, field, arg);
    } else if (op == "$ne") {
      r = arg.is_number() ? evaluate_numeric_op(ix, field, op, restriction, json_number_to_f32(arg))
                          : Bitmap::andnot_of(ix.valid_ids, get_bitmap_str_eq(ix, field, arg));
    } else if (op == "$in") {
      r = evaluate_in(ix, field, arg);
    } else if (op == "$nin") {
      r = Bitmap::andnot_of(ix.valid_ids, evaluate_in(ix, field, arg));
    } else if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
      if (arg.is_number()) r = evaluate_numeric_op(ix, field, op, restriction, json_number_to_f32(arg));
    }
    // Every operator is computed; any other key matches nothing.
    running.and_with(r);
  }
  return running;
}

Bitmap evaluate_filter(const CoreIndex& ix, const Json& filter) {
  if (!filter.is_object()) return Bitmap();
  auto and_it = filter.find("$and");
  if (and_it != filter.end() && and_it->is_array()) {
    Bitmap running = ix.valid_ids.clone();
    for (const auto& e : *and_it) {
      if (running.empty()) break;
      running.and_with(evaluate_filter(ix, e));
    }
    return running;
  }
  auto or_it = filter.find("$or");
  if (or_it != filter.end() && or_it->is_array()) {
    Bitmap out;
    for (const auto& e : *or_it) out.or_with(evaluate_filter(ix, e));
    return out;
  }
  auto not_it = filter.find("$not");
  if (not_it != filter.end()) return Bitmap::andnot_of(ix.valid_ids, evaluate_filter(ix, *not_it));
  Bitmap running = ix.valid_ids.clone();
  for (auto it = filter.begin(); it != filter.end(); ++it) {
    const std::string& key = it.key();
    if (!key.empty() && key[0] == '$') continue;
    if (running.empty()) break;
    running.and_with(evaluate_field_condition(ix, key, it.value(), &running));
  }
  return running;
}

}  // namespace korvane
