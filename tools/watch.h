// watch.h - the watching engine behind qna watch and qna tag watch, made to
// serve other consumers too (a web page, a bridge): one link, a set of
// watched word and bit ranges and tags, each read once per poll however many
// consumers there are, each poll handed to every consumer with the values
// before it, and a server that has gone noticed and reported.  Nothing here
// prints or assumes a terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qna.h"

namespace qna {

struct WatchItem {
  enum class Kind { words, bits, tag };
  Kind kind = Kind::words;
  std::uint32_t area = 0;
  std::uint32_t start = 0;  // first word, or first bit
  std::uint32_t count = 1;  // words or bits; 1 for a tag
  std::string tag;          // the tag name (any case), for Kind::tag
  bool operator==(const WatchItem&) const = default;
};

// What one poll saw, as each consumer gets it.
struct WatchPoll {
  std::uint64_t number = 0;  // polls counted from 0
  std::chrono::system_clock::time_point time;
  double seconds = 0;  // since the engine's first poll
  // Per item, by the id Watch gave it: the values read now (words 0 to
  // 65535, bits 0 or 1, tags as QNA_ReadTag gives them) and those of the
  // poll before, empty when the item is new.
  std::vector<std::vector<std::int32_t>> now, before;
  // A failed poll: the library's result and detail, and what could not be
  // read.  The values are then left out (now is empty).
  std::uint32_t result = 0;
  std::int32_t detail = 0;
  std::string failed;

  bool Changed(std::size_t item, std::size_t i) const {
    return before[item].empty() || now[item][i] != before[item][i];
  }
};

using WatchConsumer = std::function<void(const WatchPoll&)>;

// Lock rule: lock_ guards the items, the last values and the consumers.  A
// poll holds it while it reads, not while it calls the consumers, so a
// consumer may watch more or unsubscribe from its callback.
class Watcher {
 public:
  // The link stays open while the engine lives.  Tag items need the tag
  // file loaded (QNA_InitRavo) while they are polled.
  explicit Watcher(Link& link) : link_(link) {}

  // An item's id; an item watched already gives the id it has (and is read
  // again if it was unwatched).
  std::size_t Watch(const WatchItem& item);
  // Stops reading an item that no consumer needs any more: its values in a
  // poll are empty until it is watched again (then it starts afresh, as new).
  void Unwatch(std::size_t id);
  WatchItem Item(std::size_t id) const;
  std::size_t Subscribe(WatchConsumer consumer);
  void Unsubscribe(std::size_t id);

  // Reads every item once and hands the poll to every consumer: 0, or the
  // result of what could not be read (the consumers see that too).
  std::uint32_t Poll();
  // Polls every `interval` until `polls` polls are done (0: no limit), Stop
  // is called or a poll fails: 0 or that poll's result.
  std::uint32_t Run(std::chrono::milliseconds interval, std::uint64_t polls);
  // Ends Run within one step of its wait (and any Run after it at once);
  // from any thread.
  void Stop() { stop_ = true; }

 private:
  std::uint32_t ReadItem(const WatchItem& item, std::vector<std::int32_t>& values);
  std::uint32_t CheckServer(WatchPoll& poll);

  Link& link_;
  mutable std::mutex lock_;
  std::vector<WatchItem> items_;
  std::vector<bool> unwatched_;
  std::vector<std::vector<std::int32_t>> last_;
  std::vector<std::pair<std::size_t, WatchConsumer>> consumers_;
  std::size_t next_consumer_ = 1;
  std::uint64_t polls_ = 0;
  std::chrono::steady_clock::time_point first_, checked_;
  std::atomic<bool> stop_{false};
};

}  // namespace qna
