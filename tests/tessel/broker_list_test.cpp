#include "tessel/broker_list.h"

#include <gtest/gtest.h>

#include <stdexcept>

using tessel::RmqParamList;
using tessel::svc::build_rmq_rc_param_list;

namespace tessel {
void PrintTo(const RmqConnectionParam& p, std::ostream* os) { *os << "[" << p.url << ", " << p.host << "]"; }
}  // namespace tessel

namespace {
std::string url(const std::string& s) { return s + "?blocked_connection_timeout=30"; }
}  // namespace

TEST(BrokerList, BuildsOneEntryPerDistinctItem) {
  struct Case {
    const char* text;
    RmqParamList want;
  };
  const Case cases[] = {
      {"u:p@h", {{url("amqp://u:p@h/%2F"), "h"}}},
      {"ssl://u:p@h:5671/v/x", {{url("amqps://u:p@h:5671/v%2Fx"), "h:5671"}}},
      {"u:p@h/", {{url("amqp://u:p@h/%2F"), "h"}}},
      {"u@h/a+b~c.d-e_f", {{url("amqp://u@h/a%2Bb~c.d-e_f"), "h"}}},
      {"u@h/\xc3\xa9%", {{url("amqp://u@h/%C3%A9%25"), "h"}}},
      // the credentials end at the first "@", the host at the second
      {"u:p@h@x/y", {{url("amqp://u:p@h/%2F"), "h"}}},
      // only the credentials are searched for "ssl://", every occurrence goes
      {"u:p@ssl://h", {{url("amqp://u:p@ssl:/%2Fh"), "ssl:"}}},
      {"ssl://ssl://u@h", {{url("amqps://u@h/%2F"), "h"}}},
      {"x@ssl://h", {{url("amqp://x@ssl:/%2Fh"), "ssl:"}}},
      // nothing else is validated
      {"@/v", {{url("amqp://@/v"), ""}}},
      // white space of any kind separates items; duplicates collapse
      {"a@h1\n    b@h2\ta@h1  a@h1", {{url("amqp://a@h1/%2F"), "h1"}, {url("amqp://b@h2/%2F"), "h2"}}},
      {"a@h1\xe3\x80\x80"
       "b@h2\xc2\xa0"
       "c@h3",
       {{url("amqp://a@h1/%2F"), "h1"}, {url("amqp://b@h2/%2F"), "h2"}, {url("amqp://c@h3/%2F"), "h3"}}},
      {"u@h ssl://u@h", {{url("amqp://u@h/%2F"), "h"}, {url("amqps://u@h/%2F"), "h"}}},
      {"a,b@h", {{url("amqp://a,b@h/%2F"), "h"}}},
      {"", {}},
      {" \n\t\n  ", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(build_rmq_rc_param_list(c.text), c.want) << c.text;
  }
}

TEST(BrokerList, APortOutOfRangeOrNotANumberIsAnError) {
  struct Case {
    const char* text;
    const char* entry;
  };
  const Case cases[] = {
      {"guest:secret@h:99999", "broker entry 1 "}, {"u@h guest:secret@h:abc", "broker entry 2 "},
      {"guest:secret@h:0", "broker entry 1 "},     {"guest:secret@h:-1/v", "broker entry 1 "},
      {"guest:secret@[::1]x", "broker entry 1 "},  {"ssl://guest:secret@h:5671x", "broker entry 1 "},
  };
  for (const auto& c : cases) {
    try {
      build_rmq_rc_param_list(c.text);
      ADD_FAILURE() << c.text;
    } catch (const std::invalid_argument& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind(c.entry, 0), 0u) << what;
      EXPECT_NE(what.find("port"), std::string::npos) << what;
      EXPECT_EQ(what.find("secret"), std::string::npos) << what;
    }
  }
  // the ports that are accepted
  for (const char* text : {"u@h:1", "u@h:65535", "u@h:", "u@[::1]:5672", "u@[::1]"}) {
    EXPECT_EQ(build_rmq_rc_param_list(text).size(), 1u) << text;
  }
}

TEST(BrokerList, AnItemWithoutAtIsAnError) {
  for (const char* text : {"guest:guest", "a@h hostonly", "ssl://h"}) {
    try {
      build_rmq_rc_param_list(text);
      ADD_FAILURE() << text;
    } catch (const std::invalid_argument& e) {
      // the item itself may be a password: it is not repeated
      EXPECT_EQ(std::string(e.what()).find("guest"), std::string::npos);
      EXPECT_NE(std::string(e.what()).find("rmq_host has no \"@\""), std::string::npos) << e.what();
    }
  }
}
