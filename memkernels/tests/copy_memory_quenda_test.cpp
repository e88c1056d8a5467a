// The three routines' memory effects, with every range against inaccessible
// guard pages so that any read or write outside it faults.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "CopyMemoryQuenda.h"

namespace {

using Routine = std::int64_t (*)(std::uint64_t, std::int64_t, const void*, void*);

std::size_t PageSize()
{
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Read-write pages between two inaccessible pages. Filled with a pattern in
// which every 8-byte unit is distinct, so a unit that lands in the wrong place shows.
class GuardedPages {
public:
    explicit GuardedPages(std::size_t bytes, std::uint64_t seed = 1)
    {
        const std::size_t page = PageSize();
        size_ = (bytes + page - 1) / page * page;
        if (size_ == 0) size_ = page;
        mapped_ = size_ + 2 * page;
        void* p = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
        base_ = static_cast<unsigned char*>(p);
        if (mprotect(begin(), size_, PROT_READ | PROT_WRITE) != 0) throw std::runtime_error("mprotect failed");
        std::mt19937_64 random(seed);
        for (std::size_t i = 0; i < size_; i += 8) {
            const std::uint64_t v = random();
            std::memcpy(begin() + i, &v, 8);
        }
    }
    ~GuardedPages() { munmap(base_, mapped_); }
    GuardedPages(const GuardedPages&) = delete;
    GuardedPages& operator=(const GuardedPages&) = delete;

    unsigned char* begin() const { return base_ + PageSize(); }
    unsigned char* end() const { return begin() + size_; }
    std::vector<unsigned char> contents() const { return {begin(), end()}; }

private:
    unsigned char* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
};

// Where a span sits in its pages: against the lower guard, against the upper
// guard, or three bytes up from the lower guard so that no unit is aligned.
enum class Place { Low, High, Odd };

unsigned char* Locate(const GuardedPages& pages, std::size_t span, Place place)
{
    switch (place) {
    case Place::Low: return pages.begin();
    case Place::High: return pages.end() - span;
    case Place::Odd: return pages.begin() + 3;
    }
    return nullptr;
}

const char* PlaceName(Place p)
{
    return p == Place::Low ? "low" : p == Place::High ? "high" : "odd";
}

// Slack for the odd placement.
constexpr std::size_t kSlack = 16;

enum class Kind { Clear, Copy, Trans };

// How source and destination meet. For a clear, Apart puts the fill value in
// pages of its own and Same puts it at the destination's first unit.
enum class Layout {
    Apart,             // separate pages
    Same,              // source equal to destination
    DestinationAbove,  // destination = source + 8, overlapping
    DestinationBelow,  // destination = source - 8: not supported by callers,
                       // but its result shows where every chunk begins
};

struct Case {
    Kind kind;
    std::int64_t length;
    Layout layout;
    std::uint64_t mode;
};

Routine RoutineOf(Kind k)
{
    return k == Kind::Clear ? &ClearMemoryQuenda : k == Kind::Copy ? &CopyMemoryQuenda : &TransMemoryOstrel;
}

std::string Describe(const Case& c)
{
    static const char* kinds[] = {"Clear", "Copy", "Trans"};
    static const char* layouts[] = {"Apart", "Same", "DestinationAbove", "DestinationBelow"};
    return std::string(kinds[static_cast<int>(c.kind)]) + "_" + layouts[static_cast<int>(c.layout)] + "_" +
           std::to_string(c.length) + (c.mode != 0 ? "_mode" + std::to_string(c.mode) : "");
}

void PrintTo(const Case& c, std::ostream* os) { *os << Describe(c); }

// Offset of the first unit a routine takes: the first length mod 8 bytes of a
// range are neither read nor written.
std::int64_t Skipped(std::int64_t length) { return length % 8; }

// Starting offsets of the chunks in which the chunked routines walk a range
// from its top: 48-byte chunks while 48 bytes or more remain, then one chunk of
// what is left, at the bottom. 0x80000 gives 10,922 chunks of 48 from 524,240
// down to 32, then one of 32 at 0.
bool StartsChunkAbove(std::int64_t length, std::int64_t offset)
{
    return offset > Skipped(length) && offset < length && (length - offset) % 48 == 0;
}

// Memory image of all pages involved, so that expectations cover every byte
// of them, not just the range.
class Scene {
public:
    Scene(const Case& c, Place sourcePlace, Place destinationPlace) : case_(c)
    {
        const std::size_t span = static_cast<std::size_t>(c.length);
        if (c.layout == Layout::Apart) {
            const std::size_t sourceSpan = c.kind == Kind::Clear ? 8 : span;
            source_ = std::make_unique<GuardedPages>(sourceSpan + kSlack, 2);
            destination_ = std::make_unique<GuardedPages>(span + kSlack, 3);
            src_ = Locate(*source_, sourceSpan, sourcePlace);
            dst_ = Locate(*destination_, span, destinationPlace);
        } else {
            const std::size_t joint = c.layout == Layout::Same ? span : span + 8;
            destination_ = std::make_unique<GuardedPages>(joint + kSlack, 4);
            unsigned char* start = Locate(*destination_, joint, destinationPlace);
            src_ = c.layout == Layout::DestinationBelow ? start + 8 : start;
            dst_ = c.layout == Layout::DestinationAbove ? start + 8 : start;
        }
        if (source_) sourceBefore_ = source_->contents();
        destinationBefore_ = destination_->contents();
    }

    std::int64_t Run() const { return RoutineOf(case_.kind)(case_.mode, case_.length, src_, dst_); }

    // What the destination's pages must hold afterwards.
    std::vector<unsigned char> Expected() const
    {
        std::vector<unsigned char> expected = destinationBefore_;
        const std::int64_t length = case_.length;
        for (std::int64_t off = Skipped(length); off < length; off += 8) {
            std::memcpy(&expected[Index(dst_ + off)], Before(Taken(off)), 8);
        }
        return expected;
    }

    std::vector<unsigned char> DestinationAfter() const { return destination_->contents(); }
    bool SourceUnchanged() const { return !source_ || source_->contents() == sourceBefore_; }

private:
    // Source offset whose old unit ends up at destination offset `off`.
    std::int64_t Taken(std::int64_t off) const
    {
        if (case_.kind == Kind::Clear) return 0;
        if (case_.layout != Layout::DestinationBelow) return off;
        // Each unit is read after the unit 8 bytes above it has been written
        // over it, unless a chunk's reads all came first. Unit by unit that
        // carries the top unit all the way down; chunk by chunk only the top
        // unit of each lower chunk takes its upper neighbour's value.
        if (case_.kind == Kind::Trans) return case_.length - 8;
        return StartsChunkAbove(case_.length, off + 8) ? off + 8 : off;
    }

    const unsigned char* Before(std::int64_t sourceOffset) const
    {
        const unsigned char* p = src_ + sourceOffset;
        if (source_) return &sourceBefore_[static_cast<std::size_t>(p - source_->begin())];
        return &destinationBefore_[Index(p)];
    }

    std::size_t Index(const unsigned char* p) const { return static_cast<std::size_t>(p - destination_->begin()); }

    Case case_;
    std::unique_ptr<GuardedPages> source_;  // absent when source and destination share pages
    std::unique_ptr<GuardedPages> destination_;
    unsigned char* src_ = nullptr;
    unsigned char* dst_ = nullptr;
    std::vector<unsigned char> sourceBefore_;
    std::vector<unsigned char> destinationBefore_;
};

::testing::AssertionResult SameBytes(const std::vector<unsigned char>& expected,
                                     const std::vector<unsigned char>& actual)
{
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] != actual[i]) {
            return ::testing::AssertionFailure() << "first difference at page offset " << i << ": expected "
                                                 << int(expected[i]) << ", got " << int(actual[i]);
        }
    }
    return ::testing::AssertionSuccess();
}

class MemoryRoutine : public ::testing::TestWithParam<Case> {};

TEST_P(MemoryRoutine, WritesExactlyItsRangeFromItsSource)
{
    const Case c = GetParam();
    struct Placement {
        Place source, destination;
    };
    // Ranges in separate pages meet the guards on both sides, and once unaligned;
    // a shared range meets each guard in turn.
    const std::vector<Placement> placements =
        c.layout == Layout::Apart
            ? std::vector<Placement>{{Place::Low, Place::High}, {Place::High, Place::Low}, {Place::Odd, Place::Odd}}
            : std::vector<Placement>{{Place::Low, Place::Low}, {Place::High, Place::High}, {Place::Odd, Place::Odd}};
    for (const Placement& p : placements) {
        SCOPED_TRACE(std::string("source ") + PlaceName(p.source) + ", destination " + PlaceName(p.destination));
        const Scene scene(c, p.source, p.destination);
        EXPECT_EQ(scene.Run(), 0);
        EXPECT_TRUE(SameBytes(scene.Expected(), scene.DestinationAfter()));
        EXPECT_TRUE(scene.SourceUnchanged());
    }
}

constexpr std::uint64_t kAllOnes = std::numeric_limits<std::uint64_t>::max();

const Case kCases[] = {
    // One unit (single values are cleared and copied this way), one chunk of
    // each width, two chunks, the kernel buffer's size, and one length that is
    // not a multiple of 8.
    {Kind::Copy, 8, Layout::Apart, 0},
    {Kind::Copy, 40, Layout::Apart, 0},
    {Kind::Copy, 48, Layout::Apart, 0},
    {Kind::Copy, 96, Layout::Apart, 0},
    {Kind::Copy, 0x80000, Layout::Apart, 0},
    {Kind::Copy, 53, Layout::Apart, 0},
    {Kind::Copy, 96, Layout::Apart, kAllOnes},
    {Kind::Copy, 96, Layout::Same, 0},
    {Kind::Copy, 0x80000, Layout::Same, 0},
    {Kind::Copy, 96, Layout::DestinationAbove, 0},
    {Kind::Copy, 0x80000, Layout::DestinationAbove, 0},
    // These show the chunk schedule: 8, 16 and 48 are one chunk; 56 is 48
    // over 8; 136 is 48, 48 over 40; 0x80000 is 10,922 chunks of 48 over 32.
    {Kind::Copy, 8, Layout::DestinationBelow, 0},
    {Kind::Copy, 16, Layout::DestinationBelow, 0},
    {Kind::Copy, 48, Layout::DestinationBelow, 0},
    {Kind::Copy, 56, Layout::DestinationBelow, 0},
    {Kind::Copy, 96, Layout::DestinationBelow, 0},
    {Kind::Copy, 136, Layout::DestinationBelow, 0},
    {Kind::Copy, 0x80000, Layout::DestinationBelow, 7},

    {Kind::Trans, 8, Layout::Apart, 0},
    {Kind::Trans, 20, Layout::Apart, 0},
    {Kind::Trans, 96, Layout::Apart, 0},
    {Kind::Trans, 0x80000, Layout::Apart, kAllOnes},
    {Kind::Trans, 0x80000, Layout::Same, 0},
    {Kind::Trans, 20, Layout::DestinationAbove, 0},
    {Kind::Trans, 96, Layout::DestinationAbove, 0},
    {Kind::Trans, 96, Layout::DestinationBelow, 0},

    {Kind::Clear, 8, Layout::Apart, 0},
    {Kind::Clear, 48, Layout::Apart, 0},
    {Kind::Clear, 96, Layout::Apart, 1},
    {Kind::Clear, 0x80000, Layout::Apart, 0},
    {Kind::Clear, 20, Layout::Apart, 0},
    // The fill value is the range's first unit: the range ends up holding
    // copies of what that unit held before the call.
    {Kind::Clear, 8, Layout::Same, 0},
    {Kind::Clear, 96, Layout::Same, 0},
    {Kind::Clear, 0x80000, Layout::Same, kAllOnes},
};

INSTANTIATE_TEST_SUITE_P(Table, MemoryRoutine, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return Describe(info.param); });

// A clear with a zero first unit in place zeroes the range, and one with a
// zero word outside it zeroes it too: the two ways the player clears.
TEST(ClearMemoryQuenda, ZeroFillValueZeroesTheRange)
{
    GuardedPages pages(4096 + 96);
    unsigned char* range = pages.end() - 4096;
    std::memset(range, 0, 8);
    EXPECT_EQ(ClearMemoryQuenda(0, 4096, range, range), 0);
    EXPECT_EQ(std::vector<unsigned char>(range, pages.end()), std::vector<unsigned char>(4096, 0));

    const std::uint64_t zero = 0;
    GuardedPages other(96);
    EXPECT_EQ(ClearMemoryQuenda(0, 96, &zero, other.begin()), 0);
    EXPECT_EQ(std::vector<unsigned char>(other.begin(), other.begin() + 96), std::vector<unsigned char>(96, 0));
}

// Lengths below one unit, zero or negative, with source and destination in the
// middle of inaccessible pages: any read or write would fault.
TEST(MemoryRoutines, ShortZeroAndNegativeLengthsTouchNothing)
{
    const std::size_t page = PageSize();
    void* p = mmap(nullptr, 3 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    unsigned char* middle = static_cast<unsigned char*>(p) + page;
    const std::int64_t lengths[] = {0, 1, 2, 3, 4, 5, 6, 7, -1, -8, -48, std::numeric_limits<std::int64_t>::min()};
    for (Kind k : {Kind::Clear, Kind::Copy, Kind::Trans}) {
        for (std::int64_t length : lengths) {
            SCOPED_TRACE(length);
            EXPECT_EQ(RoutineOf(k)(kAllOnes, length, middle, middle + 16), 0);
            EXPECT_EQ(RoutineOf(k)(0, length, middle + 16, middle), 0);
        }
    }
    munmap(p, 3 * page);
}

}  // namespace
