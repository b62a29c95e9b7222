// Projections of search results: the asked top-level fields of each result's metadata, read by
// a scan of the record's text that parses only the values asked for.
#include <string>
#include <string_view>
#include <vector>

#include "lib/store.h"

namespace korvane {

namespace {

size_t skip_space(std::string_view t, size_t i) {
  while (i < t.size() && (t[i] == ' ' || t[i] == '\t' || t[i] == '\n' || t[i] == '\r')) ++i;
  return i;
}

// The end of the string literal starting at t[i] == '"', or npos.
size_t string_end(std::string_view t, size_t i) {
  for (++i; i < t.size(); ++i) {
    if (t[i] == '\\') {
      ++i;
    } else if (t[i] == '"') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// The end of the JSON value starting at t[i], or npos. The value itself is checked when it is
// parsed; here only strings and nesting are followed.
size_t value_end(std::string_view t, size_t i) {
  int depth = 0;
  while (i < t.size()) {
    char c = t[i];
    if (c == '"') {
      i = string_end(t, i);
      if (i == std::string_view::npos) return i;
      if (depth == 0) return i;
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return i;
      if (--depth == 0) return i + 1;
    } else if (c == ',' && depth == 0) {
      return i;
    }
    ++i;
  }
  return depth == 0 ? i : std::string_view::npos;
}

// Calls f(key, value text) for each top-level member of the object `t`; false when `t` is not
// an object as far as the scan can tell.
template <class F>
bool scan_members(std::string_view t, F&& f) {
  size_t i = skip_space(t, 0);
  if (i >= t.size() || t[i] != '{') return false;
  i = skip_space(t, i + 1);
  if (i < t.size() && t[i] == '}') return true;
  std::string unescaped;
  while (i < t.size()) {
    if (t[i] != '"') return false;
    size_t kend = string_end(t, i);
    if (kend == std::string_view::npos) return false;
    std::string_view key = t.substr(i + 1, kend - i - 2);
    if (key.find('\\') != std::string_view::npos) {
      Json k = Json::parse(t.substr(i, kend - i), nullptr, false);
      if (!k.is_string()) return false;
      unescaped = k.get<std::string>();
      key = unescaped;
    }
    i = skip_space(t, kend);
    if (i >= t.size() || t[i] != ':') return false;
    i = skip_space(t, i + 1);
    size_t vend = value_end(t, i);
    if (vend == std::string_view::npos) return false;
    f(key, t.substr(i, vend - i));
    i = skip_space(t, vend);
    if (i < t.size() && t[i] == '}') return true;
    if (i >= t.size() || t[i] != ',') return false;
    i = skip_space(t, i + 1);
  }
  return false;
}

}  // namespace

void project_fields(const std::vector<std::string>& fields, SearchOut* out) {
  const size_t n = out->size(), nf = fields.size();
  out->with_fields = true;
  out->fields = nf;
  out->values.assign(n * nf, Json());
  if (nf == 0) return;
  for (size_t k = 0; k < n; ++k) {
    std::string_view text(out->arena.data() + out->metas[k].first, out->metas[k].second);
    Json* row = out->values.data() + k * nf;
    bool whole = scan_members(text, [&](std::string_view key, std::string_view value) {
      for (size_t f = 0; f < nf; ++f) {
        if (key != fields[f]) continue;
        Json v = Json::parse(value, nullptr, false);
        row[f] = v.is_discarded() ? Json() : std::move(v);
      }
    });
    if (!whole)
      for (size_t f = 0; f < nf; ++f) row[f] = Json();  // not an object: nothing of it is read
  }
}

}  // namespace korvane
