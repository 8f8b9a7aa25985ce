// Clones: the copy is its source slot for slot, down to where the next keys
// go, and a failing copy leaks nothing.  That the two then change
// independently, across the rebuild that gives them seeds of their own, the
// Python state machines check through copy().

#include <stdexcept>
#include <tuple>
#include <vector>

#include "test_support.hpp"

namespace brindle {
namespace {

using namespace test;

// Every fifth key shares one hash word: enough of them reach the funnel's
// special array and overflow area.
CountedKey key(std::uint64_t k) { return CountedKey(k, k % 5 == 0 ? 0xC0FFEE : k); }

using CountedEntry = SlotEntry<CountedKey, CountedValue>;

// Copies counted entries; the call numbered `fail_at` (from 0) throws instead.
struct CopyCounted {
  long calls = 0, fail_at = -1;
  void operator()(const CountedEntry& e, CountedEntry* dst) {
    if (calls++ == fail_at) throw std::runtime_error("copy refused");
    ::new (static_cast<void*>(dst))
        CountedEntry{CountedKey(e.key.id(), key_hash_word(e.key)), CountedValue(e.value.get())};
  }
};

// Key, value and location of every entry, in scan order.
template <class T>
auto contents(const T& t) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, typename T::Location>> out;
  for (auto loc : scan_all(t)) out.emplace_back(t.entry_at(loc).key.id(), t.entry_at(loc).value.get(), loc);
  return out;
}

template <class Family>
class Clones : public LiveGuard {
 protected:
  using Table = typename Family::template Of<CountedKey, CountedValue>;

  // Grown by insertion, with tombstones left by removal (on the funnel table
  // with entries in its special array and overflow area).
  static Table source() {
    Table t(0, 0.125, 4);
    for (std::uint64_t k = 0; k < 3000; ++k) put(t, key(k), CountedValue(k));
    for (std::uint64_t k = 3; k < 3000; k += 7) t.remove(*locate(t, key(k)));
    return t;
  }
};
TYPED_TEST_SUITE(Clones, TableFamilies);

TYPED_TEST(Clones, AreTheirSourceSlotForSlot) {
  auto empty = typename TestFixture::Table(0, 0.125, 1);
  EXPECT_EQ(empty.clone(CopyCounted{}).len(), 0u);
  auto t = TestFixture::source();
  const auto before = contents(t);
  CopyCounted copy;
  auto c = t.clone(copy);
  EXPECT_EQ(copy.calls, static_cast<long>(t.len()));
  EXPECT_EQ(LiveCount::live, 4L * t.len());
  EXPECT_EQ(std::tuple(c.seed(), c.len(), c.max_items(), c.heap_bytes()),
            std::tuple(t.seed(), t.len(), t.max_items(), t.heap_bytes()));
  EXPECT_EQ(contents(c), before);
  c.check_invariants();
  // The counters that steer placement came along too: the same removals
  // and insertions, short of any rebuild, put keys in the same slots.
  for (auto* x : {&t, &c}) {
    typename TestFixture::Table::ScanCursor cur;
    while (auto loc = x->scan_advance(cur))
      if (x->entry_at(*loc).key.id() % 11 == 1) x->extract_finish(*loc);
    for (std::uint64_t k = 10'000; k < 10'000 + std::min<std::uint32_t>(x->max_items() - x->len(), 300); ++k)
      put(*x, key(k), CountedValue(k));
  }
  EXPECT_EQ(contents(c), contents(t));

  t.check_invariants();
  c.check_invariants();
}

TYPED_TEST(Clones, ThrowingCopyDropsTheCopiesMadeSoFar) {
  const auto t = TestFixture::source();
  const auto before = contents(t);
  for (long fail_at : {0L, static_cast<long>(t.len() / 2), static_cast<long>(t.len()) - 1}) {
    CopyCounted copy{0, fail_at};
    EXPECT_THROW(t.clone(copy), std::runtime_error) << fail_at;
    EXPECT_EQ(copy.calls, fail_at + 1);
    EXPECT_EQ(LiveCount::live, 2L * t.len()) << fail_at;
  }
  EXPECT_EQ(contents(t), before);
}

}  // namespace
}  // namespace brindle
