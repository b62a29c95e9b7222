// The Python surface: module initialisation, the Korvane type and its method table. Arguments are
// converted in py_args.*, results built in py_results.* and engine errors mapped to exceptions in
// py_errors.*. The surface's files build against CPython's and PyPy's headers alike, so they use
// public API only.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/numeric_bsi.h"
#include "lib/arena_cache.h"
#include "lib/packed_results.h"
#include "lib/lifecycle_gil.h"
#include "lib/py_args.h"
#include "lib/py_errors.h"
#include "lib/py_results.h"
#include "lib/store.h"
#include "spatial/search.h"

using korvane::Error;
using korvane::ErrorKind;
using korvane::SearchOut;
using korvane::Store;
using namespace korvane::py;  // NOLINT: the surface's own helpers
using korvane::py::PyRef;
using korvane::py::guarded;
using korvane::py::without_gil;
using korvane::py::panic_exception;
using korvane::py::raise_error;
using korvane::py::raise_internal;
using korvane::py::set_message;

namespace {

// ---------------------------------------------------------------------------------------------
// The type

struct KorvaneObject {
  PyObject_HEAD
  // This object's share of its directory's engine (every object on one directory shares one):
  // created in the creation slot, released in dealloc.
  std::shared_ptr<Store>* store;
  bool read_only;       // this object refuses changes, whatever the engine allows
  bool closed;          // close() released its share: every call but close() refuses
  bool strict_filters;  // this object's filters are checked first (the engine is shared)
  korvane::Durability durability;  // how far this object's changes go before they return
};

// The receiver's engine object. Only PyPy lets object.__new__ make an instance that skipped the
// creation slot; such an object has no directory and refuses every call.
// Tests search_polygon's candidates edge after edge, as the rule is written, while on: the
// benchmark measures the edge index against it.
PyObject* module_plain_polygons(PyObject*, PyObject* arg) {
  int on = PyObject_IsTrue(arg);
  if (on < 0) return nullptr;
  korvane::set_plain_polygons(on != 0);
  Py_RETURN_NONE;
}

// _floor_call(n): the least a search returning n results can cost from Python: one C call that
// builds a list of n (id, distance, metadata) tuples from C strings, object by object, without
// an index, a lock or a hand-off of the interpreter lock. For the benchmark.
PyObject* module_floor_call(PyObject*, PyObject* arg) {
  Py_ssize_t n = PyLong_AsSsize_t(arg);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n < 0) {
    PyErr_SetString(PyExc_ValueError, "n must not be negative");
    return nullptr;
  }
  static const char kId[] = "p0123456";
  static const char kMeta[] = R"({"kind":"cafe","name":"Kalo 12","open":true,"price":2,"rating":3.5})";
  PyRef list(PyList_New(n));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef t(PyTuple_New(3));
    if (!t) return nullptr;
    PyObject* id = PyUnicode_FromStringAndSize(kId, static_cast<Py_ssize_t>(sizeof kId - 1));
    if (id == nullptr) return nullptr;
    PyTuple_SET_ITEM(t.get(), 0, id);
    PyObject* d = PyFloat_FromDouble(12.5 + double(i));
    if (d == nullptr) return nullptr;
    PyTuple_SET_ITEM(t.get(), 1, d);
    PyObject* meta = PyUnicode_FromStringAndSize(kMeta, static_cast<Py_ssize_t>(sizeof kMeta - 1));
    if (meta == nullptr) return nullptr;
    PyTuple_SET_ITEM(t.get(), 2, meta);
    PyList_SET_ITEM(list.get(), i, t.release());
  }
  return list.release();
}

// _floor_box(top_left, bottom_right): the same least cost for a box search with one result: its
// two corners converted as search_box converts them, and a list of one (id, metadata) tuple.
PyObject* module_floor_box(PyObject*, PyObject* args) {
  PyObject *a, *b;
  if (!PyArg_UnpackTuple(args, "_floor_box", 2, 2, &a, &b)) return nullptr;
  std::pair<float, float> tl, br;
  if (!to_pair(a, "top_left", &tl) || !to_pair(b, "bottom_right", &br)) return nullptr;
  static const char kId[] = "p0123456";
  static const char kMeta[] = R"({"kind":"cafe","name":"Kalo 12","open":true,"price":2,"rating":3.5})";
  PyRef list(PyList_New(1));
  if (!list) return nullptr;
  PyObject* t = Py_BuildValue("(s#s#)", kId, Py_ssize_t(sizeof kId - 1), kMeta, Py_ssize_t(sizeof kMeta - 1));
  if (t == nullptr) return nullptr;
  PyList_SET_ITEM(list.get(), 0, t);
  return list.release();
}

std::shared_ptr<Store> store_of(PyObject* self) {
  auto* obj = reinterpret_cast<KorvaneObject*>(self);
  std::shared_ptr<Store>* s = obj->store;
  if (s == nullptr) {
    PyErr_SetString(PyExc_ValueError, obj->closed ? "the store is closed"
                                                  : "Korvane object is not initialized: create it as Korvane(storage_path)");
    return nullptr;
  }
  return *s;
}

// The engine for a change: none (with the exception set) when this object is read-only.
std::shared_ptr<Store> writable_store_of(PyObject* self) {
  std::shared_ptr<Store> s = store_of(self);
  if (s != nullptr && reinterpret_cast<KorvaneObject*>(self)->read_only) {
    raise_error(korvane::Error::unsupported("the store is read-only"));
    return nullptr;
  }
  return s;
}

bool strict_filters_of(PyObject* self) { return reinterpret_cast<KorvaneObject*>(self)->strict_filters; }

korvane::Durability durability_of(PyObject* self) { return reinterpret_cast<KorvaneObject*>(self)->durability; }

const char* const kCtorNames[] = {"storage_path", "read_only", "strict_filters", "durability", "recover", "preload"};
const char* const kAddNames[] = {"id", "lat", "lon", "metadata"};
const char* const kDeleteNames[] = {"id"};
const char* const kAddManyNames[] = {"points"};
const char* const kDbfNames[] = {"filter_json"};
const char* const kKnnNames[] = {"lat", "lon", "k", "filter_json", "exact", "max_distance_m", "fields", "coords"};
const char* const kBoxNames[] = {"top_left", "bottom_right", "filter_json", "fields", "coords"};
const char* const kRadiusNames[] = {"lat", "lon", "radius_m", "filter_json", "fields", "coords"};
const char* const kPolygonNames[] = {"points", "filter_json", "fields", "coords"};

PyObject* korvane_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* a[6];
  if (!match_args({"Korvane", kCtorNames, 1, 6, 4}, CallArgs::of_tuple(args, kwargs), a)) return nullptr;
  // A path object (pathlib.Path and the like) stands for the text it gives.
  PyRef fspath;
  if (!PyUnicode_Check(a[0]) && PyObject_HasAttrString(a[0], "__fspath__")) {
    fspath = PyRef(PyOS_FSPath(a[0]));
    if (!fspath) return nullptr;
    if (!PyUnicode_Check(fspath.get()))
      return fail_type("storage_path", "expected a path giving str, got one giving %.200s", fspath.get()), nullptr;
    a[0] = fspath.get();
  }
  std::string_view path;
  if (!to_text(a[0], "storage_path", &path)) return nullptr;
  bool read_only = false, strict = false;
  if (!to_flag(a[1], "read_only", &read_only) || !to_flag(a[2], "strict_filters", &strict)) return nullptr;
  // A read-only object changes nothing, so any level holds for it; it is accepted all the same.
  korvane::Durability durability;
  if (!to_durability(a[3], &durability)) return nullptr;
  // recover=True: a damaged snapshot is rebuilt from the record files and the log instead of
  // failing the open; what was restored and what was not comes as a RuntimeWarning.
  bool recover = false;
  if (!to_flag(a[4], "recover", &recover)) return nullptr;
  // preload=True: the records are read into memory (Store::preload), for a writable store.
  bool preload = false;
  if (!to_flag(a[5], "preload", &preload)) return nullptr;
  if (preload && read_only) {
    PyErr_SetString(PyExc_ValueError, "preload needs a store opened for writing (read_only=False)");
    return nullptr;
  }
  if (path.find('\0') != std::string_view::npos) {
    // The system cannot name such a directory; cutting the text at the NUL would open another.
    PyErr_SetString(PyExc_ValueError, "embedded null character in path");
    return nullptr;
  }
  if (path.empty()) {
    // "" is no directory; the current one would be taken instead.
    PyErr_SetString(PyExc_ValueError, "storage_path is empty");
    return nullptr;
  }
  // Opening (a snapshot to load, a log to replay) runs without the interpreter lock.
  std::optional<std::string> dir = guarded([&]() -> std::optional<std::string> { return std::string(path); });
  if (!dir) return nullptr;
  auto opened = guarded([&]() -> std::optional<korvane::Result<std::shared_ptr<Store>>> {
    return without_gil([&]() -> korvane::Result<std::shared_ptr<Store>> {
      auto s = Store::open(*dir, read_only, recover);
      if (s && preload) KV_TRY((*s)->preload());
      return s;
    });
  });
  if (!opened) return nullptr;
  if (!*opened) {
    raise_error(opened->error(), &*dir);
    return nullptr;
  }
  auto held = guarded([&]() -> std::optional<std::shared_ptr<Store>*> {
    return new std::shared_ptr<Store>(std::move(opened->value()));
  });
  if (!held) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    delete *held;
    return nullptr;
  }
  auto* obj = reinterpret_cast<KorvaneObject*>(self);
  obj->store = *held;
  obj->closed = false;
  obj->read_only = read_only || (*obj->store)->read_only();
  obj->strict_filters = strict;
  obj->durability = durability;
  std::string recovered = (*obj->store)->take_recovery_report();
  if (!recovered.empty() && PyErr_WarnEx(PyExc_RuntimeWarning, recovered.c_str(), 1) < 0) {
    Py_DECREF(self);
    return nullptr;
  }
  return self;
}

void korvane_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  try {
    delete reinterpret_cast<KorvaneObject*>(self)->store;
  } catch (...) {
    // Destruction reports nothing.
  }
  reinterpret_cast<KorvaneObject*>(self)->store = nullptr;
  PyObject_Free(self);
  Py_DECREF(type);
}

// add and upsert: the arguments matched and converted as add converts them, then
// call(store, id, lat, lon, metadata, durability) gives the result.
template <class Call>
PyObject* point_call(PyObject* self, const CallArgs& args, const char* callee, Call&& call) {
  PyObject* a[4];
  if (!match_args({callee, kAddNames, 4, 4}, args, a)) return nullptr;
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr) return nullptr;
  std::string_view id, meta;
  float lat = 0, lon = 0;
  if (!to_text(a[0], "id", &id) || !to_f32(a[1], "lat", &lat) || !to_f32(a[2], "lon", &lon) ||
      !to_text(a[3], "metadata", &meta))
    return nullptr;
  return call(store, id, lat, lon, meta, durability_of(self));
}

PyObject* korvane_add(PyObject* self, const CallArgs& args) {
  return point_call(self, args, "Korvane.add",
                    [](const std::shared_ptr<Store>& store, std::string_view id, float lat, float lon,
                       std::string_view meta, korvane::Durability d) {
                      return none_or_raise(*store, [&] { return store->add(id, lat, lon, meta, d); });
                    });
}

PyObject* korvane_persist(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr) return nullptr;
  return none_or_raise(*store, [&] { return store->persist(); });
}

PyObject* korvane_count(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  auto n = guarded([&]() -> std::optional<uint64_t> { return without_gil([&] { return store->count(); }); });
  if (!n) return nullptr;
  return PyLong_FromUnsignedLongLong(*n);
}

// The store of a change taking one text argument, and that text; null with the error set.
std::shared_ptr<Store> writable_with_text(PyObject* self, const CallArgs& args, const Params& p,
                                          const char* name, std::string_view* text) {
  PyObject* a[1];
  if (!match_args(p, args, a)) return nullptr;
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr || !to_text(a[0], name, text)) return nullptr;
  return store;
}

PyObject* korvane_delete(PyObject* self, const CallArgs& args) {
  std::string_view id;
  std::shared_ptr<Store> store = writable_with_text(self, args, {"Korvane.delete", kDeleteNames, 1, 1}, "id", &id);
  if (store == nullptr) return nullptr;
  korvane::Durability d = durability_of(self);
  return none_or_raise(*store, [&] { return store->remove(id, d); });
}

PyObject* korvane_delete_by_filter(PyObject* self, const CallArgs& args) {
  std::string_view f;
  std::shared_ptr<Store> store =
      writable_with_text(self, args, {"Korvane.delete_by_filter", kDbfNames, 1, 1}, "filter_json", &f);
  if (store == nullptr) return nullptr;
  bool strict = strict_filters_of(self);
  korvane::Durability d = durability_of(self);
  return value_or_raise(*store, [&] { return store->delete_by_filter(f, strict, d); }, PyLong_FromUnsignedLongLong);
}

PyObject* korvane_vacuum(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr) return nullptr;
  return none_or_raise(*store, [&] { return store->vacuum(); });
}

PyObject* korvane_search_knn(PyObject* self, const CallArgs& args) {
  PyObject* a[8];
  if (!match_args({"Korvane.search_knn", kKnnNames, 3, 8, 4}, args, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  float lat = 0, lon = 0;
  uint64_t k = 0;
  std::optional<std::string_view> f;
  bool exact = false;
  if (!to_f32(a[0], "lat", &lat) || !to_f32(a[1], "lon", &lon) || !to_count(a[2], "k", &k) ||
      !to_filter(a[3], "filter_json", &f) || !to_flag(a[4], "exact", &exact))
    return nullptr;
  std::optional<float> max_m;
  korvane::Projection proj;
  if (!to_limit(a[5], "max_distance_m", &max_m) || !to_projection(a[6], a[7], &proj)) return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(
      *store, [&] { return store->search_knn(lat, lon, k, f, exact, strict, max_m, proj); }, proj.any());
}

PyObject* korvane_search_box(PyObject* self, const CallArgs& args) {
  PyObject* a[5];
  if (!match_args({"Korvane.search_box", kBoxNames, 2, 5, 2}, args, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::pair<float, float> tl, br;
  std::optional<std::string_view> f;
  korvane::Projection proj;
  if (!to_pair(a[0], "top_left", &tl) || !to_pair(a[1], "bottom_right", &br) || !to_filter(a[2], "filter_json", &f) ||
      !to_projection(a[3], a[4], &proj))
    return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(*store, [&] { return store->search_box(tl, br, f, strict, proj); }, proj.any());
}

PyObject* korvane_search_radius(PyObject* self, const CallArgs& args) {
  PyObject* a[6];
  if (!match_args({"Korvane.search_radius", kRadiusNames, 3, 6, 2}, args, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  float lat = 0, lon = 0, r = 0;
  std::optional<std::string_view> f;
  if (!to_f32(a[0], "lat", &lat) || !to_f32(a[1], "lon", &lon) || !to_f32(a[2], "radius_m", &r) ||
      !to_filter(a[3], "filter_json", &f))
    return nullptr;
  korvane::Projection proj;
  if (!to_projection(a[4], a[5], &proj)) return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(*store, [&] { return store->search_radius(lat, lon, r, f, strict, proj); }, proj.any());
}

PyObject* korvane_search_polygon(PyObject* self, const CallArgs& args) {
  PyObject* a[4];
  if (!match_args({"Korvane.search_polygon", kPolygonNames, 1, 4, 2}, args, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::vector<std::pair<float, float>> pts;
  std::optional<std::string_view> f;
  korvane::Projection proj;
  if (!to_points(a[0], "points", &pts) || !to_filter(a[1], "filter_json", &f) || !to_projection(a[2], a[3], &proj))
    return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(*store, [&] { return store->search_polygon(pts, f, strict, proj); }, proj.any());
}

// ---------------------------------------------------------------------------------------------
// Shapes

const char* const kGeojsonNames[] = {"geometry", "filter_json", "fields", "coords"};

PyObject* korvane_search_geojson(PyObject* self, const CallArgs& args) {
  PyObject* a[4];
  if (!match_args({"Korvane.search_geojson", kGeojsonNames, 1, 4, 2}, args, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::optional<std::string_view> f;
  std::string_view text;
  korvane::Json doc;
  bool as_text = PyUnicode_Check(a[0]);
  if (as_text) {
    if (!to_text(a[0], "geometry", &text)) return nullptr;
  } else if (PyDict_Check(a[0])) {
    if (!guarded([&] { return to_json_value(a[0], 0, &doc); })) return nullptr;
  } else {
    fail_type("geometry", "expected a GeoJSON geometry as a dict or JSON text, got %.200s", a[0]);
    return nullptr;
  }
  korvane::Projection proj;
  if (!to_filter(a[1], "filter_json", &f) || !to_projection(a[2], a[3], &proj)) return nullptr;
  bool strict = strict_filters_of(self);
  return list_or_raise(
      *store, [&] { return store->search_geojson(as_text ? &text : nullptr, as_text ? nullptr : &doc, f, strict, proj); },
      proj.any());
}


// add_many and upsert_many: the items of `a[0]` converted and handed to `store_call(chunk, &done,
// &counted)` in chunks, each under one acquisition of the store's locks. The first failing item
// ends the call with "item K: " before its error; the items before it are stored first.
template <class Call>
PyObject* points_in_chunks(PyObject* self, const CallArgs& args, const Params& params, Call&& store_call) {
  PyObject* a[1];
  if (!match_args(params, args, a)) return nullptr;
  std::shared_ptr<Store> store = writable_store_of(self);
  if (store == nullptr) return nullptr;
  PyRef it(PyObject_GetIter(a[0]));
  if (!it) {
    prefix_type_error(params.names[0]);
    return nullptr;
  }
  constexpr size_t kChunk = 8192;
  std::vector<korvane::NewPoint> chunk;
  std::vector<PyRef> keep;  // the strings chunk views
  size_t base = 0;          // position of chunk[0]
  uint64_t counted = 0;
  for (bool more = true; more;) {
    chunk.clear();
    keep.clear();
    bool bad_item = false;
    while (chunk.size() < kChunk) {
      PyRef item(PyIter_Next(it.get()));
      if (!item) {
        more = false;
        bad_item = PyErr_Occurred() != nullptr;  // the iterator itself failed at this position
        break;
      }
      if (!guarded([&]() -> std::optional<bool> {
            if (chunk.empty()) {
              chunk.reserve(kChunk);
              keep.reserve(2 * kChunk);
            }
            chunk.emplace_back();
            return true;
          }))
        return nullptr;
      if (!to_new_point(item.get(), &chunk.back(), &keep)) {
        chunk.pop_back();
        bad_item = true;
        more = false;
        break;
      }
    }
    PyObject *et = nullptr, *ev = nullptr, *etb = nullptr;
    if (bad_item) PyErr_Fetch(&et, &ev, &etb);  // the items before it are stored first
    size_t done = 0;
    auto r = guarded([&]() -> std::optional<korvane::Status> {
      return without_gil([&] { return store_call(*store, chunk, &done, &counted); });
    });
    if (!r || !*r) {
      Py_XDECREF(et);
      Py_XDECREF(ev);
      Py_XDECREF(etb);
      if (r) raise_error(r->error(), &store->storage_path());
      prefix_item(base + done);
      return nullptr;
    }
    if (bad_item) {
      PyErr_Restore(et, ev, etb);
      prefix_item(base + chunk.size());
      return nullptr;
    }
    base += chunk.size();
  }
  return PyLong_FromUnsignedLongLong(counted);
}

PyObject* korvane_add_many(PyObject* self, const CallArgs& args) {
  korvane::Durability d = durability_of(self);
  return points_in_chunks(self, args, {"Korvane.add_many", kAddManyNames, 1, 1},
                          [&](Store& s, const std::vector<korvane::NewPoint>& chunk, size_t* done, uint64_t* added) {
                            return s.add_many(chunk, done, added, d);
                          });
}

// ---------------------------------------------------------------------------------------------
// Upserts

const char* const kUpsertManyNames[] = {"items"};

PyObject* korvane_upsert(PyObject* self, const CallArgs& args) {
  return point_call(self, args, "Korvane.upsert",
                    [](const std::shared_ptr<Store>& store, std::string_view id, float lat, float lon,
                       std::string_view meta, korvane::Durability d) {
                      return value_or_raise(*store, [&] { return store->upsert(id, lat, lon, meta, d); },
                                            PyBool_FromLong);
                    });
}

// upsert_many(items): the items as add_many takes them, each upserted in order; the number of
// points replaced. The items before a faulty one are stored, and the error names its position.
PyObject* korvane_upsert_many(PyObject* self, const CallArgs& args) {
  korvane::Durability d = durability_of(self);
  return points_in_chunks(self, args, {"Korvane.upsert_many", kUpsertManyNames, 1, 1},
                          [&](Store& s, const std::vector<korvane::NewPoint>& chunk, size_t* done,
                              uint64_t* replaced) { return s.upsert_many(chunk, done, replaced, d); });
}

// ---------------------------------------------------------------------------------------------
// Counts

const char* const kCountNames[] = {"filter_json", "box", "circle", "polygon"};
const char* const kFacetNames[] = {"field", "filter_json", "box", "circle", "polygon"};

PyObject* korvane_count_where(PyObject* self, const CallArgs& args) {
  PyObject* a[4];
  if (!match_args({"Korvane.count_where", kCountNames, 0, 4, 3}, args, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::optional<std::string_view> f;
  korvane::CountArea area;
  if (!to_filter(a[0], "filter_json", &f) || !to_area(a[1], a[2], a[3], &area)) return nullptr;
  bool strict = strict_filters_of(self);
  return value_or_raise(*store, [&] { return store->count_where(f, area, strict); }, PyLong_FromUnsignedLongLong);
}

// {value: count}: texts as str, numbers as float, booleans as bool. True and 1.0 (False and 0.0)
// are one key of a dict: their counts are added together.
PyObject* korvane_facet_counts(PyObject* self, const CallArgs& args) {
  PyObject* a[5];
  if (!match_args({"Korvane.facet_counts", kFacetNames, 1, 5, 3}, args, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::string_view field;
  std::optional<std::string_view> f;
  korvane::CountArea area;
  if (!to_text(a[0], "field", &field) || !to_filter(a[1], "filter_json", &f) || !to_area(a[2], a[3], a[4], &area))
    return nullptr;
  bool strict = strict_filters_of(self);
  auto r = guarded([&]() -> std::optional<korvane::Result<korvane::FacetOut>> {
    return without_gil([&] { return store->facet_counts(field, f, area, strict); });
  });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store->storage_path());
    return nullptr;
  }
  const korvane::FacetOut& out = r->value();
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](PyRef key, uint64_t n) {
    if (!key) return false;
    PyObject* had = PyDict_GetItem(dict.get(), key.get());  // borrowed
    unsigned long long before = had != nullptr ? PyLong_AsUnsignedLongLong(had) : 0;
    PyRef count(PyLong_FromUnsignedLongLong(before + n));
    return count && PyDict_SetItem(dict.get(), key.get(), count.get()) == 0;
  };
  for (const auto& [text, n] : out.texts)
    if (!put(PyRef(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")), n))
      return nullptr;
  for (const auto& [b, n] : out.bools)
    if (!put(PyRef(PyBool_FromLong(b)), n)) return nullptr;
  for (const auto& [x, n] : out.numbers)
    if (!put(PyRef(PyFloat_FromDouble(static_cast<double>(x))), n)) return nullptr;
  return dict.release();
}

// ---------------------------------------------------------------------------------------------
// Listing. Both take a snapshot of the live ids when they start: changes made while iterating
// never disturb the iteration. iter(db) yields exactly those ids; items() yields each of them
// that is still live when reached, with its position and metadata at that moment.

PyObject* live_id_list(PyObject* self) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  korvane::SearchOut ids;  // ids only: its arena and spans
  auto r = guarded([&]() -> std::optional<korvane::Status> {
    return without_gil([&] { return store->live_ids(&ids.arena, &ids.ids); });
  });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store->storage_path());
    return nullptr;
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    const auto& [at, len] = ids.ids[i];
    PyObject* s = PyUnicode_DecodeUTF8(ids.arena.data() + at, static_cast<Py_ssize_t>(len), "replace");
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

PyObject* korvane_iter(PyObject* self) {
  PyRef list(live_id_list(self));
  return list ? PyObject_GetIter(list.get()) : nullptr;
}

// The generator of items(), compiled once per process.
const char kItemsSource[] = R"PY(
def items(get, ids):
    for i in ids:
        p = get(i)
        if p is not None:
            yield (i, p[0], p[1], p[2])
)PY";
PyObject* g_items = nullptr;

PyObject* korvane_items(PyObject* self, PyObject*) {
  if (g_items == nullptr) {
    PyRef builtins(PyImport_ImportModule("builtins"));
    PyRef globals(builtins ? PyDict_New() : nullptr);
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) != 0) return nullptr;
    PyRef code(Py_CompileString(kItemsSource, "<korvane items>", Py_file_input));
    PyRef done(code ? PyEval_EvalCode(code.get(), globals.get(), globals.get()) : nullptr);
    if (!done) return nullptr;
    PyObject* f = PyDict_GetItemString(globals.get(), "items");  // borrowed
    if (f == nullptr) return raise_internal("items generator missing"), nullptr;
    Py_INCREF(f);
    g_items = f;
  }
  PyRef ids(live_id_list(self));
  PyRef get(ids ? PyObject_GetAttrString(self, "get") : nullptr);
  if (!get) return nullptr;
  return PyObject_CallFunctionObjArgs(g_items, get.get(), ids.get(), nullptr);
}

// _verify(): {"live", "deleted", "invariants", "bad_ids", "bad_metadata"}, every live point's
// records read and checked (the command line's check).
PyObject* korvane_verify(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  auto r = guarded([&]() -> std::optional<korvane::Result<korvane::VerifyOut>> {
    return without_gil([&] { return store->verify(); });
  });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store->storage_path());
    return nullptr;
  }
  const korvane::VerifyOut& v = r->value();
  return Py_BuildValue("{sKsKsOsKsK}", "live", static_cast<unsigned long long>(v.live), "deleted",
                       static_cast<unsigned long long>(v.deleted), "invariants", v.invariants ? Py_True : Py_False,
                       "bad_ids", static_cast<unsigned long long>(v.bad_ids), "bad_metadata",
                       static_cast<unsigned long long>(v.bad_metadata));
}

PyObject* korvane_get(PyObject* self, const CallArgs& args) {
  PyObject* a[1];
  if (!match_args({"Korvane.get", kDeleteNames, 1, 1}, args, a)) return nullptr;
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  std::string_view id;
  if (!to_text(a[0], "id", &id)) return nullptr;
  auto r = guarded([&]() -> std::optional<korvane::Result<std::optional<korvane::PointOut>>> {
    return without_gil([&] { return store->get(id); });
  });
  if (!r) return nullptr;
  if (!*r) {
    raise_error(r->error(), &store->storage_path());
    return nullptr;
  }
  const auto& p = r->value();
  if (!p) Py_RETURN_NONE;
  PyObject* meta = PyUnicode_DecodeUTF8(p->metadata.data(), static_cast<Py_ssize_t>(p->metadata.size()), "strict");
  if (meta == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    PyErr_Clear();
    meta = PyUnicode_FromString("{}");
  }
  if (meta == nullptr) return nullptr;
  return Py_BuildValue("(ddN)", static_cast<double>(p->lat), static_cast<double>(p->lon), meta);
}

// (syncs, length): the log syncs the "power" level made so far on this object's store, and the
// length of wal.bin the last one covered. For tests.
PyObject* korvane_log_syncs(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  auto [syncs, len] = store->log_syncs();
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(syncs), static_cast<unsigned long long>(len));
}

PyObject* korvane_flush(PyObject* self, PyObject*) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return nullptr;
  return none_or_raise(*store, [&] { return store->flush(); });
}

// Releases this object's share of its directory's engine, after writing out and forcing the log.
// The files, mappings and lock go when the last object sharing them closes.
PyObject* korvane_close(PyObject* self, PyObject*) {
  auto* obj = reinterpret_cast<KorvaneObject*>(self);
  if (obj->store == nullptr) Py_RETURN_NONE;
  std::shared_ptr<Store> store = *obj->store;  // another thread may close it meanwhile
  // A forked child has nothing of its own to write: it only lets go.
  if (!store->foreign()) {
    PyObject* flushed = none_or_raise(*store, [&] { return store->flush(); });
    if (flushed == nullptr) return nullptr;
    Py_DECREF(flushed);
  }
  std::shared_ptr<Store>* held = obj->store;
  obj->store = nullptr;
  obj->closed = true;
  if (held == nullptr) Py_RETURN_NONE;  // closed by another thread while this one flushed
  try {
    delete held;
  } catch (...) {
    // Destruction reports nothing.
  }
  Py_RETURN_NONE;
}

PyObject* korvane_enter(PyObject* self, PyObject*) {
  if (!store_of(self)) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* korvane_exit(PyObject* self, PyObject*) {
  PyObject* r = korvane_close(self, nullptr);
  if (r == nullptr) return nullptr;
  Py_DECREF(r);
  Py_RETURN_FALSE;  // an exception from the block goes on
}

Py_ssize_t korvane_len(PyObject* self) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return -1;
  auto n = guarded([&]() -> std::optional<uint64_t> { return without_gil([&] { return store->count(); }); });
  if (!n) return -1;
  return static_cast<Py_ssize_t>(*n);
}

// Whether a live point has this id; anything but a str is never one.
int korvane_contains(PyObject* self, PyObject* key) {
  std::shared_ptr<Store> store = store_of(self);
  if (store == nullptr) return -1;
  if (!PyUnicode_Check(key)) return 0;
  std::string_view id;
  if (!to_text(key, "id", &id)) return -1;
  auto r = guarded([&]() -> std::optional<korvane::Result<bool>> {
    return without_gil([&] { return store->contains(id); });
  });
  if (!r) return -1;
  if (!*r) {
    raise_error(r->error(), &store->storage_path());
    return -1;
  }
  return r->value() ? 1 : 0;
}

#define KV_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_entry<fn>))

PyMethodDef kMethods[] = {
    {"add", KV_KW(korvane_add), kMethodFlags, "add($self, id, lat, lon, metadata)\n--\n\n"},
    {"persist", korvane_persist, METH_NOARGS, "persist($self)\n--\n\n"},
    {"count", korvane_count, METH_NOARGS, "count($self)\n--\n\n"},
    {"delete", KV_KW(korvane_delete), kMethodFlags, "delete($self, id)\n--\n\n"},
    {"delete_by_filter", KV_KW(korvane_delete_by_filter), kMethodFlags,
     "delete_by_filter($self, filter_json)\n--\n\n"},
    {"vacuum", korvane_vacuum, METH_NOARGS, "vacuum($self)\n--\n\n"},
    {"search_knn", KV_KW(korvane_search_knn), kMethodFlags,
     "search_knn($self, lat, lon, k, filter_json=None, *, exact=False, max_distance_m=None, fields=None, "
     "coords=False)\n--\n\n"},
    {"search_box", KV_KW(korvane_search_box), kMethodFlags,
     "search_box($self, top_left, bottom_right, filter_json=None, *, fields=None, coords=False)\n--\n\n"},
    {"search_radius", KV_KW(korvane_search_radius), kMethodFlags,
     "search_radius($self, lat, lon, radius_m, filter_json=None, *, fields=None, coords=False)\n--\n\n"},
    {"search_polygon", KV_KW(korvane_search_polygon), kMethodFlags,
     "search_polygon($self, points, filter_json=None, *, fields=None, coords=False)\n--\n\n"},
    {"add_many", KV_KW(korvane_add_many), kMethodFlags, "add_many($self, points)\n--\n\n"},
    {"get", KV_KW(korvane_get), kMethodFlags, "get($self, id)\n--\n\n"},
    {"count_where", KV_KW(korvane_count_where), kMethodFlags,
     "count_where($self, filter_json=None, *, box=None, circle=None, polygon=None)\n--\n\n"},
    {"facet_counts", KV_KW(korvane_facet_counts), kMethodFlags,
     "facet_counts($self, field, filter_json=None, *, box=None, circle=None, polygon=None)\n--\n\n"},
    {"items", korvane_items, METH_NOARGS, "items($self)\n--\n\n"},
    {"upsert", KV_KW(korvane_upsert), kMethodFlags, "upsert($self, id, lat, lon, metadata)\n--\n\n"},
    {"upsert_many", KV_KW(korvane_upsert_many), kMethodFlags,
     "upsert_many($self, items)\n--\n\n"},
    {"flush", korvane_flush, METH_NOARGS, "flush($self)\n--\n\n"},
    {"_verify", korvane_verify, METH_NOARGS, "_verify($self)\n--\n\n"},
    {"_log_syncs", korvane_log_syncs, METH_NOARGS, "_log_syncs($self)\n--\n\n"},
    {"close", korvane_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", korvane_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", korvane_exit, METH_VARARGS, "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"},
    {"search_geojson", KV_KW(korvane_search_geojson), kMethodFlags,
     "search_geojson($self, geometry, filter_json=None, *, fields=None, coords=False)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(korvane_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(korvane_dealloc)},
    {Py_tp_doc, const_cast<char*>("Korvane(storage_path, read_only=False, *, strict_filters=False, durability='buffered', recover=False, preload=False)\n--\n\n")},
    {Py_tp_methods, kMethods},
    {Py_sq_length, reinterpret_cast<void*>(korvane_len)},
    {Py_sq_contains, reinterpret_cast<void*>(korvane_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(korvane_iter)},
    {0, nullptr},
};

PyType_Spec kTypeSpec = {"Korvane", sizeof(KorvaneObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

PyMethodDef kModuleMethods[] = {
    {"_packed_results", module_packed_results, METH_O, "_packed_results(on, /)\n--\n\n"},
    {"_plain_polygons", module_plain_polygons, METH_O, "_plain_polygons(on, /)\n--\n\n"},
    {"_floor_call", module_floor_call, METH_O, "_floor_call(n, /)\n--\n\n"},
    {"_floor_box", module_floor_box, METH_VARARGS, "_floor_box(top_left, bottom_right, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "korvane", "", -1, kModuleMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

namespace {

// Creates the type. Its name carries no module, which CPython reports with a DeprecationWarning
// while it builds the type; under "-W error" that warning would fail the import, so it is
// silenced for the duration of the call, and __module__ is set right after.
PyObject* make_type() {
  PyRef warnings(PyImport_ImportModule("warnings"));
  if (!warnings) return nullptr;
  PyRef ctx(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
  if (!ctx) return nullptr;
  PyRef entered(PyObject_CallMethod(ctx.get(), "__enter__", nullptr));
  if (!entered) return nullptr;
  PyRef filtered(PyObject_CallMethod(warnings.get(), "simplefilter", "sO", "ignore", PyExc_DeprecationWarning));
  PyObject* type = filtered ? PyType_FromSpec(&kTypeSpec) : nullptr;
  PyObject *et, *ev, *tb;
  PyErr_Fetch(&et, &ev, &tb);
  PyRef exited(PyObject_CallMethod(ctx.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  if (et != nullptr) {
    PyErr_Restore(et, ev, tb);  // the first failure wins
  } else if (!exited) {
    Py_CLEAR(type);
  }
  if (type == nullptr) return nullptr;
  PyRef mod(PyUnicode_FromString("korvane"));
  if (!mod || PyObject_SetAttrString(type, "__module__", mod.get()) != 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return type;
}

}  // namespace

PyMODINIT_FUNC PyInit_korvane(void) {
  korvane::keep_freed_arenas();
  static PyObject* type = nullptr;  // created once per process
  PyRef m(PyModule_Create(&kModule));
  if (!m) return nullptr;
  if (type == nullptr) {
    // The type's name carries no module; its __module__ names this one, so that help() and
    // inspect find the class where it lives.
    type = make_type();
    if (type == nullptr) return nullptr;
  }
  // An empty docstring on every interpreter (PyPy leaves an empty one unset).
  if (PyModule_AddStringConstant(m.get(), "__doc__", "") != 0) return nullptr;
  // The package's version, from pyproject.toml through the build.
  if (PyModule_AddStringConstant(m.get(), "__version__", KORVANE_VERSION) != 0) return nullptr;
  if (panic_exception() == nullptr || !korvane::py::init_errors()) return nullptr;
  if (g_packed && !compile_builders()) return nullptr;
  Py_INCREF(type);
  if (PyModule_AddObject(m.get(), "Korvane", type) != 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return m.release();
}
