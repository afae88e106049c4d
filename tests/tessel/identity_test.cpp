#include "tessel/identity.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_dir.h"

using namespace tessel;
using tessel::testing::read_file;
using tessel::testing::TempDir;
using tessel::testing::write_file;

TEST(Identity, InstanceIdIsCreatedOnceAndKept) {
  TempDir dir;
  const std::string path = dir.file("instance_id");
  const std::string id = svc::instance_id(path);
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
  EXPECT_EQ(read_file(path), id + "\n");
  EXPECT_EQ(svc::instance_id(path), id);

  // an id written by the operator is used as it is
  write_file(path, "  node-7  \nsecond line\n");
  EXPECT_EQ(svc::instance_id(path), "node-7");

  // an unusable file is replaced
  for (const char* bad : {"", "\n", "two words\n", "x\x01y"}) {
    write_file(path, bad);
    const std::string fresh = svc::instance_id(path);
    EXPECT_EQ(fresh.size(), 32u) << bad;
    EXPECT_EQ(read_file(path), fresh + "\n");
  }
  // nothing is left beside it
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

TEST(Identity, UnusableLocationIsAnError) {
  TempDir dir;
  write_file(dir.file("file"), "x");
  std::filesystem::create_directory(dir.file("instance_id"));
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("file/instance_id"), "[Errno 20] Not a directory"},
      {dir.file("instance_id"), "[Errno 21] Is a directory"},
  };
  for (const auto& [path, text] : cases) {
    try {
      svc::instance_id(path);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "cannot read the instance id file " + path + ": " + text);
    }
  }
}

TEST(Identity, PrimaryAddressIsAnAddress) {
  const std::string ip = svc::primary_address();
  unsigned char buf[16];
  EXPECT_TRUE(::inet_pton(AF_INET, ip.c_str(), buf) == 1 || ::inet_pton(AF_INET6, ip.c_str(), buf) == 1) << ip;
}
