#include "ml/model_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

using namespace tessel;
using namespace tessel::ml;
using tessel::testing::TempDir;

namespace {

struct Trained {
  VectorizerMap vects;
  ForestMap forests;
};

Trained train() {
  Trained t;
  std::vector<std::string> docs = {"id=1", "id=2", "' or 1=1--", "<script>x</script>", "page=3", "union select"};
  std::vector<std::int64_t> y = {0, 0, 1, 1, 0, 1};
  for (const char* zone : {"args", "url"}) {
    TfidfVectorizer v;
    CsrMatrix x = v.fit_transform(docs);
    RandomForestClassifier rf(7);
    rf.fit(x, y);
    t.vects.emplace(zone, std::move(v));
    t.forests.emplace(zone, std::move(rf));
  }
  return t;
}

std::string error_of(std::string_view bytes) {
  try {
    from_bytes(bytes);
  } catch (const ModelFormatError& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(ModelFiles, RoundTripPredictsAlikeAndBytesAreStable) {
  Trained t = train();
  std::string vb = to_bytes(t.vects), fb = to_bytes(t.forests);
  EXPECT_EQ(to_bytes(train().forests), fb) << "a second training gives the same bytes";
  auto vects = std::get<VectorizerMap>(from_bytes(vb));
  auto forests = std::get<ForestMap>(from_bytes(fb));
  EXPECT_EQ(to_bytes(vects), vb);
  EXPECT_EQ(to_bytes(forests), fb);
  std::vector<std::string> probe = {"id=9", "' or 2=2--", "", "zzz"};
  for (const auto& [zone, v] : t.vects) {
    CsrMatrix a = v.transform(probe), b = vects.at(zone).transform(probe);
    EXPECT_EQ(a.data, b.data);
    EXPECT_EQ(t.forests.at(zone).predict_proba(a), forests.at(zone).predict_proba(b));
  }
  // Empty mappings are valid files too.
  EXPECT_TRUE(std::get<ForestMap>(from_bytes(to_bytes(ForestMap{}))).empty());
  EXPECT_THROW(to_bytes(ForestMap{{"args", RandomForestClassifier()}}), std::invalid_argument);
}

TEST(ModelFiles, ForeignAndDamagedFilesAreRefused) {
  std::string good = to_bytes(train().forests);
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x01;
  std::string newer = good;
  newer[8] = 9;
  struct Case {
    std::string name, bytes, message;
  } cases[] = {
      {"empty", "", "unknown format"},
      {"pickle", std::string("\x80\x04\x95\x10\x00\x00\x00", 7) + "csklearn", "Python pickle"},
      {"gzip", "\x1f\x8b\x08\x00", "gzip"},
      {"text", "hello world, not a model", "unknown format"},
      {"magic only", "TESSELML", "truncated header"},
      {"truncated", good.substr(0, good.size() - 5), "size does not match"},
      {"trailing byte", good + "x", "size does not match"},
      {"flipped bit", flipped, "checksum mismatch"},
      {"newer version", newer, "version 9 is not supported"},
      {"bad kind", detail::seal(7, ""), "unknown content kind 7"},
      {"huge count", detail::seal(2, std::string("\xff\xff\xff\xff\xff\xff\xff\x7f", 8)), "count exceeds"},
      {"short payload", detail::seal(1, std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8)), "count exceeds"},
  };
  for (const Case& c : cases) {
    std::string err = error_of(c.bytes);
    EXPECT_NE(err.find(c.message), std::string::npos) << c.name << ": " << err;
  }
}

// Zones left out on purpose are kept by a version 2 file; a file without
// any keeps the version 1 layout, and both load.
TEST(ModelFiles, LeftOutZonesRoundTripBesideVersionOneFiles) {
  Trained t = train();
  const std::string v1 = to_bytes(t.forests);
  EXPECT_EQ(v1[8], 1);
  EXPECT_TRUE(read_model_bytes(v1).left_out.empty());
  const ZoneNames left_out = {"body", "referer"};
  for (const ZoneModels& models : {ZoneModels(t.forests), ZoneModels(t.vects)}) {
    const std::string v2 = to_bytes(models, left_out);
    EXPECT_EQ(v2[8], 2);
    const ModelFile back = read_model_bytes(v2);
    EXPECT_EQ(back.left_out, left_out);
    EXPECT_EQ(to_bytes(back.models, back.left_out), v2);
    EXPECT_EQ(to_bytes(back.models), to_bytes(models)) << "the models are those of the version 1 file";
  }
  for (const ZoneNames& bad : {ZoneNames{"args"}, ZoneNames{"referer", "body"}, ZoneNames{"body", "body"}})
    EXPECT_THROW(to_bytes(t.forests, bad), std::invalid_argument) << ::testing::PrintToString(bad);

  // Version 2 payloads: the version 1 payload, then the left-out names.
  const std::string models_payload = v1.substr(24, v1.size() - 24 - 32);
  auto names = [](std::initializer_list<std::string_view> zones) {
    std::string out;
    auto u64 = [&](std::uint64_t v) {
      for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    u64(zones.size());
    for (std::string_view z : zones) {
      u64(z.size());
      out.append(z);
    }
    return out;
  };
  struct Case {
    std::string name, bytes, message;
  } cases[] = {
      {"no list", detail::seal(2, models_payload, 2), "unexpected end of data"},
      {"modelled zone", detail::seal(2, models_payload + names({"args"}), 2), "both modelled and left out"},
      {"out of order", detail::seal(2, models_payload + names({"referer", "body"}), 2), "out of order"},
      {"repeated", detail::seal(2, models_payload + names({"body", "body"}), 2), "out of order"},
      {"trailing", detail::seal(2, models_payload + names({"body"}) + "x", 2), "trailing data"},
  };
  for (const Case& c : cases) {
    std::string err = error_of(c.bytes);
    EXPECT_NE(err.find(c.message), std::string::npos) << c.name << ": " << err;
  }
  EXPECT_EQ(read_model_bytes(detail::seal(2, models_payload + names({"body"}), 2)).left_out, ZoneNames{"body"});
}

TEST(ModelFiles, SealedPayloadWithBadContentIsRefused) {
  // Valid framing around inconsistent models: a child pointing backwards,
  // a feature out of range, vocabulary out of order.
  Trained t = train();
  std::string fb = to_bytes(t.forests);
  const std::size_t header = 24, digest = 32;
  std::string payload = fb.substr(header, fb.size() - header - digest);
  int refused = 0, tried = 0;
  for (std::size_t i = 0; i < payload.size(); i += 3) {
    std::string p = payload;
    p[i] = static_cast<char>(p[i] ^ 0x5A);
    ++tried;
    try {
      auto m = std::get<ForestMap>(from_bytes(detail::seal(2, p)));
      // An accepted change (a threshold, a count) still gives a usable forest.
      for (const auto& [zone, rf] : m) {
        CsrMatrix zero;
        zero.n_rows = 1;
        zero.n_cols = rf.n_features();
        zero.indptr = {0, 0};
        EXPECT_EQ(rf.predict(zero).size(), 1u);
      }
    } catch (const ModelFormatError&) {
      ++refused;
    }
  }
  EXPECT_GT(refused, tried / 4);
}

TEST(ModelFiles, SaveFileIsAtomicAndLoadFileReportsErrors) {
  TempDir dir;
  Trained t = train();
  std::string path = dir.file("host_rf.ml");
  save_file(t.forests, path);
  save_file(t.forests, path);  // replaces
  EXPECT_EQ(tessel::testing::read_file(path), to_bytes(t.forests));
  EXPECT_EQ(std::get<ForestMap>(load_file(path)).size(), 2u);
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1u) << "no temporary file is left behind";
  EXPECT_THROW(save_file(t.vects, dir.file("missing/x_vect.ml")), std::runtime_error);
  EXPECT_THROW(load_file(dir.file("absent.ml")), std::runtime_error);
  tessel::testing::write_file(dir.file("old_rf.ml"), std::string("\x80\x03}q\x00.", 6));
  EXPECT_THROW(load_file(dir.file("old_rf.ml")), ModelFormatError);
}
