// The id record read back: each mailbox gets exactly the entries it was
// given, whatever its user's name.
#include <gtest/gtest.h>

#include "app/uid_state.h"
#include "support/testutil.h"

namespace {

TEST(IdRecord, EachMailboxReadsBackItsOwnEntries) {
  const std::string server = "pop.example:110";
  // Users whose mailbox lines the reader once skipped, giving their entries
  // to the mailbox before or to none.
  for (const std::string& user : {std::string(), std::string(300, '\x8f'), std::string("zorvik")}) {
    SCOPED_TRACE("user of " + std::to_string(user.size()) + " bytes");
    zvtest::TempDir dir;
    std::string why;
    TUidState written(dir / "ZVMAIL32.UID");
    ASSERT_TRUE(written.Load(why));
    written.Select(server, "other");
    written.SetFiled("A", 1);
    written.Select(server, user);
    written.SetFiled("B", 2);
    ASSERT_TRUE(written.Save(false, why)) << why;

    TUidState read(dir / "ZVMAIL32.UID");
    ASSERT_TRUE(read.Load(why));
    uint16_t number = 0;
    read.Select(server, user);
    EXPECT_EQ(read.Find("B", &number), TUidState::Kind::Filed);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(read.Find("A"), TUidState::Kind::None);
    read.Select(server, "other");
    EXPECT_EQ(read.Find("A", &number), TUidState::Kind::Filed);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(read.Find("B"), TUidState::Kind::None);
  }
}

}  // namespace
