// The resource holders: each resource closed exactly once, by its one owner.
#include <gtest/gtest.h>

#include <vector>

#include "Handles.h"

namespace {

// Resources are numbers; closing one records it and spoils the last-error code, as a real close may.
std::vector<int> Closed;

struct CountedTraits {
    using Type = int;
    static int None() noexcept { return 0; }
    static void Close(int resource) noexcept
    {
        Closed.push_back(resource);
        SetLastError(ERROR_INVALID_HANDLE);
    }
};
using Counted = UniqueResource<CountedTraits>;

TEST(Handles, EachResourceIsClosedOnceByItsLastOwner)
{
    Closed.clear();
    {
        Counted first(1);
        Counted second(2);
        second = std::move(first); // closes 2, takes 1
        Counted third(std::move(second));
        third.reset(third.get()); // the one held: nothing to close
        EXPECT_EQ(Closed, std::vector<int>{2});
        Counted kept(3);
        EXPECT_EQ(kept.release(), 3);
        SetLastError(ERROR_PIPE_BUSY);
        third.reset(4); // closes 1; the failed call's code survives
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    }
    EXPECT_EQ(Closed, (std::vector<int>{2, 1, 4}));
}

} // namespace
