#pragma once
// Small models and hand-made archives for the training tests.
#include <sys/stat.h>
#include <zip.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "ml/model_io.h"
#include "support/temp_dir.h"

namespace tessel::orvik::testing {

struct Models {
  ml::ForestMap rf;
  ml::VectorizerMap vect;
};

// Per zone a vectoriser and a forest fitted on a few values.
inline Models small_models(const std::vector<std::string>& zones) {
  const std::vector<std::string> docs = {"' or 1=1 --", "<script>alert(1)</script>", "id=5&page=2", "name=anna"};
  const std::vector<std::int64_t> y = {1, 1, 0, 0};
  Models m;
  for (const auto& z : zones) {
    ml::TfidfVectorizer v;
    const auto x = v.fit_transform(docs, 1);
    ml::RandomForestClassifier f(10, 1);
    f.fit(x, y, 1);
    m.vect.emplace(z, std::move(v));
    m.rf.emplace(z, std::move(f));
  }
  return m;
}

struct ZipMember {
  std::string name;
  std::string data;
  bool symlink = false;  // a Unix symbolic link whose target is `data`
};

// The bytes of a zip archive with these members, in order.
inline std::string make_zip(const std::vector<ZipMember>& members) {
  tessel::testing::TempDir dir;
  const std::string path = dir.file("a.zip");
  int err = 0;
  zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
  if (!z) throw std::runtime_error("zip_open");
  for (const auto& m : members) {
    zip_source_t* src = zip_source_buffer(z, m.data.data(), m.data.size(), 0);
    const zip_int64_t i = zip_file_add(z, m.name.c_str(), src, ZIP_FL_ENC_UTF_8);
    if (i < 0) throw std::runtime_error(zip_strerror(z));
    if (m.symlink)
      zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(i), 0, ZIP_OPSYS_UNIX,
                                       static_cast<zip_uint32_t>(S_IFLNK | 0777) << 16);
  }
  if (zip_close(z) != 0) throw std::runtime_error("zip_close");
  return tessel::testing::read_file(path);
}

}  // namespace tessel::orvik::testing
