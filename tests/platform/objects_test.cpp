// Named kernel objects of the platform layer.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "other.h"
#include "platform/platform.h"
#include "support/test_support.h"

#ifdef _WIN32
extern "C" {
__declspec(dllimport) void* __stdcall OpenFileMappingA(unsigned long, int, const char*);
__declspec(dllimport) void* __stdcall OpenMutexA(unsigned long, int, const char*);
__declspec(dllimport) void* __stdcall OpenEventA(unsigned long, int, const char*);
__declspec(dllimport) int __stdcall CloseHandle(void*);
__declspec(dllimport) int __stdcall IsBadWritePtr(void*, std::uintptr_t);
}
#endif

namespace {

using ObjectsNames = qt::RootedTest;
using ObjectsLifetime = qt::RootedTest;
using ObjectsMapping = qt::RootedTest;
using ObjectsMutex = qt::RootedTest;
using ObjectsEvent = qt::RootedTest;
using ObjectsHandles = qt::RootedTest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

enum class Family { Mapping, Mutex, Event };
constexpr Family kFamilies[] = {Family::Mapping, Family::Mutex, Family::Event};
const char* const kFamilyNames[] = {"mapping", "mutex", "event"};
const char* FamilyName(Family family) { return kFamilyNames[static_cast<int>(family)]; }

// Creates or opens one object of the family; the handle (and the view of a
// mapping) go to the out-arguments.  The name buffer may be upper-cased.
int Create(Family family, char* name, Handle* handle, void** view = nullptr) {
  void* ignored = nullptr;
  if (family == Family::Mapping) return ShmCreate(view ? view : &ignored, name, 65536, 2, handle);
  return family == Family::Mutex ? MtxCreate(name, handle, 0) : EvCreate(name, handle, 0);
}

int Open(Family family, char* name, Handle* handle, void** view = nullptr) {
  void* ignored = nullptr;
  if (family == Family::Mapping) return ShmOpen(view ? view : &ignored, name, 2, handle);
  return family == Family::Mutex ? MtxOpen(name, handle) : EvOpen(name, handle);
}

int Close(Family family, Handle handle, void* view = nullptr) {
  return family == Family::Mapping ? ShmClose(view, handle) : HndClose(handle);
}

// The name of an object in the library's convention for its family.
std::string Named(Family family, const std::string& name) {
  return (family == Family::Mutex ? "\\sem32\\" : "\\sharemem\\") + name;
}

// One object made or opened under a copy of `name` (null: unnamed); 0 when
// the call fails.
Handle NewMutex(const char* name, int owned = 0) {
  std::string copy = name ? name : "";
  Handle h = 0;
  return MtxCreate(name ? copy.data() : nullptr, &h, owned) == 0 ? h : 0;
}
Handle OpenMutex(std::string name) {
  Handle h = 0;
  return MtxOpen(name.data(), &h) == 0 ? h : 0;
}
Handle NewEvent(const char* name, int initial = 0) {
  std::string copy = name ? name : "";
  Handle h = 0;
  return EvCreate(name ? copy.data() : nullptr, &h, initial) == 0 ? h : 0;
}
void* NewMapping(std::string name, std::uint32_t size, Handle* mapping, int mode = 2) {
  void* view = nullptr;
  return ShmCreate(&view, name.data(), size, mode, mapping) == 0 ? view : nullptr;
}
void* OpenMapping(std::string name, Handle* mapping, int mode = 2) {
  void* view = nullptr;
  return ShmOpen(&view, name.data(), mode, mapping) == 0 ? view : nullptr;
}

// The object files of a root; Windows keeps its objects in the kernel.
std::set<std::string> ObjectFiles([[maybe_unused]] const qt::TempRoot& root) {
  std::set<std::string> names;
#ifndef _WIN32
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(root.path() + "/obj", ignored))
    names.insert(entry.path().filename().string());
#endif
  return names;
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A 300 ms wait on what is not free times out after its time, and soon after.
void ExpectTimeOut(const std::function<int(std::uint32_t)>& wait) {
  const auto start = Clock::now();
  EXPECT_EQ(wait(300), kWaitTimeout);
  EXPECT_GE(MsSince(start), 300);
  EXPECT_LT(MsSince(start), 5000);
}

// The failed call left the out-arguments alone and set `error`.
void ExpectRefused(int result, const Handle& handle, win::DWORD error) {
  EXPECT_EQ(result, -1);
  EXPECT_EQ(win::GetLastError(), error);
  EXPECT_EQ(handle, 777u);
}

// A process's exit code for a wait outcome (exit codes stop at 255).
int WaitCode(int outcome) {
  switch (outcome) {
    case kWaitOk: return 10;
    case kWaitAbandoned: return 11;
    case kWaitTimeout: return 12;
    default: return 13;
  }
}

// Whether the memory at `at` can be written (without raising a signal).
bool Writable(void* at) {
#ifdef _WIN32
  return IsBadWritePtr(at, 1) == 0;
#else
  // A read from a pipe reports EFAULT for a read-only page.
  int fds[2];
  if (pipe(fds) != 0) return false;
  const char byte = 'w';
  const bool ok = write(fds[1], &byte, 1) == 1 && read(fds[0], at, 1) == 1;
  close(fds[0]);
  close(fds[1]);
  return ok;
#endif
}

// Holds one object of a family ("0" to "2") under the name that follows.
PT_BODY(hold) {
  std::string name = argument.substr(1);
  Handle h = 0;
  if (Create(static_cast<Family>(argument[0] - '0'), name.data(), &h) != 0) return 1;
  pt::Ready();
  return pt::Hold();
}

TEST_F(ObjectsNames, TranslationTable) {
  struct Row {
    Family family;
    const char* given;
    const char* after;  // the caller's buffer afterwards
    const char* file;   // the object made (its file, its kernel name), or "" for an unnamed one
  };
  const Row rows[] = {
      {Family::Mapping, "\\sharemem\\qoxmemcb", "\\SHAREMEM\\QOXMEMCB", "QOXMEMCB"},
      {Family::Mapping, "c:\\x\\ShareMem\\Abc", "C:\\X\\SHAREMEM\\ABC", "ABC"},
      {Family::Mapping, "\\sem32\\notamapping", "\\SEM32\\NOTAMAPPING", ""},
      {Family::Mapping, "qoxmemcb", "QOXMEMCB", ""},
      {Family::Mutex, "\\sem32\\qoxsemcb", "\\SEM32\\QOXSEMCB", "QOXSEMCB"},
      {Family::Mutex, "\\sem32\\Mixed_1.x", "\\SEM32\\MIXED_1.X", "MIXED_1.X"},
      {Family::Mutex, "\\sharemem\\notamutex", "\\SHAREMEM\\NOTAMUTEX", ""},
      {Family::Event, "\\sharemem\\e1", "\\SHAREMEM\\E1", "E1"},
      {Family::Event, "\\sem32\\e2", "\\SEM32\\E2", "E2"},
      {Family::Event, "\\sem32\\", "\\SEM32\\", ""},
      {Family::Event, "x\\sem32\\a\\sharemem\\b", "X\\SEM32\\A\\SHAREMEM\\B", "B"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(FamilyName(row.family)) + " " + row.given);
    std::string name = row.given, again = row.given;
    Handle handle = 0, second = 0;
    void *view = nullptr, *second_view = nullptr;
    ASSERT_EQ(Create(row.family, name.data(), &handle, &view), 0);
    EXPECT_STREQ(name.c_str(), row.after);
#ifdef _WIN32
    if (*row.file) {  // the kernel's name, which other programs open
      void* direct = row.family == Family::Mapping ? OpenFileMappingA(4, 0, row.file)
                     : row.family == Family::Mutex ? OpenMutexA(0x100000, 0, row.file)
                                                   : OpenEventA(0x100000, 0, row.file);
      EXPECT_NE(direct, nullptr);
      if (direct != nullptr) CloseHandle(direct);
    }
#else
    const std::set<std::string> expected =
        *row.file ? std::set<std::string>{row.file} : std::set<std::string>{};
    EXPECT_EQ(ObjectFiles(root), expected);
#endif
    if (*row.file) {  // an open finds it under the name in any case, and upper-cases it too
      ASSERT_EQ(Open(row.family, again.data(), &second, &second_view), 0);
      EXPECT_STREQ(again.c_str(), row.after);
      EXPECT_EQ(Close(row.family, second, second_view), 0);
    } else {  // nothing has that name: an open fails and leaves the out-arguments alone
      second = 777;
      second_view = &second;
      EXPECT_EQ(Open(row.family, again.data(), &second, &second_view), -1);
      EXPECT_EQ(second, 777u);
      EXPECT_EQ(second_view, &second);
    }
    EXPECT_EQ(Close(row.family, handle, view), 0);
    EXPECT_TRUE(ObjectFiles(root).empty()) << "the last close removes the object";
  }
  const Handle unnamed = NewMutex(nullptr);
  ASSERT_NE(unnamed, 0u);
  EXPECT_TRUE(ObjectFiles(root).empty()) << "a null name makes an unnamed object";
  Handle none = 777;
  for (Family family : kFamilies) EXPECT_EQ(Open(family, nullptr, &none), -1);
  EXPECT_EQ(none, 777u);
  EXPECT_EQ(HndClose(unnamed), 0);
}

TEST_F(ObjectsLifetime, LastCloseEndsTheObject) {
  for (Family family : kFamilies) {
    SCOPED_TRACE(FamilyName(family));
    std::string name = Named(family, "gone");
    Handle first = 0, second = 0, again = 0;
    void *first_view = nullptr, *second_view = nullptr, *again_view = nullptr;
    ASSERT_EQ(Create(family, name.data(), &first, &first_view), 0);
    ASSERT_EQ(Open(family, name.data(), &second, &second_view), 0);
    EXPECT_EQ(Close(family, first, first_view), 0);
    ASSERT_EQ(Open(family, name.data(), &again, &again_view), 0) << "still held by the second handle";
    EXPECT_EQ(Close(family, again, again_view), 0);
    EXPECT_EQ(Close(family, second, second_view), 0);
    win::SetLastError(0);
    EXPECT_EQ(Open(family, name.data(), &again, &again_view), -1);
    EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(ObjectFiles(root).empty());
  }
}

// A name held here or by another process: a create of it fails with 183 and
// leaks no handle, and under a mutex's name a mapping or an event can be
// neither opened nor made.
TEST_F(ObjectsLifetime, AHeldNameRefusesCreatesAndOtherKinds) {
  for (bool elsewhere : {false, true}) {
    for (Family family : kFamilies) {
      SCOPED_TRACE(std::string(FamilyName(family)) + (elsewhere ? " elsewhere" : " here"));
      const std::string held = Named(family, "held");
      std::string name = held;
      Handle mine = 0;
      void* my_view = nullptr;
      std::unique_ptr<pt::Other> holder;
      if (elsewhere) {
        const std::string argument = std::to_string(static_cast<int>(family)) + held;
        holder = std::make_unique<pt::Other>("hold", argument);
        ASSERT_TRUE(holder->WaitReady());
      } else {
        ASSERT_EQ(Create(family, name.data(), &mine, &my_view), 0);
      }
      const std::size_t handles = PlatformOpenHandles();
      Handle handle = 777;
      void* view = &handle;
      name = held;
      win::SetLastError(0);
      ExpectRefused(Create(family, name.data(), &handle, &view), handle, win::ERROR_ALREADY_EXISTS);
      EXPECT_EQ(view, &handle);
      for (Family other : {Family::Mapping, Family::Event}) {
        if (family != Family::Mutex) break;
        name = Named(other, "held");
        win::SetLastError(0);
        ExpectRefused(Open(other, name.data(), &handle), handle, win::ERROR_INVALID_HANDLE);
        EXPECT_EQ(Create(other, name.data(), &handle), -1);
        EXPECT_EQ(handle, 777u);
      }
      EXPECT_EQ(PlatformOpenHandles(), handles);
      EXPECT_TRUE(elsewhere || Close(family, mine, my_view) == 0);
    }
  }
}

// Creates a mapping with data, an owned mutex and a set event, and holds them.
PT_BODY(create_and_hold) {
  Handle m = 0;
  void* view = NewMapping("\\sharemem\\srvmem", 8192, &m);
  if (view == nullptr) return 1;
  static_cast<char*>(view)[100] = 'x';
  if (NewMutex("\\sem32\\srvlock", 1) == 0 || NewEvent("\\sem32\\srvev", 1) == 0) return 2;
  pt::Ready();
  return pt::Hold();
}

// What a poll of the mutex gives in a process of its own.
PT_BODY(poll_mutex) {
  const Handle h = OpenMutex("\\sem32\\srvlock");
  if (h == 0) return 1;
  const int outcome = MtxWait(h, 0);
  if (outcome == kWaitOk && MtxRelease(h) != 0) return 2;
  return WaitCode(outcome);
}

int PollElsewhere() {
  pt::Other other("poll_mutex");
  return other.Wait();
}

// A killed creator abandons its mutex to the waiter; what nobody else holds
// goes with it, and a restarted creator makes the objects again, fresh.
TEST_F(ObjectsLifetime, ObjectsOfAKilledCreator) {
  pt::Other creator("create_and_hold");
  ASSERT_TRUE(creator.WaitReady());
  Handle m = 0, e = 0;
  void* view = OpenMapping("\\sharemem\\srvmem", &m);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(static_cast<const char*>(view)[100], 'x');
  EXPECT_EQ(ShmClose(view, m), 0);
  std::string event = "\\sem32\\srvev";
  ASSERT_EQ(EvOpen(event.data(), &e), 0);
  EXPECT_EQ(EvWait(e, 0), kWaitOk);
  EXPECT_EQ(HndClose(e), 0);
  const Handle mutex = OpenMutex("\\sem32\\srvlock");
  ASSERT_NE(mutex, 0u);
  EXPECT_EQ(MtxWait(mutex, 0), kWaitTimeout);
  ExpectTimeOut([&](std::uint32_t ms) { return MtxWait(mutex, ms); });
  EXPECT_EQ(MtxRelease(mutex), -1);

  creator.Kill();
  EXPECT_EQ(MtxWait(mutex, 20000), kWaitAbandoned);
  EXPECT_EQ(PollElsewhere(), WaitCode(kWaitTimeout));
  EXPECT_EQ(MtxRelease(mutex), 0);
  EXPECT_EQ(PollElsewhere(), WaitCode(kWaitOk)) << "a healthy mutex again";
  EXPECT_EQ(HndClose(mutex), 0);

  const std::size_t handles = PlatformOpenHandles();
  const char* const bases[] = {"srvmem", "srvlock", "srvev"};
  for (Family family : kFamilies) {
    SCOPED_TRACE(FamilyName(family));
    std::string name = Named(family, bases[static_cast<int>(family)]);
    Handle handle = 777;
    win::SetLastError(0);
    ExpectRefused(Open(family, name.data(), &handle), handle, win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(PlatformOpenHandles(), handles);
  }
  view = NewMapping("\\sharemem\\srvmem", 8192, &m);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(static_cast<char*>(view)[100], 0) << "a new mapping is zero-filled";
  const Handle x = NewMutex("\\sem32\\srvlock");
  e = NewEvent("\\sem32\\srvev");
  EXPECT_EQ(MtxWait(x, 0), kWaitOk) << "a new mutex is neither owned nor abandoned";
  EXPECT_EQ(MtxRelease(x), 0);
  EXPECT_EQ(EvWait(e, 0), kWaitTimeout) << "a new event starts in its given state";
  EXPECT_EQ(ShmClose(view, m), 0);
  EXPECT_EQ(HndClose(x), 0);
  EXPECT_EQ(HndClose(e), 0);
}

TEST_F(ObjectsMapping, FailuresLeaveTheOutArgumentsAlone) {
  const std::size_t handles = PlatformOpenHandles();
  std::string zero = "\\sharemem\\zero", missing = "\\sharemem\\missing";
  Handle handle = 777;
  void* view = &handle;
  win::SetLastError(0);
  ExpectRefused(ShmCreate(&view, zero.data(), 0, 2, &handle), handle, win::ERROR_INVALID_PARAMETER);
  win::SetLastError(0);
  ExpectRefused(ShmCreate(&view, nullptr, 0, 2, &handle), handle, win::ERROR_INVALID_PARAMETER);
  win::SetLastError(0);
  ExpectRefused(ShmOpen(&view, missing.data(), 2, &handle), handle, win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(view, &handle);
  std::string name = "\\sharemem\\nullout";
  EXPECT_EQ(ShmCreate(nullptr, name.data(), 64, 2, &handle), -1);
  EXPECT_EQ(ShmCreate(&view, name.data(), 64, 2, nullptr), -1);
  EXPECT_EQ(ShmOpen(nullptr, name.data(), 2, &handle), -1);
  EXPECT_EQ(handle, 777u);
  EXPECT_EQ(PlatformOpenHandles(), handles);
  EXPECT_TRUE(ObjectFiles(root).empty());
}

constexpr std::uint32_t kDataSize = 10000;  // not a page multiple

// Checks the pattern of the data test up to the last byte, and marks that.
PT_BODY(check_data) {
  Handle h = 0;
  auto* b = static_cast<unsigned char*>(OpenMapping("\\sharemem\\data", &h));
  if (b == nullptr) return 1;
  for (std::uint32_t i = 0; i < kDataSize; ++i)
    if (b[i] != static_cast<unsigned char>(i * 7)) return 2;
  b[kDataSize - 1] = 0xA5;
  return ShmClose(b, h) == 0 ? 0 : 3;
}

// The data is shared with another process, up to the object's last byte, and
// the view keeps the object alive after its handle is closed.
TEST_F(ObjectsMapping, DataIsSharedAndTheViewOutlivesItsHandle) {
  Handle mapping = 0;
  auto* bytes = static_cast<unsigned char*>(NewMapping("\\sharemem\\data", kDataSize, &mapping));
  ASSERT_NE(bytes, nullptr);
  for (std::uint32_t i = 0; i < kDataSize; ++i) ASSERT_EQ(bytes[i], 0) << i;
  for (std::uint32_t i = 0; i < kDataSize; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
  auto read_elsewhere = [] {
    pt::Other reader("check_data");
    return reader.Wait();
  };
#ifdef _WIN32  // where the name goes with the last handle, whatever the views
  EXPECT_EQ(read_elsewhere(), 0);
  EXPECT_EQ(HndClose(mapping), 0);
#else
  EXPECT_EQ(HndClose(mapping), 0);
  EXPECT_EQ(read_elsewhere(), 0);
#endif
  EXPECT_EQ(bytes[kDataSize - 1], 0xA5);
  // The close part of ShmClose fails on the handle closed already.
  win::SetLastError(0);
  EXPECT_EQ(ShmClose(bytes, mapping), -1);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  Handle again = 777;
  EXPECT_EQ(OpenMapping("\\sharemem\\data", &again), nullptr) << "the view was the last hold";
  EXPECT_EQ(again, 777u);
}

TEST_F(ObjectsMapping, ModeOneGivesAReadOnlyView) {
  Handle created = 0, opened = 0, second = 0;
  void* writer = NewMapping("\\sharemem\\ro", 4096, &created);
  ASSERT_NE(writer, nullptr);
  EXPECT_TRUE(Writable(writer));
  static_cast<char*>(writer)[0] = 'a';
  void* reader = OpenMapping("\\sharemem\\ro", &opened, 1);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(static_cast<char*>(reader)[0], 'a');
  EXPECT_FALSE(Writable(reader));
  EXPECT_EQ(static_cast<char*>(writer)[0], 'a');
  void* created_ro = NewMapping("\\sharemem\\ro2", 4096, &second, 1);
  ASSERT_NE(created_ro, nullptr);
  EXPECT_FALSE(Writable(created_ro));
  EXPECT_EQ(ShmClose(created_ro, second), 0);
  EXPECT_EQ(ShmClose(reader, opened), 0);
  EXPECT_EQ(ShmClose(writer, created), 0);
}

TEST_F(ObjectsMutex, ExitedOwnerThreadAbandonsIt) {
  for (const char* name : {"\\sem32\\mtx", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(name ? "named" : "unnamed");
    const Handle mutex = NewMutex(name);
    std::thread([&] { EXPECT_EQ(MtxWait(mutex, kInfinite), kWaitOk); }).join();
    EXPECT_EQ(MtxWait(mutex, 10000), kWaitAbandoned);
    EXPECT_EQ(MtxWait(mutex, 0), kWaitOk) << "recursive for its new owner";
    EXPECT_EQ(MtxRelease(mutex), 0);
    EXPECT_EQ(MtxRelease(mutex), 0);
    EXPECT_EQ(MtxRelease(mutex), -1);
    std::thread([&] {
      EXPECT_EQ(MtxWait(mutex, 0), kWaitOk);
      EXPECT_EQ(MtxRelease(mutex), 0);
    }).join();
    EXPECT_EQ(HndClose(mutex), 0);
  }
}

// One owner at a time, who may take it again and must release it as often
// as it took it; other threads time out and cannot release it.
TEST_F(ObjectsMutex, OneRecursiveOwnerAtATime) {
  for (const char* name : {"\\sem32\\mtx", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(name ? "named" : "unnamed");
    const Handle mutex = NewMutex(name, 1);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(MtxWait(mutex, 1000), kWaitOk);
    // Another thread's poll.
    auto poll = [&] {
      int outcome = kWaitFailed;
      std::thread([&] {
        outcome = MtxWait(mutex, 0);
        if (outcome == kWaitOk) MtxRelease(mutex);
      }).join();
      return outcome;
    };
    std::thread([&] {
      EXPECT_EQ(MtxRelease(mutex), -1) << "released by a thread that does not own it";
      ExpectTimeOut([&](std::uint32_t ms) { return MtxWait(mutex, ms); });
    }).join();
    for (int i = 0; i < 2; ++i) {
      const auto start = Clock::now();
      EXPECT_EQ(poll(), kWaitTimeout) << "still held " << 3 - i << " times";
      EXPECT_LT(MsSince(start), 1000) << "a poll does not wait";
      EXPECT_EQ(MtxRelease(mutex), 0);
    }
    std::atomic<int> infinite{-2};
    std::thread waiter([&] {
      infinite = MtxWait(mutex, kInfinite);
      if (infinite == kWaitOk) MtxRelease(mutex);
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(infinite.load(), -2) << "still held once";
    EXPECT_EQ(MtxRelease(mutex), 0);
    waiter.join();
    EXPECT_EQ(infinite.load(), kWaitOk);
    win::SetLastError(0);
    EXPECT_EQ(MtxRelease(mutex), -1) << "released more often than taken";
    EXPECT_NE(win::GetLastError(), 0u);
    EXPECT_EQ(HndClose(mutex), 0);
  }
}

TEST_F(ObjectsEvent, ManualResetStaysSetUntilResetAndWaitsTimeOut) {
  for (const char* name : {"\\sharemem\\evt", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(name ? "named" : "unnamed");
    const Handle event = NewEvent(name, 1);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(EvWait(event, 0), kWaitOk);
    std::uint32_t out = 77;
    EXPECT_EQ(EvReset(event, &out), 0);
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(EvWait(event, 0), kWaitTimeout);
    ExpectTimeOut([&](std::uint32_t ms) { return EvWait(event, ms); });
    EXPECT_EQ(EvSet(event), 0);
    EXPECT_EQ(EvSet(event), 0);
    EXPECT_EQ(EvWait(event, 1000), kWaitOk);
    EXPECT_EQ(EvReset(event, nullptr), 0);
    EXPECT_EQ(EvWait(event, 0), kWaitTimeout);
    // A set wakes every waiter, timed or not.
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
      waiters.emplace_back([&, i] {
        EXPECT_EQ(EvWait(event, i % 2 == 0 ? kInfinite : 30000), kWaitOk);
        ++woken;
      });
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(woken.load(), 0);
    EXPECT_EQ(EvSet(event), 0);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 4);
    EXPECT_EQ(HndClose(event), 0);
  }
}

// Handles that are none, closed, or of the wrong kind fail cleanly and leave
// the objects alone; a close takes any kind, once.
TEST_F(ObjectsHandles, BadClosedOrWrongKindHandlesFailCleanly) {
  const std::size_t before = PlatformOpenHandles();
  Handle mapping = 0, closed_mapping = 0;
  void* view = NewMapping("\\sharemem\\kinds", 64, &mapping);
  void* closed_view = NewMapping("\\sharemem\\closedmap", 64, &closed_mapping);
  const Handle mutex = NewMutex("\\sem32\\mtx");
  const Handle event = NewEvent("\\sharemem\\evt", 1);
  const Handle closed[] = {closed_mapping, NewMutex("\\sem32\\closedmtx"), NewMutex(nullptr),
                           NewEvent("\\sharemem\\closedev"), NewEvent(nullptr)};
  EXPECT_EQ(PlatformOpenHandles(), before + 8);
  for (Handle handle : closed) EXPECT_EQ(HndClose(handle), 0);
  EXPECT_EQ(PlatformOpenHandles(), before + 3);
  auto mutex_refuses = [](Handle h) {
    win::SetLastError(0);
    EXPECT_EQ(MtxWait(h, 0), kWaitFailed);
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
    EXPECT_EQ(MtxWait(h, 100), kWaitFailed);
    EXPECT_EQ(MtxRelease(h), -1);
  };
  auto event_refuses = [](Handle h) {
    win::SetLastError(0);
    EXPECT_EQ(EvWait(h, 100), kWaitFailed);
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
    EXPECT_EQ(EvSet(h), -1);
    std::uint32_t out = 77;
    EXPECT_EQ(EvReset(h, &out), -1);
#ifndef _WIN32
    EXPECT_EQ(out, 77u) << "nothing written on failure";
#endif
  };
  std::vector<Handle> none = {kInvalidHandle, 0, 0x12345};
  none.insert(none.end(), std::begin(closed), std::end(closed));
  for (Handle h : none) {
    SCOPED_TRACE(h);
    mutex_refuses(h);
    event_refuses(h);
  }
#ifndef _WIN32  // Windows waits on any kind that can be waited on
  for (Handle h : {mapping, event}) mutex_refuses(h);
  for (Handle h : {mapping, mutex}) event_refuses(h);
#endif
  for (Handle handle : closed) {
    win::SetLastError(0);
    EXPECT_EQ(HndClose(handle), -1);
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(HndClose(kInvalidHandle), -1);
  EXPECT_EQ(HndClose(0), -1);
  EXPECT_EQ(MtxWait(mutex, 0), kWaitOk) << "the failed calls left the mutex alone";
  EXPECT_EQ(MtxRelease(mutex), 0);
  EXPECT_EQ(EvWait(event, 0), kWaitOk) << "the failed resets left the event set";
  EXPECT_EQ(ShmClose(closed_view, 0), -1) << "unmaps the view, but the close fails";
  EXPECT_EQ(ShmClose(view, mapping), 0);
  EXPECT_EQ(HndClose(mutex), 0);
  EXPECT_EQ(HndClose(event), 0);
  EXPECT_EQ(PlatformOpenHandles(), before);
  EXPECT_TRUE(ObjectFiles(root).empty());
}

// ---- What only POSIX has: forks, signals and the root's object files ----------------
#ifndef _WIN32

TEST_F(ObjectsNames, UnsafeOrOverlongNamesAreRefused) {
  const std::string rows[] = {"..", ".", "../escape", "a/b", "/tmp/abs", std::string(201, 'n')};
  const std::size_t handles = PlatformOpenHandles();
  for (const std::string& row : rows) {
    const win::DWORD error =
        row.size() > 200 ? win::ERROR_FILENAME_EXCED_RANGE : win::ERROR_INVALID_PARAMETER;
    for (Family family : kFamilies) {
      SCOPED_TRACE(std::string(FamilyName(family)) + " " + row.substr(0, 30));
      std::string name = Named(family, row);
      Handle handle = 777;
      win::SetLastError(0);
      ExpectRefused(Create(family, name.data(), &handle), handle, error);
      name = Named(family, row);
      EXPECT_EQ(Open(family, name.data(), &handle), -1);
      EXPECT_EQ(handle, 777u);
    }
  }
  EXPECT_EQ(PlatformOpenHandles(), handles);
  // Nothing was made outside (or inside) the object folder.
  for (const auto& entry : fs::recursive_directory_iterator(root.path()))
    EXPECT_EQ(entry.path().string(), root.path() + "/obj");
  EXPECT_FALSE(fs::exists("/tmp/ABS"));
  const Handle longest = NewMutex(("\\sem32\\" + std::string(200, 'n')).c_str());
  ASSERT_NE(longest, 0u);
  EXPECT_EQ(HndClose(longest), 0);
}

// Creates the mutex, or opens it when another process has it already; the
// object may vanish between the two, so it tries again.
Handle CreateOrOpenMutex(const char* given) {
  for (int attempt = 0; attempt < 100000; ++attempt) {
    if (const Handle made = NewMutex(given)) return made;
    if (win::GetLastError() != win::ERROR_ALREADY_EXISTS) return 0;
    if (const Handle opened = OpenMutex(given)) return opened;
    if (win::GetLastError() != win::ERROR_FILE_NOT_FOUND) return 0;
  }
  return 0;
}

// Several processes create, open, use and close one mutex over and over, so
// that creates race with each other and with the last close removing the
// object.  Were any two of them ever left on different objects under one
// name, their increments would no longer be exclusive and some would be lost.
TEST_F(ObjectsLifetime, ChurningOpensAndClosesKeepOneObjectPerName) {
  constexpr int kProcesses = 3;
  constexpr int kRounds = 1500;
  Handle counter = 0;
  void* view = NewMapping("\\sharemem\\counter", 64, &counter);
  ASSERT_NE(view, nullptr);
  std::vector<std::unique_ptr<qt::Child>> workers;
  for (int p = 0; p < kProcesses; ++p) {
    workers.push_back(std::make_unique<qt::Child>([view] {
      auto* count = static_cast<volatile std::uint32_t*>(view);
      for (int i = 0; i < kRounds; ++i) {
        const Handle mutex = CreateOrOpenMutex("\\sem32\\churn");
        if (mutex == 0) return 1;
        if (MtxWait(mutex, 30000) != kWaitOk) return 2;
        const std::uint32_t seen = *count;
        sched_yield();
        *count = seen + 1;
        if (MtxRelease(mutex) != 0 || HndClose(mutex) != 0) return 3;
      }
      return 0;
    }));
  }
  for (auto& worker : workers) EXPECT_EQ(worker->Wait(120s), 0);
  EXPECT_EQ(*static_cast<volatile std::uint32_t*>(view), std::uint32_t{kProcesses * kRounds});
  EXPECT_EQ(ShmClose(view, counter), 0);
  EXPECT_TRUE(ObjectFiles(root).empty());
}

TEST_F(ObjectsLifetime, LeftoverFileIsTakenOverAndReset) {
  // What a killed creator may leave: a file nobody holds, full of old bytes.
  ASSERT_TRUE(qt::WriteBytes(root.path() + "/obj/OLD", std::vector<std::uint8_t>(3 * 4096, 0xff)));
  Handle mapping = 777;
  win::SetLastError(0);
  EXPECT_EQ(OpenMapping("\\sharemem\\old", &mapping), nullptr);
  EXPECT_EQ(win::GetLastError(), win::ERROR_FILE_NOT_FOUND);
  auto* bytes = static_cast<unsigned char*>(NewMapping("\\sharemem\\old", 2 * 4096, &mapping));
  ASSERT_NE(bytes, nullptr);
  int nonzero = 0;
  for (int i = 0; i < 2 * 4096; ++i) nonzero += bytes[i] != 0;
  EXPECT_EQ(nonzero, 0);
  EXPECT_EQ(ShmClose(bytes, mapping), 0);
}

TEST_F(ObjectsLifetime, MappingLargerThanItsFileIsRefused) {
  pt::Other holder("hold", "0\\sharemem\\CUT");
  ASSERT_TRUE(holder.WaitReady());
  // Someone cut the file short under a live object: mapping what the object
  // claims would fault on the first access, so the open must fail.
  ASSERT_EQ(truncate((root.path() + "/obj/CUT").c_str(), 4096), 0);
  Handle mapping = 777;
  EXPECT_EQ(OpenMapping("\\sharemem\\CUT", &mapping), nullptr);
  EXPECT_EQ(mapping, 777u);
}

TEST_F(ObjectsMutex, ClosingAHeldMutexStillAbandonsItAtThreadEnd) {
  const Handle mutex = NewMutex("\\sem32\\closedheld");
  qt::Signal ready, go;
  qt::Child waiter([&] {
    const Handle h = OpenMutex("\\sem32\\closedheld");
    ready.Post();
    if (h == 0 || go.Take(30s) != 1) return 2;
    return WaitCode(MtxWait(h, 20000));
  });
  ASSERT_EQ(ready.Take(10s), 1);
  // A thread takes the mutex, closes this process's only handle to it while
  // holding it, and ends: the other process must see an abandoned mutex.
  std::thread([&] {
    EXPECT_EQ(MtxWait(mutex, 0), kWaitOk);
    EXPECT_EQ(HndClose(mutex), 0);
  }).join();
  go.Post();
  EXPECT_EQ(waiter.Wait(60s), WaitCode(kWaitAbandoned));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// A child forked while other threads open, map and look up objects finds the
// process's tables unlocked and can use objects itself.
TEST_F(ObjectsHandles, ChildForkedWhileThreadsUseObjectsCanUseThem) {
  const Handle mutex = NewMutex("\\sem32\\forked");
  ASSERT_NE(mutex, 0u);
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  busy.emplace_back([&] {  // handle lookups
    while (!stop) {
      if (MtxWait(mutex, 0) == kWaitOk) MtxRelease(mutex);
    }
  });
  // Opening allocates.  The address sanitizer's allocator of this compiler
  // does not hold its own lock across fork, so a child forked while this
  // thread allocates can hang in malloc, whatever the library does: under
  // that sanitizer only the lookups run beside the forks.
  busy.emplace_back([&] {  // opens, views and closes
    while (!kAddressSanitizer && !stop) {
      Handle mapping = 0;
      if (void* view = NewMapping("\\sharemem\\forked", 4096, &mapping)) ShmClose(view, mapping);
      if (const Handle other = OpenMutex("\\sem32\\forked")) HndClose(other);
    }
  });
  int failed = -1, status = 0;
  for (int i = 0; i < 200 && status == 0; ++i) {
    qt::Child child([&] {
      const Handle own = OpenMutex("\\sem32\\forked");
      Handle mapping = 0;
      void* view = NewMapping("\\sharemem\\child", 4096, &mapping);
      if (own == 0 || view == nullptr) return 2;
      ShmClose(view, mapping);
      return HndClose(own) == 0 ? 0 : 4;
    });
    status = child.Wait(20s);
    if (status != 0) failed = i;
  }
  stop = true;
  for (auto& thread : busy) thread.join();
  EXPECT_EQ(status, 0) << "child " << failed << " (-1: hung on a lock)";
  EXPECT_EQ(HndClose(mutex), 0);
}

#endif  // _WIN32

}  // namespace
