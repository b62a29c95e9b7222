#include "filter/filter_check.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {
namespace {

// Why a document was refused, and where. The path is gathered as the recursion unwinds, so an
// accepted document costs no allocation at all.
struct Fault {
  std::string what;
  std::vector<std::string> path;  // JSON Pointer segments, innermost first
};

bool fail(Fault* f, std::string what) {
  f->what = std::move(what);
  return false;
}

// Adds the segment leading to a failed part, escaped as JSON Pointer wants ("~" and "/").
bool at(Fault* f, const std::string& key) {
  std::string s;
  for (char ch : key) {
    if (ch == '~') s += "~0";
    else if (ch == '/') s += "~1";
    else s += ch;
  }
  f->path.push_back(std::move(s));
  return false;
}

bool at(Fault* f, size_t index) {
  f->path.push_back(std::to_string(index));
  return false;
}

const char* kind_of(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "an object";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a boolean";
    default: return "a number";
  }
}

bool is_scalar(const Json& v) { return v.is_string() || v.is_boolean() || v.is_number(); }

bool condition(const Json& c, Fault* f);

bool operator_arg(const std::string& op, const Json& arg, Fault* f) {
  if (op == "$eq" || op == "$ne") {
    if (is_scalar(arg)) return true;
    return fail(f, "\"" + op + "\" takes a string, number or boolean, not " + kind_of(arg));
  }
  if (op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte") {
    if (arg.is_number()) return true;
    return fail(f, "\"" + op + "\" takes a number, not " + kind_of(arg) + " (only numbers are ordered)");
  }
  if (op == "$in" || op == "$nin") {
    if (!arg.is_array()) return fail(f, "\"" + op + "\" takes an array, not " + kind_of(arg));
    for (size_t i = 0; i < arg.size(); ++i)
      if (!condition(arg[i], f)) return at(f, i);
    return true;
  }
  if (!op.empty() && op[0] == '$')
    return fail(f, "unknown operator \"" + op + "\" (the operators are $eq $ne $gt $gte $lt $lte $in $nin)");
  return fail(f, "\"" + op + "\" is not an operator: nested objects are not matched");
}

bool condition(const Json& c, Fault* f) {
  if (is_scalar(c)) return true;
  if (c.is_null()) return fail(f, "a null condition matches nothing");
  if (c.is_array())
    return fail(f, "an array condition matches nothing (arrays are not indexed; {\"$in\": [...]} matches any of "
                   "several values)");
  if (c.empty()) return fail(f, "an empty condition {} matches every point");
  for (auto it = c.begin(); it != c.end(); ++it)
    if (!operator_arg(it.key(), it.value(), f)) return at(f, it.key());
  return true;
}

// The combinator evaluation applies to an object: "$and" or "$or" holding an array, in that
// order, else "$not"; nullptr when it takes the fields rule.
const char* combinator(const Json& d) {
  for (const char* k : {"$and", "$or"}) {
    auto it = d.find(k);
    if (it != d.end() && it->is_array()) return k;
  }
  return d.contains("$not") ? "$not" : nullptr;
}

bool document(const Json& d, Fault* f) {
  if (!d.is_object()) return fail(f, std::string("a filter must be a JSON object, not ") + kind_of(d));
  if (const char* comb = combinator(d)) {
    for (auto it = d.begin(); it != d.end(); ++it)
      if (it.key() != comb) {
        fail(f, "\"" + it.key() + "\" beside \"" + comb + "\" is ignored: a combinator must be alone in its object");
        return at(f, it.key());
      }
    const Json& v = d.begin().value();
    if (std::string_view(comb) == "$not") {
      if (v.is_object()) return document(v, f) || at(f, comb);
      fail(f, std::string("\"$not\" takes a filter object, not ") + kind_of(v));
      return at(f, comb);
    }
    for (size_t i = 0; i < v.size(); ++i)
      if (!document(v[i], f)) {
        at(f, i);
        return at(f, comb);
      }
    return true;
  }
  for (auto it = d.begin(); it != d.end(); ++it) {
    const std::string& key = it.key();
    if (key == "$and" || key == "$or")
      fail(f, "\"" + key + "\" takes an array of filters, not " + kind_of(it.value()));
    else if (!key.empty() && key[0] == '$')
      fail(f, "unknown operator \"" + key + "\" (a filter's keys are field names, or one of $and $or $not)");
    else if (condition(it.value(), f))
      continue;
    return at(f, key);
  }
  return true;
}

}  // namespace

Status check_filter(const Json& filter) {
  Fault f;
  if (document(filter, &f)) return {};
  std::string where;
  for (auto it = f.path.rbegin(); it != f.path.rend(); ++it) where += "/" + *it;
  return Error::value("filter refused" + (where.empty() ? "" : " at " + where) + ": " + f.what);
}

Result<Json> parse_filter(std::string_view text, bool strict) {
  auto doc = parse_json(text);
  if (!doc || !strict) return doc;
  KV_TRY(check_filter(*doc));
  return doc;
}

Result<std::shared_ptr<const Json>> parse_filter_shared(std::string_view text, bool strict) {
  // The last few documents this thread parsed, the most recent first. Long texts are not kept:
  // they would hold memory for the thread's life, and their parse is rare next to their use.
  constexpr size_t kRecent = 8;
  constexpr size_t kLongest = 4096;
  struct Parsed {
    std::string text;
    bool strict;
    std::shared_ptr<const Json> doc;
  };
  thread_local std::vector<Parsed> recent;
  for (size_t i = 0; i < recent.size(); ++i) {
    if (recent[i].strict != strict || recent[i].text != text) continue;
    std::rotate(recent.begin(), recent.begin() + static_cast<std::ptrdiff_t>(i),
                recent.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    return recent.front().doc;
  }
  auto parsed = parse_filter(text, strict);
  if (!parsed) return parsed.error();
  auto doc = std::make_shared<const Json>(std::move(*parsed));
  if (text.size() <= kLongest) {
    if (recent.size() == kRecent) recent.pop_back();
    recent.insert(recent.begin(), Parsed{std::string(text), strict, doc});
  }
  return doc;
}

Result<std::shared_ptr<const Json>> parse_filter_shared(const std::optional<std::string_view>& text, bool strict) {
  if (!text) return std::shared_ptr<const Json>();
  return parse_filter_shared(*text, strict);
}

}  // namespace korvane
