// Named kernel objects as Windows has them: the kernel's name of an object,
// the protection of a view, and what happens between processes.
#include "support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::chrono_literals;

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// The kernel object is the upper-cased text after the prefix (whatever
// comes before it), whole pages long, and mode 1 maps it read-only.
TEST(ObjectNames, KernelNameSizeAndReadOnlyView) {
  const std::string base = wt::Unique("map");
  std::string created = "\\sharemem\\" + base;
  void* view = nullptr;
  Handle mapping = 0;
  ASSERT_EQ(ShmCreate(&view, created.data(), 10000, 3, &mapping), 0);
  HANDLE direct = OpenFileMappingA(FILE_MAP_READ, FALSE, Upper(base).c_str());
  ASSERT_NE(direct, nullptr);
  CloseHandle(direct);
  EXPECT_EQ(ShmSize(mapping), 12288u);  // what a view of it may touch

  std::string other = "ignored\\ShareMem\\" + base;
  void* reader = nullptr;
  Handle read_only = 0;
  ASSERT_EQ(ShmOpen(&reader, other.data(), 1, &read_only), 0);
  static_cast<char*>(view)[5] = 'x';
  EXPECT_EQ(static_cast<char*>(reader)[5], 'x');  // one object, two views
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

// ---- Between processes -----------------------------------------------------------

// Another program's objects: its mapping's data and its set event are seen
// here, its owned mutex times out and is abandoned when it is killed, and
// what nobody else holds dies with it.  A restarted server makes them again.
TEST(ObjectLifetime, ObjectsOfAKilledProgram) {
  const std::string base = wt::Unique("life");
  std::string mapping_name = "\\sharemem\\" + base + "-MAP",
              mutex_name = "\\sem32\\" + base + "-MTX", event_name = "\\sem32\\" + base + "-EV";
  Handle mutex = 0, event = 0;
  {
    wt::Child child("own-objects", base);
    ASSERT_TRUE(child.WaitReady());
    void* view = nullptr;
    Handle mapping = 0;
    ASSERT_EQ(ShmOpen(&view, mapping_name.data(), 1, &mapping), 0);
    EXPECT_EQ(static_cast<const char*>(view)[0], 'Q');
    EXPECT_EQ(ShmClose(view, mapping), 0);
    ASSERT_EQ(EvOpen(event_name.data(), &event), 0);
    EXPECT_EQ(EvWait(event, 20000), kWaitOk);
    EXPECT_EQ(HndClose(event), 0);
    ASSERT_EQ(MtxOpen(mutex_name.data(), &mutex), 0);
    EXPECT_EQ(MtxWait(mutex, 50), kWaitTimeout);
    child.Kill();  // a crash: nothing is closed by the program
  }
  EXPECT_EQ(MtxWait(mutex, 5000), kWaitAbandoned);
  EXPECT_EQ(MtxRelease(mutex), 0);
  EXPECT_EQ(HndClose(mutex), 0);
  void* view = nullptr;
  Handle handle = 0;
  EXPECT_EQ(Failed(ShmOpen(&view, mapping_name.data(), 3, &handle) != -1), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(MtxOpen(mutex_name.data(), &handle), -1);
  EXPECT_EQ(EvOpen(event_name.data(), &handle), -1);
  Handle mapping = 0;
  ASSERT_EQ(ShmCreate(&view, mapping_name.data(), 4096, 3, &mapping), 0);
  ASSERT_EQ(MtxCreate(mutex_name.data(), &mutex, 0), 0);
  EXPECT_EQ(ShmClose(view, mapping), 0);
  EXPECT_EQ(HndClose(mutex), 0);
}

}  // namespace
