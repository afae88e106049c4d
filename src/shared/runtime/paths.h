#pragma once
// Directories and files of one service instance.
#include <string>
#include <vector>

namespace tessel {

// Platform path join: one "/" between the parts unless `a` ends in "/" or is
// empty; an absolute `b` replaces `a`.
std::string path_join(const std::string& a, const std::string& b);

struct Paths {
  std::string tessel_conf_name;
  std::string log_dir;
  std::string models_dir;
  std::string backup_dir;
  std::string tmp_dir;
  std::string rmq_vexa_dir;
  std::string mt_fname;
  std::string tessel_db_dir;
  std::string tessel_b64wl_db;
  std::string tessel_settings_db;
  std::string tessel_vhosts_list_db;
  // The six directories to create, in creation order.
  std::vector<std::string> tessel_dirs;
};

}  // namespace tessel
