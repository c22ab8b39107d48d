#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "pelbo/core/Singleton.h"

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

    std::shared_ptr<Counted> first = family.Get();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(family.Get(), first);
    first.reset();
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

// A manager with one handler: Run holds it as every delivery does.
class Handling : public CLastReference {
public:
    ~Handling() override { ++ended; }
    bool Run()
    {
        const Held held = Hold();
        if (!held)
            return false;
        if (during)
            during();
        // Still whole here, whatever happened during the call.
        ++runs;
        return true;
    }
    std::function<void()> during;
    int runs = 0;
    static int ended;
};
int Handling::ended = 0;

// An exit from inside a handler, or while an exported call holds the
// manager on another thread, frees nothing under them: the manager goes
// with the last reference. A closed manager starts no handler, and one that
// is owned otherwise (a test's own) runs its handlers unheld.
TEST(Singleton, ManagerGoesWithItsLastReference)
{
    Handling::ended = 0;
    CSingleton<Handling> family;
    std::shared_ptr<Handling> running = family.Get();
    Handling* raw = running.get();
    running->during = [&family] { family.Exit(); };
    running.reset();
    EXPECT_TRUE(raw->Run());
    EXPECT_EQ(Handling::ended, 1) << "the handler's reference was the last one";

    std::shared_ptr<Handling> call = family.Get();
    family.Exit();
    EXPECT_EQ(Handling::ended, 1) << "freed under a call in progress";
    EXPECT_TRUE(call->IsClosed());
    EXPECT_FALSE(call->Run()) << "a closed manager started a handler";
    EXPECT_EQ(call->runs, 0);
    std::shared_ptr<Handling> fresh = family.Get();
    EXPECT_NE(fresh, call);
    call.reset();
    EXPECT_EQ(Handling::ended, 2);
    fresh.reset();
    family.Exit();
    EXPECT_EQ(Handling::ended, 3);

    Handling own;
    EXPECT_TRUE(own.Run());
}

}  // namespace
