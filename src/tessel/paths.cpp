#include "tessel/paths.h"

namespace tessel::svc {

Paths derive_paths(const std::string& tessel_conf_file, const std::string& tessel_conf_default,
                   const std::string& log_root, const std::string& models_root) {
  Paths p;
  std::string base =
      tessel_conf_file.substr(tessel_conf_file.rfind('/') == std::string::npos ? 0 : tessel_conf_file.rfind('/') + 1);
  // Every ".conf" goes, not only a final one.
  for (auto pos = base.find(".conf"); pos != std::string::npos; pos = base.find(".conf", pos)) {
    base.erase(pos, 5);
  }
  p.tessel_conf_name = base;
  const bool other = tessel_conf_file != tessel_conf_default;
  p.log_dir = other ? path_join(log_root, p.tessel_conf_name) : log_root;
  p.models_dir = other ? path_join(models_root, p.tessel_conf_name) : models_root;
  p.backup_dir = path_join(p.models_dir, "backup/");
  p.tmp_dir = path_join(p.models_dir, "tmp/");
  p.rmq_vexa_dir = path_join(p.tmp_dir, "rmq/");
  p.mt_fname = path_join(p.models_dir, "mt.json");
  p.tessel_db_dir = path_join(p.models_dir, "db");
  p.tessel_b64wl_db = path_join(p.tessel_db_dir, "b64wl.db");
  p.tessel_settings_db = path_join(p.tessel_db_dir, "settings.db");
  p.tessel_vhosts_list_db = path_join(p.tessel_db_dir, "vhosts_list.db");
  p.tessel_dirs = {p.log_dir, p.models_dir, p.backup_dir, p.tmp_dir, p.rmq_vexa_dir, p.tessel_db_dir};
  return p;
}

}  // namespace tessel::svc
