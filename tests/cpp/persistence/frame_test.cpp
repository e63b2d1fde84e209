// The saved frame of a fitted model: exact bytes of the writer, bit-for-bit round trips, and the
// header and decoding errors of damaged or hostile frames.
#include "persistence/frame.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>

#include "fit/inference.hpp"

namespace zelki::persistence {
namespace {

// A complete, consistent model (one column: the intercept, as an re term without levels), in
// exactly the text the writer produces.
constexpr std::string_view kMinimalBody =
    R"({"beta":{"v":1,"dim":[1],"data":[0.5]},"rho":{"v":1,"dim":[1],"data":[0.0]},)"
    R"("lambda":{"v":1,"dim":[1],"data":[1.0]},"scale":1.0,"edf_total":1.0,)"
    R"("edf_per_term":{"v":1,"dim":[1],"data":[0.0]},"n":3,"n_iters":2,"converged":true,)"
    R"("reml_value":-1.5,"predictor":{"kind":"re","levels":[]},)"
    R"("vcov":{"v":1,"dim":[1,1],"data":[0.25]},"link_kind":"Identity"})";

std::string frame_of(std::string_view body, std::uint32_t version = kFormatVersion) {
  std::string frame(kMagic);
  for (int i = 0; i < 4; ++i) frame.push_back(static_cast<char>((version >> (8 * i)) & 0xFF));
  const std::uint64_t length = body.size();
  for (int i = 0; i < 8; ++i) frame.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
  return frame + std::string(body);
}

std::string replaced(std::string_view body, std::string_view from, std::string_view to) {
  std::string out(body);
  const auto at = out.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return out.replace(at, from.size(), to);
}

std::string error_message(const Result<fit::FittedGam>& result) {
  if (result.has_value()) return "(no error)";
  const auto* invalid = std::get_if<InvalidParameter>(&result.error());
  return invalid != nullptr ? invalid->message : "(not InvalidParameter)";
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Values whose shortest text is awkward: signed zero, subnormals, the extremes, both notations.
fit::FittedGam awkward_model() {
  const double awkward[] = {0.1,   -0.0,    5e-324, std::numeric_limits<double>::max(),
                            1e-7,  2.5e-7,  1e15,   1e16,
                            -1e-5, 1.0 / 3, 1e23,   -123456.789};
  auto next = [&, i = 0]() mutable {
    const double scaled = awkward[i % std::size(awkward)] * (i % 3 == 1 ? -1.0 : 1.0);
    ++i;
    return scaled;
  };
  const Eigen::Index k = 5;
  design::CrStablePredictor predictor;
  predictor.knots = Vector::LinSpaced(k, -1.0, 2.0);
  predictor.centring = Matrix(k, k - 1);
  predictor.reparam_v = Matrix(k - 1, k - 1);
  for (Eigen::Index i = 0; i < predictor.centring.size(); ++i) predictor.centring(i) = next();
  for (Eigen::Index i = 0; i < predictor.reparam_v.size(); ++i) predictor.reparam_v(i) = next();
  fit::FittedGam model;
  model.predictor.variant = predictor;
  model.beta = Vector(k);
  for (Eigen::Index i = 0; i < k; ++i) model.beta[i] = next();
  model.rho = Vector::Constant(1, -2.75);
  model.lambda = model.rho.array().exp();
  model.scale = 0.7;
  model.edf_total = 4.123456789012345;
  model.edf_per_term = Vector::Constant(1, 3.123456789012345);
  model.n = 18446744073709551615ULL;
  model.n_iters = 7;
  model.converged = true;
  model.reml_value = -1e300;
  model.vcov = Matrix(k, k);
  for (Eigen::Index i = 0; i < model.vcov.size(); ++i) model.vcov(i) = next();
  model.link_kind = family::LinkKind::Logit;
  return model;
}

void expect_same_bits(const Matrix& a, const Matrix& b) {
  ASSERT_EQ(a.rows(), b.rows());
  ASSERT_EQ(a.cols(), b.cols());
  for (Eigen::Index i = 0; i < a.size(); ++i) EXPECT_EQ(bits(a(i)), bits(b(i))) << i;
}

TEST(FrameTest, RoundTripIsBitForBit) {
  const fit::FittedGam model = awkward_model();
  const std::string frame = serialize(model);
  auto back = deserialize(frame);
  ASSERT_TRUE(back.has_value()) << error_message(back);
  expect_same_bits(back->beta, model.beta);
  expect_same_bits(back->rho, model.rho);
  expect_same_bits(back->lambda, model.lambda);
  expect_same_bits(back->edf_per_term, model.edf_per_term);
  expect_same_bits(back->vcov, model.vcov);
  EXPECT_EQ(bits(back->scale), bits(model.scale));
  EXPECT_EQ(bits(back->edf_total), bits(model.edf_total));
  EXPECT_EQ(bits(back->reml_value), bits(model.reml_value));
  EXPECT_EQ(back->n, model.n);
  EXPECT_EQ(back->n_iters, model.n_iters);
  EXPECT_EQ(back->converged, model.converged);
  EXPECT_EQ(back->link_kind, model.link_kind);
  const auto& p = std::get<design::CrStablePredictor>(back->predictor.variant);
  const auto& q = std::get<design::CrStablePredictor>(model.predictor.variant);
  expect_same_bits(p.knots, q.knots);
  expect_same_bits(p.centring, q.centring);
  expect_same_bits(p.reparam_v, q.reparam_v);
  // The writer is deterministic, so a second round gives the same bytes.
  EXPECT_EQ(serialize(*back), frame);
}

TEST(FrameTest, AdditivePredictorWithEveryTermKindRoundTrips) {
  fit::FittedGam model = awkward_model();
  const auto stable = std::get<design::CrStablePredictor>(model.predictor.variant);
  design::TensorPredictor tensor;
  tensor.col_a = 1;
  tensor.col_b = 2;
  tensor.knots_a = Vector::LinSpaced(3, 0.0, 1.0);
  tensor.knots_b = Vector::LinSpaced(4, -0.5, 0.5);
  tensor.xp_a = Matrix::Identity(3, 3);
  tensor.xp_b = Matrix::Identity(4, 4);
  tensor.centring = Matrix::Constant(12, 11, 1.0 / 3);
  design::AdditivePredictor additive;
  additive.term_predictors = {
      design::Predictor{stable}, design::Predictor{tensor},
      design::Predictor{design::RePredictor{{-1.0, 0.5, 2.0}}},
      design::Predictor{design::CrPredictor{stable.knots, stable.centring}}};
  additive.cols_used = {{0}, {1, 2}, {3}, {0}};
  additive.term_col_ranges = {{1, 5}, {5, 16}, {16, 19}, {19, 23}};
  model.predictor.variant = additive;
  const std::string frame = serialize(model);
  // Every value reads back to itself, so the deterministic writer reproduces the same bytes.
  auto back = deserialize(frame);
  ASSERT_TRUE(back.has_value()) << error_message(back);
  EXPECT_EQ(serialize(*back), frame);
  const std::string body = frame.substr(kHeaderSize);
  EXPECT_NE(body.find(R"("cols_used":[[0],[1,2],[3],[0]],"term_col_ranges":[[1,5],[5,16],)"),
            std::string::npos);
  EXPECT_NE(body.find(R"({"kind":"tensor","col_a":1,"col_b":2,"bs_a":"cr","bs_b":"cr",)"),
            std::string::npos);
  EXPECT_EQ(
      error_message(deserialize(frame_of(replaced(body, "\"bs_b\":\"cr\"", "\"bs_b\":\"tp\"")))),
      "FittedGam::deserialize: JSON decode failed at byte " +
          std::to_string(body.find("\"bs_b\":\"cr\"") + 11) +
          ": unknown variant `tp`, expected `cr` at line 1 column " +
          std::to_string(body.find("\"bs_b\":\"cr\"") + 11));
  EXPECT_NE(error_message(deserialize(frame_of(replaced(body, "[[1,5]", "[[1,5,6]"))))
                .find("invalid length 3, expected an array of 2 elements"),
            std::string::npos);
}

TEST(FrameTest, WritesHeaderAndCompactBodyInStoredOrder) {
  auto model = deserialize(frame_of(kMinimalBody));
  ASSERT_TRUE(model.has_value()) << error_message(model);
  EXPECT_EQ(serialize(*model), frame_of(kMinimalBody));
  const std::string frame = serialize(awkward_model());
  EXPECT_EQ(frame.substr(0, 9), std::string("ZELKI\x01\0\0\0", 9));
  std::uint64_t length = 0;
  for (int i = 7; i >= 0; --i) length = length << 8 | static_cast<unsigned char>(frame[9 + i]);
  EXPECT_EQ(frame.size(), kHeaderSize + length);
}

TEST(FrameTest, ReadsEquivalentSpellingsOfTheSameModel) {
  const std::string expected = frame_of(kMinimalBody);
  const std::string array_form =
      R"([{"v":1,"dim":[1],"data":[0.5]},{"v":1,"dim":[1],"data":[0]},)"
      R"({"v":1,"dim":[1],"data":[1]},1,1.0,{"v":1,"dim":[1],"data":[0.0]},3,2,true,-1.5,)"
      R"({"levels":[],"kind":"re"},{"data":[25e-2],"dim":[1,1],"v":1},"Identity"])";
  const std::string reordered_with_extras =
      " \n{\"link_kind\":\"Identity\",\"extra\":{\"a\":[1,{\"b\":null}]},"
      R"("vcov":{"dim":[1,1],"v":1,"data":[1.0],"data":[0.25]},"scale":1E0,)" +
      std::string(kMinimalBody.substr(1, kMinimalBody.find(",\"scale\"") - 1)) +
      std::string(kMinimalBody.substr(
          kMinimalBody.find(",\"edf_total\""),
          kMinimalBody.find(",\"vcov\"") - kMinimalBody.find(",\"edf_total\""))) +
      "} \r\n";
  for (const std::string& body : {array_form, reordered_with_extras}) {
    auto model = deserialize(frame_of(body) + "bytes after the body are ignored");
    ASSERT_TRUE(model.has_value()) << error_message(model) << "\n" << body;
    EXPECT_EQ(serialize(*model), expected) << body;
  }
}

TEST(FrameTest, NonFiniteFloatsAreWrittenAsNullAndReadAsNaN) {
  fit::FittedGam model = awkward_model();
  model.scale = std::nan("");
  model.vcov(1, 2) = std::numeric_limits<double>::infinity();
  const std::string frame = serialize(model);
  EXPECT_NE(frame.find("\"scale\":null"), std::string::npos);
  auto back = deserialize(frame);
  ASSERT_TRUE(back.has_value()) << error_message(back);
  EXPECT_TRUE(std::isnan(back->scale));
  EXPECT_TRUE(std::isnan(back->vcov(1, 2)));
}

TEST(FrameTest, HeaderErrors) {
  const std::string valid = frame_of(kMinimalBody);
  const std::string prefix = "FittedGam::deserialize: ";
  std::string bad_magic = valid;
  bad_magic[4] = 'A';
  std::string version_2 = valid;
  version_2[5] = 2;
  std::string overflow = valid;
  std::string largest = valid;  // L = 2⁶⁴ − 18: no overflow, so the body is merely truncated
  for (int i = 0; i < 8; ++i) {
    overflow[9 + i] = largest[9 + i] = static_cast<char>(0xFF);
  }
  overflow[9] = static_cast<char>(0xEF);  // 2⁶⁴ − 17
  largest[9] = static_cast<char>(0xEE);
  const std::size_t body = kMinimalBody.size();
  const struct {
    std::string buffer;
    std::string message;
  } cases[] = {
      {"", "buffer too short (0 < 17 header bytes)"},
      {std::string(16, '\0'), "buffer too short (16 < 17 header bytes)"},
      {bad_magic, "bad magic; expected [90, 69, 76, 75, 73], got [90, 69, 76, 75, 65]"},
      {version_2,
       "unsupported format_version=2 (this build expects 1). Re-serialize with a matching zelki "
       "release, or roll a migration."},
      {overflow, "length overflow"},
      {largest, "truncated body (have " + std::to_string(body) +
                    " bytes, header says 18446744073709551598 payload bytes follow the 17-byte "
                    "header)"},
      {valid.substr(0, valid.size() - 1), "truncated body (have " + std::to_string(body - 1) +
                                              " bytes, header says " + std::to_string(body) +
                                              " payload bytes follow the 17-byte header)"},
      {frame_of(""), "JSON decode failed at byte 0: EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_message(deserialize(c.buffer)), prefix + c.message);
}

struct BodyCase {
  const char* name;
  std::string body;
  std::string error;
  // The error is reported just after the last occurrence of this text in the body.
  std::string after;
};

class BodyErrorTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(BodyErrorTest, FailsWithPositionedMessage) {
  const auto& c = GetParam();
  const auto at = c.body.rfind(c.after);
  ASSERT_NE(at, std::string::npos);
  const std::string column = std::to_string(at + c.after.size());
  EXPECT_EQ(error_message(deserialize(frame_of(c.body))),
            "FittedGam::deserialize: JSON decode failed at byte " + column + ": " + c.error +
                " at line 1 column " + column);
}

const std::string kDeep128 = std::string(128, '[') + std::string(128, ']');

INSTANTIATE_TEST_SUITE_P(
    Frame, BodyErrorTest,
    ::testing::Values(
        BodyCase{"DuplicateMember", replaced(kMinimalBody, "\"rho\":", "\"beta\":"),
                 "duplicate field `beta`", "\"beta\":"},
        BodyCase{"MissingMember", replaced(kMinimalBody, ",\"link_kind\":\"Identity\"", ""),
                 "missing field `link_kind`", "}"},
        BodyCase{"MissingKind", replaced(kMinimalBody, "\"kind\":\"re\",", ""),
                 "missing field `kind`", "\"levels\":[]}"},
        BodyCase{"DuplicateKind",
                 replaced(kMinimalBody, "\"levels\"", "\"kind\":\"re\",\"levels\""),
                 "duplicate field `kind`", "\"kind\":"},
        BodyCase{"UnknownKind", replaced(kMinimalBody, "\"kind\":\"re\"", "\"kind\":\"te\""),
                 "unknown variant `te`, expected one of `cr`, `re`, `cr_stable`, `additive`, "
                 "`tensor`",
                 "\"kind\":\"te\""},
        BodyCase{"UnknownLink", replaced(kMinimalBody, "\"Identity\"", "\"identity\""),
                 "unknown variant `identity`, expected one of `Identity`, `Log`, `Logit`",
                 "\"identity\""},
        BodyCase{"ArrayVersion", replaced(kMinimalBody, "{\"v\":1", "{\"v\":2"),
                 "unknown array version: 2", "{\"v\":2"},
        BodyCase{"ArrayUnknownKey", replaced(kMinimalBody, "[0.5]}", "[0.5],\"x\":1}"),
                 "unknown field `x`, expected one of `v`, `dim`, `data`", "\"x\":"},
        BodyCase{"ArrayMissingData", replaced(kMinimalBody, ",\"data\":[0.5]", ""),
                 "missing field `data`", "\"dim\":[1]}"},
        BodyCase{"DataDisagreesWithExtent",
                 replaced(kMinimalBody, "[1],\"data\":[0.5]", "[2],\"data\":[0.5]"),
                 "data and dimension must match in size", "[0.5]}"},
        BodyCase{"MatrixWithOneExtent", replaced(kMinimalBody, "[1,1]", "[1]"),
                 "invalid length 1, expected an array of 2 extents", "\"dim\":[1]"},
        // 2³² × 2³² wraps to 0 in 64 bits; an empty 0 × 10¹⁸ matrix matches its empty data.
        BodyCase{"OverflowingExtents", replaced(kMinimalBody, "[1,1]", "[4294967296,4294967296]"),
                 "array extent 4294967296 exceeds the document length", "[0.25]}"},
        BodyCase{
            "HugeEmptyExtent",
            replaced(kMinimalBody, "[1,1],\"data\":[0.25]", "[0,1000000000000000000],\"data\":[]"),
            "array extent 1000000000000000000 exceeds the document length", "\"data\":[]}"},
        BodyCase{"NullCount", replaced(kMinimalBody, "\"n\":3", "\"n\":null"),
                 "invalid type: null, expected u64", "\"n\":null"},
        BodyCase{"NegativeCount", replaced(kMinimalBody, "\"n\":3", "\"n\":-3"),
                 "invalid value: integer `-3`, expected u64", "\"n\":-3"},
        BodyCase{"FractionalCount", replaced(kMinimalBody, "\"n\":3", "\"n\":3.0"),
                 "invalid type: floating point `3.0`, expected u64", "\"n\":3.0"},
        BodyCase{"FloatOutOfRange", replaced(kMinimalBody, "[0.5]", "[1e400]"),
                 "number out of range", "1e400"},
        BodyCase{"StringForFloat", replaced(kMinimalBody, "\"scale\":1.0", "\"scale\":\"1.0\""),
                 "invalid type: string \"1.0\", expected f64", "\"scale\":\"1.0\""},
        BodyCase{"BadLiteral", replaced(kMinimalBody, "true", "yes"), "expected value",
                 "\"converged\":y"},
        BodyCase{"LeadingZero", replaced(kMinimalBody, "\"n\":3", "\"n\":03"),
                 "expected `,` or `}`", "\"n\":03"},
        BodyCase{"TrailingComma", replaced(kMinimalBody, "\"levels\":[]", "\"levels\":[1.0,]"),
                 "trailing comma", "[1.0,]"},
        BodyCase{"TrailingCharacters", std::string(kMinimalBody) + " x", "trailing characters",
                 " x"},
        BodyCase{"UnterminatedString", std::string(kMinimalBody.substr(0, 5)),
                 "EOF while parsing a string", "{\"bet"},
        BodyCase{"TopLevelNotAnObject", "3.5",
                 "invalid type: floating point `3.5`, expected struct FittedGam", "3.5"},
        BodyCase{"ShortArrayForm", "[]",
                 "invalid length 0, expected struct FittedGam with 13 elements", "]"},
        // The top-level object is level 1, so 128 nested arrays inside it are one too many.
        BodyCase{"TooDeep", "{\"junk\":" + kDeep128 + "," + std::string(kMinimalBody.substr(1)),
                 "recursion limit exceeded", "{\"junk\":" + std::string(128, '[')}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(FrameTest, NestingOf128LevelsIsAccepted) {
  const std::string deep_127 = std::string(127, '[') + std::string(127, ']');
  auto model =
      deserialize(frame_of("{\"junk\":" + deep_127 + "," + std::string(kMinimalBody.substr(1))));
  EXPECT_TRUE(model.has_value()) << error_message(model);
}

TEST(FrameTest, EveryTruncationAndByteFlipFailsCleanlyOrPredicts) {
  // Run under the sanitizers, this is a small deterministic fuzz: no damaged frame may read out
  // of bounds, and whatever loads must either predict or refuse with an error.
  const std::string body(serialize(awkward_model()).substr(kHeaderSize));
  const Matrix x_new = Matrix::Constant(3, 1, 0.5);
  for (std::size_t cut = 0; cut < body.size(); cut += 7) {
    EXPECT_FALSE(deserialize(frame_of(body.substr(0, cut))).has_value());
  }
  for (std::size_t at = 0; at < body.size(); at += 3) {
    std::string damaged = body;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x15);
    auto model = deserialize(frame_of(damaged));
    if (model.has_value()) (void)fit::predict(*model, x_new);
  }
}

}  // namespace
}  // namespace zelki::persistence
