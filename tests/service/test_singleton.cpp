#include <gtest/gtest.h>

#include "core/Singleton.h"

namespace {

struct Counted {
    Counted() { ++made; }
    ~Counted() { ++ended; }
    static int made;
    static int ended;
};
int Counted::made = 0;
int Counted::ended = 0;

// A family whose exit is final closes only when the exit ended a manager;
// one that is not final makes a fresh manager after every exit.
TEST(Singleton, FinalExitClosesOnlyAFamilyThatHadAManager)
{
    Counted::made = Counted::ended = 0;
    CSingleton<Counted, true> family;
    family.Exit();
    EXPECT_FALSE(family.IsClosed());
    EXPECT_EQ(family.Peek(), nullptr);

    Counted* first = family.Get();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(family.Get(), first);
    family.Exit();
    EXPECT_TRUE(family.IsClosed());
    EXPECT_EQ(family.Get(), nullptr);
    family.Exit();
    EXPECT_EQ(Counted::made, 1);
    EXPECT_EQ(Counted::ended, 1);

    CSingleton<Counted> reopening;
    reopening.Exit();
    ASSERT_NE(reopening.Get(), nullptr);
    reopening.Exit();
    EXPECT_FALSE(reopening.IsClosed());
    ASSERT_NE(reopening.Get(), nullptr);
    reopening.Exit();
    EXPECT_EQ(Counted::made, 3);
    EXPECT_EQ(Counted::ended, 3);
}

}  // namespace
