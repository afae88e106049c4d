#include "ml/tfidf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ml_fixtures.h"

using namespace tessel;
using namespace tessel::ml;
using tessel::ml::testing::csr_from_json;
using tessel::ml::testing::fixture;

namespace {

// Same sparsity pattern; values within 1e-12 relative.
void expect_matrix_near(const CsrMatrix& got, const CsrMatrix& want, const std::string& what) {
  EXPECT_EQ(got.n_rows, want.n_rows) << what;
  EXPECT_EQ(got.n_cols, want.n_cols) << what;
  EXPECT_EQ(got.indptr, want.indptr) << what;
  EXPECT_EQ(got.indices, want.indices) << what;
  ASSERT_EQ(got.data.size(), want.data.size()) << what;
  for (std::size_t i = 0; i < got.data.size(); ++i)
    EXPECT_NEAR(got.data[i], want.data[i], 1e-12 * std::abs(want.data[i])) << what << " value " << i;
}

}  // namespace

TEST(Tfidf, MatchesReferenceVocabularyIdfAndMatrices) {
  Json fx = fixture("tfidf.json");
  for (const Json& c : fx["cases"]) {
    SCOPED_TRACE(c["name"].get<std::string>());
    auto fit_docs = c["fit"].get<std::vector<std::string>>();
    auto docs = c["transform"].get<std::vector<std::string>>();
    TfidfVectorizer v;
    CsrMatrix x = v.fit_transform(fit_docs);
    EXPECT_EQ(v.vocabulary(), c["vocabulary"].get<std::vector<std::string>>());
    auto idf = c["idf"].get<std::vector<double>>();
    ASSERT_EQ(v.idf().size(), idf.size());
    for (std::size_t i = 0; i < idf.size(); ++i) EXPECT_NEAR(v.idf()[i], idf[i], 1e-12 * idf[i]) << i;
    // The reference's SIMD log may differ from libm's in the last bit, so
    // values are compared with a tolerance.
    expect_matrix_near(x, csr_from_json(c["fit_transform"]), "fit_transform");
    expect_matrix_near(v.transform(docs), csr_from_json(c["transformed"]), "transform");
    TfidfVectorizer refit;
    refit.fit(fit_docs, 1);
    EXPECT_EQ(refit.keys(), v.keys());
  }
}

TEST(Tfidf, EmptyVocabularyIsAnError) {
  Json fx = fixture("tfidf.json");
  for (const Json& e : fx["errors"]) {
    auto docs = e["fit"].get<std::vector<std::string>>();
    ASSERT_TRUE(e["error"].is_string());
    TfidfVectorizer v;
    try {
      v.fit(docs);
      ADD_FAILURE() << "no error for " << e["fit"].dump();
    } catch (const std::invalid_argument& ex) {
      EXPECT_EQ(std::string(ex.what()), e["error"].get<std::string>());
    }
    EXPECT_FALSE(v.fitted());
  }
}

TEST(Tfidf, AnalyzeLowersAndFoldsWhitespaceRuns) {
  struct Case {
    std::string in;
    std::u32string out;
  } cases[] = {
      {"AbC", U"abc"},
      {"a\tb", U"a\tb"},     // one whitespace code point stays
      {"a \t\n b", U"a b"},  // a run becomes one space
      {"x\r\ny", U"x y"},
      {"\xC2\xA0\xC2\xA0z", U" z"},                     // U+00A0 twice
      {"a\xE2\x80\x8B\xE2\x80\x8B", U"a\u200B\u200B"},  // U+200B is not whitespace
      {"\x1C\x1F", U" "},
      {"\xC4\xB0", U"i\u0307"},               // U+0130
      {"\xCE\x91\xCE\xA3", U"\u03B1\u03C2"},  // final sigma
      {"\xCE\xA3\xCE\x91", U"\u03C3\u03B1"},
      {"ok\xFF", U"ok\uFFFD"},  // invalid byte
      {"", U""},
  };
  for (const Case& c : cases) EXPECT_EQ(analyze_text(c.in), c.out) << c.in;
}

TEST(Tfidf, TransformEdgeCases) {
  TfidfVectorizer v;
  EXPECT_THROW(v.transform(std::vector<std::string>{"x"}), std::logic_error);
  // Invalid UTF-8 and a very long value in training too.
  std::string big(1 << 20, 'a');
  big += "bcd";
  std::vector<std::string> docs = {"abcd", "bcde", "\xFF\xFE\xFF", big};
  v.fit(docs);
  EXPECT_EQ(v.n_features(), 12u);
  std::vector<std::string_view> in = {"", "a", "zz", "\xFF\xFE", big};
  CsrMatrix x = v.transform(in);
  ASSERT_EQ(x.n_rows, 5);
  EXPECT_EQ(x.indptr[3], 0);  // three empty rows
  EXPECT_EQ(x.indptr[4] - x.indptr[3], 1);
  EXPECT_DOUBLE_EQ(x.data[0], 1.0);
  double norm = 0;
  for (std::int64_t k = x.indptr[4]; k < x.indptr[5]; ++k) norm += x.data[k] * x.data[k];
  EXPECT_NEAR(norm, 1.0, 1e-12);
  // The reusing form gives the same matrix.
  CsrMatrix again;
  again.indices.assign(10, 7);
  v.transform(in, again);
  EXPECT_EQ(again.indptr, x.indptr);
  EXPECT_EQ(again.indices, x.indices);
  EXPECT_EQ(again.data, x.data);
}

TEST(Tfidf, ThreadCountDoesNotChangeTheResult) {
  std::vector<std::string> docs;
  for (int i = 0; i < 9000; ++i)
    docs.push_back("v" + std::to_string(i * 7919 % 10007) + "&q=" + std::to_string(i % 97));
  TfidfVectorizer one, many;
  CsrMatrix a = one.fit_transform(docs, 1);
  CsrMatrix b = many.fit_transform(docs, 4);
  EXPECT_EQ(one.keys(), many.keys());
  EXPECT_EQ(one.idf(), many.idf());
  EXPECT_EQ(a.indptr, b.indptr);
  EXPECT_EQ(a.indices, b.indices);
  EXPECT_EQ(a.data, b.data);
  CsrMatrix c = one.transform(docs, 1), d = one.transform(docs, 4);
  EXPECT_EQ(c.indptr, d.indptr);
  EXPECT_EQ(c.indices, d.indices);
  EXPECT_EQ(c.data, d.data);
}
