#include "tessel/paths.h"

#include <gtest/gtest.h>

using tessel::svc::derive_paths;

TEST(Paths, DerivedFromTheConfigurationFile) {
  struct Case {
    std::string conf, def, name, log_dir, models_dir, backup_dir, db_dir;
  };
  const std::string L = "/var/log/vexa/", M = "/opt/tessel/ml/";
  const Case cases[] = {
      {"/etc/t/tessel.conf", "/etc/t/tessel.conf", "tessel", L, M, M + "backup/", M + "db"},
      {"/srv/cfg/site2.conf", "/etc/t/tessel.conf", "site2", L + "site2", M + "site2", M + "site2/backup/",
       M + "site2/db"},
      {"/x/a.config.conf", "/d", "aig", L + "aig", M + "aig", M + "aig/backup/", M + "aig/db"},
      {"/x/site.conf.bak", "/d", "site.bak", L + "site.bak", M + "site.bak", M + "site.bak/backup/", M + "site.bak/db"},
      // an empty name shares the default directories
      {"x/.conf", "/d", "", L, M, M + "backup/", M + "db"},
      {"/etc/t/", "/d", "", L, M, M + "backup/", M + "db"},
      // the same file spelled differently is another configuration
      {"/etc/t//tessel.conf", "/etc/t/tessel.conf", "tessel", L + "tessel", M + "tessel", M + "tessel/backup/",
       M + "tessel/db"},
  };
  for (const auto& c : cases) {
    auto p = derive_paths(c.conf, c.def, L, M);
    EXPECT_EQ(p.tessel_conf_name, c.name) << c.conf;
    EXPECT_EQ(p.log_dir, c.log_dir) << c.conf;
    EXPECT_EQ(p.models_dir, c.models_dir) << c.conf;
    EXPECT_EQ(p.backup_dir, c.backup_dir) << c.conf;
    EXPECT_EQ(p.tessel_db_dir, c.db_dir) << c.conf;
    EXPECT_EQ(p.tmp_dir, c.models_dir + (c.models_dir.back() == '/' ? "" : "/") + "tmp/");
    EXPECT_EQ(p.rmq_vexa_dir, p.tmp_dir + "rmq/");
    EXPECT_EQ(p.tessel_settings_db, c.db_dir + "/settings.db");
    ASSERT_EQ(p.tessel_dirs.size(), 6u);
    EXPECT_EQ(p.tessel_dirs[0], c.log_dir);
    EXPECT_EQ(p.tessel_dirs[5], c.db_dir);
  }
}
