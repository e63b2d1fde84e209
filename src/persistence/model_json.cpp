#include "persistence/model_json.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <concepts>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "family/link.hpp"
#include "persistence/json_writer.hpp"

namespace zelki::persistence {

namespace {

// ---------------------------------------------------------------------------------------------
// Member lists. Each stored object names its members once, in written order; writing walks the
// list in order and reading matches keys against it, so a kind's JSON form is this one function.
// A predictor kind that joins the Predictor variant needs only its list here (with a value codec
// below for any member type not yet covered); the kind name comes from its kKind.
// ---------------------------------------------------------------------------------------------

template <class Self, class T>
concept Is = std::same_as<std::remove_const_t<Self>, T>;

template <class Self, class Visit>
requires Is<Self, design::CrPredictor>
void members(Self& p, Visit&& visit) {
  visit("knots", p.knots);
  visit("centring", p.centring);
}

template <class Self, class Visit>
requires Is<Self, design::RePredictor>
void members(Self& p, Visit&& visit) {
  visit("levels", p.levels);  // a plain array, not a vector object
}

template <class Self, class Visit>
requires Is<Self, design::CrStablePredictor>
void members(Self& p, Visit&& visit) {
  visit("knots", p.knots);
  visit("centring", p.centring);
  visit("reparam_v", p.reparam_v);
}

template <class Self, class Visit>
requires Is<Self, design::AdditivePredictor>
void members(Self& p, Visit&& visit) {
  visit("term_predictors", p.term_predictors);  // complete predictor objects, in term order
  visit("cols_used", p.cols_used);
  visit("term_col_ranges", p.term_col_ranges);
}

template <class Self, class Visit>
requires Is<Self, design::TensorPredictor>
void members(Self& p, Visit&& visit) {
  visit("col_a", p.col_a);
  visit("col_b", p.col_b);
  visit("bs_a", p.bs_a);
  visit("bs_b", p.bs_b);
  visit("knots_a", p.knots_a);
  visit("knots_b", p.knots_b);
  visit("xp_a", p.xp_a);
  visit("xp_b", p.xp_b);
  visit("centring", p.centring);
}

template <class Self, class Visit>
requires Is<Self, fit::FittedGam>
void members(Self& g, Visit&& visit) {
  visit("beta", g.beta);
  visit("rho", g.rho);
  visit("lambda", g.lambda);
  visit("scale", g.scale);
  visit("edf_total", g.edf_total);
  visit("edf_per_term", g.edf_per_term);
  visit("n", g.n);
  visit("n_iters", g.n_iters);
  visit("converged", g.converged);
  visit("reml_value", g.reml_value);
  visit("predictor", g.predictor);
  visit("vcov", g.vcov);
  visit("link_kind", g.link_kind);
}

constexpr std::array<family::LinkKind, 3> kLinkKinds = {
    family::LinkKind::Identity, family::LinkKind::Log, family::LinkKind::Logit};

// Vector and matrix objects carry this encoding version.
constexpr std::uint64_t kArrayVersion = 1;

// ---------------------------------------------------------------------------------------------
// Value codecs, one pair per member type. Declared first so that the member walkers and the
// containers can recurse (an additive predictor holds predictors).
// ---------------------------------------------------------------------------------------------

void write_value(JsonWriter& w, double value);
void write_value(JsonWriter& w, std::uint64_t value);
void write_value(JsonWriter& w, bool value);
void write_value(JsonWriter& w, const Vector& value);
void write_value(JsonWriter& w, const Matrix& value);
void write_value(JsonWriter& w, family::LinkKind value);
void write_value(JsonWriter& w, design::MarginBasis value);
void write_value(JsonWriter& w, const design::Predictor& value);
template <class T>
void write_value(JsonWriter& w, const std::vector<T>& values);
template <class T, std::size_t N>
void write_value(JsonWriter& w, const std::array<T, N>& values);

bool read_value(JsonReader& r, double& out);
bool read_value(JsonReader& r, std::uint64_t& out);
bool read_value(JsonReader& r, bool& out);
bool read_value(JsonReader& r, Vector& out);
bool read_value(JsonReader& r, Matrix& out);
bool read_value(JsonReader& r, family::LinkKind& out);
bool read_value(JsonReader& r, design::MarginBasis& out);
bool read_value(JsonReader& r, design::Predictor& out);
template <class T>
bool read_value(JsonReader& r, std::vector<T>& out);
template <class T, std::size_t N>
bool read_value(JsonReader& r, std::array<T, N>& out);

// ---- walking member lists ----

template <class S>
void write_members(JsonWriter& w, const S& s, bool first) {
  members(s, [&](std::string_view name, const auto& field) {
    if (!first) w.comma();
    first = false;
    w.key(name);
    write_value(w, field);
  });
}

// The biggest member list (the model's thirteen) bounds the bookkeeping of every object.
constexpr std::size_t kMaxMembers = 16;

template <class S>
std::array<std::string_view, kMaxMembers> member_names(S& s, std::size_t& count) {
  std::array<std::string_view, kMaxMembers> names{};
  count = 0;
  members(s, [&](std::string_view name, auto&) { names[count++] = name; });
  return names;
}

// Reads the member at `index` of the list.
template <class S>
bool read_member(JsonReader& r, S& s, std::size_t index) {
  std::size_t i = 0;
  bool ok = true;
  members(s, [&](std::string_view, auto& field) {
    if (i++ == index) ok = read_value(r, field);
  });
  return ok;
}

// An object whose members may come in any order: unknown keys are skipped (their values still
// checked), a known key given twice and a missing key are errors. A tag names a member that the
// caller has already read (the "kind" of a predictor): it is skipped, but only once.
template <class S>
bool read_struct(JsonReader& r, S& s, std::string_view expected, std::string_view tag = {}) {
  const auto next = r.peek();
  if (!next || *next != '{') return r.fail_invalid_type(expected);
  std::size_t count = 0;
  const auto names = member_names(s, count);
  std::bitset<kMaxMembers> seen;
  bool seen_tag = false;
  const bool ok = r.read_object([&](std::string_view key) {
    const auto* it = std::find(names.begin(), names.begin() + count, key);
    if (it == names.begin() + count) {
      if (tag.empty() || key != tag) return r.skip_value();
      if (seen_tag) return r.fail("duplicate field `" + std::string(key) + "`");
      seen_tag = true;
      return r.skip_value();
    }
    const auto index = static_cast<std::size_t>(it - names.begin());
    if (seen[index]) return r.fail("duplicate field `" + std::string(key) + "`");
    seen[index] = true;
    return read_member(r, s, index);
  });
  if (!ok) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (!seen[i]) return r.fail("missing field `" + std::string(names[i]) + "`");
  }
  return true;
}

// The same members as an array of values in stored order.
template <class S>
bool read_tuple(JsonReader& r, S& s, std::string_view expected) {
  std::size_t count = 0;
  member_names(s, count);
  std::size_t read = 0;
  const bool ok = r.read_array([&](std::size_t index) {
    if (index == count) {
      return r.fail("invalid length " + std::to_string(index + 1) + ", expected " +
                    std::string(expected) + " with " + std::to_string(count) + " elements");
    }
    ++read;
    return read_member(r, s, index);
  });
  if (!ok) return false;
  if (read < count) {
    return r.fail("invalid length " + std::to_string(read) + ", expected " + std::string(expected) +
                  " with " + std::to_string(count) + " elements");
  }
  return true;
}

// ---- scalars ----

void write_value(JsonWriter& w, double value) { w.number(value); }
void write_value(JsonWriter& w, std::uint64_t value) { w.integer(value); }
void write_value(JsonWriter& w, bool value) { w.boolean(value); }

// A saved model may hold NaN (a degenerate fit's scale); it is written as null and read back as
// NaN so that no model the writer produces becomes unloadable.
bool read_value(JsonReader& r, double& out) { return r.read_double(out, /*null_is_nan=*/true); }
bool read_value(JsonReader& r, std::uint64_t& out) { return r.read_unsigned(out); }
bool read_value(JsonReader& r, bool& out) { return r.read_bool(out); }

void write_value(JsonWriter& w, family::LinkKind value) { w.string(family::link_name(value)); }

bool read_value(JsonReader& r, family::LinkKind& out) {
  const auto next = r.peek();
  if (!next || *next != '"') return r.fail_invalid_type("variant identifier");
  std::string name;
  if (!r.read_string(name)) return false;
  for (const auto kind : kLinkKinds) {
    if (name == family::link_name(kind)) {
      out = kind;
      return true;
    }
  }
  return r.fail("unknown variant `" + name + "`, expected one of `Identity`, `Log`, `Logit`");
}

// Tensor margins are cubic regression splines, the one basis a margin can have.
void write_value(JsonWriter& w, design::MarginBasis) { w.string("cr"); }

bool read_value(JsonReader& r, design::MarginBasis& out) {
  const auto next = r.peek();
  if (!next || *next != '"') return r.fail_invalid_type("variant identifier");
  std::string name;
  if (!r.read_string(name)) return false;
  if (name != "cr") return r.fail("unknown variant `" + name + "`, expected `cr`");
  out = design::MarginBasis::kCr;
  return true;
}

// ---- containers ----

template <class T>
void write_value(JsonWriter& w, const std::vector<T>& values) {
  w.begin_array();
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) w.comma();
    write_value(w, values[i]);
  }
  w.end_array();
}

// Elements are appended as they are read, so the storage grows only with the text consumed.
template <class T>
bool read_value(JsonReader& r, std::vector<T>& out) {
  out.clear();
  return r.read_array([&](std::size_t) {
    out.emplace_back();
    return read_value(r, out.back());
  });
}

// A fixed-length plain array, such as a column range [first, last_exclusive].
template <class T, std::size_t N>
void write_value(JsonWriter& w, const std::array<T, N>& values) {
  w.begin_array();
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0) w.comma();
    write_value(w, values[i]);
  }
  w.end_array();
}

template <class T, std::size_t N>
bool read_value(JsonReader& r, std::array<T, N>& out) {
  std::size_t count = 0;
  auto wrong_length = [&](std::size_t length) {
    return r.fail("invalid length " + std::to_string(length) + ", expected an array of " +
                  std::to_string(N) + " elements");
  };
  const bool ok = r.read_array([&](std::size_t index) {
    if (index == N) return wrong_length(N + 1);
    ++count;
    return read_value(r, out[index]);
  });
  if (!ok) return false;
  return count == N || wrong_length(count);
}

// ---- vector and matrix objects: {"v":1,"dim":[...],"data":[...]}, data row-major ----

void write_array_object(JsonWriter& w, std::initializer_list<Eigen::Index> dims,
                        auto&& write_data) {
  w.begin_object();
  w.key("v");
  w.integer(kArrayVersion);
  w.comma();
  w.key("dim");
  w.begin_array();
  bool first = true;
  for (const Eigen::Index d : dims) {
    if (!first) w.comma();
    first = false;
    w.integer(static_cast<std::uint64_t>(d));
  }
  w.end_array();
  w.comma();
  w.key("data");
  w.begin_array();
  write_data();
  w.end_array();
  w.end_object();
}

void write_value(JsonWriter& w, const Vector& value) {
  write_array_object(w, {value.size()}, [&] {
    for (Eigen::Index i = 0; i < value.size(); ++i) {
      if (i > 0) w.comma();
      w.number(value[i]);
    }
  });
}

void write_value(JsonWriter& w, const Matrix& value) {
  write_array_object(w, {value.rows(), value.cols()}, [&] {
    for (Eigen::Index i = 0; i < value.rows(); ++i) {
      for (Eigen::Index j = 0; j < value.cols(); ++j) {
        if (i > 0 || j > 0) w.comma();
        w.number(value(i, j));
      }
    }
  });
}

// Reads the extents and elements of a vector (rank 1) or matrix (rank 2) object. Extents are
// never trusted: their product must equal the number of elements actually present (checked
// without overflow), and no extent may exceed the length of the document, which bounds even an
// empty array such as 0 × 10¹⁸ whose product matches no data.
bool read_array_object(JsonReader& r, std::size_t rank, std::vector<Eigen::Index>& extents,
                       std::vector<double>& data) {
  const auto next = r.peek();
  if (!next || *next != '{') return r.fail_invalid_type("an array object with v, dim and data");
  bool have_version = false, have_dim = false, have_data = false;
  std::vector<std::uint64_t> dim;
  const bool ok = r.read_object([&](std::string_view key) {
    // A repeated key keeps its last value.
    if (key == "v") {
      std::uint64_t version = 0;
      if (!r.read_unsigned(version)) return false;
      if (version != kArrayVersion)
        return r.fail("unknown array version: " + std::to_string(version));
      have_version = true;
      return true;
    }
    if (key == "dim") {
      if (!read_value(r, dim)) return false;
      if (dim.size() != rank) {
        return r.fail("invalid length " + std::to_string(dim.size()) + ", expected an array of " +
                      std::to_string(rank) + (rank == 1 ? " extent" : " extents"));
      }
      have_dim = true;
      return true;
    }
    if (key == "data") {
      have_data = true;
      return read_value(r, data);
    }
    return r.fail("unknown field `" + std::string(key) + "`, expected one of `v`, `dim`, `data`");
  });
  if (!ok) return false;
  if (!have_version) return r.fail("missing field `v`");
  if (!have_dim) return r.fail("missing field `dim`");
  if (!have_data) return r.fail("missing field `data`");
  std::uint64_t product = 1;
  for (const std::uint64_t extent : dim) {
    if (extent > r.size()) {
      return r.fail("array extent " + std::to_string(extent) + " exceeds the document length");
    }
    product *= extent;  // each factor ≤ the document length: no overflow for rank ≤ 2
  }
  if (product != data.size()) return r.fail("data and dimension must match in size");
  extents.assign(dim.begin(), dim.end());
  return true;
}

bool read_value(JsonReader& r, Vector& out) {
  std::vector<Eigen::Index> extents;
  std::vector<double> data;
  if (!read_array_object(r, 1, extents, data)) return false;
  out = Eigen::Map<const Vector>(data.data(), extents[0]);
  return true;
}

bool read_value(JsonReader& r, Matrix& out) {
  using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  std::vector<Eigen::Index> extents;
  std::vector<double> data;
  if (!read_array_object(r, 2, extents, data)) return false;
  out = Eigen::Map<const RowMajor>(data.data(), extents[0], extents[1]);
  return true;
}

// ---- predictor objects: {"kind":"<name>", members of the kind...} ----

void write_value(JsonWriter& w, const design::Predictor& value) {
  std::visit(
      [&](const auto& p) {
        w.begin_object();
        w.key("kind");
        w.string(std::decay_t<decltype(p)>::kKind);
        write_members(w, p, /*first=*/false);
        w.end_object();
      },
      value.variant);
}

// "`cr`, `re`, …": the stored kind names of the variant's alternatives, in their order.
template <std::size_t... I>
std::string kind_list(std::index_sequence<I...>) {
  using Variant = design::Predictor::Variant;
  std::string list;
  ((list +=
    (I == 0 ? "`" : ", `") + std::string(std::variant_alternative_t<I, Variant>::kKind) + "`"),
   ...);
  return list;
}

// Reads the members of the alternative whose stored name is `kind`; a name that no alternative
// has is an unknown variant.
template <std::size_t I = 0>
bool read_predictor_of_kind(JsonReader& r, std::string_view kind, std::size_t kind_end,
                            design::Predictor& out) {
  using Variant = design::Predictor::Variant;
  if constexpr (I < std::variant_size_v<Variant>) {
    using Alternative = std::variant_alternative_t<I, Variant>;
    if (Alternative::kKind != kind) return read_predictor_of_kind<I + 1>(r, kind, kind_end, out);
    Alternative p;
    if (!read_struct(r, p, "a predictor object", "kind")) return false;
    out.variant = std::move(p);
    return true;
  } else {
    return r.fail_at(kind_end,
                     "unknown variant `" + std::string(kind) + "`, expected one of " +
                         kind_list(std::make_index_sequence<std::variant_size_v<Variant>>()));
  }
}

// "kind" may stand anywhere in the object, so the object is read twice: up to the kind, then,
// from the same start, as that kind. The writer puts the kind first, so the first pass is short.
bool read_value(JsonReader& r, design::Predictor& out) {
  const auto next = r.peek();
  if (!next || *next != '{') return r.fail_invalid_type("internally tagged enum Predictor");
  const JsonReader::Mark start = r.mark();
  std::string kind;
  bool have_kind = false;
  std::size_t kind_end = 0;
  const bool complete = r.read_object([&](std::string_view key) {
    if (key != "kind") return r.skip_value();
    const auto value = r.peek();
    if (!value || *value != '"') return r.fail_invalid_type("variant identifier");
    if (!r.read_string(kind)) return false;
    have_kind = true;
    kind_end = r.position();
    return false;  // stop here: the rest is read with the kind's members
  });
  if (!have_kind) {
    if (complete) return r.fail("missing field `kind`");
    return false;  // a syntax or type error before any kind
  }
  r.rewind(start);
  return read_predictor_of_kind(r, kind, kind_end, out);
}

// Roughly 24 bytes per stored float: enough that the text is written without reallocation.
constexpr std::size_t kBytesPerFloat = 24;

std::size_t expected_text_size(const fit::FittedGam& model) {
  const auto p = static_cast<std::size_t>(model.beta.size());
  return kBytesPerFloat * (p * p + 4 * p + 256);
}

}  // namespace

std::string write_model_json(const fit::FittedGam& model) {
  JsonWriter w(expected_text_size(model));
  w.begin_object();
  write_members(w, model, /*first=*/true);
  w.end_object();
  return std::move(w).take();
}

std::variant<fit::FittedGam, JsonError> read_model_json(std::string_view text) {
  JsonReader r(text);
  fit::FittedGam model;
  const auto next = r.peek();
  const bool ok = (next && *next == '[' ? read_tuple(r, model, "struct FittedGam")
                                        : read_struct(r, model, "struct FittedGam")) &&
                  r.finish();
  if (!ok) return r.error();
  return model;
}

}  // namespace zelki::persistence
