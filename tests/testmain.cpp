// Shared main of the unit-test programs. The debug heap is on in tests as in
// programs: after every test the whole heap is checked, and a block still live
// when the program ends is reported by the heap's exit check, which stops the
// program with a trap, so a leaking test program fails under ctest.
#include <gtest/gtest.h>

#include "qpbase.h"

namespace {

class HeapCheckListener : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override
    {
        debugheap_check();
    }
};

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Death tests re-run the program for each case, so they see the same
    // start-up as the parent and do not inherit its threads.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::UnitTest::GetInstance()->listeners().Append(new HeapCheckListener);
    return RUN_ALL_TESTS();
}
