// Named kernel objects over the real Win32 calls: name translation, create
// of an existing name, mutex and event semantics, lifetime with the holding
// process, and closing any handle.
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// ---- Names ------------------------------------------------------------------

TEST(ObjectNames, AreUpperCasedInPlaceAndTakenFromBehindThePrefix) {
  const std::string base = wt::Unique("map");
  std::string created = "\\sharemem\\" + base;
  void* view = nullptr;
  Handle mapping = 0;
  ASSERT_EQ(ShmCreate(&view, created.data(), 100, 3, &mapping), 0);
  EXPECT_EQ(created, "\\SHAREMEM\\" + Upper(base));  // the caller's text changed

  // The kernel object is the upper-cased text after the prefix; whatever
  // comes before the prefix, and its case, do not matter.
  HANDLE direct = OpenFileMappingA(FILE_MAP_READ, FALSE, Upper(base).c_str());
  ASSERT_NE(direct, nullptr);
  CloseHandle(direct);
  std::string other = "ignored\\ShareMem\\" + base;
  void* second = nullptr;
  Handle mapping2 = 0;
  ASSERT_EQ(ShmOpen(&second, other.data(), 3, &mapping2), 0);
  static_cast<char*>(view)[5] = 'x';
  EXPECT_EQ(static_cast<char*>(second)[5], 'x');  // one object, two views
  EXPECT_EQ(ShmClose(second, mapping2), 0);
  EXPECT_EQ(ShmClose(view, mapping), 0);
}

TEST(ObjectNames, EventsTakeEitherPrefixMutexesOnlySem32) {
  const std::string base = Upper(wt::Unique("ev"));
  std::string by_sem = "\\sem32\\" + base;
  Handle event = 0;
  ASSERT_EQ(EvCreate(by_sem.data(), &event, 0), 0);
  std::string by_mem = "\\sharemem\\" + base;
  Handle opened = 0;
  ASSERT_EQ(EvOpen(by_mem.data(), &opened), 0);
  EXPECT_EQ(EvSet(opened), 0);
  EXPECT_EQ(EvWait(event, 0), kWaitOk);

  // "\sharemem\" means nothing to a mutex: the name has no prefix for it.
  std::string mutex_name = "\\sharemem\\" + base + "M";
  Handle mutex = 0;
  EXPECT_EQ(MtxOpen(mutex_name.data(), &mutex), -1);
  EXPECT_EQ(HndClose(opened), 0);
  EXPECT_EQ(HndClose(event), 0);
}

TEST(ObjectNames, WithoutThePrefixCreateIsUnnamedAndOpenFails) {
  std::string name = "qoxmemcb";
  void* a = nullptr;
  void* b = nullptr;
  Handle ma = 0, mb = 0;
  ASSERT_EQ(ShmCreate(&a, name.data(), 64, 3, &ma), 0);
  ASSERT_EQ(ShmCreate(&b, name.data(), 64, 3, &mb), 0);  // no name: no clash
  EXPECT_EQ(name, "QOXMEMCB");
  static_cast<char*>(a)[0] = 1;
  EXPECT_EQ(static_cast<char*>(b)[0], 0);  // two objects
  void* v = nullptr;
  Handle h = 0;
  EXPECT_EQ(ShmOpen(&v, name.data(), 3, &h), -1);
  EXPECT_EQ(MtxOpen(name.data(), &h), -1);
  EXPECT_EQ(EvOpen(name.data(), &h), -1);
  EXPECT_EQ(h, 0u);  // out-pointers are written only on success
  EXPECT_EQ(ShmClose(a, ma), 0);
  EXPECT_EQ(ShmClose(b, mb), 0);
}

// ---- Create of an existing name ----------------------------------------------------

TEST(ObjectCreate, OfAnExistingNameFailsWith183AndLeavesNoHandle) {
  const std::string base = wt::Unique("dup");
  std::string map_name = "\\sharemem\\" + base, mutex_name = "\\sem32\\" + base + "M",
              event_name = "\\sem32\\" + base + "E";
  void* view = nullptr;
  Handle mapping = 0, mutex = 0, event = 0;
  ASSERT_EQ(ShmCreate(&view, map_name.data(), 4096, 3, &mapping), 0);
  ASSERT_EQ(MtxCreate(mutex_name.data(), &mutex, 0), 0);
  ASSERT_EQ(EvCreate(event_name.data(), &event, 0), 0);
  const std::size_t before = PlatformOpenHandles();

  void* view2 = nullptr;
  Handle again = 0;
  EXPECT_EQ(ShmCreate(&view2, map_name.data(), 4096, 3, &again), -1);
  EXPECT_EQ(win::GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(MtxCreate(mutex_name.data(), &again, 1), -1);
  EXPECT_EQ(win::GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(EvCreate(event_name.data(), &again, 1), -1);
  EXPECT_EQ(win::GetLastError(), ERROR_ALREADY_EXISTS);
  // One namespace holds every kind: a mutex cannot take a mapping's name.
  std::string taken = "\\sem32\\" + base;
  EXPECT_EQ(MtxCreate(taken.data(), &again, 0), -1);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(PlatformOpenHandles(), before);
  // The failed create of an owned mutex took nothing: another thread gets it.
  std::thread([&] { EXPECT_EQ(MtxWait(mutex, 0), kWaitOk); }).join();

  EXPECT_EQ(ShmClose(view, mapping), 0);
  EXPECT_EQ(HndClose(mutex), 0);
  EXPECT_EQ(HndClose(event), 0);
}

TEST(ObjectCreate, MappingsAreReadOnlyInMode1AndReportTheirSize) {
  const std::string base = wt::Unique("size");
  std::string name = "\\sharemem\\" + base;
  void* view = nullptr;
  Handle mapping = 0;
  ASSERT_EQ(ShmCreate(&view, name.data(), 10000, 3, &mapping), 0);
  // Whole pages: what a view of it may touch.
  EXPECT_EQ(ShmSize(mapping), 12288u);
  void* reader = nullptr;
  Handle read_only = 0;
  ASSERT_EQ(ShmOpen(&reader, name.data(), 1, &read_only), 0);
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_NE(VirtualQuery(reader, &info, sizeof info), 0u);
  EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_READONLY));
  EXPECT_EQ(ShmClose(reader, read_only), 0);
  EXPECT_EQ(ShmClose(view, mapping), 0);
  EXPECT_EQ(ShmSize(mapping), 0u);  // not an open mapping any more

  Handle event = 0;
  ASSERT_EQ(EvCreate(nullptr, &event, 0), 0);
  EXPECT_EQ(ShmSize(event), 0u);
  EXPECT_EQ(HndClose(event), 0);
}

// ---- Mutexes --------------------------------------------------------------------

TEST(Mutex, IsRecursiveForItsOwnerAndTimesOutForOthers) {
  Handle mutex = 0;
  ASSERT_EQ(MtxCreate(nullptr, &mutex, 1), 0);
  EXPECT_EQ(MtxWait(mutex, 0), kWaitOk);  // again, recursively
  std::thread([&] {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MtxWait(mutex, 100), kWaitTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
    EXPECT_EQ(MtxWait(mutex, 0), kWaitTimeout);  // a poll
    EXPECT_EQ(MtxRelease(mutex), -1);            // not the owner's
  }).join();
  EXPECT_EQ(MtxRelease(mutex), 0);
  EXPECT_EQ(MtxRelease(mutex), 0);
  EXPECT_EQ(MtxRelease(mutex), -1);  // released as often as taken
  std::thread([&] {
    EXPECT_EQ(MtxWait(mutex, 1000), kWaitOk);
    EXPECT_EQ(MtxRelease(mutex), 0);
  }).join();
  EXPECT_EQ(HndClose(mutex), 0);
}

TEST(Mutex, AbandonedByItsThreadIsHandedOnWith95) {
  Handle mutex = 0;
  ASSERT_EQ(MtxCreate(nullptr, &mutex, 0), 0);
  std::thread([&] { EXPECT_EQ(MtxWait(mutex, kInfinite), kWaitOk); }).join();
  EXPECT_EQ(MtxWait(mutex, 1000), kWaitAbandoned);
  // The waiter owns it now: it can release it, and later waits succeed.
  EXPECT_EQ(MtxRelease(mutex), 0);
  EXPECT_EQ(MtxWait(mutex, 0), kWaitOk);
  EXPECT_EQ(MtxRelease(mutex), 0);
  EXPECT_EQ(HndClose(mutex), 0);
}

TEST(Mutex, AbandonedByAKilledProcessIsHandedOnWith95) {
  const std::string base = wt::Unique("held");
  std::string name = "\\sem32\\" + base;
  Handle mutex = 0;
  ASSERT_EQ(MtxCreate(name.data(), &mutex, 0), 0);
  wt::Child child("hold-mutex", base);
  ASSERT_TRUE(child.WaitReady());
  EXPECT_EQ(MtxWait(mutex, 50), kWaitTimeout);
  child.Kill();
  EXPECT_EQ(MtxWait(mutex, 5000), kWaitAbandoned);
  EXPECT_EQ(MtxRelease(mutex), 0);
  EXPECT_EQ(HndClose(mutex), 0);
}

// ---- Events ---------------------------------------------------------------------

TEST(Event, IsManualResetAndResetWritesZero) {
  Handle event = 0;
  ASSERT_EQ(EvCreate(nullptr, &event, 1), 0);  // signalled at once
  EXPECT_EQ(EvWait(event, 0), kWaitOk);
  EXPECT_EQ(EvWait(event, 0), kWaitOk);  // a wait does not reset it
  std::uint32_t out = 0xFFFFFFFF;
  EXPECT_EQ(EvReset(event, &out), 0);
  EXPECT_EQ(out, 0u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(EvWait(event, 100), kWaitTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
  std::thread setter([&] {
    std::this_thread::sleep_for(50ms);
    EvSet(event);
  });
  EXPECT_EQ(EvWait(event, kInfinite), kWaitOk);
  setter.join();
  EXPECT_EQ(HndClose(event), 0);
}

TEST(Event, NamedWorksAcrossProcesses) {
  const std::string base = wt::Unique("xev");
  std::string name = "\\sem32\\" + base;
  Handle event = 0;
  ASSERT_EQ(EvCreate(name.data(), &event, 0), 0);
  wt::Child child("set-event", base);
  EXPECT_EQ(EvWait(event, 20000), kWaitOk);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(HndClose(event), 0);
}

// ---- Lifetime and handles ---------------------------------------------------------

TEST(ObjectLifetime, ObjectsDieWithTheLastProcessThatHoldsThem) {
  const std::string base = wt::Unique("life");
  std::string mapping_name = "\\sharemem\\" + base + "-MAP",
              mutex_name = "\\sem32\\" + base + "-MTX", event_name = "\\sem32\\" + base + "-EV";
  {
    wt::Child child("own-objects", base);
    ASSERT_TRUE(child.WaitReady());
    void* view = nullptr;
    Handle mapping = 0;
    ASSERT_EQ(ShmOpen(&view, mapping_name.data(), 1, &mapping), 0);
    EXPECT_EQ(static_cast<const char*>(view)[0], 'Q');
    EXPECT_EQ(ShmClose(view, mapping), 0);
    child.Kill();  // a crash: nothing is closed by the program
  }
  void* view = nullptr;
  Handle handle = 0;
  EXPECT_EQ(ShmOpen(&view, mapping_name.data(), 3, &handle), -1);
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(MtxOpen(mutex_name.data(), &handle), -1);
  EXPECT_EQ(EvOpen(event_name.data(), &handle), -1);
  // A restarted server creates them again.
  Handle mapping = 0, mutex = 0;
  ASSERT_EQ(ShmCreate(&view, mapping_name.data(), 4096, 3, &mapping), 0);
  ASSERT_EQ(MtxCreate(mutex_name.data(), &mutex, 0), 0);
  EXPECT_EQ(ShmClose(view, mapping), 0);
  EXPECT_EQ(HndClose(mutex), 0);
}

TEST(HandleClose, ClosesAnyKindOnceAndRefusesTheInvalidHandle) {
  const std::size_t before = PlatformOpenHandles();
  Handle mutex = 0, event = 0;
  ASSERT_EQ(MtxCreate(nullptr, &mutex, 0), 0);
  ASSERT_EQ(EvCreate(nullptr, &event, 0), 0);
  EXPECT_EQ(PlatformOpenHandles(), before + 2);
  EXPECT_EQ(HndClose(mutex), 0);
  EXPECT_EQ(HndClose(event), 0);
  EXPECT_EQ(PlatformOpenHandles(), before);
  EXPECT_EQ(HndClose(kInvalidHandle), -1);  // never the current process
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(HndClose(0), -1);
  EXPECT_EQ(MtxWait(kInvalidHandle, 0), kWaitFailed);
  EXPECT_EQ(EvWait(0, 0), kWaitFailed);
  EXPECT_EQ(PlatformOpenHandles(), before);
}

}  // namespace
